#!/usr/bin/env bash
# Builds quillstone-demo and runs it against its embedded loopback collector.
# Installs missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release -j"$(nproc)" --target quillstone-demo
exec build/release/examples/demo/quillstone-demo "$@"
