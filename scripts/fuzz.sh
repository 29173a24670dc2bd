#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build/fuzz and runs each for a fixed time.
#   scripts/fuzz.sh                 every target, 20 seconds each (what scripts/test.sh runs)
#   scripts/fuzz.sh 600             every target, ten minutes each
#   scripts/fuzz.sh 3600 deep_link  one target (name without the fuzz_ prefix) for an hour
# New inputs that widen coverage are kept in build/fuzz/corpus/<target>; the seeds in
# fuzz/corpus/<target> are only read. A finding stops the run and leaves its input as
# build/fuzz/crash-* (replay it with: build/fuzz/fuzz/fuzz_<target> build/fuzz/crash-...).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-20}
shift || true
targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  targets=(attribution_response breadcrumb_data deep_link resolve_server signal_head
           stack_format defaults_loader keychain_loader)
fi

CC=clang-14 CXX=clang++-14 cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUILLSTONE_FUZZ=ON -DQUILLSTONE_BUILD_TESTS=OFF -DQUILLSTONE_BUILD_DEMO=OFF \
  -DQUILLSTONE_BUILD_TOOLS=OFF -DBUILD_TESTING=OFF >/dev/null
cmake --build build/fuzz -j"$(nproc)" --target "${targets[@]/#/fuzz_}"

for target in "${targets[@]}"; do
  echo "== fuzz: $target (${seconds}s)"
  mkdir -p "build/fuzz/corpus/$target"
  log="build/fuzz/$target.log"
  # No leak report for the process-wide objects the library keeps for its whole lifetime.
  if ! ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
    "build/fuzz/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix=build/fuzz/ "build/fuzz/corpus/$target" "fuzz/corpus/$target" >"$log" 2>&1
  then
    cat "$log" >&2
    echo "fuzz: $target found a failure" >&2
    exit 1
  fi
  grep -E '^Done [0-9]+ runs' "$log" || tail -n 1 "$log"
done
