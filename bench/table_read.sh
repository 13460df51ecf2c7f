#!/usr/bin/env bash
# Readers of the shared table through libkeyreg: look-ups per second on one
# core, idle and while the server writes at full rate, and the server's
# registrations per second with no reader, with a reader hammering the table
# through libkeyreg, and with one copying records bare. The server runs on
# the first core, writers and reader on the second, so that the figures
# compare locks and caches rather than shares of a core. Runs in private
# network and IPC namespaces and prints a Markdown section on standard
# output. Takes about a minute and a half.
#
# Environment:
#   BUILD_DIR     build folder, relative to the checkout or absolute (default build)
#   RUN_SECONDS   length of each timed run (default 5)
#   ROUNDS        rounds of the three server runs, interleaved (default 3)
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build}
case $build in /*) ;; *) build=$root/$build ;; esac
seconds=${RUN_SECONDS:-5}
rounds=${ROUNDS:-3}
bench=$build/keyreg-table-bench

if [ "${1:-}" != --inside ]; then
  for tool in unshare ip openssl taskset; do
    command -v "$tool" >/dev/null || { echo "table_read.sh: needs $tool" >&2; exit 2; }
  done
  [ -x "$bench" ] && [ -x "$build/keyreg-server" ] ||
    { echo "table_read.sh: build first (cmake --build $build)" >&2; exit 2; }
  namespaces=(unshare --net --ipc)
  if [ "$(id -u)" -ne 0 ]; then namespaces=(unshare --map-root-user --net --ipc); fi
  exec "${namespaces[@]}" "$0" --inside
fi

ip link set lo up
work=$(mktemp -d -t keyreg-table-bench.XXXXXX)
pid=""
cleanup() {
  if [ -n "$pid" ]; then kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

server_core=0 client_core=1
if [ "$(nproc)" -lt 2 ]; then client_core=0; fi
on() { taskset -c "$1" "${@:2}"; }

openssl genrsa -out private.pem 2048 2>/dev/null
openssl rsa -in private.pem -pubout -out public.pem 2>/dev/null
block() { # block FILE USERID KEY: a registration request made with openssl, not the server's code
  printf '{"userid":"%s","key":"%s"}' "$2" "$3" |
    openssl pkeyutl -encrypt -pubin -inkey public.pem -pkeyopt rsa_padding_mode:pkcs1 -out "$1"
}
users=(dorvanek talumesko tuvi brenquolar vestimorank)
for i in "${!users[@]}"; do block "u$i.bin" "${users[$i]}" "key of ${users[$i]}"; done
last=${users[4]}
block a.bin "$last" "$(printf 'A%.0s' $(seq 99))"
block b.bin "$last" "$(printf 'B%.0s' $(seq 37))"

(exec taskset -c "$server_core" "$build/keyreg-server" >server.out 2>server.err) &
pid=$!
for _ in $(seq 50); do
  if (exec 3<>/dev/tcp/127.0.0.1/8800) 2>/dev/null; then break; fi
  sleep 0.1
done
# One connection registers the five users in turn: slots 0 to 4.
on $client_core "$bench" write 1 1 u0.bin u1.bin u2.bin u3.bin u4.bin >/dev/null

kv() { tr ' ' '\n' <<<"$2" | sed -n "s/^$1=//p"; }
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$pid/stat"; }

# server_run READER: registrations/s and server CPU µs per registration while
# four connections re-register $last, with READER (none, lookup, bare) on the
# writers' core.
server_run() {
  local reader_pid="" ticks line
  if [ "$1" != none ]; then
    on $client_core "$bench" "$1" $((seconds + 2)) "$last" >/dev/null &
    reader_pid=$!
    sleep 0.5
  fi
  ticks=$(cpu_ticks)
  line=$(on $client_core "$bench" write "$seconds" 4 a.bin b.bin)
  ticks=$(($(cpu_ticks) - ticks))
  if [ -n "$reader_pid" ]; then wait "$reader_pid"; fi
  awk -v n="$(kv registrations "$line")" -v t="$ticks" -v hz="$(getconf CLK_TCK)" -v r="$(kv per_second "$line")" \
    'BEGIN { printf "%s|%.0f\n", r, (n > 0 ? t * 1e6 / hz / n : 0) }'
}

idle_slot4=$(on $client_core "$bench" lookup "$seconds" "$last")
idle_absent=$(on $client_core "$bench" lookup "$seconds" mallory || true)
on $client_core "$bench" write $((seconds + 2)) 4 a.bin b.bin >"$work/writes" &
writer=$!
sleep 0.5
busy_slot4=$(on $client_core "$bench" lookup "$seconds" "$last")
wait "$writer"

declare -A rate cpu
for round in $(seq "$rounds"); do
  for reader in none lookup bare; do
    IFS='|' read -r r c < <(server_run $reader)
    rate[$reader]+="$r "
    cpu[$reader]+="$c "
  done
done
mean() { tr ' ' '\n' <<<"$1" | awk 'NF { s += $1; n++ } END { if (n) printf "%.0f", s / n }'; }

echo "## Reading the table through libkeyreg"
echo
echo "- Date: $(date -u '+%Y-%m-%d %H:%M UTC'); $(nproc) cores, $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -n 1)"
echo "- Load average before the runs: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "- Server on core $server_core (its default three workers); writers and reader on core $client_core."
echo "  Writers: four connections re-registering $last (slot 4) with a key of 99 and one of 37 bytes"
echo "  in turn, one request in flight each, from ready-made request blocks."
echo
lookups() { echo "| $1 | $(kv per_second "$2") | $(kv per_cpu_second "$2") |"; }
echo "| Look-ups through libkeyreg, one core, $seconds s | Per second | Per CPU second |"
echo "|---|---:|---:|"
lookups "a user in slot 4 of 5, idle" "$idle_slot4"
lookups "an absent user (all 100 slots read), idle" "$idle_absent"
lookups "the user in slot 4 while the server rewrites it at full rate ($(kv per_second "$(cat "$work/writes")") registrations/s)" "$busy_slot4"
echo
echo "| Reader on the writers' core | Registrations/s, $rounds runs of $seconds s | Mean | Server CPU µs / registration | Mean |"
echo "|---|---|---:|---|---:|"
for reader in none lookup bare; do
  case $reader in
    none) label="none" ;;
    lookup) label="look-ups through libkeyreg, as fast as it can" ;;
    bare) label="bare copies of the records, as fast as it can" ;;
  esac
  echo "| $label | ${rate[$reader]}| $(mean "${rate[$reader]}") | ${cpu[$reader]}| $(mean "${cpu[$reader]}") |"
done
