# Shared by the Wine scripts: timing helpers and the installation of what a
# Windows build and its runs under Wine need. Source it; $1 of
# install_wine_tools names the calling script in messages.

now() { date +%s.%N; }
elapsed() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f s", b - a }'; }

# install_wine_tools NAME [COMMAND...]: installs the MinGW-w64 compiler, Wine,
# and the packages of the named extra commands, when missing (with
# tools/deps.sh: apt-get, through sudo when not root).
install_wine_tools() {
  local name=$1
  shift
  local need=() c
  for c in g++ "$@"; do command -v "$c" >/dev/null 2>&1 || need+=("$c"); done
  command -v x86_64-w64-mingw32-g++-win32 >/dev/null 2>&1 ||
    command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-win32)
  [ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null 2>&1 || need+=(wine64)
  command -v wine >/dev/null 2>&1 || need+=(wine)
  [ ${#need[@]} -gt 0 ] || return 0
  . "$(dirname "${BASH_SOURCE[0]}")/deps.sh"
  deps_install "$name" "${need[@]}"
}

# find_wine: sets $wine (the loader) and $wineserver, and the environment
# that keeps Wine quiet and skips its .NET and HTML engines.
find_wine() {
  if [ -x /usr/lib/wine/wine64 ]; then
    wine=/usr/lib/wine/wine64
    export WINELOADER=/usr/lib/wine/wine64
  else
    wine=$(command -v wine64 || command -v wine)
  fi
  if [ -x /usr/lib/wine/wineserver64 ]; then
    wineserver=/usr/lib/wine/wineserver64
  else
    wineserver=wineserver
  fi
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
}

# start_wine_prefix FOLDER: makes the Wine prefix FOLDER when it has none yet
# and starts one wineserver for the whole run, with the prefix's services, all
# with standard streams of their own. Otherwise each program starts a server
# that lingers for seconds after it (a run at that moment can meet a server on
# its way out: "wine client error ... Connection reset by peer", and prints
# nothing), and the services started by the first run hold that run's pipes.
start_wine_prefix() {
  export WINEPREFIX=$1
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    mkdir -p "$WINEPREFIX"
    "${wine[@]}" wineboot --init >/dev/null 2>&1 || true
    "$wineserver" -w
  fi
  "$wineserver" -p </dev/null >/dev/null 2>&1
  "${wine[@]}" cmd /c exit </dev/null >/dev/null 2>&1 || true
}
