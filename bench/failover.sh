#!/usr/bin/env bash
# What a PostgreSQL failover costs the collectors: starts a primary and a streaming standby
# (initdb, pg_basebackup -R), three `skyloom --headless` collectors on a two-host address with
# their clocks sixty times as fast, two of them serving the API with an /events stream held
# open on each, then kills the primary (pg_ctl stop -m immediate) while a page is being
# fetched, promotes the standby and prints: seconds from the kill to the promotion and from
# the promotion to the first write on the new primary, pages fetched and attempts and slots
# stored, rows lost (committed on the old primary but missing on the new one, pages fetched
# but stored nowhere, slots without a row), rows written twice, and each stream's longest
# silence and the forecasts it missed. Once with asynchronous replication, once with
# synchronous.
# Usage: bench/failover.sh [BUILD_DIR] (default build); SKYLOOM_BENCH_MODES picks the kinds
# of replication, SKYLOOM_BENCH_KEEP=1 keeps the servers' and collectors' logs. Needs the postgresql package and the
# clock_shift module of the fault tests; as root the servers run as the postgres user.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
skyloom=$(realpath -m "$build/skyloom")
shift_lib=$(realpath -m "$build/tests/faults/libclock_shift.so")
[ -x "$skyloom" ] || { echo "no $skyloom: build the skyloom target first" >&2; exit 1; }
[ -f "$shift_lib" ] || { echo "no $shift_lib: build the clock_shift target first" >&2; exit 1; }
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/initdb" ] || { echo "no PostgreSQL server under /usr/lib/postgresql" >&2; exit 1; }
interval=${SKYLOOM_BENCH_INTERVAL_MINUTES:-3}  # three real seconds at sixty times
warmup=${SKYLOOM_BENCH_WARMUP_SECONDS:-15}
after=${SKYLOOM_BENCH_AFTER_SECONDS:-20}

free_port() {
  python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'
}
now() { date +%s.%N; }
seconds() { echo "$2 - $1" | bc -l | xargs printf '%.2f'; }

source bench/postgres_scratch.sh
declare -a children=()

