#!/usr/bin/env bash
# install-test.sh: checks the installation of Tabulon.
#   - `cmake --install` into a staging folder puts exactly the expected files
#     there;
#   - the .deb (tools/package.sh deb) holds exactly the expected files, has
#     its fields and dependencies, and lintian finds no error or warning in it;
#   - the survey's service is locked down: systemd-analyze security rates its
#     exposure at most 2.5 (tests/monitoring/units_test.sh holds it to 1.0);
#   - installed with dpkg (as root, or through sudo), tabulon runs from PATH on
#     the sample file set, man finds its page, the survey's systemd units pass
#     systemd-analyze verify and are not enabled, the survey's system user
#     exists and reads a folder only root may read through its capability,
#     with no folder configured the service's command logs one line and
#     succeeds; the timer, once enabled, is disabled by dpkg --remove, and
#     dpkg --purge leaves nothing behind.
# Installs what it needs first, when missing. A new program adds its lines to
# the expected lists below.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
. tools/deps.sh
deps_install install-test.sh install-test

started=$(date +%s)
passed=0
failed=0
pass() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { failed=$((failed + 1)); echo "FAIL $1${2:+: $2}"; }
# expect_same NAME EXPECTED_FILE ACTUAL_FILE
expect_same() {
  if cmp -s "$2" "$3"; then pass "$1"; else
    fail "$1"
    diff "$2" "$3" | sed 's/^/     /' || true
  fi
}

