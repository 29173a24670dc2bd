#!/usr/bin/env bash
# Generates the API reference from the public headers into build/release/docs/html/index.html.
# Installs missing Debian packages first.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/release --target docs
