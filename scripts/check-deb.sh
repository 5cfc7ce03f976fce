#!/usr/bin/env bash
# Builds the Debian package and checks it the way the distribution would: lintian without
# errors, the desktop entry, the AppStream metainfo, and the CLI of the package unpacked into a
# throw-away root identifying and installing a small synthetic image while HOME points at a
# scratch folder, which must hold everything the run left behind.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
bash "$root/scripts/setup.sh" lintian desktop-file-utils appstream dpkg-dev
bash "$root/scripts/build.sh"
build="$root/build"

out="$(mktemp -d)"
trap 'rm -rf "$out"' EXIT
(cd "$out" && cpack --config "$build/CPackConfig.cmake" -G DEB >/dev/null)
deb="$(ls "$out"/quill-patch-tool_*_amd64.deb)"
echo "check-deb: built $(basename "$deb")"

# Errors fail the check; warnings are shown for the record.
lintian --fail-on error --tag-display-limit 0 "$deb"

fs="$out/root"
dpkg-deb -x "$deb" "$fs"
desktop-file-validate "$fs/usr/share/applications/quill-patch-tool.desktop"
# --no-net: the screenshot is on the home page, which CI need not reach.
appstreamcli validate --no-net --explain "$fs"/usr/share/metainfo/*.metainfo.xml

# The throw-away installation: xdelta3 is the package's dependency, so the tools folder's link
# points at the system's copy.
ln -sf /usr/bin/xdelta3 "$fs/usr/lib/quill-patch-tool/tools/xdelta"
"$build/bench/bench_tools" --scratch "$out/bench" --size 200 --runs 1 --keep >/dev/null
home="$out/home"
mkdir -p "$home"
cli="$fs/usr/bin/quill-patch-cli"
data="$home/.local/share/quill-patch-tool/patch"
before="$(mktemp)"
listing() { (cd "$fs" && find . | sort); }
listing >"$out/root-before"
mkdir -p "$out/cwd"
cd "$out/cwd"
env -i PATH=/usr/bin:/bin HOME="$home" "$cli" identify "$out/bench/game/Game Image.cia"
[ -d "$data" ] || { echo "check-deb: the CLI did not make $data" >&2; exit 1; }
cp -r "$out/bench/game/patch/Bench Translation" "$data/"
env -i PATH=/usr/bin:/bin HOME="$home" "$cli" install "$out/bench/game/Game Image.cia" \
  --out "$out/Patched.cia" --patch "Bench Translation" >"$out/install.log" || { cat "$out/install.log"; exit 1; }
tail -n 3 "$out/install.log"
[ -s "$out/Patched.cia" ] || { echo "check-deb: no image was written" >&2; exit 1; }
# Nothing outside the scratch HOME: the installed files, the working folder and the real
# HOME's folders of the program are as they were.
listing | diff "$out/root-before" - || { echo "check-deb: the run wrote into the installed files" >&2; exit 1; }
[ -z "$(ls -A "$out/cwd")" ] || { echo "check-deb: the run wrote into its working folder" >&2; exit 1; }
for d in "${HOME:-/root}/.cache/quill-patch-tool/tools" "${HOME:-/root}/.local/share/quill-patch-tool"; do
  if [ -e "$d" ] && [ -n "$(find "$d" -newer "$before" -print -quit)" ]; then
    echo "check-deb: the run wrote into $d" >&2
    exit 1
  fi
done
rm -f "$before"
[ ! -e "$home/.cache/quill-patch-tool/tools/temp" ] || { echo "check-deb: the work folder was left" >&2; exit 1; }
echo "check-deb: the package passed"
