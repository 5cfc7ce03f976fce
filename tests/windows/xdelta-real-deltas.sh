#!/usr/bin/env bash
# xdelta.exe, xdelta3 built for Windows from its source, applies deltas that the system's
# xdelta3 made: with its default secondary compression (LZMA), with DJW, FGK and none, and
# across many small windows; and it reads and writes names with blanks and letters beyond
# ASCII. Run by ctest in the Windows build:
#   xdelta-real-deltas.sh HOST_XDELTA3 XDELTA_EXE EMULATOR...
set -euo pipefail
host="$1"
exe="$2"
shift 2
# Wine turns the arguments into the Windows command line by the locale's character set.
export LC_ALL=C.UTF-8

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
cd "$work"
old="old data – Ж.bin"
new="new data.bin"
# A source of 3 MB; the target changes bytes in place, grows by an inserted run and loses its end.
head -c 3000000 /dev/urandom > "$old"
{
  head -c 1000000 "$old"
  printf 'inserted text %.0s' $(seq 1000)
  dd if="$old" bs=1000 skip=1000 count=1900 status=none
} > "$new"
printf 'CHANGED' | dd of="$new" bs=1 seek=2000000 conv=notrunc status=none
printf 'CHANGED' | dd of="$new" bs=1 seek=17 conv=notrunc status=none

failed=0
n=0
for options in "" "-S djw" "-S fgk" "-S none" "-W 65536 -B 524288"; do
  n=$((n + 1))
  delta="delta $n – é.xdelta"
  out="out $n – файл.bin"
  # shellcheck disable=SC2086
  "$host" -e -f $options -s "$old" "$new" "$delta"
  if "$@" "$exe" -d -s "$old" "$delta" "$out" && cmp -s "$out" "$new"; then
    echo "ok: xdelta3 -e ${options:-(default)}"
  else
    echo "FAILED: xdelta3 -e ${options:-(default)}: the decoded file differs or xdelta.exe failed"
    failed=$((failed + 1))
  fi
done
# A delta made for another source is refused with exit code 1, and no output is claimed good.
head -c 3000000 /dev/urandom > "other.bin"
set +e
"$@" "$exe" -d -s "other.bin" "delta 1 – é.xdelta" "wrong.bin" 2>/dev/null
code=$?
set -e
if [ "$code" -eq 1 ]; then
  echo "ok: a delta applied to the wrong source is refused with exit code 1"
else
  echo "FAILED: a delta applied to the wrong source gave exit code $code, not 1"
  failed=$((failed + 1))
fi
echo "$((n + 1 - failed)) passed, $failed failed"
[ "$failed" -eq 0 ]
