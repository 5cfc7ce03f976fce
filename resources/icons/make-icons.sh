#!/usr/bin/env bash
# Renders the program's icon from the shapes of quill-patch-tool.svg (ImageMagick's own drawing,
# which needs no SVG library): the PNG sizes of the desktop's icon theme and the Windows ICO.
# Run by hand after changing the shapes; the results are committed.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"
draw=(
  -fill '#244a86' -draw 'roundrectangle 8,8 247,247 44,44'
  -fill '#f6f1e4' -draw 'roundrectangle 48,44 171,211 10,10'
  -fill none -stroke '#9aa7bd' -strokewidth 8 -draw 'stroke-linecap round path "M 68 84 L 150 84 M 68 108 L 150 108 M 68 132 L 130 132 M 68 156 L 116 156"'
  -fill '#e2b13c' -stroke '#8a6412' -strokewidth 5 -draw 'stroke-linejoin round path "M 226 26 C 170 36 128 92 110 168 C 134 150 150 140 170 136 C 160 130 154 128 148 126 C 170 120 186 112 196 100 C 186 98 178 96 170 94 C 196 80 214 56 226 26 Z"'
  -fill none -stroke '#8a6412' -strokewidth 6 -draw 'stroke-linecap round path "M 214 42 C 170 82 134 132 104 204"'
  -stroke none -fill '#1b2d4f' -draw 'circle 102,210 110,210'
)
convert -size 256x256 xc:none "${draw[@]}" quill-patch-tool-256.png
for size in 16 24 32 48 64 128; do
  convert quill-patch-tool-256.png -filter Lanczos -resize ${size}x${size} "quill-patch-tool-$size.png"
done
convert quill-patch-tool-16.png quill-patch-tool-24.png quill-patch-tool-32.png quill-patch-tool-48.png \
  quill-patch-tool-64.png quill-patch-tool-128.png quill-patch-tool-256.png quill-patch-tool.ico