stop_all() {
  for pid in "${children[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  sleep 1
  for pid in "${children[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  children=()
  for data in "$scratch"/run/*/; do
    [ -d "$data" ] && "${as_owner[@]}" "$bin/pg_ctl" stop -D "$data" -m immediate >/dev/null 2>&1 ||
      true
  done
  return 0
}
trap 'stop_all; [ -n "${SKYLOOM_BENCH_KEEP:-}" ] || rm -rf "$scratch"' EXIT
trap 'exit 1' INT TERM

psql_at() {  # port, sql
  "$bin/psql" -qAt -h 127.0.0.1 -p "$1" -U skyloom -d skyloom -c "$2"
}

# A page whose forecast names the request it answered, so that every fetch stores a row of
# its own and a row stored twice shows.
page_server() {
  python3 - "$1" "$2" <<'PY' &
import http.server, sys, time
port, log = int(sys.argv[1]), sys.argv[2]
served = 0
class Page(http.server.BaseHTTPRequestHandler):
    def do_GET(self):
        global served
        served += 1
        body = ('<html><body><!-- begin -->预报第%d次<div align="right"><b>今天</b></div>'
                '</body></html>' % served).encode('gb2312')
        with open(log, 'a') as f:
            f.write('%d %f\n' % (served, time.time()))
        time.sleep(0.1)  # a fetch under way when the primary dies (6 s of the clock)
        self.send_response(200)
        self.send_header('Content-Type', 'text/html; charset=gb2312')
        self.send_header('Content-Length', str(len(body)))
        self.end_headers()
        self.wfile.write(body)
    def log_message(self, *args):
        pass
http.server.ThreadingHTTPServer(('127.0.0.1', port), Page).serve_forever()
PY
  children+=($!)
}

# Each line of an /events stream, with when it came.
hold_stream() {
  (curl -sN "http://127.0.0.1:$1/events" | while IFS= read -r line; do
    printf '%s %s\n' "$(now)" "$line"
  done) >"$2" 2>/dev/null &
  children+=($!)
}

run() {
  local mode=$1
  local dir="$scratch/run/$mode"
  mkdir -p "$dir" && chown -R --reference="$scratch" "$scratch/run"
  local p1 p2 pages api1 api2
  p1=$(free_port) p2=$(free_port) pages=$(free_port) api1=$(free_port) api2=$(free_port)
  local primary="$dir/primary" standby="$dir/standby"
  "${as_owner[@]}" "$bin/initdb" -D "$primary" -U skyloom --auth=trust --no-sync >/dev/null
  cat >>"$primary/postgresql.conf" <<CONF
listen_addresses = '127.0.0.1'
port = $p1
unix_socket_directories = '$dir'
wal_level = replica
max_wal_senders = 4
CONF
  echo "host replication skyloom 127.0.0.1/32 trust" >>"$primary/pg_hba.conf"
  "${as_owner[@]}" "$bin/pg_ctl" start -D "$primary" -l "$dir/primary.log" -w >/dev/null
  "$bin/psql" -qAt -h 127.0.0.1 -p "$p1" -U skyloom -d postgres -c 'CREATE DATABASE skyloom'
  "$skyloom" --init-db --db "postgresql://skyloom@127.0.0.1:$p1/skyloom" >/dev/null
  "${as_owner[@]}" "$bin/pg_basebackup" -h 127.0.0.1 -p "$p1" -U skyloom -D "$standby" -R -c fast \
    -X stream --no-sync
  sed -i "s/^port = .*/port = $p2/" "$standby/postgresql.conf"
  "${as_owner[@]}" "$bin/pg_ctl" start -D "$standby" -l "$dir/standby.log" -w >/dev/null
  if [ "$mode" = synchronous ]; then
    psql_at "$p1" "ALTER SYSTEM SET synchronous_standby_names = '*'" >/dev/null
    psql_at "$p1" "SELECT pg_reload_conf()" >/dev/null
  fi
  until [ "$(psql_at "$p1" "SELECT count(*) FROM pg_stat_replication WHERE state = 'streaming'")" = 1 ]; do
    sleep 0.2
  done

  page_server "$pages" "$dir/pages.log"
  local uri="postgresql://skyloom@127.0.0.1:$p1,127.0.0.1:$p2/skyloom?connect_timeout=2"
  local start
  start=$(date -d "$(date +%F) 08:00:00" +%s)
  for n in 1 2 3; do
    local listen=()
    [ "$n" = 1 ] && listen=(--listen "127.0.0.1:$api1")
    [ "$n" = 2 ] && listen=(--listen "127.0.0.1:$api2")
    LD_PRELOAD="$shift_lib" CLOCK_SHIFT_START=$start CLOCK_SHIFT_RATE=60 \
      "$skyloom" --headless --db "$uri" --url "http://127.0.0.1:$pages/" \
      --windows 00:00-23:59 --interval "$interval" --lease-seconds 5 --db-timeout 3 \
      --db-connect-timeout 2 "${listen[@]}" >>"$dir/collector$n.log" 2>&1 &
    children+=($!)
  done
  # Any answer will do: a standby that has not fetched yet answers 503.
  until curl -s -o /dev/null "http://127.0.0.1:$api1/health" &&
    curl -s -o /dev/null "http://127.0.0.1:$api2/health"; do sleep 0.2; done
  hold_stream "$api1" "$dir/stream1"
  hold_stream "$api2" "$dir/stream2"
  sleep "$warmup"

  # Killed while a page is on its way, whose attempt must be stored on the new primary.
  local killed promoted written before pages_before
  pages_before=$(wc -l <"$dir/pages.log")
  until [ "$(wc -l <"$dir/pages.log")" != "$pages_before" ]; do sleep 0.02; done
  killed=$(now)
  "${as_owner[@]}" "$bin/pg_ctl" stop -D "$primary" -m immediate >/dev/null
  "${as_owner[@]}" "$bin/pg_ctl" promote -D "$standby" -w >/dev/null
  promoted=$(now)
  before=$(psql_at "$p2" "SELECT count(*) FROM tqlog")
  until [ "$(psql_at "$p2" "SELECT count(*) FROM tqlog")" != "$before" ]; do sleep 0.05; done
  written=$(now)
  sleep "$after"
  # A page fetched as the collectors stop is let go with the turn: it is not counted.
  local stopping
  stopping=$(now)
  for pid in "${children[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  sleep 2
  for pid in "${children[@]}"; do kill -KILL "$pid" 2>/dev/null || true; done
  children=()

  # The old primary, brought back alone on its port, tells what it had committed.
  "${as_owner[@]}" "$bin/pg_ctl" start -D "$primary" -l "$dir/primary.log" -w >/dev/null
  local number="substring(tqyb from '第([0-9]+)次')"
  psql_at "$p1" "SELECT $number FROM tq ORDER BY 1" | sort -u >"$dir/old"
  psql_at "$p2" "SELECT $number FROM tq ORDER BY 1" | sort -u >"$dir/new"
  awk -v before="$stopping" '$2 < before - 2 { print $1 }' "$dir/pages.log" | sort -u \
    >"$dir/served"
  local fetched stored twice lost_replication lost_pages
  fetched=$(wc -l <"$dir/served")
  stored=$(psql_at "$p2" "SELECT count(*) FROM tqlog")
  twice=$(psql_at "$p2" "SELECT count(*) - count(DISTINCT tqyb) FROM tq")
  lost_replication=$(comm -23 "$dir/old" "$dir/new" | wc -l)
  lost_pages=$(sort -u "$dir/old" "$dir/new" | comm -23 "$dir/served" - | wc -l)
  # Slots by the collectors' own clock, from the attempts they report as stored.
  local slots missing doubled
  cat "$dir"/collector*.log | awk -F'\t' -v every="$interval" '$4 ~ /写入/ {
      split(substr($1, 12), t, ":"); print int((t[1] * 60 + t[2]) / every) }' |
    sort -n >"$dir/slots"
  slots=$(uniq "$dir/slots" | wc -l)
  missing=$(uniq "$dir/slots" | awk 'NR > 1 && $1 > last + 1 { gaps += $1 - last - 1 }
    { last = $1 } END { print gaps + 0 }')
  doubled=$(uniq -d "$dir/slots" | wc -l)

  echo "== $mode replication"
  echo "kill to promotion:          $(seconds "$killed" "$promoted") s"
  echo "promotion to first write:   $(seconds "$promoted" "$written") s"
  echo "pages fetched:              $fetched; attempts stored on the new primary: $stored" \
    "in $slots slots"
  echo "rows lost:                  $lost_replication committed on the old primary only;" \
    "$lost_pages fetched pages stored nowhere; $missing slots without a row"
  echo "rows written twice:         $twice forecasts; $doubled slots with two log rows"
  local stream
  for stream in stream1 stream2; do
    local gap missed
    gap=$(awk -v from="$killed" '$2 == "id:" && $1 >= from - 5 {
        if (last) { d = $1 - last; if (d > most) most = d } last = $1 }
      END { printf "%.2f", most }' "$dir/$stream")
    grep ' id: ' "$dir/$stream" | awk '{ print $3 }' | sort -u >"$dir/$stream.ids"
    missed=$(psql_at "$p2" "SELECT id FROM tq ORDER BY 1" | sort -u |
      comm -23 - "$dir/$stream.ids" | awk -v first="$(head -n 1 "$dir/$stream.ids")" \
        '$1 > first' | wc -l)
    echo "$stream: longest silence around the failover $gap s; forecasts never sent: $missed"
  done
  grep -h 'connected again' "$dir"/collector*.log | sort | uniq -c | sed 's/^/  log: /' || true
  for data in "$primary" "$standby"; do
    "${as_owner[@]}" "$bin/pg_ctl" stop -D "$data" -m immediate >/dev/null 2>&1 || true
  done
}

for mode in ${SKYLOOM_BENCH_MODES:-asynchronous synchronous}; do run "$mode"; done
[ -z "${SKYLOOM_BENCH_KEEP:-}" ] || echo "logs kept in $scratch"
