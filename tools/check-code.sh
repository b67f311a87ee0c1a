#!/usr/bin/env bash
# Checks the shape of the library's and the programs' code (format fileio
# access check cli inspect undo):
#   - no function longer than 80 lines (from its first line to its closing
#     brace, as universal-ctags finds them);
#   - no `using namespace` in a header;
#   - no include of a cli/ header outside cli/: the tabulon program's run
#     sequence is no library;
#   - no std::ifstream in inspect/: the inspector reads through the platform.
# Today's offenders are listed in two files beside this script, which may
# only shrink: long-functions.allow ("file:function length" a line; the
# function may not grow past that length) and code-rules.allow ("rule file"
# a line). A listed offender that is gone must leave its list too.
#
#   tools/check-code.sh [SOURCE_ROOT]
#   tools/check-code.sh --offenders [SOURCE_ROOT]   prints today's offenders
#                                                   in the lists' form
#   tools/check-code.sh --selftest                  plants one fault of each
#                                                   kind and expects each found
#
# Prints one line per fault and exits 1 when there is any.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
limit=80
dirs=(format fileio access check cli inspect undo)

if [ "${1:-}" = "--selftest" ]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  mkdir -p "$scratch"/{check,cli,inspect,tools}
  {
    echo 'int longOne() {'
    for i in $(seq 1 80); do echo "    int v$i = $i;"; done
    echo '    return 0;'
    echo '}'
    echo 'int grown() {'
    for i in $(seq 1 81); do echo "    int w$i = $i;"; done
    echo '    return 0;'
    echo '}'
    echo 'int shortOne() { return 1; }'
  } >"$scratch/check/long.cpp"
  printf '#pragma once\nusing namespace std;\n' >"$scratch/check/a.h"
  printf '#include "cli/run.h"\n' >"$scratch/inspect/b.cpp"
  printf '#include <fstream>\nvoid f() { std::ifstream in("x"); }\n' >"$scratch/inspect/c.cpp"
  printf '#include "cli/options.h"\nusing namespace x;\n' >"$scratch/cli/d.cpp"
  # grown() was 82 lines long and is 84 now; gone() and shortOne() are no
  # offenders any more; inspect/e.cpp is gone.
  printf 'check/long.cpp:grown 82\ncheck/long.cpp:gone 90\ncheck/long.cpp:shortOne 85\n' \
    >"$scratch/tools/long-functions.allow"
  printf 'ifstream inspect/e.cpp\n' >"$scratch/tools/code-rules.allow"
  report=$(CHECK_CODE_ALLOW="$scratch/tools" bash "$0" "$scratch" || true)
  expected="code: 8 fault(s)"
  if [ "$(tail -n1 <<<"$report")" != "$expected" ]; then
    printf 'selftest: expected "%s", got:\n%s\n' "$expected" "$report"
    exit 1
  fi
  echo "code: selftest passed"
  exit 0
fi

offenders_only=0
if [ "${1:-}" = "--offenders" ]; then
  offenders_only=1
  shift
fi
root=${1:-$(cd "$here/.." && pwd)}
allow=${CHECK_CODE_ALLOW:-$here}
cd "$root"
if ! ctags --version 2>/dev/null | grep -q "Universal Ctags"; then
  echo "code: universal-ctags is needed (Debian package universal-ctags)"
  exit 1
fi

files=()
for dir in "${dirs[@]}"; do
  [ -d "$dir" ] || continue
  while IFS= read -r file; do files+=("$file"); done < <(find "$dir" -name '*.h' -o -name '*.cpp' | sort)
done

# "file:function length" for every function over the limit; a member function
# is named with its class, a lambda is measured as part of its function.
long_functions() {
  [ ${#files[@]} -gt 0 ] || return 0
  ctags -x --_xformat='%F	%N	%n	%e	%{scope}	%{scopeKind}' --kinds-C++=f --fields=+neZ \
    --language-force=C++ -o - "${files[@]}" 2>/dev/null |
    awk -F'\t' -v limit="$limit" '
      $2 ~ /^__anon/ || $4 == "" { next }
      {
        name = $2
        if ($6 == "class" || $6 == "struct") { n = split($5, s, "::"); name = s[n] "::" $2 }
        length_ = $4 - $3 + 1
        key = $1 ":" name
        if (length_ > limit && length_ > best[key]) best[key] = length_
      }
      END { for (k in best) print k, best[k] }' | sort
}

# "rule file" for every other offender.
rule_offenders() {
  local file
  for file in "${files[@]}"; do
    case $file in
      *.h) grep -qE '^[[:space:]]*using[[:space:]]+namespace[[:space:]]' "$file" &&
        echo "using-namespace $file" ;;
    esac
    case $file in
      cli/*) ;;
      *) grep -qE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"cli/' "$file" &&
        echo "cli-include $file" ;;
    esac
    case $file in
      inspect/*) grep -qE '\bstd::ifstream\b' "$file" && echo "ifstream $file" ;;
    esac
  done | sort
  return 0
}

functions_now=$(long_functions)
rules_now=$(rule_offenders)
if ((offenders_only)); then
  printf '# long-functions.allow\n%s\n# code-rules.allow\n%s\n' "$functions_now" "$rules_now"
  exit 0
fi

faults=0
fault() {
  echo "code: $*"
  faults=$((faults + 1))
}

listed() { grep -vE '^[[:space:]]*(#|$)' "$1" 2>/dev/null || true; }

declare -A allowed_length
while read -r key length; do
  [ -n "$key" ] && allowed_length[$key]=$length
done < <(listed "$allow/long-functions.allow")
declare -A now_length
while read -r key length; do
  [ -n "$key" ] || continue
  now_length[$key]=$length
  if [ -z "${allowed_length[$key]+x}" ]; then
    fault "$key is $length lines long (at most $limit)"
  elif ((length > allowed_length[$key])); then
    fault "$key grew to $length lines (listed with ${allowed_length[$key]}; at most $limit)"
  fi
done <<<"$functions_now"
for key in "${!allowed_length[@]}"; do
  [ -n "${now_length[$key]+x}" ] ||
    fault "$key is $limit lines or shorter now, or gone: remove it from long-functions.allow"
done

declare -A allowed_rule
while read -r rule file; do
  [ -n "$rule" ] && allowed_rule["$rule $file"]=1
done < <(listed "$allow/code-rules.allow")
declare -A now_rule
while read -r rule file; do
  [ -n "$rule" ] || continue
  now_rule["$rule $file"]=1
  [ -n "${allowed_rule["$rule $file"]+x}" ] && continue
  case $rule in
    using-namespace) fault "$file: using namespace in a header" ;;
    cli-include) fault "$file includes a header of cli/, the tabulon program's" ;;
    ifstream) fault "$file reads with std::ifstream, past the platform" ;;
  esac
done <<<"$rules_now"
for entry in "${!allowed_rule[@]}"; do
  [ -n "${now_rule[$entry]+x}" ] || fault "$entry is no offender now: remove it from code-rules.allow"
done

if ((faults > 0)); then
  echo "code: $faults fault(s)"
  exit 1
fi
echo "code: no function over $limit lines but those listed, no using namespace in a header, no cli/ include outside cli/, no std::ifstream in inspect/"
