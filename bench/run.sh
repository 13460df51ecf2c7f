#!/usr/bin/env bash
# Measures the server under load and writes bench/RESULTS.md: throughput
# against the RSA limit of this machine, latency, peak memory and CPU use
# while idle, and throughput by worker count. The server and the load generator run together in private
# network and IPC namespaces, so the host's port 8800 and its shared-memory
# segment are never touched. Takes about two minutes.
#
# Environment:
#   BUILD_DIR     build folder, relative to the checkout or absolute (default build)
#   RUN_SECONDS   length of each timed run (default 10)
#   JOBS          build parallelism (default: number of cores)
#   PROFILE=1     afterwards, profile a short run under callgrind (slow: ~1 min more)
#   KEEP_WORK=1   keep the server's folder with its logs
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build}
case $build in /*) ;; *) build=$root/$build ;; esac

# ---------------------------------------------------------------------------
# Inside the namespaces: key pair, server, runs, measurements.

kv() { # kv KEY LINE: the value of KEY in a key=value line
  tr ' ' '\n' <<<"$2" | sed -n "s/^$1=//p"
}

proc_field() { # proc_field PID KEY: a kB figure from /proc/PID/status
  awk -v k="$2:" '$1 == k { print $2 }' "/proc/$1/status"
}

listen_overflows() { # connections the kernel could not queue for accept, in this namespace
  awk '$1 == "TcpExt:" { if (!n) { for (i = 2; i <= NF; i++) col[$i] = i; n = 1 } else print $col["ListenOverflows"] }' \
    /proc/net/netstat
}

cpu_ticks() { # user + system time of PID, all threads, in clock ticks
  awk '{ print $14 + $15 }' "/proc/$1/stat"
}

wait_ready() {
  for _ in $(seq 50); do
    if (exec 3<>/dev/tcp/127.0.0.1/8800) 2>/dev/null; then return 0; fi
    sleep 0.1
  done
  echo "run.sh: the server did not start listening; see $work/server.err" >&2
  return 1
}

pid=""

start_server() { # start_server [SERVER-ARGS...]: the server in $work, its logs beside it
  (cd "$work" && exec "$build/keyreg-server" "$@" >server.out 2>server.err) &
  pid=$!
  wait_ready
}

stop_server() {
  [ -n "$pid" ] || return 0
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  pid=""
}

# bench LABEL ARGS...: one generator run; appends to results (or to $into)
# "LABEL|ARGS|KV-LINE|status|VmHWM|listen overflows|server CPU us per registration|CPU us of one op".
# CPU time per registration against CPU time of one RSA operation holds even
# when other work on the machine makes the wall-clock figures wander.
bench() {
  local label=$1
  shift
  local status=0 overflows ticks out=$work/bench-$label.txt into=${into:-$work/results}
  overflows=$(listen_overflows)
  ticks=$(cpu_ticks "$pid")
  (cd "$work" && timeout 300 "$build/keyreg-bench" "$@") >"$out" 2>&1 || status=$?
  if ! kill -0 "$pid" 2>/dev/null; then
    echo "run.sh: the server died during the run at $label connections" >&2
    echo "$label|$*|$(tail -n 1 "$out")|$status|-|-|-|-" >>"$into"
    return 1
  fi
  ticks=$(($(cpu_ticks "$pid") - ticks))
  overflows=$(($(listen_overflows) - overflows))
  local ok op_cpu per_reg
  ok=$(sed -n 's/^registrations: *\([0-9]*\) ok.*/\1/p' "$out")
  op_cpu=$(sed -n 's/^one private-key op: .* \([0-9]*\) us CPU.*/\1/p' "$out")
  per_reg=$(awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" -v n="${ok:-0}" 'BEGIN { if (n > 0) printf "%.0f", t * 1e6 / hz / n; else print "-" }')
  echo "$label|$*|$(tail -n 1 "$out")|$status|$(proc_field "$pid" VmHWM)|$overflows|$per_reg|${op_cpu:--}" >>"$into"
  echo "run.sh: $label: $(tail -n 1 "$out")" >&2
}

profile_server() {
  command -v valgrind >/dev/null || { echo "run.sh: no valgrind, no profile" >&2; return 0; }
  local dir=$work/profile
  mkdir -p "$dir"
  cp "$work/private.pem" "$work/public.pem" "$dir"
  (cd "$dir" && exec valgrind --tool=callgrind --callgrind-out-file=callgrind.out \
    "$build/keyreg-server" >server.out 2>server.err) &
  pid=$!
  for _ in $(seq 100); do
    (exec 3<>/dev/tcp/127.0.0.1/8800) 2>/dev/null && break
    sleep 0.2
  done
  (cd "$dir" && timeout 300 "$build/keyreg-bench" --connections 4 --requests 75 --timeout 240) >"$dir/bench.txt" 2>&1 || true
  stop_server
  # Only the cost lines, without this machine's folders, cut to a readable width.
  callgrind_annotate --inclusive=yes --auto=no "$dir/callgrind.out" 2>/dev/null | sed -n '/PROGRAM TOTALS/,$p' |
    grep '%' | sed -e "s#$build/##g" -e "s#$root/##g" | cut -c1-160 | head -n 40 >"$work/profile-inclusive.txt" || true
}

