#!/usr/bin/env bash
# Converts the front ends' shared artwork (ui/resources/*.png) into the Windows resource files:
# bitmap 103 as a 24-bit BMP and icon group 101 with 16 x 16 and 32 x 32 in 16 colours and
# 48 x 48 in 256 colours. Run by hand when the PNGs change; the results are kept in res/ so that
# building needs no ImageMagick.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
src=$here/../resources
out=$here/res
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"

convert "$src/bitmap103.png" -background white -alpha remove -alpha off -type TrueColor \
  BMP3:"$out/bitmap103.bmp"
# Icon images of 16 and 256 colours: ImageMagick picks the palette, ico.py packs the entries with
# their colour tables and 1-bit transparency masks (ImageMagick's own ICO writer makes 32-bit ones).
for spec in 16:16 32:16 48:256; do
  size=${spec%%:*}; colors=${spec##*:}
  convert "$src/icon101-$size.png" -background '#d4d0c8' -alpha set -channel A -threshold 50% +channel \
    -colors "$colors" -depth 8 "$tmp/i$size.png"
  convert "$tmp/i$size.png" -depth 8 rgba:"$tmp/i$size.rgba"
done
python3 "$here/ico.py" "$out/icon101.ico" 32:16:"$tmp/i32.rgba" 16:16:"$tmp/i16.rgba" 48:256:"$tmp/i48.rgba"
identify "$out/bitmap103.bmp" "$out/icon101.ico"
