#!/usr/bin/env bash
# The Windows Installer package under Wine. tools/wine-suite.sh sources this
# file and calls msi_suite with its Wine prefix, its builds and its sample
# set; run alone, it makes those itself:
#
#   tools/wine-msi.sh            (WINE_MSI_PREFIX=DIR keeps a prefix to reuse)
#
# It builds the package of the project's version and one of a higher version
# from the MinGW-w64 build, checks their tables with msiinfo, then under Wine:
# the installation (files, uninstall entry, PATH), the three programs run by
# name from a new process, the scheduled survey's command line on the sample
# set, a repair by running the package again, the upgrade to the newer package
# (one entry left), the refusal of the older one, and the removal (no file, no
# entry, no PATH part left).

# The fixed upgrade code of every Tabulon package, and what the folder holds.
msi_upgrade_code="{3106084B-6FAA-43BE-8C3E-69899FFFE7C5}"
msi_files=(LICENSE NOTICE README.txt THIRD-PARTY.txt WINDOWS.txt tabulon-inspect.exe
  tabulon-inspect.html tabulon-survey.xml tabulon-undo.exe tabulon-undo.html tabulon.exe
  tabulon.html)
msi_uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall'
msi_environment='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'

# msi_build: the two packages, into $msi_dir: $msi_old of the project's
# version, $msi_new of the next build number.
msi_build() {
  local win=$root/$build/windows
  cmake -S "$root" -B "$win" -DTABULON_MSI_VERSION= >/dev/null
  cmake --build "$win" -j"${jobs:-2}" --target msi >/dev/null
  msi_version=$(sed -n 's/^CMAKE_PROJECT_VERSION:[A-Z]*=//p' "$win/CMakeCache.txt")
  msi_bumped=${msi_version%.*}.$((${msi_version##*.} + 1))
  cmake -S "$root" -B "$win" -DTABULON_MSI_VERSION="$msi_bumped" >/dev/null
  cmake --build "$win" -j"${jobs:-2}" --target msi >/dev/null
  cmake -S "$root" -B "$win" -DTABULON_MSI_VERSION= >/dev/null
  msi_dir=$win
  msi_old=tabulon-$msi_version-x64.msi
  msi_new=tabulon-$msi_bumped-x64.msi
  msi_stage=$win/msi-stage
}

# msi_table MSI TABLE: the table's rows, tab-separated, without the three
# header lines and the carriage returns.
msi_table() { msiinfo export "$msi_dir/$1" "$2" 2>/dev/null | tr -d '\r' | tail -n +4 || true; }
msi_property() { msi_table "$1" Property | awk -F'\t' -v p="$2" '$1 == p { print $2 }'; }

msi_tables() {
  local m why version
  for m in "$msi_old" "$msi_new"; do
    why=""
    version=${m#tabulon-}
    version=${version%-x64.msi}
    if [ "$(msi_property "$m" ProductVersion)" != "$version" ]; then
      why="product version $(msi_property "$m" ProductVersion)"
    elif [ "$(msi_property "$m" UpgradeCode)" != "$msi_upgrade_code" ]; then
      why="upgrade code $(msi_property "$m" UpgradeCode)"
    elif [ "$(msi_property "$m" Manufacturer)" != "The Tabulon developers" ]; then
      why="manufacturer $(msi_property "$m" Manufacturer)"
    elif [[ "$(msi_property "$m" ARPCOMMENTS)" != *"(Apache-2.0)"* ]]; then
      why="no licence in ARPCOMMENTS"
    elif [ "$(msi_table "$m" Component | awk -F'\t' '$3 != "INSTALLDIR" || $4 != 256' | wc -l)" != 0 ]; then
      why="a component that is not a 64-bit one of INSTALLDIR"
    elif [ "$(msi_table "$m" File | cut -f3 | sed 's/.*|//' | LC_ALL=C sort | tr '\n' ' ')" != "${msi_files[*]} " ]; then
      why="files: $(msi_table "$m" File | cut -f3 | tr '\n' ' ')"
    elif [ "$(msi_table "$m" Environment)" != $'TabulonPath\t=-*PATH\t[~];[INSTALLDIR]\ttabulon.exe' ]; then
      why="Environment: $(msi_table "$m" Environment)"
    elif [ "$(msi_table "$m" InstallExecuteSequence | grep -c -E '^(Write|Remove)EnvironmentStrings|^RemoveExistingProducts|^FindRelatedProducts')" != 4 ]; then
      why="the sequence lacks an action of the PATH entry or of the upgrade"
    elif [[ "$(msiinfo suminfo "$msi_dir/$m")" != *$'\nTemplate: x64;1033'* ]]; then
      why="not an x64 package"
    fi
    if [ -n "$why" ]; then fail "MSI tables of $m" "$why"; else pass "MSI tables of $m"; fi
  done
  m=$(msi_table "$msi_new" Upgrade | LC_ALL=C sort)
  if [ "$m" != "$msi_upgrade_code	0.0.0	$msi_bumped		769		TABULON_OLDER
$msi_upgrade_code	$msi_bumped			2		TABULON_NEWER" ]; then
    fail "MSI upgrade ranges" "$(echo "$m" | tr '\t\n' ' |')"
  elif [ "$(msi_table "$msi_old" Component | cut -f1,2)" != "$(msi_table "$msi_new" Component | cut -f1,2)" ]; then
    fail "MSI upgrade ranges" "the component codes differ between versions"
  elif [ "$(msi_property "$msi_old" ProductCode)" = "$(msi_property "$msi_new" ProductCode)" ]; then
    fail "MSI upgrade ranges" "both packages have one product code"
  else
    pass "MSI upgrade ranges"
  fi
}

# msi_task: the task definition as installed, well-formed, with the survey's
# command line; that line runs (from a batch file, with the sample set as its
# folder) once the package is installed: see msi_task_run.
msi_xpath() { xmllint --xpath "string(//*[local-name()='$2'])" "$1" 2>/dev/null || true; }
msi_task() {
  local xml=$msi_stage/tabulon-survey.xml why=""
  local args='survey --format prometheus --expect 1 -o "C:\Program Files\windows_exporter\textfile_inputs\tabulon.prom" "D:\Data"'
  if [ "$(od -An -tx1 -N2 "$xml" | tr -d ' ')" != fffe ]; then
    why="not UTF-16 with a byte order mark"
  elif ! xmllint --noout "$xml" 2>"$work/xmllint.err"; then
    why="not well-formed: $(head -3 "$work/xmllint.err")"
  elif [ "$(msi_xpath "$xml" Command)" != '"C:\Program Files\Tabulon\tabulon-inspect.exe"' ]; then
    why="command $(msi_xpath "$xml" Command)"
  elif [ "$(msi_xpath "$xml" Arguments)" != "$args" ]; then
    why="arguments $(msi_xpath "$xml" Arguments)"
  elif [ "$(msi_xpath "$xml" Priority)/$(msi_xpath "$xml" DaysInterval)" != 10/1 ]; then
    why="not nightly at the lowest priority"
  fi
  if [ -n "$why" ]; then fail "task definition" "$why"; else pass "task definition"; fi
}

# msi_task_run: the task's command line with the sample set's folder.
msi_task_run() {
  local xml=$WINEPREFIX/drive_c/Program\ Files/Tabulon/tabulon-survey.xml run=$work/msi-run prom rc=0 line
  prom=$WINEPREFIX/drive_c/Program\ Files/windows_exporter/textfile_inputs/tabulon.prom
  mkdir -p "$run" "$(dirname "$prom")"
  line="$(msi_xpath "$xml" Command) $(msi_xpath "$xml" Arguments)"
  line=${line/'"D:\Data"'/\"Z:${sample//\//\\}\"}
  printf '@%s\r\nexit /b %%errorlevel%%\r\n' "$line" >"$run/survey.cmd"
  (cd "$run" && "${wine[@]}" cmd /c survey.cmd) </dev/null >"$run/survey.out" 2>&1 || rc=$?
  if [ "$rc" != 0 ] && [ "$rc" != 1 ]; then
    fail "scheduled survey's command line" "status $rc: $(head -3 "$run/survey.out")"
  elif ! grep -qx 'tabulon_survey_complete 1' "$prom" 2>/dev/null ||
    ! grep -q 'ORDERS.DAT' "$prom"; then
    fail "scheduled survey's command line" "no complete survey in tabulon.prom"
  else
    pass "scheduled survey's command line"
  fi
}

# msi_exec ARGS...: msiexec in the packages' folder; prints its status.
msi_exec() {
  local rc=0
  (cd "$msi_dir" && "${wine[@]}" msiexec "$@") </dev/null >/dev/null 2>&1 || rc=$?
  echo "$rc"
}
# msi_reg_value KEY NAME: the data of a registry value.
msi_reg_value() {
  "${wine[@]}" reg query "$1" /v "$2" </dev/null 2>/dev/null | tr -d '\r' |
    sed -n "s/^ *$2 *REG_[A-Z_]* *//Ip"
}
# msi_entries: "ProductCode DisplayVersion" of each installed-programs entry
# of Tabulon.
msi_entries() {
  local key
  "${wine[@]}" reg query "$msi_uninstall" </dev/null 2>/dev/null | tr -d '\r' |
    grep -o '{[-0-9A-F]*}$' | while read -r key; do
    [ "$(msi_reg_value "$msi_uninstall\\$key" DisplayName)" != Tabulon ] ||
      echo "$key $(msi_reg_value "$msi_uninstall\\$key" DisplayVersion)"
  done
}
# msi_path_parts: how many parts of the system PATH name the folder.
msi_path_parts() {
  msi_reg_value "$msi_environment" PATH | tr ';' '\n' |
    grep -c -i -x 'C:\\Program Files\\Tabulon\\\?' || true
}

# msi_installed LABEL MSI VERSION: the product of the package is installed,
# alone, whole, with its entry and its PATH part.
msi_installed() {
  local label=$1 m=$2 version=$3 why="" key folder
  folder=$WINEPREFIX/drive_c/Program\ Files/Tabulon
  key="$msi_uninstall\\$(msi_property "$m" ProductCode)"
  if [ "$(LC_ALL=C ls "$folder" 2>/dev/null | tr '\n' ' ')" != "${msi_files[*]} " ]; then
    why="the folder holds: $(ls "$folder" 2>&1 | tr '\n' ' ')"
  elif ! rm -rf "$work/msi-content" || ! msiextract -C "$work/msi-content" "$msi_dir/$m" >/dev/null ||
    ! diff -r -q "$work/msi-content/Tabulon" "$folder" >/dev/null; then
    why="the installed files are not the package's"
  elif [ "$(msi_entries)" != "$(msi_property "$m" ProductCode) $version" ]; then
    why="installed-programs entries: $(msi_entries | tr '\n' ' ')"
  elif [ "$(msi_reg_value "$key" Publisher)" != "The Tabulon developers" ] ||
    [[ "$(msi_reg_value "$key" Comments)" != *"(Apache-2.0)"* ]]; then
    why="the entry lacks the publisher or the licence"
  elif [ "$(msi_reg_value "$key" InstallLocation)" != 'C:\Program Files\Tabulon\' ]; then
    why="install location $(msi_reg_value "$key" InstallLocation)"
  elif [ "$(msi_path_parts)" != 1 ]; then
    why="PATH names the folder $(msi_path_parts) times: $(msi_reg_value "$msi_environment" PATH)"
  fi
  if [ -n "$why" ]; then fail "$label" "$why"; else pass "$label"; fi
}

# msi_programs: the three programs by name, from a new process in another
# folder; tabulon without arguments and a survey of the sample set as on Linux.
msi_programs() {
  local run=$work/msi-run rc=0 out
  mkdir -p "$run/linux"
  (cd "$run/linux" && "$linux_tool") </dev/null >"$run/usage.linux" 2>&1 || rc=$?
  echo "status $rc" >>"$run/usage.linux"
  rc=0
  (cd "$run" && "${wine[@]}" cmd /c tabulon) </dev/null >"$run/usage.windows" 2>&1 || rc=$?
  echo "status $rc" >>"$run/usage.windows"
  if cmp -s "$run/usage.linux" "$run/usage.windows"; then
    pass "tabulon from the PATH"
  else
    fail "tabulon from the PATH" "$(head -c 300 "$run/usage.windows" | cat -A)"
  fi
  # The survey of a copy of the sample set, as on Linux.
  mkdir -p "$run/survey"
  cp "$sample"/* "$run/survey/"
  rc=0
  # The two streams apart (their interleaving differs), the run's duration
  # in the log's summary line left out.
  (cd "$run/survey" && "${linux_tool}-inspect" survey .) </dev/null >"$run/survey.linux" \
    2>"$run/survey.linux.err" || rc=$?
  echo "status $rc" >>"$run/survey.linux"
  rc=0
  (cd "$run/survey" && "${wine[@]}" cmd /c tabulon-inspect survey .) </dev/null \
    >"$run/survey.windows" 2>"$run/survey.windows.err" || rc=$?
  echo "status $rc" >>"$run/survey.windows"
  for side in linux windows; do
    sed -E 's/duration=[0-9.]+s/duration=@s/' "$run/survey.$side.err" >>"$run/survey.$side"
  done
  if cmp -s "$run/survey.linux" "$run/survey.windows"; then
    pass "tabulon-inspect survey from the PATH"
  else
    fail "tabulon-inspect survey from the PATH" "$(diff "$run/survey.linux" "$run/survey.windows" | head -5)"
  fi
  for program in tabulon-inspect tabulon-undo; do
    rc=0
    out=$(cd "$run" && "${wine[@]}" cmd /c "$program" --version </dev/null 2>&1) || rc=$?
    if [ "$rc" = 0 ] && [[ "$out" == "$program ${msi_version}"* ]]; then
      pass "$program --version from the PATH"
    else
      fail "$program --version from the PATH" "status $rc: $(echo "$out" | head -2)"
    fi
  done
}

# msi_path_tidy: a prefix kept from earlier runs has the empty PATH parts
# that Wine's removals left; they go, so that cmd searches the whole PATH.
msi_path_tidy() {
  local path
  path=$(msi_reg_value "$msi_environment" PATH)
  [[ "$path" == *";;"* || "$path" == *";" ]] || return 0
  path=$(echo "$path" | tr -s ';' | sed 's/;$//')
  "${wine[@]}" reg add "$msi_environment" /v Path /t REG_EXPAND_SZ /d "$path" /f \
    </dev/null >/dev/null 2>&1
}

# msi_removed LABEL MSI: msiexec /x removes every file, the entry and the
# PATH part.
msi_removed() {
  local rc folder=$WINEPREFIX/drive_c/Program\ Files/Tabulon
  rc=$(msi_exec /x "$2" /qn)
  if [ "$rc" != 0 ]; then
    fail "$1" "status $rc"
  elif [ -e "$folder" ]; then
    fail "$1" "left: $(find "$folder" | head -5 | tr '\n' ' ')"
  elif [ -n "$(msi_entries)" ] || [ "$(msi_path_parts)" != 0 ]; then
    fail "$1" "left the entry or the PATH part: $(msi_reg_value "$msi_environment" PATH)"
  else
    pass "$1"
  fi
}

# msi_suite: every check above, in the order of a package's life. Two things
# Wine does unlike Windows set the order: removing a PATH part leaves its
# separator behind, and its cmd stops searching the PATH at two empty parts
# in a row, so the programs run before any removal; after a major upgrade the
# older product is removed last and takes the upgrade code's registration
# with it, so the older package's refusal is tried on a fresh installation of
# the newer one.
msi_suite() {
  local rc folder=$WINEPREFIX/drive_c/Program\ Files/Tabulon
  . "$root/tools/deps.sh"
  deps_install wine-msi mandoc wixl msitools libxml2-utils
  msi_build
  msi_tables
  msi_task
  msi_path_tidy
  rc=$(msi_exec /i "$msi_old" /qn)
  [ "$rc" = 0 ] || fail "msiexec /i $msi_old" "status $rc"
  msi_installed "installed $msi_old" "$msi_old" "$msi_version"
  msi_programs
  msi_task_run
  # Run again on an installed product, the package puts back what is missing.
  rm -f "$folder/tabulon-undo.exe" "$folder/README.txt"
  rc=$(msi_exec /i "$msi_old" /qn)
  [ "$rc" = 0 ] || fail "msiexec /i $msi_old again" "status $rc"
  msi_installed "repaired by running $msi_old again" "$msi_old" "$msi_version"
  rc=$(msi_exec /i "$msi_new" /qn)
  [ "$rc" = 0 ] || fail "msiexec /i $msi_new" "status $rc"
  msi_installed "upgraded to $msi_new" "$msi_new" "$msi_bumped"
  msi_removed "msiexec /x $msi_new removes files, entry and PATH part" "$msi_new"
  rc=$(msi_exec /i "$msi_new" /qn)
  rc=$rc/$(msi_exec /i "$msi_old" /qn)
  if [ "${rc%/*}" = 0 ] && [ "${rc#*/}" != 0 ] &&
    [ "$(msi_entries)" = "$(msi_property "$msi_new" ProductCode) $msi_bumped" ]; then
    pass "older package refused"
  else
    fail "older package refused" "statuses $rc, entries: $(msi_entries | tr '\n' ' ')"
  fi
  msi_removed "msiexec /x $msi_new, installed alone" "$msi_new"
}

# Alone: the builds, a prefix and the sample set, as tools/wine-suite.sh makes them.
msi_main() {
  set -euo pipefail
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  cd "$root"
  . "$root/tools/wine-common.sh"
  local start
  start=$(now)
  install_wine_tools wine-msi cmake make
  build=build/wine-suite
  jobs=$(nproc 2>/dev/null || echo 2)
  cmake -S . -B "$build/linux" -DCMAKE_BUILD_TYPE=Release -DTABULON_TESTS=ON >/dev/null
  cmake --build "$build/linux" -j"$jobs" --target tabulon tabulon-inspect make_sample >/dev/null
  cmake -S . -B "$build/windows" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" >/dev/null
  cmake --build "$build/windows" -j"$jobs" --target tabulon tabulon-inspect tabulon-undo >/dev/null
  linux_tool=$root/$build/linux/tabulon
  find_wine
  work=$(mktemp -d "${TMPDIR:-/tmp}/tabulon-wine-msi.XXXXXX")
  trap '"$wineserver" -k 2>/dev/null || true; rm -rf "$work"' EXIT
  start_wine_prefix "${WINE_MSI_PREFIX:-$work/prefix}"
  sample=$work/sample
  "$build/linux/tools/make_sample" "$sample" >/dev/null
  passed=0 failed=0
  pass() { passed=$((passed + 1)); echo "ok   $1"; }
  fail() { failed=$((failed + 1)); echo "FAIL $1: $2"; }
  local t
  t=$(now)
  msi_suite
  echo "time: MSI checks: $(elapsed "$t"); whole run: $(elapsed "$start")"
  echo "$passed passed, $failed failed"
  [ "$failed" -eq 0 ]
}

[ "${BASH_SOURCE[0]}" != "$0" ] || msi_main "$@"
