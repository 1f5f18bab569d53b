#!/usr/bin/env bash
# How long the turn takes to pass when the active collector dies or freezes: starts a private
# PostgreSQL server and three `skyloom --headless` collectors on it, then five times sends the
# active one SIGKILL and five times SIGSTOP, and prints each time from the signal until the
# lease row names another live collector, and the median of each five. A signalled collector
# is then killed and replaced, so that three run at every trial.
# Usage: bench/takeover.sh [BUILD_DIR] (default build). Needs the postgresql package; as root
# the server runs as the postgres user through setpriv.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
skyloom=$(realpath -m "$build/skyloom")
[ -x "$skyloom" ] || { echo "no $skyloom: build the skyloom target first" >&2; exit 1; }
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/initdb" ] || { echo "no PostgreSQL server under /usr/lib/postgresql" >&2; exit 1; }
term=${SKYLOOM_BENCH_LEASE_SECONDS:-10}
trials=5

source bench/postgres_scratch.sh
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
uri="postgresql://skyloom@127.0.0.1:$port/skyloom"
declare -a collectors=()

cleanup() {
  for pid in "${collectors[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  "${as_owner[@]}" "$bin/pg_ctl" stop -D "$scratch/data" -m immediate >/dev/null 2>&1 || true
  rm -rf "$scratch"
}
trap cleanup EXIT

"${as_owner[@]}" "$bin/initdb" -D "$scratch/data" -U skyloom --auth=trust --no-sync >/dev/null
cat >>"$scratch/data/postgresql.conf" <<CONF
listen_addresses = '127.0.0.1'
port = $port
unix_socket_directories = '$scratch'
fsync = off
CONF
"${as_owner[@]}" "$bin/pg_ctl" start -D "$scratch/data" -l "$scratch/server.log" -w >/dev/null
"$bin/psql" -qAt -h 127.0.0.1 -p "$port" -U skyloom -d postgres -c 'CREATE DATABASE skyloom'
"$skyloom" --init-db --db "$uri" >/dev/null

# One window a second long, at an hour nobody measures at: no page is fetched.
start_collector() {
  "$skyloom" --headless --db "$uri" --url http://127.0.0.1:9/ --windows 03:33:00-03:33:01 \
    --lease-seconds "$term" >>"$scratch/collectors.log" 2>&1 &
  collectors+=($!)
  # Not reported as a job when it is killed.
  disown "$!"
}

# The process id in the lease row while its turn runs.
holder() {
  "$bin/psql" -qAt -h 127.0.0.1 -p "$port" -U skyloom -d skyloom -c \
    "SELECT split_part(holder, ':', 2) FROM skyloom_collector_lease WHERE expires > now()" \
    2>/dev/null || true
}

ours() { local pid; for pid in "${collectors[@]}"; do [ "$pid" = "$1" ] && return 0; done; return 1; }

now() { date +%s.%N; }

# Seconds from `signal` to the active collector until another of ours holds the turn, in
# `took`; run in this shell, not a subshell, since it replaces the collector it signalled.
trial() {
  local signal=$1 active= next= sent
  until active=$(holder) && [ -n "$active" ] && ours "$active"; do sleep 0.1; done
  sent=$(now)
  kill "-$signal" "$active"
  until next=$(holder) && [ -n "$next" ] && [ "$next" != "$active" ] && ours "$next"; do
    sleep 0.05
  done
  took=$(echo "$(now) - $sent" | bc -l)
  kill -KILL "$active" 2>/dev/null || true
  local left=() pid
  for pid in "${collectors[@]}"; do [ "$pid" != "$active" ] && left+=("$pid"); done
  collectors=("${left[@]}")
  start_collector
  sleep 2
}

median() { sort -g | awk '{ v[NR] = $1 } END { printf "%.2f", v[int((NR + 1) / 2)] }'; }

for _ in 1 2 3; do start_collector; done
sleep 3
for signal in KILL STOP; do
  times=()
  for _ in $(seq "$trials"); do
    trial "$signal"
    times+=("$took")
  done
  printf 'SIG%s: take-over after' "$signal"
  printf ' %.2f' "${times[@]}"
  printf ' s; median %s s (lease term %s s)\n' "$(printf '%s\n' "${times[@]}" | median)" "$term"
done
