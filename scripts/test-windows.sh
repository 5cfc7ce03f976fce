#!/usr/bin/env bash
# Builds the Windows programs (quill-patch-tool.exe, quill-patch-cli.exe, the container tools
# and xdelta.exe) with mingw-w64 into build-windows/, runs the test suites under Wine, and
# packs the Windows program folder as a ZIP. Installs only the Debian packages that are
# missing, builds Qt for Windows once into a cache outside the clone (build-qt-windows.sh),
# and fetches the Debian sources of xdelta3, xz-utils (for liblzma) and libarchive once.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-windows"
deps="$build/deps"
jobs="${QPT_JOBS:-$(nproc)}"
# shellcheck source=scripts/apt-src.sh
. "$root/scripts/apt-src.sh"

bash "$root/scripts/setup.sh" dpkg-dev g++-mingw-w64-x86-64-posix wine64 googletest fonts-dejavu-core \
  libz-mingw-w64-dev

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
# libarchive (patches published as archives), static, with zlib from Debian's mingw package and
# the liblzma above: zip (deflate, LZMA), 7z (LZMA, LZMA2, deflate, PPMd) and RAR, which is
# all its own code. Nothing else of it: no command-line tools, no other compressors. Debian's
# zlib is built the usual way (no ZLIB_WINAPI): said here, since the check that would find it
# out runs a test program, which a cross build cannot. Its own BLAKE2s functions (for RAR 5)
# get names of their own: static Qt brings functions of the same names.
blake2_names=(blake2s blake2s_init blake2s_init_key blake2s_init_param blake2s_update blake2s_final
  blake2sp blake2sp_init blake2sp_init_key blake2sp_update blake2sp_final)
blake2_renames="$(printf -- '-D%s=qpt_archive_%s ' $(for n in "${blake2_names[@]}"; do echo "$n $n"; done))"
if [ ! -f "$deps/libarchive/libarchive/archive.h" ]; then
  ensure_deb_src libarchive test-windows
  (cd "$deps/src" && apt-get source -qq -o APT::Sandbox::User=root --download-only libarchive)
  rm -rf "$deps/libarchive"
  dpkg-source -q -x "$(ls "$deps"/src/libarchive_*.dsc | head -n 1)" "$deps/libarchive" >/dev/null 2>&1
fi
libarchive_options=(
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake"
  -DCMAKE_PREFIX_PATH="$deps/prefix" -DCMAKE_C_FLAGS="$blake2_renames"
  -DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include
  -DZLIB_WINAPI=OFF -DZLIB_WINAPI_WITH_LIB=/usr/x86_64-w64-mingw32/lib/libz.a
  -DLIBLZMA_LIBRARY="$deps/prefix/lib/liblzma.a" -DLIBLZMA_INCLUDE_DIR="$deps/prefix/include"
  -DENABLE_ZLIB=ON -DENABLE_LZMA=ON -DENABLE_BZip2=OFF -DENABLE_ZSTD=OFF -DENABLE_LZ4=OFF -DENABLE_LZO=OFF
  -DENABLE_LIBB2=OFF -DENABLE_LIBXML2=OFF -DENABLE_EXPAT=OFF -DENABLE_PCREPOSIX=OFF
  -DENABLE_OPENSSL=OFF -DENABLE_MBEDTLS=OFF -DENABLE_NETTLE=OFF -DENABLE_CNG=OFF -DENABLE_ICONV=OFF
  -DENABLE_ACL=OFF -DENABLE_XATTR=OFF -DENABLE_TAR=OFF -DENABLE_CPIO=OFF -DENABLE_CAT=OFF
  -DENABLE_TEST=OFF -DENABLE_COVERAGE=OFF -DENABLE_INSTALL=OFF
)
# Built again whenever these options change (a stamp beside the library keeps them).
if [ ! -f "$deps/prefix/lib/libarchive_static.a" ] ||
   [ "$(cat "$deps/prefix/lib/libarchive.options" 2>/dev/null)" != "${libarchive_options[*]}" ]; then
  rm -rf "$deps/libarchive-build"
  cmake -S "$deps/libarchive" -B "$deps/libarchive-build" -G Ninja "${libarchive_options[@]}" >/dev/null
  cmake --build "$deps/libarchive-build" --target archive_static --parallel "$jobs" >/dev/null
  mkdir -p "$deps/prefix/include" "$deps/prefix/lib"
  cp "$deps/libarchive/libarchive/archive.h" "$deps/libarchive/libarchive/archive_entry.h" "$deps/prefix/include/"
  cp "$deps/libarchive-build/libarchive/libarchive_static.a" "$deps/prefix/lib/"
  printf '%s' "${libarchive_options[*]}" >"$deps/prefix/lib/libarchive.options"
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
