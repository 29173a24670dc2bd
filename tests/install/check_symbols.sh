#!/usr/bin/env bash
# The library defines no global name outside its own namespace or prefix (a host's function of
# the same name must link), and a shared build exports the public API alone. The one exception is
# pthread_create: the library interposes it on purpose (each new thread gets an alternate signal
# stack once crash capture is on) and must export it despite hidden visibility.
# Every function the C header declares is exported.
#   check_symbols.sh STATIC_OR_SHARED_LIBRARY SHARED_LIBRARY C_HEADER
set -euo pipefail
library=$1
shared=$2
c_header=$3
status=0

interposed='^pthread_create$'
ours() {
  grep -E -v '^((typeinfo|typeinfo name|vtable|VTT|guard variable|construction vtable) for )?quillstone(::|_)' |
    grep -E -v "$interposed"
}

# Weak definitions (template and inline instances) merge with the host's; strong ones clash.
strong=$(nm -g --defined-only "$library" | awk 'NF == 3 && $2 ~ /^[TDBRG]$/ { print $3 }' |
  c++filt | ours || true)
if [ -n "$strong" ]; then
  echo "global definitions outside the quillstone namespace in $library:"
  printf '  %s\n' $strong
  status=1
fi

exported=$(nm -D --defined-only "$shared" | awk 'NF == 3 { print $3 }' | c++filt)
public='^quillstone::(Quillstone|Attribution|Url)::|^quillstone_'
foreign=$(printf '%s\n' "$exported" | grep -E -v "$public" | grep -E -v "$interposed" || true)
if [ -n "$foreign" ]; then
  echo "exported from $shared besides the public API:"
  printf '%s\n' "$foreign" | sed 's/^/  /'
  status=1
fi
for required in 'quillstone::Quillstone::shared()' 'quillstone::Attribution::shared()' \
  'quillstone::Url::parse(' 'pthread_create'; do
  if ! printf '%s\n' "$exported" | grep -q -F "$required"; then
    echo "$shared does not export $required"
    status=1
  fi
done
for function in $(grep -o -E '\bquillstone_[a-z_]+\(' "$c_header" | tr -d '(' | sort -u); do
  if ! printf '%s\n' "$exported" | grep -q -x -F "$function"; then
    echo "$shared does not export $function, which quillstone.h declares"
    status=1
  fi
done
[ "$status" = 0 ] && echo "symbol check passed"
exit "$status"
