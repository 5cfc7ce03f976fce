#!/usr/bin/env bash
# Screenshots of the Windows release as a player meets it: the ZIP that scripts/test-windows.sh
# made is unpacked into a fresh Wine prefix, and the real quill-patch-tool.exe runs on Wine's
# own desktop under Xvfb. For each language the program is handed the bench image (as when an
# image is dropped on its icon), the keyboard walks the steps as a player would (Tab, Space, the
# native save dialog takes the new image's name, the arrow key picks the bench patch) and
# presses Install; once the receipt exists, the window is photographed.
#
#   scripts/screenshot-windows.sh          # English and Russian: docs/windows-en.png, -ru.png
#   scripts/screenshot-windows.sh ru       # one of them
#
# Needs the Linux build (its bench_tools makes the bench image: scripts/build.sh) and the ZIP.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
languages=("$@")
[ ${#languages[@]} -gt 0 ] || languages=(en ru)

bash "$root/scripts/setup.sh" wine64 fonts-wine xvfb xauth xdotool imagemagick unzip locales
# Wine takes the user's locale, and the code page of file names, from the machine's locale of
# LANG: the Russian one must exist.
# grep -c reads to the end: with -q, locale could die of the broken pipe and fail the test.
if ! locale -a 2>/dev/null | grep -ci '^ru_RU\.utf-\?8$' >/dev/null; then
  localedef -i ru_RU -f UTF-8 ru_RU.UTF-8
fi
zip="$(ls -1 "$root"/build-windows/QuillPatchTool-*-windows-x86_64.zip 2>/dev/null | head -n 1)"
[ -n "$zip" ] || { echo "screenshot-windows: no ZIP; run scripts/test-windows.sh first" >&2; exit 1; }
bench="$root/build/bench/bench_tools"
[ -x "$bench" ] || { echo "screenshot-windows: no $bench; run scripts/build.sh first" >&2; exit 1; }

work="$(mktemp -d /tmp/qpt-screens.XXXXXX)"
display=":$((90 + RANDOM % 9))"
wine="$(command -v wine64 || echo /usr/lib/wine/wine64)"
wineserver="$(command -v wineserver || echo /usr/lib/wine/wineserver)"
export WINEPREFIX="$work/wine" WINEDEBUG=-all DISPLAY="$display"
xvfb=""
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  [ -z "$xvfb" ] || kill "$xvfb" 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "screenshot-windows: making the bench image (200 MiB)"
"$bench" --scratch "$work/bench" --size 200 --runs 1 --keep >/dev/null

Xvfb "$display" -screen 0 1280x960x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 2
"$wine" wineboot --init >/dev/null 2>&1 || true

drive="$WINEPREFIX/drive_c"
mkdir -p "$drive/Games"
unzip -q "$zip" -d "$drive"
app="$(basename "$(ls -d "$drive"/QuillPatchTool-*)")"
cp -r "$work/bench/game/patch/Bench Translation" "$drive/$app/patch/"
cp "$work/bench/game/Game Image.cia" "$drive/Games/Apollo Justice.cia"

keys() {
  for key in "$@"; do
    xdotool key "$key"
    sleep 0.4
  done
}

for language in "${languages[@]}"; do
  case "$language" in
    en) locale=en_US.UTF-8 out="Apollo Justice patched" ;;
    ru) locale=ru_RU.UTF-8 out="Apollo Justice с патчем" ;;
    *) echo "screenshot-windows: unknown language $language" >&2; exit 2 ;;
  esac
  echo "screenshot-windows: $language"
  rm -f "$drive/Games/$out".cia*
  # The user's locale of a Wine session is read when its server starts.
  "$wineserver" -k 2>/dev/null || true
  sleep 1
  # Wine's desktop draws the title bar and its icon. Wine's own font engine leaves the text of
  # line edits blank (Windows draws it), so the program uses Qt's FreeType engine here.
  LANG="$locale" LC_ALL="$locale" "$wine" explorer /desktop=Quill,1000x600 \
    "C:\\$app\\quill-patch-tool.exe" "C:\\Games\\Apollo Justice.cia" \
    -platform windows:fontengine=freetype >/dev/null 2>&1 &
  sleep 10
  # Step 2: Tab to its "..." (language, step 1's field and button, step 2's field), Space, the
  # first entry of its menu (a new game image), and the native save dialog takes the name it
  # suggests in the input's folder (the input's name and the language's word for a patched one).
  keys Tab Tab Tab Tab space
  sleep 2
  keys Down Return
  sleep 3
  keys Return
  sleep 3
  # Step 3: the bench patch, the item after "No patch"; then past the patch folder's button,
  # the voices, the check and the music to Install.
  keys Tab Down Tab Tab Tab Tab Tab space
  for _ in $(seq 1 240); do
    [ -f "$drive/Games/$out.cia.txt" ] && break
    sleep 1
  done
  if [ ! -f "$drive/Games/$out.cia.txt" ]; then
    # What the screen showed instead, to see which step the keys missed.
    import -window root "$root/build/screenshot-failed-$language.png" || true
    echo "screenshot-windows: the installation did not finish (screen: build/screenshot-failed-$language.png)" >&2
    exit 1
  fi
  sleep 3
  import -window root "$work/screen.png"
  # Wine's desktop is the top left 1000x600 of the screen.
  convert "$work/screen.png" -crop 1000x600+0+0 +repage -trim +repage "$root/docs/windows-$language.png"
  echo "screenshot-windows: docs/windows-$language.png"
done
