#!/usr/bin/env bash
# Builds and runs the whole test suite three times: an optimised build with debug info, the
# same suite under AddressSanitizer + UndefinedBehaviorSanitizer, and the concurrency tests
# under ThreadSanitizer; then runs every fuzz target briefly. Installs missing Debian packages
# first.
#   scripts/test.sh          everything
#   scripts/test.sh --quick  the optimised build only
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/check_layers.sh
scripts/setup.sh

jobs=$(nproc)
quick=0
[ "${1:-}" = "--quick" ] && quick=1

# configure_and_build DIR [TARGET...] -- [CMAKE OPTION...]: builds the given targets, or all.
configure_and_build() {
  local dir=$1
  shift
  local targets=()
  while [ $# -gt 0 ] && [ "$1" != "--" ]; do
    targets+=(--target "$1")
    shift
  done
  [ "${1:-}" = "--" ] && shift
  cmake -S . -B "$dir" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON "$@" >/dev/null
  cmake --build "$dir" -j"$jobs" "${targets[@]}"
}

echo "== tests: release build"
configure_and_build build/release -- -DCMAKE_BUILD_TYPE=RelWithDebInfo
ctest --test-dir build/release -j"$jobs" --output-on-failure
[ "$quick" = 1 ] && exit 0

echo "== shared library: dlclose, and the C and Python examples"
# Only what the shared-library checks run: the library, the collector, the C example, the probe.
configure_and_build build/shared quillstone quillstone-collector quillstone-c-example \
  dlclose_probe -- -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_SHARED_LIBS=ON
ctest --test-dir build/shared --output-on-failure -R '^Shared\.'

# The sanitizer builds need only the library and the tests.
sanitizer_options=(-DCMAKE_BUILD_TYPE=Debug -DQUILLSTONE_BUILD_DEMO=OFF -DQUILLSTONE_BUILD_TOOLS=OFF)

echo "== tests: AddressSanitizer + UndefinedBehaviorSanitizer"
configure_and_build build/asan -- "${sanitizer_options[@]}" -DQUILLSTONE_SANITIZE=address,undefined
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build/asan -j"$jobs" --output-on-failure -E '^Install\.'

echo "== tests: ThreadSanitizer (concurrency tests)"
# Only the test programs that hold concurrency tests are built for this stage.
configure_and_build build/tsan client_tests transport_tests platform_tests attribution_tests \
  device_tests reliability_tests -- "${sanitizer_options[@]}" -DQUILLSTONE_SANITIZE=thread
TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp" \
  ctest --test-dir build/tsan -j"$jobs" --output-on-failure -R 'Concurren'

echo "== fuzz: every target for a short fixed time (clang, libFuzzer)"
scripts/fuzz.sh 20
