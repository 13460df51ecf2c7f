#!/usr/bin/env bash
# Looks for a padding oracle in the server's timing: runs
# keyreg-padding-oracle-probe against a server in private network and IPC
# namespaces, probe and server each on a CPU of its own, and prints a
# Markdown section on standard output. The server logs to /dev/null.
#
# Environment:
#   BUILD_DIR  build folder of the probe, relative to the checkout or absolute (default build)
#   SERVER     the server program to probe (default: keyreg-server of BUILD_DIR), e.g. an older build
#   LABEL      what to call that server in the report (default "this checkout")
#   ROUNDS     timed requests (default 20000)
#   BITS       size of the server's key (default 2048); a smaller key shortens
#              the private-key operation, and with it the noise that other
#              work on the machine adds to every round trip
#   STRATUM    triples in a stretch of time within which the classes are compared (default 1000)
#   SAMPLES    a file to keep every timed round in (class, triple, µs), if any
#   CPUS       two CPUs, for the probe and the server (default "0 1")
#   PRIORITY   real-time (FIFO) priority of both, so that other work on the
#              machine preempts them less; 0 runs them as ordinary processes
#              (default 20 as root, else 0)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
server=${SERVER:-$build/keyreg-server}
read -r probe_cpu server_cpu <<<"${CPUS:-0 1}"
case ${SAMPLES:-} in '' | /*) ;; *) export SAMPLES=$PWD/$SAMPLES ;; esac
priority=${PRIORITY:-$([ "$(id -u)" -eq 0 ] && echo 20 || echo 0)}
pinned() { # pinned CPU COMMAND...: becomes COMMAND on CPU, at the real-time priority if any
  local cpu=$1
  shift
  if [ "$priority" -gt 0 ]; then set -- chrt -f "$priority" "$@"; fi
  exec taskset -c "$cpu" "$@"
}

if [ "${1:-}" = --inside ]; then
  work=$2
  ip link set lo up
  cd "$work"
  openssl genrsa -out private.pem "${BITS:-2048}" 2>/dev/null
  openssl rsa -in private.pem -pubout -out public.pem 2>/dev/null
  # In a subshell that becomes the server, so that $! is the server itself.
  (pinned "$server_cpu" "$server" >/dev/null 2>&1) &
  pid=$!
  trap 'kill "$pid" 2>/dev/null; wait "$pid" 2>/dev/null || true' EXIT
  for _ in $(seq 50); do
    (exec 3<>/dev/tcp/127.0.0.1/8800) 2>/dev/null && break
    sleep 0.1
  done
  (pinned "$probe_cpu" "$build/keyreg-padding-oracle-probe" --rounds "${ROUNDS:-20000}" --pubkey public.pem \
    ${STRATUM:+--stratum "$STRATUM"} ${SAMPLES:+--samples "$SAMPLES"})
  exit 0
fi

if [ -z "${SERVER:-}" ] || [ ! -x "$build/keyreg-padding-oracle-probe" ]; then
  cmake --build "$build" -j2 --target keyreg-padding-oracle-probe keyreg-server >/dev/null
fi
for tool in unshare ip openssl taskset chrt timeout; do
  command -v "$tool" >/dev/null || { echo "padding_oracle.sh: $tool is needed" >&2; exit 2; }
done
namespaces=(unshare --net --ipc)
if [ "$(id -u)" -ne 0 ]; then namespaces=(unshare --map-root-user --net --ipc); fi

work=$(mktemp -d -t keyreg-oracle.XXXXXX)
trap 'rm -rf "$work"' EXIT
loadavg=$(cut -d' ' -f1-3 /proc/loadavg)
echo "## Padding oracle: round trips of refused requests"
echo
echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); load average before: $loadavg"
echo "- Server: ${LABEL:-this checkout}, on CPU $server_cpu," \
  "logging (standard output and error) to /dev/null; probe on CPU $probe_cpu; real-time priority $priority;" \
  "one connection, ${BITS:-2048}-bit key, ${ROUNDS:-20000} rounds"
echo
BUILD_DIR=$build SERVER=$server timeout 900 "${namespaces[@]}" "$0" --inside "$work"