inside() {
  ip link set lo up
  local hard
  hard=$(ulimit -Hn)
  if [ "$hard" != unlimited ] && [ "$hard" -lt 20000 ]; then
    ulimit -Hn 20000 || echo "run.sh: only $hard descriptors: the 10,000-connection run will fail" >&2
  fi
  ulimit -n "$(ulimit -Hn)"

  cd "$work"
  openssl genrsa -out private.pem 2048 2>/dev/null
  openssl rsa -in private.pem -pubout -out public.pem 2>/dev/null
  : >results
  : >workers
  # Whatever ends this script, the server goes with it.
  trap stop_server EXIT
  trap 'exit 143' TERM INT
  start_server

  local secs=${RUN_SECONDS:-10}
  bench 1 --connections 1 --seconds "$secs"
  bench 16 --connections 16 --seconds "$secs"
  bench 256 --connections 256 --seconds "$secs"
  bench 1000 --connections 1000 --requests 3
  bench 10000 --connections 10000 --requests 2

  # Idle: every connection has gone; nothing should run at all.
  sleep 1
  local before after
  before=$(cpu_ticks "$pid")
  sleep 5
  after=$(cpu_ticks "$pid")
  echo "idle_ticks=$((after - before)) clk_tck=$(getconf CLK_TCK) vmrss_kb=$(proc_field "$pid" VmRSS)" \
    "vmhwm_kb=$(proc_field "$pid" VmHWM) threads=$(proc_field "$pid" Threads)" >"$work/idle"
  stop_server

  # The same load with each worker count; auto is one per online CPU.
  local workers
  for workers in 1 2 3 auto; do
    start_server --workers "$workers"
    into=$work/workers bench "w$workers" --connections 16 --seconds "$secs"
    stop_server
  done

  "$build/keyreg-key-cache-bench" >"$work/key-cache.txt" 2>&1 || true
  if [ "${PROFILE:-0}" = 1 ]; then profile_server; fi
}

if [ "${1:-}" = --inside ]; then
  work=$2
  inside
  exit 0
fi

# ---------------------------------------------------------------------------
# Outside: build, enter the namespaces, write the report.

if [ ! -f "$build/CMakeCache.txt" ]; then cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null; fi
cmake --build "$build" -j"${JOBS:-$(nproc)}" --target keyreg-server keyreg-bench keyreg-key-cache-bench >/dev/null

for tool in unshare ip openssl timeout; do
  command -v "$tool" >/dev/null || { echo "run.sh: $tool is needed" >&2; exit 2; }
done
namespaces=(unshare --net --ipc)
if [ "$(id -u)" -ne 0 ]; then namespaces=(unshare --map-root-user --net --ipc); fi

work=$(mktemp -d -t keyreg-bench.XXXXXX)
: >"$work/results"
: >"$work/workers"
loadavg=$(cut -d' ' -f1-3 /proc/loadavg)
status=0
BUILD_DIR=$build timeout 900 "${namespaces[@]}" "$0" --inside "$work" || status=$?
# Any wrong reply, lost request or connection error fails the whole script.
if [ "$status" -eq 0 ] && cut -d'|' -f4 "$work/results" "$work/workers" | grep -qv '^0$'; then status=1; fi

field() { # field LABEL N: field N of the results line of run LABEL
  awk -F'|' -v l="$1" -v n="$2" '$1 == l { print $n }' "$work/results"
}

target() { # target TEXT VALUE AWK-CONDITION-ON-x
  local verdict="not measured"
  if [ -n "$2" ] && [ "$2" != - ]; then
    if awk -v x="$2" "BEGIN { exit !($3) }"; then verdict=met; else verdict="**not met**"; fi
  fi
  echo "| $1 | ${2:--} | $verdict |"
}

targets() {
  local r16 r256 p50 op op_cpu cpu16 idle_ticks=""
  r16=$(kv ratio "$(field 16 3)")
  r256=$(kv ratio "$(field 256 3)")
  p50=$(kv p50_us "$(field 1 3)")
  op=$(kv rsa_op_us "$(field 1 3)")
  op_cpu=$(field 1 8)
  cpu16=$(awk -v a="$(field 16 7)" -v b="$(field 16 8)" 'BEGIN { if (a > 0 && b > 0) printf "%.2f", a / b }')
  [ -f "$work/idle" ] && idle_ticks=$(kv idle_ticks "$(cat "$work/idle")")
  echo "| Target | Measured | |"
  echo "|---|---:|---|"
  target "Throughput ≥ 0.85 × RSA limit, 16 connections" "$r16" "x >= 0.85"
  target "Throughput ≥ 0.85 × RSA limit, 256 connections" "$r256" "x >= 0.85"
  target "Same, noise-free view: server CPU per registration ≤ 1.18 × op CPU, 16 connections" "$cpu16" "x <= 1.18"
  target "One connection: p50 ≤ 1.3 × one private-key op (wall time of the op)" \
    "$(awk -v a="$p50" -v b="$op" 'BEGIN { if (b > 0) printf "%.2f", a / b }')" "x <= 1.3"
  target "Same against the op's CPU time, which other work cannot inflate" \
    "$(awk -v a="$p50" -v b="$op_cpu" 'BEGIN { if (b > 0) printf "%.2f", a / b }')" "x <= 1.3"
  target "10,000 connections all answered (errors)" "$(kv errors "$(field 10000 3)")" "x == 0"
  target "Peak RSS ≤ 16 MiB after 1,000 connections (KiB)" "$(field 1000 5)" "x <= 16384"
  target "No CPU while idle for 5 s (ticks)" "$idle_ticks" "x == 0"
}

