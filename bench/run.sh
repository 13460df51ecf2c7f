#!/usr/bin/env bash
# Measures keyreg-server and writes bench/RESULTS.md. Each probe prints its
# own Markdown rows; this script only runs them, servers and probes together
# in private network and IPC namespaces so that the host's port and table are
# never touched, and puts a heading and a word on reading them above each table.
#
# Environment:
#   BUILD_DIR        build folder, relative to the checkout or absolute (default build-bench),
#                    configured here as Release with the benchmark on and the tests off
#   RUN_SECONDS      length of each timed run (default 10); an oracle run takes three
#   BASELINE_SERVER  an older keyreg-server to compare this build's with
#   COMPARE_ARGS     server options to compare with none (default --audit --metrics 127.0.0.1:9808)
#   KEEP_WORK=1      keep the work folder with the servers' logs
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac
secs=${RUN_SECONDS:-10}
extra=${COMPARE_ARGS:---audit --metrics 127.0.0.1:9808}
bench=$build/keyreg-bench server=$build/keyreg-server tables=$build/keyreg-table-bench
pid="" status=0

section() { printf '\n## %s\n\n%s\n\n' "$1" "$2"; }
# probe COMMAND...: its rows; a failure is said, and fails the script at the end.
probe() { "$@" || { echo "run.sh: failed with status $?: $*" >&2; status=1; }; }
stop() { if [ -n "$pid" ]; then kill "$pid" && wait "$pid" || true; pid=""; fi; }
serve() { stop; (exec "$@" >>"${log:-server.log}" 2>&1) & pid=$!; }
load() { probe "$bench" --server-pid "$pid" "$@"; }
keys() { openssl genrsa -out private.pem "$1" 2>/dev/null && openssl rsa -in private.pem -pubout -out public.pem 2>/dev/null; }
command_line() { printf '%q ' "$@"; }
compare() { probe "$bench" --connections 16 --seconds "$secs" --label "$1" --compare "$2" "$3"; }

