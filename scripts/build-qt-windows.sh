#!/usr/bin/env bash
# Builds a static Qt for 64-bit Windows (Core, Gui, Widgets, Test, the windows, offscreen and
# minimal platform plugins and the Windows style) from Debian's qt6-base source with the
# mingw-w64 toolchain the rest of the Windows build uses. No package ships Qt for Windows.
#
# Qt's host tools (moc, rcc, uic) come from the installed Linux Qt, which must be the same
# version. The result goes to a cache folder outside the clone, named by the Qt version and a
# digest of the options below and of the toolchain file, and is reused while both stay the
# same; anything else rebuilds it. The folder of the installed Qt is the one line on standard
# output; what the script says goes to standard error.
#
#   scripts/build-qt-windows.sh          # build if needed, print the folder
#   QPT_CACHE=/elsewhere scripts/...     # another cache root (default ~/.cache/quill-patch-tool;
#                                        # the older name QPT_QT_CACHE is still read)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/apt-src.sh
. "$root/scripts/apt-src.sh"
cache="${QPT_CACHE:-${QPT_QT_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/quill-patch-tool}}"
jobs="${QPT_JOBS:-$(nproc)}"
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
started=$SECONDS

bash "$root/scripts/setup.sh" dpkg-dev g++-mingw-w64-x86-64-posix qt6-base-dev >&2
host_version="$(dpkg-query -W -f='${Version}' qt6-base-dev)"
qt_version="${host_version%%+*}"

# Only what the window and its tests use. Everything is bundled (zlib, libpng, harfbuzz,
# freetype for the offscreen plugin, pcre2, double-conversion) so that the program needs no DLL.
# Tablet input is off because Debian's source drops the wintab headers the windows plugin
# needs; direct2d1_1 is off but not direct2d, which also carries the DirectWrite font database;
# INPUT_opengl=no, since FEATURE_opengl=OFF leaves dynamic OpenGL on.
options=(
  -DCMAKE_BUILD_TYPE=Release
  -DBUILD_SHARED_LIBS=OFF
  -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF
  -DQT_QMAKE_TARGET_MKSPEC=win32-g++
  -DINPUT_opengl=no
  -DFEATURE_network=OFF -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_printsupport=OFF
  -DFEATURE_concurrent=OFF -DFEATURE_xml=OFF -DFEATURE_vulkan=OFF -DFEATURE_icu=OFF
  -DFEATURE_zstd=OFF -DFEATURE_tabletevent=OFF -DFEATURE_direct2d1_1=OFF
  -DFEATURE_jpeg=OFF -DFEATURE_gif=OFF
  -DFEATURE_textmarkdownreader=OFF -DFEATURE_textmarkdownwriter=OFF
  -DFEATURE_system_zlib=OFF -DFEATURE_system_png=OFF -DFEATURE_system_pcre2=OFF
  -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_freetype=OFF
  -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF
  -DFEATURE_testlib=ON -DFEATURE_widgets=ON
)
digest="$( { printf '%s\n' "${options[@]}"; cat "$toolchain"; } | sha256sum | cut -c1-12)"
prefix="$cache/qt-$qt_version-mingw64-$digest"

# The licence texts of Qt and of the libraries built into it, for the release beside the program:
# Qt's own, Debian's account of every file's copyright, and each bundled library's.
copy_licences() {
  local out="$prefix/licenses"
  rm -rf "$out"
  mkdir -p "$out/3rdparty"
  cp "$src"/LICENSES/{LGPL-3.0-only,GPL-2.0-only,GPL-3.0-only,Qt-GPL-exception-1.0}.txt "$out/"
  cp "$src/debian/copyright" "$out/debian-copyright.txt"
  local lib
  for lib in freetype harfbuzz-ng libpng zlib pcre2 double-conversion tinycbor easing blake2 sha3 rfc6234 icc; do
    mkdir -p "$out/3rdparty/$lib"
    find "$src/src/3rdparty/$lib" -maxdepth 1 -type f \( -iname '*licen[cs]e*' -o -iname 'copying*' \) \
      -exec cp {} "$out/3rdparty/$lib/" \;
  done
}

src="$cache/src/qtbase-$qt_version"
if [ -f "$prefix/.complete" ]; then
  if [ ! -d "$prefix/licenses" ] && [ -f "$src/CMakeLists.txt" ]; then copy_licences; fi
  echo "build-qt-windows: Qt $qt_version for Windows is already in $prefix" >&2
  echo "$prefix"
  exit 0
fi

# Debian's source package, fetched once (source entries are added when apt has none).
if [ ! -f "$src/CMakeLists.txt" ]; then
  ensure_deb_src qt6-base build-qt-windows
  download="$cache/src/download"
  rm -rf "$download" "$src"
  mkdir -p "$download"
  (cd "$download" && apt-get source -qq -o APT::Sandbox::User=root --download-only "qt6-base=$host_version")
  dpkg-source -q -x "$(ls "$download"/qt6-base_*.dsc | head -n 1)" "$src" >/dev/null 2>&1
  rm -rf "$download"
fi

build="$cache/build/qtbase-$qt_version-mingw64-$digest"
rm -rf "$prefix"
mkdir -p "$build"
echo "build-qt-windows: building Qt $qt_version for Windows into $prefix (about 15 minutes on 2 cores)" >&2
cmake -S "$src" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
  -DCMAKE_INSTALL_PREFIX="$prefix" \
  -DQT_HOST_PATH=/usr \
  -DQT_HOST_PATH_CMAKE_DIR="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/cmake" \
  "${options[@]}" >"$build/configure.log" 2>&1 || { tail -n 40 "$build/configure.log" >&2; exit 1; }
cmake --build "$build" --parallel "$jobs" >"$build/build.log" 2>&1 || { grep -m 20 -B 2 -A 10 'error' "$build/build.log" >&2; exit 1; }
cmake --install "$build" >/dev/null
copy_licences
touch "$prefix/.complete"
rm -rf "$build"
echo "build-qt-windows: Qt $qt_version for Windows built in $((SECONDS - started)) s" >&2
echo "$prefix"
