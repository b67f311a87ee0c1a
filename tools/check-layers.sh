#!/usr/bin/env bash
# Checks the include graph of the library and the programs: a folder includes
# only headers of its own folder and of the layers below it, the programs
# include none of each other and link none of each other's libraries (the
# tabulon program's run is the library's), format/ does no I/O, and no library
# header declares a mutable global.
#
#   tools/check-layers.sh [SOURCE_ROOT]
#   tools/check-layers.sh --selftest    plants one fault of each kind in a
#                                       scratch tree and expects each found
#
# Prints one line per fault and exits 1 when there is any.
set -euo pipefail
if [ "${1:-}" = "--selftest" ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  mkdir -p "$scratch"/{format,fileio,check,cli,inspect}
  printf '#include "check/scan.h"\n' >"$scratch/format/a.h"
  printf '#include <cstdio>\n' >"$scratch/format/b.cpp"
  printf 'extern int counter;\nextern "C" int f();\n' >"$scratch/check/c.h"
  printf '#include "inspect/d.h"\n' >"$scratch/cli/e.cpp"
  printf '#include "fileio/f.h"\n#include "format/g.h"\n' >"$scratch/check/h.cpp"
  printf 'target_link_libraries(inspect_lib PUBLIC tabulon_core tabulon_cli)\n' >"$scratch/inspect/CMakeLists.txt"
  report=$("$0" "$scratch" || true)
  expected="layers: 5 fault(s)"
  if [ "$(tail -n1 <<<"$report")" != "$expected" ]; then
    printf 'selftest: expected "%s", got:\n%s\n' "$expected" "$report"
    exit 1
  fi
  echo "layers: selftest passed"
  exit 0
fi
root=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$root"

# Layer of each folder; the programs share the top layer.
declare -A layer=([format]=0 [fileio]=1 [access]=2 [check]=3 [cli]=4 [inspect]=4 [undo]=4)
faults=0
fault() {
  echo "layers: $*"
  faults=$((faults + 1))
}

for dir in "${!layer[@]}"; do
  [ -d "$dir" ] || continue
  while IFS= read -r file; do
    while IFS= read -r target; do
      to=${target%%/*}
      [ "$to" = "$target" ] && continue  # a header of the same folder, by its name alone
      [ -n "${layer[$to]+x}" ] || continue
      [ "$to" = "$dir" ] && continue
      if ((layer[$to] >= layer[$dir])); then
        fault "$file includes $target: $to/ is not below $dir/"
      fi
    done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
  done < <(find "$dir" -name '*.h' -o -name '*.cpp' | sort)
done

# A program's targets link the library, never another program's library.
declare -A programLib=([cli]=tabulon_cli [inspect]=inspect_lib [undo]=tabulon_undo)
for dir in cli inspect undo; do
  [ -d "$dir" ] || continue
  while IFS= read -r file; do
    for other in "${!programLib[@]}"; do
      [ "$other" = "$dir" ] && continue
      if grep -nE "target_link_libraries\(.*\b${programLib[$other]}\b" "$file" >/dev/null; then
        fault "$file links ${programLib[$other]}: $dir/ may not link another program's library"
      fi
    done
  done < <(find "$dir" -name CMakeLists.txt | sort)
done

# The format layer works on bytes it is given: no file or stream access.
for file in format/*.h format/*.cpp; do
  [ -e "$file" ] || continue
  if grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*<(cstdio|stdio\.h|iostream|fstream|filesystem|unistd\.h|fcntl\.h|windows\.h)>' \
    "$file" >/dev/null; then
    fault "$file includes a header for file or console access"
  fi
done

# No mutable global declared by a library header.
for file in format/*.h fileio/*.h access/*.h check/*.h; do
  [ -e "$file" ] || continue
  if grep -nE '^[[:space:]]*extern[[:space:]]+[^"[:space:]]' "$file" | grep -v 'extern "C"' >/dev/null; then
    fault "$file declares an extern object"
  fi
done

if ((faults > 0)); then
  echo "layers: $faults fault(s)"
  exit 1
fi
echo "layers: include graph is layered"