work=$(mktemp -d)
sudo_cmd=()
installed=0
cleanup() {
  if [ $installed = 1 ]; then "${sudo_cmd[@]}" dpkg --purge tabulon >/dev/null 2>&1 || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

version=$(sed -n 's/^project(tabulon VERSION \([0-9][0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)
deb=build/packages/tabulon_${version}_${arch}.deb

rm -f "$deb"
./tools/package.sh deb >"$work/package.log" 2>&1 || {
  cat "$work/package.log"
  fail "tools/package.sh deb"
  exit 1
}
[ -f "$deb" ] && pass "package: $(basename "$deb")" || fail "package" "no $deb"

# --- cmake --install --------------------------------------------------------
# The README's docs/ folder goes beside it.
docs=$(git ls-files docs 2>/dev/null || find docs -type f)
{
  cat <<'EOF'
bin/tabulon
bin/tabulon-inspect
bin/tabulon-undo
share/doc/tabulon/README.md
share/man/man1/tabulon-inspect.1
share/man/man1/tabulon-undo.1
share/man/man1/tabulon.1
share/tabulon/tabulon-alerts.yml
EOF
  printf '%s\n' "$docs" | sed 's|^|share/doc/tabulon/|'
} | LC_ALL=C sort >"$work/stage.expected"
stage=$work/stage
cmake --install build/package --prefix "$stage" >/dev/null
(cd "$stage" && find . ! -type d | sed 's|^\./||' | LC_ALL=C sort) >"$work/stage.actual"
expect_same "cmake --install: file list" "$work/stage.expected" "$work/stage.actual"
if grep -q "^\.Os Tabulon $version\$" "$stage/share/man/man1/tabulon.1" 2>/dev/null; then
  pass "cmake --install: manual page of version $version"
else
  fail "cmake --install: manual page of version $version" \
    "$(grep '^\.Os' "$stage/share/man/man1/tabulon.1" 2>&1 || true)"
fi
cmp -s README.md "$stage/share/doc/tabulon/README.md" && pass "cmake --install: README.md" ||
  fail "cmake --install: README.md" "differs from the source"

# --- the .deb ---------------------------------------------------------------
{
  cat <<'EOF'
/etc/default/tabulon
/lib/systemd/system/tabulon-survey.service
/lib/systemd/system/tabulon-survey.timer
/lib/systemd/system-generators/tabulon-survey-generator
/usr/bin/tabulon
/usr/bin/tabulon-inspect
/usr/bin/tabulon-undo
/usr/lib/sysusers.d/tabulon.conf
/usr/libexec/tabulon/tabulon-survey
/usr/share/doc/tabulon/README.md
/usr/share/doc/tabulon/changelog.gz
/usr/share/doc/tabulon/copyright
/usr/share/man/man1/tabulon-inspect.1.gz
/usr/share/man/man1/tabulon-undo.1.gz
/usr/share/man/man1/tabulon.1.gz
/usr/share/tabulon/tabulon-alerts.yml
EOF
  printf '%s\n' "$docs" | sed 's|^|/usr/share/doc/tabulon/|'
} | LC_ALL=C sort >"$work/deb.expected"
dpkg-deb --fsys-tarfile "$deb" | tar -t | sed 's|^\./|/|; s|/$||' | LC_ALL=C sort >"$work/deb.all"
dpkg-deb --fsys-tarfile "$deb" | tar -tv | awk '$1 !~ /^d/ { print $NF }' |
  sed 's|^\./|/|' | LC_ALL=C sort >"$work/deb.actual"
expect_same ".deb: file list" "$work/deb.expected" "$work/deb.actual"
field() { dpkg-deb -f "$deb" "$1"; }
why=""
[ "$(field Package)" = tabulon ] || why+="Package $(field Package); "
[ "$(field Version)" = "$version" ] || why+="Version $(field Version); "
[ "$(field Section)" = utils ] || why+="Section $(field Section); "
[ -n "$(field Maintainer)" ] || why+="no Maintainer; "
for lib in libc6 libstdc++6; do
  [[ ", $(field Depends)" == *", $lib "* ]] || why+="Depends lacks $lib; "
done
[ "$(dpkg-deb -I "$deb" conffiles 2>&1)" = /etc/default/tabulon ] ||
  why+="conffiles: $(dpkg-deb -I "$deb" conffiles 2>&1); "
for script in postinst prerm postrm; do
  dpkg-deb -I "$deb" "$script" >/dev/null 2>&1 || why+="no $script; "
done
[ -z "$why" ] && pass ".deb: control fields" || fail ".deb: control fields" "$why"
# Where dpkg keeps groff's files out (slim container images), groff cannot
# run, and lintian reports that against every manual page.
groff_excluded=0
grep -rqs '^path-exclude.*/usr/share/groff' /etc/dpkg/dpkg.cfg.d/ && groff_excluded=1
lintian_opts=()
if [ $groff_excluded = 1 ]; then
  echo "install-test.sh: dpkg excludes /usr/share/groff here: lintian's groff-message not counted"
  lintian_opts=(--suppress-tags groff-message)
fi
if lintian --fail-on error,warning "${lintian_opts[@]}" "$deb" >"$work/lintian" 2>&1; then
  pass ".deb: lintian"
else
  fail ".deb: lintian" "$(grep -v 'root privileges' "$work/lintian" | head -20)"
fi

# The copyright file is machine-readable (DEP-5) and names the licence of
# the project and of the libraries built into the programs; lintian, with
# its informational and pedantic tags too, has nothing to say about it.
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./usr/share/doc/tabulon/copyright >"$work/copyright"
why=""
[ "$(head -1 "$work/copyright")" = \
  "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/" ] ||
  why+="no DEP-5 Format line; "
for license in Apache-2.0 BSD-3-clause Expat; do
  grep -qx "License: $license" "$work/copyright" || why+="no License: $license paragraph; "
done
grep -qx 'Files: \*' "$work/copyright" || why+="no Files: * paragraph; "
[ -z "$why" ] && pass ".deb: copyright file in DEP-5" || fail ".deb: copyright file in DEP-5" "$why"
lintian -I --pedantic "${lintian_opts[@]}" "$deb" 2>/dev/null | grep -i copyright \
  >"$work/lintian-copyright" || true
[ ! -s "$work/lintian-copyright" ] && pass ".deb: lintian, no copyright tag" ||
  fail ".deb: lintian, no copyright tag" "$(cat "$work/lintian-copyright")"

# --- the survey's service, locked down ----------------------------------------
# systemd-analyze rates the unit as packaged, from 0 (safe) to 10 (exposed).
dpkg-deb --fsys-tarfile "$deb" | tar -xO ./lib/systemd/system/tabulon-survey.service \
  >"$work/tabulon-survey.service"
systemd-analyze security --offline=yes "$work/tabulon-survey.service" >"$work/security" 2>&1 || true
exposure=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p' "$work/security")
if [ -n "$exposure" ] && awk -v e="$exposure" 'BEGIN { exit !(e <= 2.5) }'; then
  pass ".deb: tabulon-survey.service exposure $exposure (at most 2.5)"
else
  fail ".deb: tabulon-survey.service exposure at most 2.5" \
    "'$exposure': $(grep -E '✗|exposure' "$work/security" | head -30)"
fi

# --- the Windows zip ----------------------------------------------------------
# Built when the MinGW-w64 compiler is there (CI installs it for the Windows
# build): the programs with the README, the licence and the notices, the
# HTML manuals, the Windows guide and the scheduled survey's task definition.
if command -v x86_64-w64-mingw32-g++-win32 >/dev/null 2>&1 ||
  command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1; then
  zip=build/packages/tabulon-${version}-win64.zip
  rm -f "$zip"
  if ./tools/package.sh zip >"$work/package-zip.log" 2>&1 && [ -f "$zip" ]; then
    printf '%s\n' LICENSE NOTICE README.txt THIRD-PARTY.txt WINDOWS.txt tabulon-inspect.exe \
      tabulon-inspect.html tabulon-survey.xml tabulon-undo.exe tabulon-undo.html tabulon.exe \
      tabulon.html >"$work/zip.expected"
    mkdir -p "$work/zip"
    (cd "$work/zip" && cmake -E tar tf "$root/$zip") | sed 's|^[^/]*/||' | grep -v '^$' |
      LC_ALL=C sort >"$work/zip.actual"
    expect_same "zip: file list" "$work/zip.expected" "$work/zip.actual"
  else
    fail "tools/package.sh zip" "$(tail -20 "$work/package-zip.log")"
  fi
else
  echo "skip zip: no MinGW-w64 compiler"
fi

# --- dpkg -i, use, dpkg --purge ----------------------------------------------
if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1; then
    sudo_cmd=(sudo)
  else
    echo "install-test.sh: neither root nor sudo: dpkg -i not tried" >&2
    echo "$passed passed, $failed failed"
    [ "$failed" -eq 0 ]
    exit
  fi
fi
if deps_present tabulon; then
  echo "install-test.sh: removing the tabulon package installed before"
  "${sudo_cmd[@]}" dpkg --purge tabulon >/dev/null
fi
# Which paths of the package were there before it (the shared folders).
while IFS= read -r p; do
  [ -n "$p" ] || continue
  if [ -e "$p" ] || [ -L "$p" ]; then echo "$p"; fi
done <"$work/deb.all" >"$work/before"
# Images that keep out documentation (dpkg path-exclude, as Debian's
# container images do) would also keep out the files under test: this
# package's own ones are let in.
if grep -rqs '^path-exclude.*/usr/share/\(man\|doc\)' /etc/dpkg/dpkg.cfg.d/; then
  echo "install-test.sh: dpkg excludes /usr/share/man or /usr/share/doc here;" \
    "the package's files there are included for the test"
fi
installed=1
if "${sudo_cmd[@]}" dpkg --path-include='/usr/share/man/man1/tabulon*.1.gz' \
  --path-include='/usr/share/doc/tabulon/*' -i "$deb" >"$work/dpkg.log" 2>&1; then
  pass "dpkg -i"
else
  fail "dpkg -i" "$(cat "$work/dpkg.log")"
fi
dpkg -L tabulon | grep -v '^/\.$' | sort >"$work/listed"
missing=$(while IFS= read -r p; do [ -e "$p" ] || echo "$p"; done <"$work/listed")
[ -z "$missing" ] && pass "dpkg -L: every path is there" ||
  fail "dpkg -L: every path is there" "missing: $missing"
"${sudo_cmd[@]}" dpkg --verify tabulon >"$work/verify" 2>&1 && [ ! -s "$work/verify" ] &&
  pass "dpkg --verify" || fail "dpkg --verify" "$(cat "$work/verify")"

found=$(command -v tabulon || true)
[ "$found" = /usr/bin/tabulon ] && pass "tabulon on PATH" || fail "tabulon on PATH" "found '$found'"

# The sample set, checked, repaired in a copy and checked again by the
# installed program (the totals of the README's sample run).
make_sample=""
for b in build/release build/asan; do
  [ -x "$b/tools/make_sample" ] && make_sample=$b/tools/make_sample && break
done
if [ -z "$make_sample" ]; then
  cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build build/release -j2 --target make_sample >/dev/null
  make_sample=build/release/tools/make_sample
fi
sample=$work/sample
mkdir -p "$sample/repair"
"$make_sample" "$sample" >/dev/null
cp "$sample"/ORDERS.* "$sample/repair/"
# run NAME DIR EXPECTED_LINE ARGS...
run() {
  local name=$1 dir=$2 line=$3 rc=0
  shift 3
  (cd "$dir" && tabulon "$@") </dev/null >"$work/out" 2>"$work/err" || rc=$?
  if [ $rc -ne 0 ]; then
    fail "$name" "exit status $rc: $(head -5 "$work/err")"
  elif ! grep -qxF "$line" "$work/out"; then
    fail "$name" "no line '$line' in: $(tail -8 "$work/out")"
  else
    pass "$name"
  fi
}
run "tabulon ORDERS.DAT /R" "$sample" "Problems Found (Total)      : 4" ORDERS.DAT /R
run "tabulon ORDERS.DAT /F-1 /R" "$sample/repair" "Problems Fixed (Total)      : 6 (May not be sum of above)" \
  ORDERS.DAT /F-1 /R
run "tabulon ORDERS.DAT /R, after the repair" "$sample/repair" "Problems Found (Total)      : 1" \
  ORDERS.DAT /R
rc=0
tabulon >/dev/null 2>&1 </dev/null || rc=$?
[ $rc = 1 ] && pass "tabulon without arguments: status 1" ||
  fail "tabulon without arguments: status 1" "status $rc"

page=$(man -w tabulon 2>&1 || true)
[ "$page" = /usr/share/man/man1/tabulon.1.gz ] && pass "man -w tabulon" ||
  fail "man -w tabulon" "$page"
if MANPAGER=cat MANWIDTH=80 man tabulon 2>/dev/null | grep -q "Page Allocation Table"; then
  pass "man tabulon"
elif [ $groff_excluded = 1 ]; then
  echo "skip man tabulon: dpkg excludes /usr/share/groff here, so man renders no page"
else
  fail "man tabulon" "the page does not show"
fi

# The nightly survey: both units verify (with their manual page, where man
# can render it), neither is enabled, and the service writes a Prometheus
# file of the folders named in /etc/default/tabulon.
verify_opts=()
[ $groff_excluded = 1 ] && verify_opts=(--man=no)
if systemd-analyze verify "${verify_opts[@]}" /lib/systemd/system/tabulon-survey.service \
  /lib/systemd/system/tabulon-survey.timer >"$work/verify" 2>&1; then
  pass "systemd-analyze verify: tabulon-survey.service and .timer"
else
  fail "systemd-analyze verify: tabulon-survey.service and .timer" "$(cat "$work/verify")"
fi
state=$(systemctl is-enabled tabulon-survey.timer 2>/dev/null || true)
[ "$state" = disabled ] && pass "tabulon-survey.timer not enabled" ||
  fail "tabulon-survey.timer not enabled" "is-enabled: '$state'"
grep -q '^TABULON_SURVEY_DIRS=""$' /etc/default/tabulon && pass "/etc/default/tabulon" ||
  fail "/etc/default/tabulon" "no empty TABULON_SURVEY_DIRS"
getent passwd tabulon >/dev/null && pass "the survey's system user tabulon" ||
  fail "the survey's system user tabulon" "no user tabulon after dpkg -i"
# The service's command as systemd runs it: as the user tabulon with the
# capability to read any file (setpriv stands in for systemd), on a copy of
# the sample set in a folder only root may enter, writing into a folder of
# its own as it writes into /var/lib/tabulon.
script=$(sed -n 's/^ExecStart=//p' /lib/systemd/system/tabulon-survey.service)
private=$work/private
metrics=$work/metrics
"${sudo_cmd[@]}" mkdir -p "$private" "$metrics"
"${sudo_cmd[@]}" cp "$sample"/ORDERS.* "$private/"
"${sudo_cmd[@]}" chmod 700 "$private"
"${sudo_cmd[@]}" chmod 600 "$private"/ORDERS.*
"${sudo_cmd[@]}" chown tabulon:tabulon "$metrics"
chmod 755 "$work"
as_service() {
  "${sudo_cmd[@]}" env "$@" setpriv --reuid=tabulon --regid=tabulon --init-groups \
    --inh-caps=+dac_read_search --ambient-caps=+dac_read_search "$script"
}
rc=0
# Under the unit's UMask=0077, as systemd starts it.
(umask 077 && as_service TABULON_SURVEY_DIRS="$private $sample/repair" \
  TABULON_SURVEY_OUTPUT="$metrics/tabulon.prom" TABULON_SURVEY_UMASK=0027 \
  TABULON_SURVEY_OPTIONS="--shared") >"$work/out" 2>&1 || rc=$?
if [ $rc -le 1 ] && grep -q "^tabulon_file_checked{dir=\"$private\",path=\"ORDERS.DAT\"} 1$" \
  "$metrics/tabulon.prom" && grep -qx 'tabulon_survey_complete 1' "$metrics/tabulon.prom"; then
  pass "the service's command, as tabulon, reads a folder only root may read"
else
  fail "the service's command, as tabulon, reads a folder only root may read" \
    "status $rc: $(head -5 "$work/out"; head -20 "$metrics/tabulon.prom" 2>/dev/null)"
fi
# The metrics are for the service's group: the metrics reader joins it.
mode=$(stat -c '%a %G' "$metrics/tabulon.prom" 2>/dev/null || true)
[ "$mode" = "640 tabulon" ] && pass "the metrics file is readable by the group tabulon alone" ||
  fail "the metrics file is readable by the group tabulon alone" "mode and group: '$mode'"
rc=0
as_service TABULON_SURVEY_DIRS= >"$work/out" 2>&1 || rc=$?
[ $rc = 0 ] && [ "$(wc -l <"$work/out")" = 1 ] && pass "no folder configured: one line, status 0" ||
  fail "no folder configured: one line, status 0" "status $rc: $(cat "$work/out")"

# Enabled as an administrator would, the timer is disabled by the removal
# and forgotten by the purge: no link in /etc/systemd/system is left.
enabled_links() { find /etc/systemd/system -name 'tabulon-survey.*' 2>/dev/null || true; }
"${sudo_cmd[@]}" systemctl enable tabulon-survey.timer >/dev/null 2>&1 || true
[ -n "$(enabled_links)" ] && pass "tabulon-survey.timer enabled" ||
  fail "tabulon-survey.timer enabled" "no link in /etc/systemd/system"
if "${sudo_cmd[@]}" dpkg --remove tabulon >"$work/dpkg.log" 2>&1; then
  pass "dpkg --remove"
else
  fail "dpkg --remove" "$(cat "$work/dpkg.log")"
fi
[ -z "$(enabled_links)" ] && pass "no timer left enabled after dpkg --remove" ||
  fail "no timer left enabled after dpkg --remove" "$(enabled_links)"

if "${sudo_cmd[@]}" dpkg --purge tabulon >"$work/dpkg.log" 2>&1; then
  installed=0
  pass "dpkg --purge"
else
  fail "dpkg --purge" "$(cat "$work/dpkg.log")"
fi
left=$(
  enabled_links
  find /var/lib/systemd/deb-systemd-helper-enabled /var/lib/systemd/deb-systemd-helper-masked \
    -name '*tabulon*' 2>/dev/null || true
)
[ -z "$left" ] && pass "no timer left enabled after dpkg --purge" ||
  fail "no timer left enabled after dpkg --purge" "$left"
deps_present tabulon && fail "not installed after the purge" || pass "not installed after the purge"
# Every path of the package is gone, but for those that were there before it.
left=$(while IFS= read -r p; do
  if { [ -e "$p" ] || [ -L "$p" ]; } && ! grep -qxF "$p" "$work/before"; then echo "$p"; fi
done <"$work/listed")
[ -z "$left" ] && pass "nothing left behind" || fail "nothing left behind" "$left"
hash -r
command -v tabulon >/dev/null && fail "tabulon gone from PATH" "$(command -v tabulon)" ||
  pass "tabulon gone from PATH"

echo "time: install test: $(($(date +%s) - started)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
