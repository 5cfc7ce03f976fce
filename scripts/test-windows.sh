#!/usr/bin/env bash
# Builds the Windows programs (quill-patch-tool.exe, quill-patch-cli.exe, the container tools
# and xdelta.exe) with mingw-w64 into build-windows/, runs the test suites under Wine, and
# packs the Windows program folder as a ZIP. Installs only the Debian packages that are
# missing, builds Qt for Windows once into a cache outside the clone (build-qt-windows.sh),
# and fetches the Debian sources of xdelta3 and xz-utils (for liblzma) once.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-windows"
deps="$build/deps"
jobs="${QPT_JOBS:-$(nproc)}"
# shellcheck source=scripts/apt-src.sh
. "$root/scripts/apt-src.sh"

bash "$root/scripts/setup.sh" dpkg-dev g++-mingw-w64-x86-64-posix wine64 googletest fonts-dejavu-core

# Qt first: the longest part, and cached for every later run.
started=$SECONDS
QPT_QT_WINDOWS_PREFIX="$(bash "$root/scripts/build-qt-windows.sh")"
export QPT_QT_WINDOWS_PREFIX
echo "test-windows: Qt for Windows ready after $((SECONDS - started)) s"

# xdelta3 and liblzma from Debian's source packages: no package ships them for Windows.
mkdir -p "$deps/src"
if [ ! -f "$deps/xdelta3/xdelta3.c" ] || [ ! -f "$deps/xz/CMakeLists.txt" ]; then
  ensure_deb_src xdelta3 test-windows
  ensure_deb_src xz-utils test-windows
  (cd "$deps/src" && apt-get source -qq -o APT::Sandbox::User=root --download-only xdelta3 xz-utils)
  rm -rf "$deps/xdelta3" "$deps/xz"
  dpkg-source -q -x "$(ls "$deps"/src/xdelta3_*.dsc | head -n 1)" "$deps/xdelta3" >/dev/null 2>&1
  dpkg-source -q -x "$(ls "$deps"/src/xz-utils_*.dsc | head -n 1)" "$deps/xz" >/dev/null 2>&1
fi
if [ ! -f "$deps/prefix/lib/cmake/liblzma/liblzma-config.cmake" ]; then
  cmake -S "$deps/xz" -B "$deps/xz-build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_INSTALL_PREFIX="$deps/prefix" >/dev/null
  cmake --build "$deps/xz-build" --target liblzma --parallel "$jobs" >/dev/null
  cmake --install "$deps/xz-build" --component liblzma_Development >/dev/null
fi

cd "$root"
started=$SECONDS
cmake --preset windows >/dev/null
cmake --build --preset windows --parallel "$jobs"
echo "test-windows: build took $((SECONDS - started)) s"

# A Wine folder of this build's own, made before the tests so that they do not race to make it.
wine="$(command -v wine64 || echo /usr/lib/wine/wine64)"
wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver)"
export WINEPREFIX="$build/wine" WINEDEBUG=-all
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  "$wine" wineboot --init >/dev/null 2>&1 || true
fi
# One Wine server for the whole run instead of one started for every test program (a server
# still up from wineboot refuses to start a second one, and simply goes on serving). Wine's
# own background programs start with the first Windows program and live as long as the
# server: they are started here, apart from ctest, whose tests would otherwise never seem to
# end while these programs hold their output open.
"$wineserver" -p 2>/dev/null || true
trap '"$wineserver" -k 2>/dev/null || true' EXIT
"$wine" wineboot </dev/null >/dev/null 2>&1 || true
# Wine now and then fails to start a process ("Internal error") when many start one after
# another; a suite that fails is run once more, so that such a hiccup of the emulator does not
# count as a failure of ours, while a real fault fails both times.
started=$SECONDS
ctest --preset windows --parallel "$jobs" --timeout 1800 --repeat until-pass:2
echo "test-windows: suites under Wine took $((SECONDS - started)) s"

(cd "$build" && cpack -G ZIP >/dev/null && ls -1 "$build"/QuillPatchTool-*.zip)
