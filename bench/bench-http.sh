#!/usr/bin/env bash
# Loads GET /forecast of the HTTP API (bench/serve_api over a scratch SQLite file) and then
# nginx serving the same body as a static file, each with `wrk -t2 -c32 -d20s --latency` on
# loopback, and reports requests per second, the 99th percentile, errors, the ratio, the
# API's CPU time per request, its resident memory before and after about a million requests,
# and the time of a normal request while 2000 idle and 200 trickling connections are held
# (bench/slow_clients.py).
# Usage: bench/bench-http.sh [BUILD_DIR] (default build-bench, configured with
# -DSKYLOOM_BUILD_BENCH=ON and built). Needs wrk, nginx (Debian nginx-light), curl and python3.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build-bench}
serve=$(realpath -m "$build/bench/serve_api")
[ -x "$serve" ] || { echo "no $serve: configure with -DSKYLOOM_BUILD_BENCH=ON and build" >&2; exit 1; }
nginx=$(command -v nginx || echo /usr/sbin/nginx)
[ -x "$nginx" ] || { echo "nginx is missing (Debian nginx-light)" >&2; exit 1; }
for tool in wrk curl python3; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
duration=${SKYLOOM_BENCH_DURATION:-20s}
memory_requests=${SKYLOOM_BENCH_MEMORY_REQUESTS:-1000000}
load=(wrk -t2 -c32 --latency)

scratch=$(mktemp -d)
api=
web=
cleanup() {
  for pid in $api $web; do
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
chmod 644 "$scratch/www/forecast"
web_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
cat >"$scratch/nginx.conf" <<EOF
worker_processes auto;
pid $scratch/nginx.pid;
error_log $scratch/logs/error.log;
events { worker_connections 1024; }
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

rss_start=$(rss_kib "$api")
"${load[@]}" -d2s "$api_url" >"$scratch/api-warm.txt"
rss_warm=$(rss_kib "$api")
cpu_before=$(cpu_ticks "$api")
"${load[@]}" -d"$duration" "$api_url" >"$scratch/api.txt"
cpu_during=$(( $(cpu_ticks "$api") - cpu_before ))
# More load until about a million requests have been served, to see whether memory grows.
served=$(( $(requests "$scratch/api-warm.txt") + $(requests "$scratch/api.txt") ))
while [ "$served" -lt "$memory_requests" ]; do
  "${load[@]}" -d10s "$api_url" >"$scratch/api-more.txt"
  served=$(( served + $(requests "$scratch/api-more.txt") ))
done
rss_after=$(rss_kib "$api")
python3 bench/slow_clients.py 127.0.0.1 "${address##*:}" 2000 200 20 >"$scratch/slow.txt"

"$nginx" -e "$scratch/logs/error.log" -p "$scratch" -c "$scratch/nginx.conf" -g 'daemon off;' &
web=$!
for _ in $(seq 100); do
  curl -sf "$web_url" -o /dev/null && break
  sleep 0.05
done
cmp -s <(curl -sf "$web_url") "$scratch/www/forecast" || { echo "nginx does not serve the body" >&2; exit 1; }
"${load[@]}" -d2s "$web_url" >/dev/null
"${load[@]}" -d"$duration" "$web_url" >"$scratch/nginx.txt"

python3 - "$scratch/api.txt" "$scratch/nginx.txt" "$served" "$rss_start" "$rss_warm" "$rss_after" \
  "$cpu_during" "$(getconf CLK_TCK)" <<'EOF'
import re, sys

def report(path):
    text = open(path).read()
    rps = float(re.search(r"Requests/sec:\s*([\d.]+)", text).group(1))
    value, unit = re.search(r"^\s*99%\s+([\d.]+)(us|ms|s)\s*$", text, re.M).groups()
    p99 = float(value) * {"us": 1e-3, "ms": 1, "s": 1e3}[unit]
    errors = sum(int(n) for n in re.findall(r"(?:connect|read|write|timeout) (\d+)", text))
    bad = re.search(r"Non-2xx or 3xx responses: (\d+)", text)
    return rps, p99, errors + (int(bad.group(1)) if bad else 0)

api, web = report(sys.argv[1]), report(sys.argv[2])
served, start, warm, after, ticks, tick_rate = (int(v) for v in sys.argv[3:])
requests = int(re.search(r"^\s*(\d+) requests in", open(sys.argv[1]).read(), re.M).group(1))
ratio = api[0] / web[0]
growth = (after - warm) / 1024
print("GET /forecast, wrk -t2 -c32 on loopback:")
for name, (rps, p99, errors) in (("skyloom API", api), ("nginx", web)):
    print(f"  {name:12} {rps:9.0f} requests/s  p99 {p99:6.2f} ms  errors {errors}")
print(f"  ratio {ratio:.2f} of nginx (target at least 0.25): {'met' if ratio >= 0.25 else 'MISSED'}")
print(f"  API p99 under 10 ms, no errors: {'met' if api[1] < 10 and api[2] == 0 else 'MISSED'}")
print(f"  API CPU time {ticks / tick_rate / requests * 1e6:.1f} µs per request (user and system)")
print(f"API resident memory: {start / 1024:.1f} MiB at start, {warm / 1024:.1f} MiB after warm-up, "
      f"{after / 1024:.1f} MiB after {served} requests")
print(f"  growth after warm-up {growth:.2f} MiB (target under 5 MiB): "
      f"{'met' if growth < 5 else 'MISSED'}")
EOF
cat "$scratch/slow.txt"
