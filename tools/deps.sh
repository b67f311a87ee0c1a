# The packages that building, testing and packaging Tabulon need, and their
# installation. Source it, then call
#
#   deps_install NAME SET...
#
# NAME names the calling script in messages; each SET is one of the lists
# below (build, test, package, install-test) or a single Debian package name.
# On a Debian-like system the missing packages are installed with apt-get,
# through sudo when not root; the package lists are refreshed only when
# something is missing. Anywhere else one line names what to install.

# Build the programs and the tests. libcli11-dev and nlohmann-json3-dev are for
# the companion programs.
deps_build=(cmake g++ make libgtest-dev libgmock-dev libcli11-dev nlohmann-json3-dev)
# Added by tools/test.sh: the fuzz targets (clang and its sanitizer runtime,
# libclang-rt-N-dev for the clang that is installed), the manual page check,
# the inspector's picture tests (rsvg-convert, xmllint, convert) and the check of its
# Prometheus output (promtool, in prometheus) and of its JSON against its schemas
# (python3-jsonschema); the map and the report in a real browser (chromium);
# the lengths of the functions (universal-ctags, for tools/check-code.sh).
deps_test=(clang libclang-rt-@-dev mandoc librsvg2-bin libxml2-utils imagemagick prometheus chromium
  python3-jsonschema universal-ctags)
# Added by tools/package.sh: the .deb (dpkg-shlibdeps, and file to find the
# programs in it) and the Windows build for the zip.
deps_package=(dpkg-dev file g++-mingw-w64-x86-64-win32)
# Added by tools/install-test.sh: the .deb and its checks.
deps_install_test=(dpkg-dev file lintian man-db)

# deps_list SET...: prints the packages of the sets, one a line.
deps_list() {
  local set
  for set in "$@"; do
    case $set in
      build) printf '%s\n' "${deps_build[@]}" ;;
      test) printf '%s\n' "${deps_build[@]}" "${deps_test[@]}" ;;
      package) printf '%s\n' "${deps_build[@]}" "${deps_package[@]}" ;;
      install-test) printf '%s\n' "${deps_build[@]}" "${deps_install_test[@]}" ;;
      *) printf '%s\n' "$set" ;;
    esac
  done | awk '!seen[$0]++'
}

# The major version of the clang that is installed, or of the one apt-get
# would install; empty when neither is known.
deps_clang_major() {
  if command -v clang >/dev/null 2>&1; then
    clang -dumpversion 2>/dev/null | cut -d. -f1
  else
    apt-cache depends clang 2>/dev/null | sed -n 's/^ *Depends: clang-\([0-9][0-9]*\)$/\1/p' |
      head -1
  fi
}

deps_present() {
  [[ "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" == *" ok installed" ]]
}

deps_install() {
  local name=$1 major p sudo_cmd=() want=() need=()
  shift
  while IFS= read -r p; do want+=("$p"); done < <(deps_list "$@")

  if ! command -v apt-get >/dev/null 2>&1 || ! command -v dpkg-query >/dev/null 2>&1; then
    deps_elsewhere "$name" "${want[@]}"
    return
  fi

  major=""
  command -v clang >/dev/null 2>&1 && major=$(deps_clang_major)
  for p in "${want[@]}"; do
    case $p in *@*) [ -n "$major" ] || { need+=("$p"); continue; } ;; esac
    deps_present "${p//@/$major}" || need+=("${p//@/$major}")
  done
  [ ${#need[@]} -gt 0 ] || return 0

  if [ "$(id -u)" -ne 0 ]; then
    if ! command -v sudo >/dev/null 2>&1; then
      major=$(deps_clang_major)
      echo "$name: missing packages; as root, run: apt-get install ${need[*]//@/${major:-N}}" >&2
      exit 1
    fi
    sudo_cmd=(sudo)
  fi
  if ! "${sudo_cmd[@]}" apt-get update -qq; then
    echo "$name: apt-get update failed; install these packages: ${need[*]//@/N}" >&2
    exit 1
  fi
  # A package named after the clang version follows the clang to be installed.
  if [[ "${need[*]}" == *@* ]]; then
    major=$(deps_clang_major)
    [ -n "$major" ] || major=14
    need=("${need[@]//@/$major}")
  fi
  echo "$name: installing ${need[*]}" >&2
  local log
  log=$(mktemp)
  if ! "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends "${need[@]}" >"$log" 2>&1; then
    tail -20 "$log" >&2
    rm -f "$log"
    echo "$name: apt-get install failed; install these packages: ${need[*]}" >&2
    exit 1
  fi
  rm -f "$log"
}

# Not a Debian-like system: checks the commands that the build needs and, if
# one is missing, names what to install in one line.
deps_elsewhere() {
  local name=$1 c missing=0
  shift
  command -v cmake >/dev/null 2>&1 || missing=1
  command -v make >/dev/null 2>&1 || missing=1
  command -v c++ >/dev/null 2>&1 || command -v g++ >/dev/null 2>&1 ||
    command -v clang++ >/dev/null 2>&1 || missing=1
  for c in "$@"; do
    case $c in clang) command -v clang >/dev/null 2>&1 || missing=1 ;; esac
  done
  [ $missing = 0 ] && return 0
  echo "$name: install CMake 3.25 or later, make, a C++20 compiler (g++ 12 or clang 14 or later)," \
    "GoogleTest and GoogleMock$([[ " $* " == *" clang "* ]] && echo ", clang with its sanitizer runtime"), then run this again" >&2
  exit 1
}
