#!/usr/bin/env bash
# A mutation round over the code of the survey walk, the replacement of
# output files, the escaping of names, the undo journal's reader and
# tabulon-undo, the version ledger and the best-page rule: each mutant below
# is a fault of the kind real ones take (a flipped comparison, an off-by-one
# bound, a dropped condition, a status not passed on, a missing escape). Each
# is applied alone to its file, the test binaries that cover the file are
# built in a Release build without sanitizers (build/mutate), the tests that
# cover it run until one fails, and the file is restored. A mutant is killed
# when a test fails (or times out); a mutant that does not build is listed as
# such. The tree is left as it was, also when the run is stopped.
#
#   tools/mutate.sh [--no-baseline] [MUTANT...]   all mutants, or the named ones
#   tools/mutate.sh --list                        the mutants and their tests
#
# Prints a table (mutant, killed/equivalent/survived, the test that failed)
# and the figures; exits 1 when a mutant not judged equivalent survived. About a minute per mutant on two
# cores; the baseline (every step on the unchanged tree) runs first.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${TABULON_MUTATE_BUILD:-$root/build/mutate}
export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$root}

# Test steps: the targets they need and the CTest names they run.
declare -A targets regex
step() { targets[$1]=$2; regex[$1]=$3; }
step bestpage "unit_tests" '^BestPage\.'
step pageindex "library_tests" 'PageIndexTest'
step golden "tabulon golden_runner" '^golden\.'
step crashlab "crashlab" '^crashlab\.small$'
step plan "inspect_tests" '^inspect_tests\.Plan\.'
step advise "tabulon-inspect golden_runner" '^inspect\.(advise|plan)_'
step survey "inspect_tests" '^inspect_tests\.(SurveyReads|Survey|Monitor)\.'
step inspect "tabulon-inspect golden_runner" '^inspect\.'
step output "inspect_tests" '^inspect_tests\.(Monitor|Map)\.'
step replace "undo_tests" '^FlushFailure\.OutputReplacement'
step undo "undo_tests" '^(Undo|UndoJournal|Faults|JournalOrder|FlushFailure|Crash)'
step undogolden "tabulon-undo golden_runner" '^golden_undo\.'

