#!/usr/bin/env bash
# Checks that the library's folders depend only downward: a file under src/<folder>/ may include
# its own folder and the folders listed for it below, nothing else of ours. Prints every include
# that breaks the rule, with its file and line, and fails when there is one.
#   scripts/check_layers.sh
set -euo pipefail
cd "$(dirname "$0")/.."

# The layers, bottom up: each folder and the folders it may include besides itself.
declare -A allowed=(
  [base]=""
  [platform]="base"
  [report]="base platform"
  [transport]="base platform"
  [integrity]="base platform"
  [attribution]="base platform"
  [crash]="base platform report"
  [device]="base platform report transport integrity"
  [client]="base platform report transport integrity attribution crash device"
  [capi]=""
)
# Public headers under quillstone/: these may be included anywhere (value types); the others
# only from the top folders. The C interface sits on the public C++ headers alone.
public_anywhere=" url.hpp "
top=" client capi "

include_pattern='^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]([^">]+)[">]'
status=0
while IFS= read -r -d '' file; do
  relative=${file#src/}
  folder=${relative%%/*}
  if [ "$folder" = "$relative" ] || [ -z "${allowed[$folder]+set}" ]; then
    echo "$file: folder '$folder' has no place in the layers (add it to scripts/check_layers.sh)"
    status=1
    continue
  fi
  line=0
  while IFS= read -r text || [ -n "$text" ]; do
    line=$((line + 1))
    [[ $text =~ $include_pattern ]] || continue
    included=${BASH_REMATCH[1]}
    target=${included%%/*}
    [ "$target" = "$included" ] && continue  # no folder: a system or standard header
    if [ "$target" = quillstone ]; then
      header=${included#quillstone/}
      if [[ $public_anywhere != *" $header "* ]] && [[ $top != *" $folder "* ]]; then
        echo "$file:$line: includes $included, which only the top folders ($(echo $top)) may include"
        status=1
      fi
      continue
    fi
    [ -n "${allowed[$target]+set}" ] || continue  # not ours: nlohmann/, sys/, ...
    [ "$target" = "$folder" ] && continue
    if [[ " ${allowed[$folder]} " != *" $target "* ]]; then
      echo "$file:$line: includes $included, but $folder may include only:" \
        "${allowed[$folder]:-nothing of ours}"
      status=1
    fi
  done <"$file"
done < <(find src -type f \( -name '*.cpp' -o -name '*.hpp' -o -name '*.h' \) -print0 | sort -z)

if [ "$status" -ne 0 ]; then
  echo "check_layers: some folders include folders above them (see scripts/check_layers.sh)" >&2
fi
exit "$status"
