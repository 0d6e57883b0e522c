#!/bin/bash
# Draws the application icon: a chip with an arrow going into it, at 32x32
# and 16x16 in 16 colours. Run from anywhere; writes beside this script.
# Needs ImageMagick (Debian: imagemagick).
set -euo pipefail
cd "$(dirname "$0")"

# 32x32: body with four pins a side, a notch, and an arrow from above.
convert -size 32x32 xc:none +antialias \
  -fill '#C0C0C0' \
  -draw 'rectangle 4,12 5,13' -draw 'rectangle 4,16 5,17' -draw 'rectangle 4,20 5,21' -draw 'rectangle 4,24 5,25' \
  -draw 'rectangle 26,12 27,13' -draw 'rectangle 26,16 27,17' -draw 'rectangle 26,20 27,21' -draw 'rectangle 26,24 27,25' \
  -fill '#202020' -stroke '#000000' -draw 'rectangle 6,10 25,28' \
  -stroke none -fill '#808080' -draw 'circle 9,25 10,25' \
  -fill '#FFFF00' -stroke '#808000' \
  -draw 'polygon 13,1 18,1 18,9 22,9 15.5,17 9,9 13,9' \
  -stroke none -fill '#00FF00' -draw 'rectangle 19,23 22,25' \
  -colors 16 -type PaletteAlpha PNG8:porten-32.png

# 16x16: the same, fewer pins.
convert -size 16x16 xc:none +antialias \
  -fill '#C0C0C0' \
  -draw 'rectangle 1,8 1,8' -draw 'rectangle 1,11 1,11' -draw 'rectangle 1,14 1,14' \
  -draw 'rectangle 14,8 14,8' -draw 'rectangle 14,11 14,11' -draw 'rectangle 14,14 14,14' \
  -fill '#202020' -draw 'rectangle 2,6 13,15' \
  -fill '#FFFF00' -draw 'polygon 6,0 9,0 9,4 11,4 7.5,8 4,4 6,4' \
  -fill '#00FF00' -draw 'rectangle 10,12 11,13' \
  -colors 16 -type PaletteAlpha PNG8:porten-16.png

convert porten-16.png porten-32.png porten.ico
