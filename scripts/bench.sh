#!/usr/bin/env bash
# Builds the library and its benchmarks in release mode and runs them all: the host-thread calls,
# start and link handling (medians of repeated runs), the first start of a fresh process,
# end-to-end delivery and resident memory.
# Installs missing Debian packages first.
#   scripts/bench.sh                 everything
#   BENCH_REPETITIONS=9 scripts/bench.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

build=${BENCH_BUILD_DIR:-build/bench}
repetitions=${BENCH_REPETITIONS:-5}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLSTONE_BENCH=ON \
  -DQUILLSTONE_BUILD_TESTS=OFF -DQUILLSTONE_BUILD_TOOLS=OFF -DQUILLSTONE_BUILD_DEMO=OFF >/dev/null
cmake --build "$build" -j"$(nproc)"

echo "== host-thread calls, start and link handling: medians of $repetitions runs (wall time)"
printf '%-36s %12s %12s\n' benchmark "median" "median CPU"
for program in host_calls_bench start_bench attribution_bench; do
  # The library's console lines (one per crash-slot rendering) go to stderr; only the figures
  # matter here.
  "$build/bench/$program" --benchmark_repetitions="$repetitions" \
    --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
    awk -F, '$1 ~ /_median"$/ {
      name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
      unit = $5; gsub(/"/, "", unit)
      printf "%-36s %9.2f %-2s %9.2f %-2s\n", name, $3, unit, $4, unit
    }'
done

echo
echo "== first start in a fresh process: first launch (empty home) and relaunch (same home)"
# Each sample is a new process timing its one start; CPU is the caller's thread alone.
"$build/bench/first_start_bench" 2>/dev/null

echo
echo "== end-to-end delivery: 4 host threads, loopback collector in a child process"
"$build/bench/delivery_bench" 2>/dev/null

echo
echo "== resident memory of a small host (only the library linked), of libcurl alone, and the"
echo "   heap one waiting report holds"
"$build/bench/memory_bench" 2>/dev/null
"$build/bench/memory_bench" --curl-only 2>/dev/null
"$build/bench/memory_bench" --per-waiting 2>/dev/null
