#!/usr/bin/env bash
# GET /forecast of the HTTP API (bench/serve_api over a scratch SQLite file) side by side with
# nginx serving the same body as a static file, in one run:
#  - `wrk -t2 -c32 --latency` on loopback in rounds that alternate between the two, so that
#    both see the same machine: requests per second, the 99th percentile, and the ratios;
#  - the API's CPU time per request and its resident memory before and after about a million
#    requests;
#  - the slowest normal request while 2000 idle and 200 trickling connections are held
#    (bench/slow_clients.py), against each server;
#  - `skyloom --headless --listen` a minute after a fetch of the real page, idle since:
#    resident memory and threads.
# Usage: bench/bench-http.sh [BUILD_DIR] (default build-bench, configured with
# -DSKYLOOM_BUILD_BENCH=ON and built). Needs wrk, nginx (Debian nginx-light), curl and python3.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-bench}
serve=$(realpath -m "$build/bench/serve_api")
skyloom=$(realpath -m "$build/skyloom")
for program in "$serve" "$skyloom"; do
  [ -x "$program" ] || { echo "no $program: configure with -DSKYLOOM_BUILD_BENCH=ON and build" >&2; exit 1; }
done
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "nginx is missing (Debian nginx-light)" >&2; exit 1; }
for tool in wrk curl python3; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
duration=${SKYLOOM_BENCH_DURATION:-10s}
rounds=${SKYLOOM_BENCH_ROUNDS:-3}
idle_seconds=${SKYLOOM_BENCH_IDLE_SECONDS:-60}
memory_requests=${SKYLOOM_BENCH_MEMORY_REQUESTS:-1000000}
load=(wrk -t2 -c32 --latency)

scratch=$(mktemp -d)
api=
web=
idler=
cleanup() {
  for pid in $api $web $idler; do
    kill "$pid" 2>/dev/null && { wait "$pid" 2>/dev/null || true; }
  done
  rm -rf "$scratch"
}
trap cleanup EXIT

rss_kib() { sed -n 's/^VmRSS:[[:space:]]*\([0-9]*\) kB/\1/p' "/proc/$1/status"; }
# User and system CPU time of a process, in clock ticks.
cpu_ticks() { awk '{ print $14 + $15 }' "/proc/$1/stat"; }
# Requests a wrk report counted.
requests() { sed -n 's/^ *\([0-9]*\) requests in .*/\1/p' "$1"; }

"$serve" 0 >"$scratch/api.log" 2>&1 &
api=$!
address=
for _ in $(seq 100); do
  address=$(sed -n 's/^listening on //p' "$scratch/api.log")
  [ -n "$address" ] && break
  sleep 0.05
done
[ -n "$address" ] || { echo "serve_api did not start: $(cat "$scratch/api.log")" >&2; exit 1; }
api_url="http://$address/forecast"

# nginx serves what the API answers, byte for byte; its workers run as nobody.
mkdir -p "$scratch/www" "$scratch/logs"
curl -sf "$api_url" -o "$scratch/www/forecast"
chmod 755 "$scratch" "$scratch/www"
cp tests/data/shortnb_output.html "$scratch/www/page"
chmod 644 "$scratch/www/forecast" "$scratch/www/page"
web_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$scratch/nginx.conf" <<EOF
worker_processes auto;
pid $scratch/nginx.pid;
error_log $scratch/logs/error.log;
events { worker_connections 4096; }
http {
  access_log off;
  server {
    listen 127.0.0.1:$web_port;
    root $scratch/www;
    location = /forecast {
      default_type application/json;
      add_header Access-Control-Allow-Origin *;
    }
  }
}
EOF
web_url="http://127.0.0.1:$web_port/forecast"

"$nginx" -e "$scratch/logs/error.log" -p "$scratch" -c "$scratch/nginx.conf" -g 'daemon off;' &
web=$!
for _ in $(seq 100); do
  curl -sf "$web_url" -o /dev/null && break
  sleep 0.05
done
cmp -s <(curl -sf "$web_url") "$scratch/www/forecast" || { echo "nginx does not serve the body" >&2; exit 1; }

rss_start=$(rss_kib "$api")
"${load[@]}" -d2s "$api_url" >"$scratch/api-warm.txt"
"${load[@]}" -d2s "$web_url" >/dev/null
rss_warm=$(rss_kib "$api")
cpu_ticks_api=0
for round in $(seq "$rounds"); do
  cpu_before=$(cpu_ticks "$api")
  "${load[@]}" -d"$duration" "$api_url" >"$scratch/api-$round.txt"
  cpu_ticks_api=$(( cpu_ticks_api + $(cpu_ticks "$api") - cpu_before ))
  "${load[@]}" -d"$duration" "$web_url" >"$scratch/nginx-$round.txt"
done
# More load until about a million requests have been served, to see whether memory grows.
served=$(requests "$scratch/api-warm.txt")
for round in $(seq "$rounds"); do served=$(( served + $(requests "$scratch/api-$round.txt") )); done
while [ "$served" -lt "$memory_requests" ]; do
  "${load[@]}" -d10s "$api_url" >"$scratch/api-more.txt"
  served=$(( served + $(requests "$scratch/api-more.txt") ))
done
rss_after=$(rss_kib "$api")

