#!/usr/bin/env bash
# End to end: the real show in a virtual X window, with SDL's disk audio driver writing what it
# played to a file. Screenshots are kept as PNGs in the output folder.
# usage: e2e_test.sh SHOW COMPARE_AUDIO MEDIA_DIR OUTPUT_DIR
set -u
show=$(realpath "$1") compare_audio=$(realpath "$2") media=$(realpath "$3") out=$(realpath -m "$4")
rm -rf "$out"
mkdir -p "$out"
passed=0 failed=0

check() { # DESCRIPTION COMMAND...
  if "${@:2}"; then
    echo "ok: $1"
    passed=$((passed + 1))
  else
    echo "FAILED: $1"
    failed=$((failed + 1))
  fi
}

# prepare NAME: a scratch folder with the sample media.
prepare() {
  mkdir -p "$out/$1"
  cp "$media"/* "$out/$1/"
}

# run NAME EVENT...: runs the show in its folder under Xvfb. An event is a time in seconds after
# the start, for a screenshot "shot-TIME.png", or "term@TIME" to send SIGTERM then. Leaves the
# exit status in "rc", the seconds from start to exit in "seconds" and stderr in "stderr.txt".
run() {
  local name=$1
  shift
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    cd "$1" && show=$2 && shift 2
    start=$(date +%s.%N)
    SDL_AUDIODRIVER=disk SDL_DISKAUDIOFILE=played.raw "$show" 2>stderr.txt &
    pid=$!
    for event in "$@"; do
      at=${event#term@}
      delay=$(echo "$start + $at - $(date +%s.%N)" | bc -l)
      case $delay in -*) ;; *) sleep "$delay" ;; esac
      if [ "$event" != "$at" ]; then
        kill -TERM $pid
        date +%s.%N > term_sent
      else
        xwd -root -silent > "shot-$at.xwd"
      fi
    done
    wait $pid
    echo $? > rc
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l > seconds
    [ -f term_sent ] && echo "$end - $(cat term_sent)" | bc -l > seconds_after_term
    for shot in shot-*.xwd; do
      [ -f "$shot" ] && convert "$shot" "${shot%.xwd}.png" && rm "$shot"
    done
    exit 0
  ' _ "$out/$name" "$show" "$@"
}

mean_colour() { # IMAGE: mean red, green and blue, 0 to 255
  convert "$1" -format "%[fx:mean.r*255] %[fx:mean.g*255] %[fx:mean.b*255]" info:
}

# shows_picture SHOT FILE: the screenshot is nearer in colour to FILE than to any other picture,
# and close to it.
shows_picture() {
  local shot nearest="" best=1000000
  shot=$(mean_colour "$1")
  for picture in "$media"/*.png; do
    distance=$(echo "$shot $(mean_colour "$picture")" |
      awk '{ print ($1-$4)^2 + ($2-$5)^2 + ($3-$6)^2 }')
    if awk "BEGIN { exit !($distance < $best) }"; then
      best=$distance nearest=$(basename "$picture")
    fi
  done
  echo "   $1: mean colour $shot, nearest \"$nearest\" (squared distance $best)"
  [ "$nearest" = "$2" ] && awk "BEGIN { exit !($best < 100) }"
}

shows_dot_circles() { # SHOT: green dots on black
  local colour
  colour=$(mean_colour "$1")
  echo "   $1: mean colour $colour"
  echo "$colour" | awk '{ exit !($1 < 1 && $3 < 1 && $2 > 0.5 && $2 < 60) }'
}

is_black() { # SHOT
  local colour
  colour=$(mean_colour "$1")
  echo "   $1: mean colour $colour"
  echo "$colour" | awk '{ exit !($1 + $2 + $3 == 0) }'
}

between() { awk "BEGIN { exit !($1 <= $2 && $2 <= $3) }"; }

echo "== the whole show"
prepare show
run show 0.8 2.1 3.5 5.0 8.5 13.0
dir=$out/show
check "exits with status 1 (was $(cat "$dir/rc"))" [ "$(cat "$dir/rc")" = 1 ]
check "ends about 14.5 s after it starts (took $(cat "$dir/seconds") s)" \
  between 14.3 "$(cat "$dir/seconds")" 15.8
check "0.8 s: step1.png" shows_picture "$dir/shot-0.8.png" step1.png
check "2.1 s: this is coffee.png" shows_picture "$dir/shot-2.1.png" "this is coffee.png"
check "3.5 s: the_machine.png" shows_picture "$dir/shot-3.5.png" the_machine.png
check "5.0 s: q_portal.png" shows_picture "$dir/shot-5.0.png" q_portal.png
check "8.5 s: dot circles on black" shows_dot_circles "$dir/shot-8.5.png"
check "13.0 s: all_done.png" shows_picture "$dir/shot-13.0.png" all_done.png
check "the sound holds the track from its start" \
  "$compare_audio" "$media/brimvale.mp3" "$dir/played.raw" 14

echo "== no music file"
prepare no_music
rm "$out/no_music/brimvale.mp3"
run no_music
dir=$out/no_music
check "exits with status 2 (was $(cat "$dir/rc"))" [ "$(cat "$dir/rc")" = 2 ]
check "says why: $(cat "$dir/stderr.txt")" \
  grep -qx 'show: cannot open "brimvale.mp3": No such file or directory' "$dir/stderr.txt"

echo "== no q_portal.png"
prepare no_picture
rm "$out/no_picture/q_portal.png"
run no_picture 5.0
dir=$out/no_picture
check "5.0 s: black" is_black "$dir/shot-5.0.png"
check "still exits with status 1 (was $(cat "$dir/rc"))" [ "$(cat "$dir/rc")" = 1 ]

echo "== SIGTERM"
prepare term
run term term@1.5
dir=$out/term
check "ends within a second of SIGTERM (took $(cat "$dir/seconds_after_term") s)" \
  between 0 "$(cat "$dir/seconds_after_term")" 1
check "ended by the signal (status $(cat "$dir/rc"))" [ "$(cat "$dir/rc")" = 143 ]

echo "end to end: $passed passed, $failed failed"
[ "$failed" = 0 ]