inside() {
  ip link set lo up
  ulimit -n 20000 || echo "run.sh: too few descriptors: the 10,000-connection run will fail" >&2
  cd "$work"
  keys 2048
  trap stop EXIT
  read -r server_core client_core < <([ "$(nproc)" -ge 2 ] && echo 0 1 || echo 0 0)

  section "Load" "A 2048-bit key; the server logs to a file and shares the cores with the generator. RSA limit: private-key operations per second with every core on them, from one operation's CPU time timed beside the load; Of the limit: registrations/s over it. CPU / op sets the server's CPU time per registration against that operation's, which the host's other work moves far less than wall-clock figures. Latency is from a request's write to its whole reply."
  "$bench" --header
  serve "$server"
  for connections in 1 16 256; do load --connections "$connections" --seconds "$secs" --label "$connections, $secs s"; done
  load --connections 1000 --requests 3 --label "1000, 3 requests each"
  load --connections 10000 --requests 2 --label "10000, 2 requests each"
  section "Idle" "The same server, left alone after the 10,000 connections: what it used meanwhile."
  "$bench" --header --idle 5
  probe "$bench" --idle 5 --server-pid "$pid"

  section "Worker threads" "16 connections, $secs s each; auto is one worker per online CPU ($(nproc) here)."
  "$bench" --header
  for workers in 1 2 3 auto; do
    serve "$server" --workers "$workers"
    load --connections 16 --seconds "$secs" --label "--workers $workers"
  done
  stop

  section "Two server commands, interleaved" "16 connections; A and B run in turn, A B A B A B, $secs s each on a server started anew: the medians of each and their ratios, so that the host's drifting speed touches both alike."
  "$bench" --header --compare A B
  if [ -n "${BASELINE_SERVER:-}" ]; then
    compare "BASELINE_SERVER → this build" "$(command_line "$BASELINE_SERVER")" "$(command_line "$server")"
    compare "the same, both with --state" "$(command_line "$BASELINE_SERVER" --state a.state)" \
      "$(command_line "$server" --state b.state)"
  fi
  compare "this build → with --state" "$(command_line "$server")" "$(command_line "$server" --state c.state)"
  local help missing="" word
  help=$("$server" --help)
  for word in $extra; do case $word in --*) grep -qF -- "$word" <<<"$help" || missing+=" $word" ;; esac; done
  if [ -n "$missing" ]; then
    echo "| this build → with $extra | not in this build:$missing (skipped) | | | | | | |"
  else
    compare "this build → with $extra" "$(command_line "$server")" "$(command_line "$server") $extra"
  fi

  section "Reading the table through libkeyreg" "Server (three workers) on core $server_core; writers and reader on core $client_core. The users dorvanek, talumesko, tuvi, brenquolar and vestimorank hold slots 0 to 4; the writers are 4 connections re-registering vestimorank. The limit columns count every core, though the server has one."
  serve taskset -c "$server_core" "$server"
  for user in dorvanek talumesko tuvi brenquolar vestimorank; do probe "$bench" --userid "$user" --requests 1 >/dev/null; done
  "$tables" --header
  probe taskset -c "$client_core" "$tables" "$secs" vestimorank "the user in slot 4, idle"
  probe taskset -c "$client_core" "$tables" "$secs" mallory "an absent user (all slots read), idle"
  taskset -c "$client_core" "$bench" --userid vestimorank --connections 4 --seconds $((secs + 1)) >/dev/null &
  sleep 0.5
  probe taskset -c "$client_core" "$tables" "$secs" vestimorank "the user in slot 4 while the writers rewrite it"
  wait $! || status=1
  echo
  "$bench" --header
  load --userid vestimorank --connections 4 --seconds "$secs" --label "writers, no reader"
  taskset -c "$client_core" "$tables" $((secs + 1)) vestimorank reader >/dev/null &
  load --userid vestimorank --connections 4 --seconds "$secs" --label "writers and a reader looking up as fast as it can"
  wait $! || status=1
  stop

  section "The state file's flush" "A commit as the server makes one with --state: 256 bytes over zeros laid out beforehand, then fdatasync, on the disk under the work folder."
  "$build/keyreg-flush-bench" --header
  probe "$build/keyreg-flush-bench" . "$(findmnt -no FSTYPE -T .)"

  section "Padding oracle" "One connection, a 1024-bit key (a shorter operation, less noise from other work), server and probe each on a core of its own at real-time priority where allowed, the server logging to /dev/null; $((3 * secs)) s a run. Medians of the round trips by class; the differences are medians over strata of 1,000 consecutive triples. Bad − valid should be as near zero as control − valid, the measurement's own noise."
  mkdir oracle && cd oracle && keys 1024
  local realtime=()
  if chrt -f 20 true 2>/dev/null; then realtime=(chrt -f 20); fi
  log=/dev/null serve taskset -c "$server_core" "${realtime[@]}" "$server"
  "$bench" --header --oracle
  for run in 1 2; do probe taskset -c "$client_core" "${realtime[@]}" "$bench" --oracle --seconds $((3 * secs)) --label "run $run"; done
  stop
}

if [ "${1:-}" = --inside ]; then
  work=$2
  inside
  exit "$status"
fi

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKEYREG_BENCH=ON -DKEYREG_TESTS=OFF >/dev/null
cmake --build "$build" -j"$(nproc)" --target keyreg-server keyreg-bench keyreg-table-bench keyreg-flush-bench >/dev/null
for tool in unshare ip openssl taskset; do command -v "$tool" >/dev/null || { echo "run.sh: $tool is needed" >&2; exit 2; }; done
if [ -n "${BASELINE_SERVER:-}" ]; then
  [ -x "$BASELINE_SERVER" ] || { echo "run.sh: BASELINE_SERVER=$BASELINE_SERVER is no program" >&2; exit 2; }
  BASELINE_SERVER=$(realpath "$BASELINE_SERVER") && export BASELINE_SERVER
fi
namespaces=(unshare --net --ipc)
if [ "$(id -u)" -ne 0 ]; then namespaces=(unshare --map-root-user --net --ipc); fi
work=$(mktemp -d -t keyreg-bench.XXXXXX)
{
  echo "# Benchmark results"
  echo
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
  echo "- Kernel: $(uname -r)"
  echo "- OpenSSL: $(openssl version)"
  echo "- Load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg) (other work on the machine makes figures noisy)"
  echo "- Made by bench/run.sh with RUN_SECONDS=$secs; every row is one run, or one comparison of runs."
  BUILD_DIR=$build timeout 3600 "${namespaces[@]}" "$0" --inside "$work" || status=$?
} >"$work/RESULTS.md"
cp "$work/RESULTS.md" "$root/bench/RESULTS.md"
echo "run.sh: wrote $root/bench/RESULTS.md" >&2
if [ "${KEEP_WORK:-0}" = 1 ] || [ "$status" -ne 0 ]; then
  echo "run.sh: the work folder and the servers' logs are kept in $work" >&2
else
  rm -rf "$work"
fi
exit "$status"
