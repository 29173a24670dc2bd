#!/usr/bin/env bash
# Installs the Debian packages the project builds with, when any is missing.
# Works on a minimal Debian 12 system; uses sudo only when not already root.
set -euo pipefail

# ca-certificates: the system's CA store, without which libcurl refuses every HTTPS server before
# the handshake (a minimal system has none).
packages=(
  build-essential cmake pkg-config git ca-certificates
  libcurl4-openssl-dev nlohmann-json3-dev liburiparser-dev libutf8proc-dev
  libgtest-dev libgmock-dev libcpp-httplib-dev libbenchmark-dev
  libssl-dev libdw-dev clang-14 libclang-rt-14-dev doxygen
)

# python3 (with ctypes, which python3-minimal lacks): CI runs the C interface's Python example.
packages+=(python3)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then sudo_cmd=(sudo); fi
echo "setup: installing ${missing[*]}" >&2
start=$(date +%s)
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
echo "setup: installed ${#missing[@]} packages in $(($(date +%s) - start)) s" >&2
