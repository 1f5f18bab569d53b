#!/usr/bin/env bash
# Builds the libFuzzer targets of tests/fuzz with clang into build-fuzz and runs each one for
# SECONDS (default 60) on a scratch copy of its seed corpus, so the repository never gains
# generated inputs. Prints the runs and executions per second of every target and fails when
# any target crashes; the crashing inputs of the last run stay in build-fuzz/artifacts/.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
bash scripts/install-deps.sh build fuzz

build="build-fuzz"
CC=clang-16 CXX=clang++-16 cmake -S tests/fuzz -B "$build" -G Ninja >/dev/null
cmake --build "$build" -j2

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
rm -rf "$build/artifacts"
mkdir -p "$build/artifacts"

# One target's run; its line of the summary goes to $scratch/$target.summary.
run_target() {
  local target=$1
  cp -r "tests/fuzz/corpus/$target" "$scratch/$target"
  # The real provider page seeds the page target from where the tests keep it.
  [ "$target" = fuzz_page_to_forecast ] && cp tests/data/shortnb_output.html "$scratch/$target/"
  local options=(-max_total_time="$seconds" -print_final_stats=1 -max_len=4096 -timeout=30
                 -artifact_prefix="$build/artifacts/$target-")
  [ -f "tests/fuzz/$target.dict" ] && options+=(-dict="tests/fuzz/$target.dict")
  local log="$scratch/$target.log" result=ok
  if ! "$build/$target" "${options[@]}" "$scratch/$target" >"$log" 2>&1; then
    result=FAILED
    { echo "== $target"; grep -v '^#[0-9]' "$log" | tail -n 40; } >"$scratch/$target.failure" || true
  fi
  local runs rate
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  printf '%-24s %12s runs %8s exec/s  %s\n' "$target" "${runs:-?}" "${rate:-?}" "$result" \
    >"$scratch/$target.summary"
}

# Two at a time, one a core: each target runs its full time on a core of its own.
targets=(fuzz_strip_tags fuzz_gb_decoder fuzz_page_to_forecast fuzz_request_path)
running=()
for target in "${targets[@]}"; do
  echo "== $target for ${seconds}s"
  run_target "$target" &
  running+=($!)
  if [ ${#running[@]} -eq 2 ]; then
    wait "${running[0]}"
    running=("${running[@]:1}")
  fi
done
wait

failed=0
for target in "${targets[@]}"; do
  [ -f "$scratch/$target.failure" ] && { cat "$scratch/$target.failure"; failed=1; }
done
for artifact in "$build"/artifacts/*; do
  [ -f "$artifact" ] || continue
  echo "== $artifact"
  od -An -tx1 -v "$artifact"
done
echo "== summary"
for target in "${targets[@]}"; do cat "$scratch/$target.summary"; done
exit "$failed"
