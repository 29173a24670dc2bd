#!/usr/bin/env bash
# The examples against the shared library: the C example and the Python ctypes example each
# report to a development collector of their own, and README shows the Python example as it is.
#   check_shared_examples.sh C_EXAMPLE COLLECTOR LIBRARY PYTHON_EXAMPLE README
set -euo pipefail
c_example=$1
collector=$2
library=$3
python_example=$4
readme=$5
source "$(dirname "$0")/c_host_lib.sh"
scratch=$(mktemp -d)
trap 'stop_collector; rm -rf "$scratch"' EXIT

run_c_example "$c_example" "$collector" "$scratch" c-example

mkdir -p "$scratch/python/home"
start_collector "$collector" "$scratch/python/reports.jsonl"
status=0
HOME="$scratch/python/home" python3 "$python_example" "$library" "$collector_url" \
  >"$scratch/python/output" 2>&1 || status=$?
stop_collector
out="$scratch/python/reports.jsonl"
if [ "$status" -ne 0 ] ||
  ! has_report "$out" '"type":"event"' '"name":"py_started"' '"source":"ctypes"' ||
  ! has_report "$out" '"type":"error"' '"name":"PyError"' '"data":{"stage":"checkout"}'; then
  echo "python: the example exited with $status; it printed:"
  cat "$scratch/python/output"
  echo "python: the collector received:"
  cat "$out"
  exit 1
fi

# README's ```python block is the example file, line for line.
awk '/^```python$/ { inside = 1; next } /^```$/ { inside = 0 } inside' "$readme" >"$scratch/readme.py"
if ! diff -u "$python_example" "$scratch/readme.py"; then
  echo "README's Python example differs from $python_example"
  exit 1
fi
echo "shared-library examples passed"
