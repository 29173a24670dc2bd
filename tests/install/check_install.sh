#!/usr/bin/env bash
# Installs the built library into a scratch prefix, then builds a small consumer against it
# twice: through the CMake package and through pkg-config, as C++17 with warnings as errors, once
# with the main headers alone and once with the optional nlohmann form (quillstone/json.hpp).
# The main headers must not pull in nlohmann, and README's quick start must compile as it is.
set -euo pipefail
build_dir=$1
consumer_dir=$2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null

cmake -S "$consumer_dir" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null
HOME="$scratch" "$scratch/cmake-build/consumer"
HOME="$scratch" "$scratch/cmake-build/json_consumer"

# The files the preprocessor's line markers name.
included=$(printf '#include <quillstone/%s>\n' quillstone.hpp attribution.hpp url.hpp |
  "${CXX:-c++}" -std=c++17 -E -x c++ -I"$scratch/prefix/include" - |
  grep '^# [0-9]' | cut -d'"' -f2)
if grep -q nlohmann <<<"$included"; then
  echo "the main headers include nlohmann:"
  grep nlohmann <<<"$included" | sort -u
  exit 1
fi

export PKG_CONFIG_PATH="$scratch/prefix/lib/pkgconfig:$scratch/prefix/lib/x86_64-linux-gnu/pkgconfig"
strict=(-std=c++17 -Wall -Wextra -Werror)
# A shared library is found where it was installed, as a host that installs it elsewhere would say.
rpath="-Wl,-rpath,$(pkg-config --variable=libdir quillstone)"
# shellcheck disable=SC2046
"${CXX:-c++}" "${strict[@]}" "$rpath" "$consumer_dir/main.cpp" -o "$scratch/pc-consumer" \
  $(pkg-config --cflags --libs quillstone)
HOME="$scratch" "$scratch/pc-consumer"
# shellcheck disable=SC2046
"${CXX:-c++}" "${strict[@]}" "$rpath" "$consumer_dir/json_main.cpp" -o "$scratch/pc-json-consumer" \
  $(pkg-config --cflags --libs quillstone nlohmann_json)
HOME="$scratch" "$scratch/pc-json-consumer"
# README's quick start compiles unchanged with the same warnings.
readme="$consumer_dir/../../../README.md"
awk '/^## Quick start/ { found = 1 } found && /^```cpp/ { code = 1; next } code && /^```/ { exit }
     code' "$readme" >"$scratch/quick_start.cpp"
grep -q 'int main' "$scratch/quick_start.cpp" || { echo "no quick start found in $readme"; exit 1; }
# shellcheck disable=SC2046
"${CXX:-c++}" "${strict[@]}" -c "$scratch/quick_start.cpp" -o "$scratch/quick_start.o" \
  $(pkg-config --cflags quillstone)
echo "install check passed"
