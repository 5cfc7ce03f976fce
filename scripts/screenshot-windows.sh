#!/usr/bin/env bash
# Takes screenshots of the Windows release as a player meets it: the ZIP that
# scripts/test-windows.sh made is unpacked into a fresh Wine prefix, and the real
# quill-patch-tool.exe runs under Xvfb. For each language, the window is given the bench image
# (as when an image is dropped on its icon), the save dialog gets the new image's name, the
# bench patch is chosen and installed, and the window is photographed once the log says the
# installation completed. The pictures go to docs/windows-<language>.png.
#
#   scripts/screenshot-windows.sh              # English and Russian
#   scripts/screenshot-windows.sh en           # one of them
#
# Needs the Linux build (for the bench image: scripts/build.sh) and the Windows ZIP.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
languages=("$@")
[ ${#languages[@]} -gt 0 ] || languages=(en ru)

bash "$root/scripts/setup.sh" wine64 xvfb xauth xdotool imagemagick unzip fonts-dejavu-core
zip="$(ls -1 "$root"/build-windows/QuillPatchTool-*-windows-x86_64.zip 2>/dev/null | head -n 1)"
[ -n "$zip" ] || { echo "screenshot-windows: no ZIP; run scripts/test-windows.sh first" >&2; exit 1; }
[ -x "$root/build/bench/bench_tools" ] || { echo "screenshot-windows: no build/bench/bench_tools; run scripts/build.sh first" >&2; exit 1; }

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

echo "screenshot-windows: making the bench image (64 MiB)"
"$root/build/bench/bench_tools" --scratch "$work/bench" --size 64 --runs 1 --keep >/dev/null

Xvfb "$display" -screen 0 1280x960x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
sleep 2
"$wine" wineboot --init >/dev/null 2>&1 || true

drive="$WINEPREFIX/drive_c"
mkdir -p "$drive/Games"
unzip -q "$zip" -d "$drive"
app="$(ls -d "$drive"/QuillPatchTool-*)"
cp -r "$work/bench/game/patch/Bench Translation" "$app/patch/"
cp "$work/bench/game/Game Image.cia" "$drive/Games/Apollo Justice.cia"
exe="C:\\$(basename "$app")\\quill-patch-tool.exe"

# Waits until a window whose title matches $1 is mapped and prints its ID.
wait_window() {
  local id=""
  for _ in $(seq 1 120); do
    id="$(xdotool search --onlyvisible --name "$1" 2>/dev/null | tail -n 1 || true)"
    [ -n "$id" ] && { echo "$id"; return 0; }
    sleep 0.5
  done
  echo "screenshot-windows: no window named '$1' appeared" >&2
  return 1
}

for language in "${languages[@]}"; do
  case "$language" in
    en) locale=en_US.UTF-8 out="Apollo Justice (patched)" ;;
    ru) locale=ru_RU.UTF-8 out="Apollo Justice (перевод)" ;;
    *) echo "screenshot-windows: unknown language $language" >&2; exit 2 ;;
  esac
  rm -f "$drive/Games/$out".cia*
  echo "screenshot-windows: $language"
  LANG="$locale" LC_ALL="$locale" "$wine" "$exe" "C:\\Games\\Apollo Justice.cia" >/dev/null 2>&1 &
  program=$!
  window="$(wait_window "Quill Patch Tool")"
  sleep 2
  # Step 2: the "..." button of the output; the native save dialog takes the typed name.
  xdotool windowactivate --sync "$window" 2>/dev/null || true
  eval "$(xdotool getwindowgeometry --shell "$window")"
  read -r bx by < <(QPT_BUTTON=btNewRomPath bash -c 'echo "$QPT_STEP2_X $QPT_STEP2_Y"' 2>/dev/null || true)
  xdotool mousemove --window "$window" "${QPT_STEP2_X:-560}" "${QPT_STEP2_Y:-96}" click 1
  sleep 3
  xdotool type --delay 30 "C:\\Games\\$out.cia"
  xdotool key Return
  sleep 2
  # Step 3: the first patch in the list, then Install.
  xdotool windowactivate --sync "$window" 2>/dev/null || true
  xdotool mousemove --window "$window" "${QPT_STEP3_X:-300}" "${QPT_STEP3_Y:-140}" click 1
  sleep 1
  xdotool key Down Return
  sleep 1
  xdotool mousemove --window "$window" "${QPT_INSTALL_X:-300}" "${QPT_INSTALL_Y:-400}" click 1
  # The receipt is the last thing a successful run writes.
  for _ in $(seq 1 240); do
    [ -f "$drive/Games/$out.cia.txt" ] && break
    sleep 1
  done
  sleep 2
  import -window root "$work/screen.png"
  convert "$work/screen.png" -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$root/docs/windows-$language.png"
  echo "screenshot-windows: docs/windows-$language.png"
  kill "$program" 2>/dev/null || true
  "$wineserver" -k 2>/dev/null || true
  sleep 1
done