# The mutants: a line "NAME FILE STEP..." (the steps in the order they run),
# the original snippet after "-" (it must occur once in the file) and its
# replacement after "+"; for a mutant judged equivalent (no test can tell it
# from the code), "=" and why. Such a mutant that survives is listed as
# equivalent and does not fail the round.
mutants=$(cat <<'EOF'
survey-member-bound inspect/folders/survey.cpp survey inspect
-return k >= 1 && k < kMaxMembers;
+return k >= 1 && k <= kMaxMembers;

survey-members-unwatched inspect/folders/survey.cpp survey inspect
-const bool steady = before == after && !handles.membersChanged();
+const bool steady = before == after;

survey-named-dropped inspect/folders/survey.cpp survey inspect
-if (!c.named && !beside && !candidateByName(c.path)) continue;
+if (!beside && !candidateByName(c.path)) continue;

survey-short-unbounded inspect/folders/survey.cpp survey inspect
-} else if (got < size_t(fcr::firstReadMin) && beginsLikeFcr(head.data(), got)) {
+} else if (beginsLikeFcr(head.data(), got)) {

survey-second-name-kept inspect/folders/survey.cpp survey inspect
-if (keep.another && !other.another) {
+if (keep.another) {
=Only the name a file was checked under has another == false; two names both
=not checked hold the same state, no version, no findings and no error yet,
=so swapping them changes nothing.

survey-walk-errors-dropped inspect/folders/survey.cpp survey inspect
-return walkErrors.empty() && count(RowState::Failed) == 0;
+return count(RowState::Failed) == 0;

survey-order-by-folder inspect/folders/survey.cpp survey inspect
-return a.dir != b.dir ? a.dir < b.dir : a.shown < b.shown;
+return a.shown < b.shown;

survey-changing-kept inspect/folders/survey.cpp survey inspect
-row.findings = FileFindings();
+(void)0;

replace-any-kind fileio/replace.cpp replace output survey
-if (kind == FileKind::Absent || kind == FileKind::Regular) return Status();
+if (kind != FileKind::Folder) return Status();

replace-write-status-lost fileio/replace.cpp replace output survey
-written = platform.closeWritten(handle, &code);
+platform.closeWritten(handle, &code);

replace-recheck-dropped fileio/replace.cpp replace output survey
-Status refused = targetRefusal(platform, path);
-    if (refused && !renameFile(temporary, path, &code)) {
+Status refused;
+    if (refused && !renameFile(temporary, path, &code)) {

replace-temporary-left fileio/replace.cpp replace output survey
-if (!refused) removeFile(temporary);
+if (!refused) (void)temporary;

names-surrogate inspect/common/names.cpp inspect survey
-if (c == 0xED) hi = 0x9F;  // no surrogate
+// no surrogate

names-last-char inspect/common/names.cpp inspect survey
-if (at + n > s.size()) return 0;
+if (at + n >= s.size()) return 0;

names-json-quote inspect/common/names.cpp inspect survey
-case '"': r += "\\\""; break;
+case '"': r += "\""; break;

names-json-bidi inspect/common/names.cpp inspect survey
-} else if (n > 1 && bidiControl(codePoint(s, at, n))) {
+} else if (n > 2 && bidiControl(codePoint(s, at, n))) {

names-label-backslash inspect/common/names.cpp inspect survey
-if (c == '\\' || c == '"') r += '\\';
+if (c == '"') r += '\\';

names-del inspect/common/names.cpp inspect survey
-} else if (cp < 0x20 || cp == 0x7F) {
+} else if (cp < 0x20) {

names-c1-bound inspect/common/names.cpp inspect survey
-} else if ((cp >= 0x80 && cp <= 0x9F) || bidiControl(cp)) {
+} else if ((cp >= 0x80 && cp < 0x9F) || bidiControl(cp)) {

names-combining-width inspect/common/names.cpp inspect survey
-columns += combining(cp) ? 0 : wide(cp) ? 2 : 1;
+columns += wide(cp) ? 2 : 1;

journal-take-bound fileio/journal.cpp undo undogolden
-if (size_t(end_ - p_) < n) return false;
+if (size_t(end_ - p_) <= n) return false;

journal-record-limit fileio/journal.cpp undo undogolden
-if (bodyLength > limitOf(kind)) {
+if (bodyLength >= limitOf(kind)) {

journal-bad-checksum-torn fileio/journal.cpp undo undogolden
-if (at_ + total == size_) return torn(r, size_t(total));
+if (at_ + total <= size_) return torn(r, size_t(total));

journal-kept-range fileio/journal.cpp undo undogolden
-if (start > jb.block.length || length > jb.block.length - start) {
+if (start > jb.block.length) {

journal-block-budget fileio/journal.cpp undo undogolden
-if (count > maxBlocks_ - std::min<uint64_t>(maxBlocks_, c_.blocks.size())) {
+if (count > maxBlocks_) {

journal-closing-count fileio/journal.cpp undo undogolden
-if (!body.u32(&count) || count != c_.blocks.size()) return malformed("the closing record");
+if (!body.u32(&count)) return malformed("the closing record");

journal-inner-parent fileio/journal.cpp undo undogolden
-if (path.substr(start, end - start) == "..") return true;
+if (start == 0 && path.substr(start, end - start) == "..") return true;

journal-write-at-end fileio/journal.cpp undo undogolden
-if (member >= set_.memberCount() || rest + n > set_.memberSize(member)) return false;
+if (member >= set_.memberCount() || rest + n >= set_.memberSize(member)) return false;

undo-del-escape undo/undo.cpp undo undogolden
-} else if (c < 0x20 || c == 0x7F || (c >= 0x80 && c <= 0x9F)) {
+} else if (c < 0x20 || (c >= 0x80 && c <= 0x9F)) {

undo-later-run undo/undo.cpp undo undogolden
-if (s == BlockState::Unexplained) laterRun_ = true;
+if (s == BlockState::Unexplained) changed_ = true;

undo-forward-order undo/undo.cpp undo undogolden
-for (size_t i = j_.blocks.size(); i-- > 0;) {
+for (size_t i = 0; i < j_.blocks.size(); ++i) {

undo-incomplete-status undo/undo.cpp undo undogolden
-return failed || incomplete() ? undo::kError : undo::kRestored;
+return failed ? undo::kError : undo::kRestored;

undo-flush-status undo/undo.cpp undo undogolden
-out_.write(Stream::Err, describe("Unable to flush " + printable(s.name), s));
-        failed = true;
+out_.write(Stream::Err, describe("Unable to flush " + printable(s.name), s));

undo-fcr-drift undo/undo.cpp undo undogolden
-fcrDiffers_ = !sameFcr;
+fcrDiffers_ = false;

undo-set-names undo/undo.cpp undo undogolden
-if (o_.mainPath.empty() && set.memberFileName(int(k)) != members[k].first) {
+if (set.memberFileName(int(k)) != members[k].first) {

ledger-free-space check/ledger.cpp crashlab advise plan golden
-e.endsFree = a.kind == ActionKind::FreeSpace || a.kind == ActionKind::ResetToFree;
+e.endsFree = a.kind == ActionKind::ResetToFree;

ledger-relabelled-kept check/ledger.cpp crashlab advise plan golden
-if (r.endsFree || !r.namesIt || r.headerWritten) {
+if (r.endsFree || !r.namesIt) {

ledger-tie-older check/ledger.cpp crashlab advise plan golden
-return newest && newest->usage > r.usage ? LedgerClass::OlderKept : LedgerClass::Kept;
+return newest && newest->usage >= r.usage ? LedgerClass::OlderKept : LedgerClass::Kept;

ledger-end-page-counted check/ledger.cpp crashlab advise plan golden
-if (p == r.physical && !r.endsFree) return;
+if (p == r.physical) return;

ledger-written-counted check/ledger.cpp crashlab advise plan golden
-if (written_.count(p)) return;
+if (written_.count(p) && p == r.physical) return;

ledger-newest-flipped check/ledger.cpp crashlab advise plan golden
-if (!best || v.usage > best->usage) best = &v;
+if (!best || v.usage < best->usage) best = &v;

bestpage-family-bound check/bestpage.cpp bestpage pageindex golden
-return v <= version::v950 || v >= version::v1300;
+return v < version::v950 || v >= version::v1300;

bestpage-tie-last check/bestpage.cpp bestpage pageindex golden
-if (!best.found || u > usage) {
+if (!best.found || u >= usage) {

bestpage-bit15 check/bestpage.cpp bestpage pageindex golden
-uint16_t u = h.usageCount & pagetype::usageValue;
+uint16_t u = h.usageCount;

bestpage-relabelled-unnamed check/bestpage.cpp bestpage pageindex golden
-if (best.found || !relabelledNames) return;
+if (best.found) return;

bestpage-unread-complete check/bestpage.cpp bestpage pageindex golden
-*complete = false;
+(void)complete;

bestpage-searched-all check/bestpage.cpp bestpage pageindex golden
-c.best.searchedAll = looked && complete;
+c.best.searchedAll = complete;
EOF
)

names=() files=() steps=() olds=() news=() equivalent=()
parse() {
  local line n=-1
  while IFS= read -r line; do
    case "$line" in
      '') ;;
      -*) olds[n]+="${olds[n]:+$'\n'}${line:1}" ;;
      +*) news[n]+="${news[n]:+$'\n'}${line:1}" ;;
      =*) equivalent[n]+="${line:1} " ;;
      *)
        n=$((n + 1))
        read -r "names[n]" "files[n]" "steps[n]" <<<"$line"
        olds[n]='' news[n]='' equivalent[n]=''
        ;;
    esac
  done <<<"$mutants"
}
parse

if [ "${1:-}" = "--list" ]; then
  for i in "${!names[@]}"; do printf '%-28s %-30s %s\n' "${names[i]}" "${files[i]}" "${steps[i]}"; done
  exit 0
fi
baseline=1
if [ "${1:-}" = "--no-baseline" ]; then baseline=0; shift; fi
declare -A wanted=()
for n in "$@"; do wanted[$n]=1; done

scratch=$(mktemp -d)
current=''  # the file that holds a mutant now
restore() {
  if [ -n "$current" ]; then cp "$scratch/original" "$root/$current"; current=''; fi
}
trap 'restore; rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM

# Every mutant's snippet must be in its file exactly once.
for i in "${!names[@]}"; do
  IFS= read -r -d '' text <"$root/${files[i]}"
  rest=${text//"${olds[i]}"/}
  if [ -z "${olds[i]}" ] || [ $(((${#text} - ${#rest}) / ${#olds[i]})) -ne 1 ]; then
    echo "mutate: the snippet of ${names[i]} is not in ${files[i]} exactly once" >&2
    exit 2
  fi
done

if [ ! -f "$build/CMakeCache.txt" ]; then
  nice -n 10 cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >"$scratch/configure.log" ||
    { cat "$scratch/configure.log"; exit 2; }
fi

build_for() {  # STEP... ; builds the steps' targets
  local t=() s
  for s in "$@"; do read -ra more <<<"${targets[$s]}"; t+=("${more[@]}"); done
  nice -n 10 cmake --build "$build" -j2 --target "${t[@]}" >"$scratch/build.log" 2>&1
}

# Runs one step; on a failure prints the first test that failed.
run_step() {
  if timeout 1800 nice -n 10 ctest --test-dir "$build" -R "${regex[$1]}" -j2 --stop-on-failure \
    --no-tests=error >"$scratch/ctest.log" 2>&1; then
    return 0
  fi
  local failed
  failed=$(sed -n '/tests FAILED:/{n;p;q}' "$scratch/ctest.log" | sed 's/^[[:space:]]*[0-9]* - //')
  echo "${failed:-$1 (no test named: see its log)}"
  return 1
}

if [ "$baseline" = 1 ]; then
  all=("${!targets[@]}")
  build_for "${all[@]}" || { echo "mutate: the unchanged tree does not build" >&2; exit 2; }
  for s in "${all[@]}"; do
    if ! why=$(run_step "$s"); then echo "mutate: step $s fails unchanged: $why" >&2; exit 2; fi
  done
fi

killed=0 survived=0 same=0 total=0
printf '%-28s %-9s %s\n' mutant result "killed by"
for i in "${!names[@]}"; do
  [ ${#wanted[@]} -eq 0 ] || [ -n "${wanted[${names[i]}]:-}" ] || continue
  total=$((total + 1))
  file=${files[i]}
  cp -p "$root/$file" "$scratch/original"
  current=$file
  IFS= read -r -d '' text <"$root/$file"
  printf '%s' "${text/"${olds[i]}"/"${news[i]}"}" >"$root/$file"
  read -ra mine <<<"${steps[i]}"
  result=survived by=''
  if ! build_for "${mine[@]}"; then
    result=killed by="(does not build: $(grep -m1 'error' "$scratch/build.log"))"
  else
    for s in "${mine[@]}"; do
      if by=$(run_step "$s"); then by=''; else result=killed; break; fi
    done
  fi
  restore
  if [ "$result" = survived ] && [ -n "${equivalent[i]}" ]; then
    result=equivalent by="(${equivalent[i]% })"
  fi
  case $result in
    killed) killed=$((killed + 1)) ;;
    equivalent) same=$((same + 1)) ;;
    *) survived=$((survived + 1)) ;;
  esac
  printf '%-28s %-9s %s\n' "${names[i]}" "$result" "$by"
done
printf '%d mutants: %d killed, %d equivalent, %d survived\n' "$total" "$killed" "$same" "$survived"
# The build holds the tree's code again.
build_for "${!targets[@]}" || echo "mutate: the restored tree does not build" >&2
[ "$survived" -eq 0 ]