results=$root/bench/RESULTS.md
{
  echo "# Benchmark results"
  echo
  echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "- Machine: $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
  echo "- Kernel: $(uname -r)"
  echo "- OpenSSL: $(openssl version)"
  echo "- Load average before the runs: $loadavg (other work on the machine makes the figures noisy)"
  echo "- Server: 2048-bit key, logs to files; generator and server share the cores."
  echo "- Ratio: registrations/s over the RSA limit, both wall-clock but measured seconds apart, so"
  echo "  other work on the machine can push it either way. The last three columns are steadier:"
  echo "  the server's CPU time per registration over the CPU time of one private-key operation."
  echo
  echo "| Connections | Load | Registrations/s | RSA limit (ops/s) | Ratio | p50 µs | p90 µs | p99 µs | max µs | One op µs | p50 / op | Errors | Listen overflows | Server VmHWM KiB | Server CPU µs / reg. | Op CPU µs | CPU / op |"
  echo "|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"
  while IFS='|' read -r label args line rc hwm overflows per_reg op_cpu; do
    op=$(kv rsa_op_us "$line")
    p50=$(kv p50_us "$line")
    per_op=$(awk -v a="$p50" -v b="$op" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    cpu_ratio=$(awk -v a="$per_reg" -v b="$op_cpu" 'BEGIN { if (b > 0 && a > 0) printf "%.2f", a / b; else print "-" }')
    load=$(sed 's/--connections [0-9]* //; s/--//g' <<<"$args")
    echo "| $label | $load | $(kv throughput "$line") | $(kv rsa_limit "$line") | $(kv ratio "$line") | $p50 |" \
      "$(kv p90_us "$line") | $(kv p99_us "$line") | $(kv max_us "$line") | $op | $per_op | $(kv errors "$line") (exit $rc) | $overflows | $hwm | $per_reg | $op_cpu | $cpu_ratio |"
  done <"$work/results"
  echo
  targets
  echo
  if [ -f "$work/idle" ]; then
    idle=$(cat "$work/idle")
    echo "Idle for 5 s after the runs: $(kv idle_ticks "$idle") ticks of CPU (1 tick = 1/$(kv clk_tck "$idle") s)," \
      "VmRSS $(kv vmrss_kb "$idle") KiB, peak VmHWM $(kv vmhwm_kb "$idle") KiB, $(kv threads "$idle") threads."
    echo
  fi
  if [ -s "$work/workers" ]; then
    echo "Worker threads (\`--workers\`), 16 connections, ${RUN_SECONDS:-10} s each; auto is $(nproc) here:"
    echo
    echo "| Workers | Registrations/s | RSA limit (ops/s) | Ratio | p50 µs | p99 µs | Server CPU µs / reg. | Errors |"
    echo "|---|---:|---:|---:|---:|---:|---:|---:|"
    while IFS='|' read -r label _ line rc _ _ per_reg _; do
      echo "| ${label#w} | $(kv throughput "$line") | $(kv rsa_limit "$line") | $(kv ratio "$line") |" \
        "$(kv p50_us "$line") | $(kv p99_us "$line") | $per_reg | $(kv errors "$line") (exit $rc) |"
    done <"$work/workers"
    echo
  fi
  if [ -f "$work/key-cache.txt" ]; then
    echo "Decryption as the server does it (keyreg-key-cache-bench):"
    echo
    echo '```'
    cat "$work/key-cache.txt"
    echo '```'
    echo
  fi
  echo "Generator output, last lines:"
  echo
  echo '```'
  cut -d'|' -f3 "$work/results"
  echo '```'
  if [ -f "$work/profile-inclusive.txt" ]; then
    echo
    echo "Callgrind, 300 requests on 4 connections, inclusive cost:"
    echo
    echo '```'
    cat "$work/profile-inclusive.txt"
    echo '```'
  fi
} >"$results"
echo "run.sh: wrote $results" >&2

if [ "${KEEP_WORK:-0}" = 1 ] || [ "$status" -ne 0 ]; then
  echo "run.sh: server folder and logs kept in $work" >&2
else
  rm -rf "$work"
fi
exit "$status"
