#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds a small consumer against it
# twice: through the CMake package and through pkg-config.
set -euo pipefail
build_dir=$1
consumer_dir=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null

cmake -S "$consumer_dir" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
HOME="$scratch" "$scratch/cmake-build/consumer"

export PKG_CONFIG_PATH="$scratch/prefix/lib/pkgconfig:$scratch/prefix/lib/x86_64-linux-gnu/pkgconfig"
# shellcheck disable=SC2046
"${CXX:-c++}" -std=c++20 "$consumer_dir/main.cpp" -o "$scratch/pc-consumer" \
  $(pkg-config --cflags --libs quillstone)
HOME="$scratch" "$scratch/pc-consumer"
echo "install check passed"
