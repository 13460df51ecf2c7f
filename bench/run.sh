#!/usr/bin/env bash
# Measures the server under load and writes bench/RESULTS.md. Server and load
# generator run together in private network and IPC namespaces, so the host's
# port and shared-memory table are never touched. Takes about a quarter of an hour.
# This script only orchestrates: keyreg-bench measures, keyreg-bench-tables
# writes the tables, and every scenario is one line of inside() below.
#
# Environment:
#   BUILD_DIR        build folder, relative to the checkout or absolute (default build-bench),
#                    configured here as Release with the benchmark on and the tests off
#   RUN_SECONDS      length of each timed run (default 10)
#   JOBS             build parallelism (default: number of cores)
#   BASELINE_SERVER  an older keyreg-server: the 1- and 16-connection runs are
#                    made with it too, and RESULTS.md compares the two
#   PROFILE=1        afterwards, profile a short run under callgrind (slow: ~1 min more)
# Besides the load runs: a run with --state and the disk's flush latency, the
# server's system calls per registration (strace) and its profile (perf), and
# the table's readers (bench/table_read.sh) and the padding oracle
# (bench/padding_oracle.sh; ORACLE_BITS, ORACLE_ROUNDS).
#   KEEP_WORK=1      keep the server's folder with its logs
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build-bench}
case $build in /*) ;; *) build=$root/$build ;; esac

# ---------------------------------------------------------------------------
# Inside the namespaces: key pair, servers, scenarios.

pid=""
serving=""

stop_server() {
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=""
}

# scenario TABLE LABEL SERVER-COMMAND... -- GENERATOR-ARGS...: one generator
# run, its key=value line tagged for the tables. The server, working and
# logging in $work, is restarted only when its command changes.
scenario() {
  local table=$1 label=$2 command=() status=0 out=$work/$1-$2.txt
  shift 2
  while [ "$1" != -- ]; do command+=("$1"); shift; done
  shift
  if [ -z "$pid" ] || [ "${command[*]}" != "$serving" ]; then
    stop_server
    (exec "${command[@]}" >>server.out 2>>server.err) &
    pid=$! serving=${command[*]}
  fi
  timeout 300 "$build/keyreg-bench" --wait 30 --server-pid "$pid" "$@" >"$out" 2>&1 || status=$?
  echo "table=$table label=$label $(tail -n 1 "$out") exit=$status" >>lines
  echo "run.sh: $table $label: $(tail -n 1 "$out")" >&2
  kill -0 "$pid" 2>/dev/null || { echo "run.sh: the server died during $table $label" >&2; return 1; }
}

# start SERVER-COMMAND...: the server alone, logging in $work.
start() {
  stop_server
  (exec "$@" >>server.out 2>>server.err) &
  pid=$! serving=$*
  "$build/keyreg-bench" --wait 30 --connections 1 --requests 20 >/dev/null
}

# traced NAME SERVER: the server's system calls over 2000 registrations on one
# connection, counted by strace attached to all of its threads.
traced() {
  start "$2"
  strace -c -f -p "$pid" -o "syscalls-$1.txt" 2>/dev/null &
  local tracer=$!
  sleep 1
  "$build/keyreg-bench" --connections 1 --requests 2000 >/dev/null || true
  kill -INT "$tracer"
  wait "$tracer" || true
}

# profiled SERVER: where the server spends its time at 16 connections.
profiled() {
  start "$1"
  perf record -q -g -p "$pid" -o perf.data -- sleep "$secs" 2>/dev/null &
  local recorder=$!
  "$build/keyreg-bench" --connections 16 --seconds "$secs" >/dev/null || true
  wait "$recorder" || true
  perf report -i perf.data --stdio --no-children --sort dso,symbol -g none >perf.txt 2>/dev/null || true
}

# compare LABEL GENERATOR-ARGS...: a load run, after the same run on the
# baseline server when there is one.
compare() {
  if [ -n "${BASELINE_SERVER:-}" ]; then scenario before "$1" "$BASELINE_SERVER" -- "${@:2}"; fi
  scenario load "$1" "$server" -- "${@:2}"
}

inside() {
  ip link set lo up
  if [ "$(ulimit -Hn)" != unlimited ] && [ "$(ulimit -Hn)" -lt 20000 ]; then
    ulimit -Hn 20000 || echo "run.sh: too few descriptors: the 10,000-connection run will fail" >&2
  fi
  cd "$work"
  openssl genrsa -out private.pem 2048 2>/dev/null
  openssl rsa -in private.pem -pubout -out public.pem 2>/dev/null
  # Whatever ends this script, the server goes with it.
  trap stop_server EXIT
  trap 'exit 143' TERM INT

  local server=$build/keyreg-server secs=${RUN_SECONDS:-10} workers
  compare 1 --connections 1 --seconds "$secs"
  compare 16 --connections 16 --seconds "$secs"
  scenario state 16 "$server" --state "$work/keys.state" -- --connections 16 --seconds "$secs"
  echo "table=flush label=disk $("$build/keyreg-flush-bench" "$work") exit=$?" >>lines
  scenario load 256 "$server" -- --connections 256 --seconds "$secs"
  scenario load 1000 "$server" -- --connections 1000 --requests 3
  scenario load 10000 "$server" -- --connections 10000 --requests 2
  scenario idle idle "$server" -- --idle 5
  for workers in 1 2 3 auto; do
    scenario workers "$workers" "$server" --workers "$workers" -- --connections 16 --seconds "$secs"
  done
  if [ -n "${BASELINE_SERVER:-}" ]; then traced before "$BASELINE_SERVER"; fi
  traced after "$server"
  profiled "$server"
  stop_server
  "$build/keyreg-key-cache-bench" >key-cache.txt 2>&1 || true
  if [ "${PROFILE:-0}" = 1 ]; then
    scenario profile 4 valgrind --tool=callgrind --callgrind-out-file=callgrind.out "$server" -- \
      --connections 4 --requests 75 --timeout 240
    stop_server
    callgrind_annotate --inclusive=yes --auto=no callgrind.out >profile.txt 2>&1 || true
  fi
}

if [ "${1:-}" = --inside ]; then
  work=$2
  inside
  exit 0
fi

# ---------------------------------------------------------------------------
# Outside: build, enter the namespaces, write the report.

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKEYREG_BENCH=ON -DKEYREG_TESTS=OFF >/dev/null
cmake --build "$build" -j"${JOBS:-$(nproc)}" --target keyreg-server keyreg-bench keyreg-bench-tables \
  keyreg-key-cache-bench keyreg-flush-bench keyreg-table-bench keyreg-padding-oracle-probe >/dev/null
needed=(unshare ip openssl timeout strace perf taskset)
if [ "${PROFILE:-0}" = 1 ]; then needed+=(valgrind callgrind_annotate); fi
for tool in "${needed[@]}"; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is needed" >&2; exit 2; }
done
if [ -n "${BASELINE_SERVER:-}" ]; then
  [ -x "$BASELINE_SERVER" ] || { echo "run.sh: BASELINE_SERVER=$BASELINE_SERVER is no program" >&2; exit 2; }
  BASELINE_SERVER=$(realpath "$BASELINE_SERVER") && export BASELINE_SERVER
fi
namespaces=(unshare --net --ipc)
if [ "$(id -u)" -ne 0 ]; then namespaces=(unshare --map-root-user --net --ipc); fi

work=$(mktemp -d -t keyreg-bench.XXXXXX)
: >"$work/lines"
status=0
BUILD_DIR=$build timeout 1200 "${namespaces[@]}" "$0" --inside "$work" || status=$?
# Probes that make their own private world and print their own section.
BUILD_DIR=$build "$root/bench/table_read.sh" >"$work/table-read.md" || status=1
# The padding oracle, twice on each server. A 1024-bit key halves the
# private-key operation and with it the noise that this host adds to every
# round trip, which the intervals must see through.
oracle() {
  BUILD_DIR=$build SERVER=$1 LABEL=$2 BITS=${ORACLE_BITS:-1024} ROUNDS=${ORACLE_ROUNDS:-300000} \
    "$root/bench/padding_oracle.sh" >>"$work/oracle.md" || status=1
}
: >"$work/oracle.md"
for run in 1 2; do
  if [ -n "${BASELINE_SERVER:-}" ]; then oracle "$BASELINE_SERVER" "the baseline (BASELINE_SERVER), run $run"; fi
  oracle "$build/keyreg-server" "this checkout, run $run"
done
# Any wrong reply, lost request or connection error fails the whole script.
syscalls=(--syscalls after "$work/syscalls-after.txt")
if [ -n "${BASELINE_SERVER:-}" ]; then syscalls=(--syscalls before "$work/syscalls-before.txt" "${syscalls[@]}"); fi
"$build/keyreg-bench-tables" "$work/lines" --key-cache "$work/key-cache.txt" --profile "$work/profile.txt" \
  --perf "$work/perf.txt" "${syscalls[@]}" --section "$work/table-read.md" --section "$work/oracle.md" \
  >"$root/bench/RESULTS.md" || status=$((status == 0 ? 1 : status))
echo "run.sh: wrote $root/bench/RESULTS.md" >&2
if [ "${KEEP_WORK:-0}" = 1 ] || [ "$status" -ne 0 ]; then
  echo "run.sh: server folder and logs kept in $work" >&2
else
  rm -rf "$work"
fi
exit "$status"
