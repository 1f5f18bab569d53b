#!/usr/bin/env bash
# Times one `skyloom --once` against curl fetching the same page from a loopback server, and
# measures the peak memory of each; reports the ratio of their mean wall times. Usage: scripts/bench-once.sh [BUILD_DIR]
# (default build). Needs hyperfine and python3.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
skyloom=$(realpath -m "$build/skyloom")
[ -x "$skyloom" ] || { echo "no program at $skyloom: build it first" >&2; exit 1; }
for tool in hyperfine python3 curl; do
  command -v "$tool" >/dev/null || { echo "$tool is missing" >&2; exit 1; }
done
warmup=${SKYLOOM_BENCH_WARMUP:-5}
runs=${SKYLOOM_BENCH_RUNS:-50}

scratch=$(mktemp -d)
server=
cleanup() {
  if [ -n "$server" ]; then kill "$server" 2>/dev/null && { wait "$server" 2>/dev/null || true; }; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

mkdir "$scratch/www"
cp tests/data/shortnb_output.html "$scratch/www/page"
# Port 0 lets the system pick a free port; the server prints the one it got.
python3 -u -m http.server 0 --bind 127.0.0.1 --directory "$scratch/www" \
  >"$scratch/server.log" 2>&1 &
server=$!
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.*port \([0-9][0-9]*\).*/\1/p' "$scratch/server.log" | head -n1)
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { echo "the loopback server did not start" >&2; exit 1; }
url="http://127.0.0.1:$port/page"
db="$scratch/tqyb.mdb"

# Timing a run that failed or extracted something else would be meaningless.
if ! "$skyloom" --once --url "$url" --db "$db" >"$scratch/once.txt"; then
  echo "skyloom --once failed against $url" >&2
  exit 1
fi
if [ "$(cat "$scratch/once.txt")" != "$(cat tests/data/shortnb_output.expected.txt)" ]; then
  echo "skyloom --once did not print the expected forecast" >&2
  exit 1
fi

# No shell in between: its start-up would be a large share of a few milliseconds.
hyperfine -N --warmup "$warmup" --runs "$runs" --export-json "$scratch/times.json" \
  --command-name "skyloom --once" "'$skyloom' --once --url $url --db '$db'" \
  --command-name "curl -s" "curl -s $url" >"$scratch/hyperfine.txt"

# Peak resident set size in KiB, the largest over a few runs.
peak_rss() {
  local peak=0 rss
  for _ in 1 2 3 4 5; do
    if [ -x /usr/bin/time ]; then
      /usr/bin/time -v "$@" >/dev/null 2>"$scratch/time.txt"
      rss=$(sed -n 's/.*Maximum resident set size (kbytes): *\([0-9]*\).*/\1/p' "$scratch/time.txt")
    else
      # VmHWM vanishes with the process; the kernel's rusage of the reaped child holds the
      # same high-water mark.
      rss=$(python3 -c 'import resource, subprocess, sys
subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, check=True)
print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)' "$@")
    fi
    [ "$rss" -gt "$peak" ] && peak=$rss
  done
  echo "$peak"
}
skyloom_rss=$(peak_rss "$skyloom" --once --url "$url" --db "$db")
curl_rss=$(peak_rss curl -s "$url")
rss_tool=$([ -x /usr/bin/time ] && echo "/usr/bin/time -v" || echo "getrusage")

python3 - "$scratch/times.json" "$skyloom_rss" "$curl_rss" "$rss_tool" <<'EOF'
import json, sys

results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
skyloom, curl = results["skyloom --once"], results["curl -s"]
skyloom_rss, curl_rss, rss_tool = int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
ratio = skyloom["mean"] / curl["mean"]

def line(name, r):
    return (f"  {name:15} mean {r['mean'] * 1e3:7.2f} ms  ± {r['stddev'] * 1e3:5.2f} ms"
            f"  (median {r['median'] * 1e3:.2f} ms, {len(r['times'])} runs)")

print("Wall time, page served on loopback:")
print(line("skyloom --once", skyloom))
print(line("curl -s", curl))
print(f"  ratio {ratio:.2f}x curl (target at most 1.5x): {'met' if ratio <= 1.5 else 'MISSED'}")
print(f"Peak memory ({rss_tool}, largest of 5 runs):")
print(f"  skyloom --once {skyloom_rss / 1024:.1f} MiB (target at most 16 MiB): "
      f"{'met' if skyloom_rss <= 16 * 1024 else 'MISSED'}")
print(f"  curl -s        {curl_rss / 1024:.1f} MiB")
EOF
