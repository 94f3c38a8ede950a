#!/usr/bin/env bash
# Makes docs/show.gif, the README's moving picture: a capture of the show (build/show-capture) at
# 15 frames a second, from 3.5 s to 9.5 s (two picture changes and the dot circles' start),
# at 320 x 240.
set -euo pipefail
cd "$(dirname "$0")/.."
capture=$(realpath "${BUILD:-build}/show-capture")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp media/* "$work/"
(cd "$work" && "$capture" show.mkv --fps 15)
ffmpeg -v error -ss 3.5 -t 6 -i "$work/show.mkv" -an -vf \
  "scale=320:240:flags=lanczos,split[a][b];[a]palettegen=max_colors=64[p];[b][p]paletteuse=dither=none" \
  -loop 0 -y docs/show.gif
echo "wrote docs/show.gif ($(du -k docs/show.gif | cut -f1) KiB)"
