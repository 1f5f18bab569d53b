#!/usr/bin/env bash
# Opens the real window on a virtual X server, checks its caption and size, ends the
# program with SIGTERM (which closes the window) and checks that it exits cleanly.
# With SKYLOOM_SCREENSHOT=FILE it also saves a picture of the window (needs ImageMagick).
# Usage: scripts/xvfb-smoke.sh BUILD_DIR
set -euo pipefail

build=${1:?usage: xvfb-smoke.sh BUILD_DIR}
program=$(cd "$build" && pwd)/skyloom
[ -x "$program" ] || { echo "xvfb-smoke: no program at $program" >&2; exit 1; }

if [ -z "${SKYLOOM_SMOKE_IN_XVFB:-}" ]; then
  export SKYLOOM_SMOKE_IN_XVFB=1
  # A random first display number keeps parallel runs from racing for the same one.
  exec xvfb-run --auto-servernum --server-num=$((100 + RANDOM % 800)) --server-args="-screen 0 1024x768x24" "$0" "$@"
fi

caption="Skyloom Version 1.5.3"
scratch=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill -KILL "$pid" 2>/dev/null || true
  rm -rf "$scratch"
}
trap cleanup EXIT
fail() {
  echo "xvfb-smoke: $*" >&2
  exit 1
}

# A closed port: should the clock fall in a sync window, the timed fetch fails at once.
chmod 700 "$scratch"
XDG_RUNTIME_DIR=$scratch QT_QPA_PLATFORM=xcb "$program" --db "$scratch/tqyb.mdb" \
  --url "http://127.0.0.1:9/xxw/shortnb_output.asp" >"$scratch/out" 2>&1 &
pid=$!

window=
for _ in $(seq 100); do
  window=$(xdotool search --onlyvisible --name "^${caption}\$" 2>/dev/null | head -n1 || true)
  [ -n "$window" ] && break
  kill -0 "$pid" 2>/dev/null || { cat "$scratch/out" >&2; fail "the program ended early"; }
  sleep 0.1
done
[ -n "$window" ] || fail "no window named \"$caption\" appeared"

name=$(xdotool getwindowname "$window")
[ "$name" = "$caption" ] || fail "caption is \"$name\""
eval "$(xdotool getwindowgeometry --shell "$window")"
[ "$WIDTH" = 544 ] && [ "$HEIGHT" = 177 ] || fail "window is ${WIDTH}x${HEIGHT}, not 544x177"
echo "window $window: \"$name\", ${WIDTH}x${HEIGHT}"

if [ -n "${SKYLOOM_SCREENSHOT:-}" ]; then
  if command -v import >/dev/null; then
    sleep 1.5  # let the clock label fill
    import -window "$window" "$SKYLOOM_SCREENSHOT"
    echo "screenshot: $SKYLOOM_SCREENSHOT"
  else
    echo "screenshot skipped: ImageMagick's import is not installed"
  fi
fi

kill -TERM "$pid"
for _ in $(seq 50); do
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.1
done
kill -0 "$pid" 2>/dev/null && fail "still running 5 s after SIGTERM"
status=0
wait "$pid" || status=$?
pid=
[ "$status" = 0 ] || { cat "$scratch/out" >&2; fail "exit status $status"; }
if [ -s "$scratch/out" ]; then
  echo "program output:"
  cat "$scratch/out"
fi
echo "xvfb-smoke: passed"
