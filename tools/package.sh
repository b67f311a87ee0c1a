#!/usr/bin/env bash
# package.sh [deb] [zip] [msi]: builds the packages into build/packages:
#   deb  tabulon_<version>_<arch>.deb, from a Release build with Debian's
#        hardening flags (build/package);
#   zip  tabulon-<version>-win64.zip, from the MinGW-w64 build
#        (build/package-win64);
#   msi  tabulon-<version>-x64.msi, the Windows Installer package, with wixl
#        from the same MinGW-w64 build.
# All three without arguments. Installs what the builds need first, when missing.
# TABULON_MAINTAINER="Name <address>" in the environment names the packages'
# maintainer (default: the project's maintainers, see cmake/packaging.cmake).
set -euo pipefail
cd "$(dirname "$0")/.."
. tools/deps.sh
jobs=$(nproc 2>/dev/null || echo 2)
out=build/packages
maintainer=()
[ -z "${TABULON_MAINTAINER:-}" ] || maintainer=(-DTABULON_MAINTAINER="$TABULON_MAINTAINER")

kinds=("$@")
[ ${#kinds[@]} -gt 0 ] || kinds=(deb zip msi)
sets=()
for kind in "${kinds[@]}"; do
  case $kind in
    deb) sets+=(build dpkg-dev file) ;;
    zip) sets+=(cmake make g++-mingw-w64-x86-64-win32 mandoc) ;;
    msi) sets+=(cmake make g++-mingw-w64-x86-64-win32 mandoc wixl msitools) ;;
    *)
      echo "usage: tools/package.sh [deb] [zip] [msi]" >&2
      exit 2
      ;;
  esac
done
deps_install package.sh "${sets[@]}"
mkdir -p "$out"

for kind in "${kinds[@]}"; do
  case $kind in
    deb)
      # dpkg-buildflags: the flags of a Debian package build, with every
      # hardening feature.
      export DEB_BUILD_MAINT_OPTIONS=hardening=+all
      CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
        LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
        cmake -S . -B build/package -DCMAKE_BUILD_TYPE=Release -DTABULON_TESTS=OFF \
        -DTABULON_BENCH=OFF "${maintainer[@]}" >/dev/null
      cmake --build build/package -j"$jobs"
      (cd build/package && cpack -G DEB -B "$PWD/../packages" >/dev/null)
      ;;
    zip | msi)
      cmake -S . -B build/package-win64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
        -DCMAKE_BUILD_TYPE=Release -DTABULON_TESTS=OFF -DTABULON_BENCH=OFF "${maintainer[@]}" >/dev/null
      cmake --build build/package-win64 -j"$jobs"
      if [ "$kind" = zip ]; then
        (cd build/package-win64 && cpack -G ZIP -B "$PWD/../packages" >/dev/null)
      else
        # Only the package of this build's version goes out.
        rm -f build/package-win64/tabulon-*-x64.msi
        cmake --build build/package-win64 --target msi
        cp build/package-win64/tabulon-*-x64.msi "$out/"
      fi
      ;;
  esac
done
rm -rf "$out/_CPack_Packages"
ls -l "$out"
