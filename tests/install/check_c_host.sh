#!/usr/bin/env bash
# A C host built only from the installed package: installs the built library into a scratch
# prefix, builds the C example (C99, warnings as errors) through pkg-config, whose compile flags
# must be the include path alone, and through the CMake package, and runs each against a
# development collector of its own, checking what arrived.
#   check_c_host.sh BUILD_DIR EXAMPLE_DIR COLLECTOR
set -euo pipefail
build_dir=$1
example_dir=$2
collector=$3
source "$(dirname "$0")/c_host_lib.sh"
scratch=$(mktemp -d)
trap 'stop_collector; rm -rf "$scratch"' EXIT

cmake --install "$build_dir" --prefix "$scratch/prefix" >/dev/null

export PKG_CONFIG_PATH="$scratch/prefix/lib/pkgconfig:$scratch/prefix/lib/x86_64-linux-gnu/pkgconfig"
# The host's compile flags are the library's include path alone.
# shellcheck disable=SC2046
cflags=$(echo $(pkg-config --cflags quillstone))  # without pkg-config's trailing space
if [ "$cflags" != "-I$(pkg-config --variable=includedir quillstone)" ]; then
  echo "pkg-config gives the host more compile flags than the include path: $cflags"
  exit 1
fi
# shellcheck disable=SC2046
"${CC:-cc}" -std=c99 -Wall -Wextra -Werror -pedantic "$example_dir/main.c" -o "$scratch/pc-host" \
  $(pkg-config --cflags --static --libs quillstone)
cmake -S "$example_dir" -B "$scratch/cmake-build" -DCMAKE_PREFIX_PATH="$scratch/prefix" >/dev/null
cmake --build "$scratch/cmake-build" >/dev/null

run_c_example "$scratch/pc-host" "$collector" "$scratch" pkg-config
run_c_example "$scratch/cmake-build/quillstone-c-example" "$collector" "$scratch" cmake
echo "C host check passed"
