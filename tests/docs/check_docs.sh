#!/usr/bin/env bash
# Generates the API reference from the public headers and fails when a public declaration has no
# documentation comment or Doxygen warns about anything.
#
# Doxygen's own warnings miss three kinds of declaration, so they are checked here as well: the
# members of a header without a \file comment (Doxygen leaves such a file's functions, macros and
# types out, unwarned), enumerators, and a macro defined in both branches of an #if. The last two
# are read from Doxygen's XML output: every compound and member it lists must carry a comment.
set -euo pipefail
doxygen=$1
doxyfile=$2
include_dir=$3

if ! command -v "$doxygen" >/dev/null 2>&1; then
  echo "doxygen is missing: run scripts/setup.sh" >&2
  exit 1
fi

failed=0
while IFS= read -r header; do
  if ! grep -Eq '^[[:space:]]*(///|/\*\*|//!)[[:space:]]*[\\@]file\b' "$header"; then
    printf '%s: no "/// \\file" comment, so Doxygen would not check its declarations\n' "$header" >&2
    failed=1
  fi
done < <(find "$include_dir" -type f \( -name '*.h' -o -name '*.hpp' \) | sort)

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
# The same configuration as the docs target, writing XML beside the pages into a scratch
# directory.
{
  cat "$doxyfile"
  echo "OUTPUT_DIRECTORY = $scratch"
  echo "GENERATE_XML = YES"
} >"$scratch/Doxyfile"
if ! "$doxygen" "$scratch/Doxyfile" >"$scratch/log" 2>&1 || [ -s "$scratch/log" ]; then
  cat "$scratch/log" >&2
  failed=1
fi

# Every compound (class, struct, union, header) and every member or enumerator Doxygen lists that
# is not private must have a paragraph in its brief or detailed description. Namespaces,
# directories and pages are not declarations of their own.
for xml in "$scratch"/xml/*.xml; do
  case $(basename "$xml") in index.xml | Doxyfile.xml) continue ;; esac
  awk -v file="$(basename "$xml")" '
    function push(kind) { depth++; kinds[depth] = kind; names[depth] = ""; documented[depth] = 0 }
    function pop() {
      if (kinds[depth] != "skip" && !documented[depth]) {
        printf "%s: %s %s has no documentation comment\n", file, kinds[depth], names[depth]
        missing++
      }
      depth--
    }
    function private() { return $0 ~ /prot="private"/ }
    /<compounddef / {
      match($0, /kind="[a-z]*"/)
      kind = substr($0, RSTART + 6, RLENGTH - 7)
      push(kind ~ /^(class|struct|union|file)$/ && !private() ? "compound" : "skip")
    }
    /<memberdef / { push(private() ? "skip" : "member") }
    /<enumvalue / { push(private() ? "skip" : "enumerator") }
    # A deleted function is no call a host can make.
    /<argsstring>.*=delete<\/argsstring>/ && depth > 0 { kinds[depth] = "skip" }
    /<(compoundname|name)>/ && depth > 0 && names[depth] == "" {
      line = $0
      sub(/.*<(compoundname|name)>/, "", line)
      sub(/<\/(compoundname|name)>.*/, "", line)
      names[depth] = line
      # Pages written in Markdown are files to Doxygen, but declare nothing.
      if (kinds[depth] == "compound" && line ~ /\.md$/) kinds[depth] = "skip"
    }
    /<(briefdescription|detaileddescription)>/ { describing = depth }
    /<para>/ && describing == depth && depth > 0 { documented[depth] = 1 }
    /<\/(briefdescription|detaileddescription)>/ { describing = 0 }
    /<\/(compounddef|memberdef|enumvalue)>/ { pop() }
    END { exit missing > 0 }
  ' "$xml" >&2 || failed=1
done

if [ "$failed" -ne 0 ]; then
  echo "the API reference is incomplete: document every public declaration with a /// comment" >&2
  exit 1
fi
echo "every public declaration is documented"
