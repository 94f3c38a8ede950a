#!/usr/bin/env bash
# Regenerates the sample media in media/: the music "brimvale.mp3" and the five pictures.
# Needs sox, lame and ImageMagick (apt-get install sox lame imagemagick).
set -euo pipefail
cd "$(dirname "$0")/../media"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
rate=44100

# tone FILE START LENGTH KIND NOTE VOLUME: one note placed at START seconds.
tone() {
  sox -n -r $rate -c 1 "$work/$1" synth "$3" "$4" "$5" fade h 0.02 "$3" "$(echo "$3 * 0.6" | bc -l)" \
    vol "$6" pad "$2" 0
}
parts=()
note=0
place() { # START LENGTH KIND NOTE VOLUME
  note=$((note + 1))
  tone "n$note.wav" "$@"
  parts+=(-v 1 "$work/n$note.wav")
}
chord() { # START LENGTH NOTES...
  local start=$1 length=$2
  shift 2
  for n in "$@"; do place "$start" "$length" sine "$n" 0.07; done
}

# The pictures change at these positions (sample frames): a bell marks each change.
changes=(0 67120 123123 190000 256922 505907)
bells=(E5 A5 G5 B5 E6 C6)
for i in "${!changes[@]}"; do
  place "$(echo "${changes[$i]} / $rate" | bc -l)" 1.6 pluck "${bells[$i]}" 0.5
done
seconds() { echo "${changes[$1]} / $rate" | bc -l; }

# A soft chord under each picture: Am, F, C, G; then arpeggios for the dot circles; C to close.
chord 0 "$(seconds 1)" A3 C4 E4
chord "$(seconds 1)" "$(echo "$(seconds 2) - $(seconds 1)" | bc -l)" F3 A3 C4
chord "$(seconds 2)" "$(echo "$(seconds 3) - $(seconds 2)" | bc -l)" C3 E3 G3 C4
chord "$(seconds 3)" "$(echo "$(seconds 4) - $(seconds 3)" | bc -l)" G3 B3 D4
arpeggios=("A3 C4 E4 A4" "F3 A3 C4 F4" "C4 E4 G4 C5" "G3 B3 D4 G4")
start=$(seconds 4)
for bar in 0 1 2 3 4 5; do
  notes=(${arpeggios[$((bar % 4))]})
  bar_start=$(echo "$start + $bar * 0.94" | bc -l)
  chord "$bar_start" 0.94 "${notes[0]}" "${notes[2]}"
  for step in 0 1 2 3; do
    place "$(echo "$bar_start + $step * 0.235" | bc -l)" 0.6 pluck "${notes[$step]}" 0.25
  done
done
chord "$(seconds 5)" 6 C3 G3 C4 E4

sox -m "${parts[@]}" -r $rate "$work/mix.wav" reverb 35 remix 1 1 trim 0 17 fade 0 17 1.5 gain -n -1
lame --silent -b 192 "$work/mix.wav" brimvale.mp3

# picture NAME TOP BOTTOM TEXT: a two-colour gradient with a large title, as an 8-bit palette PNG,
# which decodes much faster than a true-colour one.
picture() {
  convert -size 1024x768 "gradient:$2-$3" -font DejaVu-Sans-Bold -fill white -stroke black \
    -strokewidth 3 -pointsize 110 -gravity center -annotate 0 "$4" -colors 128 "PNG8:$1"
}
picture step1.png "#1b4f9c" "#0b1a33" "step 1"
picture "this is coffee.png" "#8a5a2b" "#2e1b0c" "this is coffee"
picture the_machine.png "#2f7d3b" "#0e2611" "the machine"
picture q_portal.png "#ff8c1a" "#5a1f66" "q portal"
picture all_done.png "#c0263a" "#f2d64b" "all done"