python3 bench/slow_clients.py 127.0.0.1 "${address##*:}" 2000 200 20 >"$scratch/slow-api.txt"
python3 bench/slow_clients.py 127.0.0.1 "$web_port" 2000 200 20 >"$scratch/slow-nginx.txt"

# The whole program with its API, after the work it idles between: its only window opens at
# the start of this minute, so it fetches the page from nginx about a minute after starting,
# and then waits the half hour of its interval.
window="$(date +%H:%M)-$(date -d '+5 minutes' +%H:%M)"
"$skyloom" --headless --windows "$window" --db "$scratch/idle.mdb" \
  --url "http://127.0.0.1:$web_port/page" --listen 127.0.0.1:0 >"$scratch/idle.log" 2>&1 &
idler=$!
# An attempt's line: time, status, error number, description.
fetched() { awk -F'\t' '$3 == "0" { found = 1 } END { exit !found }' "$scratch/idle.log"; }
for _ in $(seq 1500); do
  fetched && break
  sleep 0.1
done
fetched || { echo "skyloom --headless fetched nothing: $(cat "$scratch/idle.log")" >&2; exit 1; }
sleep "$idle_seconds"
kill -0 "$idler" 2>/dev/null || { echo "skyloom --headless ended: $(cat "$scratch/idle.log")" >&2; exit 1; }
idle_rss=$(rss_kib "$idler")
idle_threads=$(sed -n 's/^Threads:[[:space:]]*//p' "/proc/$idler/status")

python3 - "$scratch" "$rounds" "$served" "$rss_start" "$rss_warm" "$rss_after" \
  "$cpu_ticks_api" "$(getconf CLK_TCK)" "$idle_seconds" "$idle_rss" "$idle_threads" <<'EOF'
import re, statistics, sys

scratch, rounds = sys.argv[1], int(sys.argv[2])
served, start, warm, after, ticks, tick_rate, idle_seconds, idle_rss, idle_threads = (
    int(v) for v in sys.argv[3:])

def report(path):
    text = open(path).read()
    rps = float(re.search(r"Requests/sec:\s*([\d.]+)", text).group(1))
    value, unit = re.search(r"^\s*99%\s+([\d.]+)(us|ms|s)\s*$", text, re.M).groups()
    p99 = float(value) * {"us": 1e-3, "ms": 1, "s": 1e3}[unit]
    errors = sum(int(n) for n in re.findall(r"(?:connect|read|write|timeout) (\d+)", text))
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
    requests = int(re.search(r"^\s*(\d+) requests in", text, re.M).group(1))
    return rps, p99, errors + (int(bad.group(1)) if bad else 0), requests

api = [report(f"{scratch}/api-{r}.txt") for r in range(1, rounds + 1)]
web = [report(f"{scratch}/nginx-{r}.txt") for r in range(1, rounds + 1)]
print(f"GET /forecast, wrk -t2 -c32 on loopback, {rounds} rounds alternating:")
for name, runs in (("skyloom API", api), ("nginx", web)):
    rps = ", ".join(f"{r[0]:.0f}" for r in runs)
    p99 = ", ".join(f"{r[1]:.2f}" for r in runs)
    print(f"  {name:12} requests/s {rps}; p99 ms {p99}; errors {sum(r[2] for r in runs)}")
rps_ratio = statistics.median(a[0] for a in api) / statistics.median(w[0] for w in web)
p99_ratio = statistics.median(a[1] for a in api) / statistics.median(w[1] for w in web)
print(f"  throughput {rps_ratio:.2f} of nginx's (medians)")
print(f"  p99 {p99_ratio:.2f} of nginx's (medians; target at most 1.0, no errors): "
      f"{'met' if p99_ratio <= 1.0 and not any(a[2] for a in api) else 'MISSED'}")
requests = sum(a[3] for a in api)
print(f"  API CPU time {ticks / tick_rate / requests * 1e6:.1f} µs per request (user and system)")
print(f"API resident memory: {start / 1024:.1f} MiB at start, {warm / 1024:.1f} MiB after warm-up, "
      f"{after / 1024:.1f} MiB after {served} requests")
growth = (after - warm) / 1024
print(f"  growth after warm-up {growth:.2f} MiB (target under 5 MiB): "
      f"{'met' if growth < 5 else 'MISSED'}")

def slowest(path):
    found = re.search(r"slowest ([\d.]+) ms; (\d+) failed", open(path).read())
    return (float(found.group(1)), int(found.group(2))) if found else (float("inf"), -1)

for name, path in (("skyloom API", "slow-api.txt"), ("nginx", "slow-nginx.txt")):
    print(f"{name}, with " + open(f"{scratch}/{path}").read().strip())
api_slowest, api_failed = slowest(f"{scratch}/slow-api.txt")
print(f"  API slowest normal request {api_slowest:.1f} ms (target at most 5 ms, none failed): "
      f"{'met' if api_slowest <= 5 and api_failed == 0 else 'MISSED'}")
print(f"skyloom --headless --listen {idle_seconds} s after a fetch: {idle_rss / 1024:.1f} MiB "
      f"resident, {idle_threads} threads (target at most 16 MiB and 8 threads): "
      f"{'met' if idle_rss <= 16 * 1024 and idle_threads <= 8 else 'MISSED'}")
EOF
