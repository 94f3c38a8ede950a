# Helpers for the end-to-end tests: running the real show under Xvfb and judging screenshots.
# Set show, media and out before use.
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

finish() {
  echo "$1: $passed passed, $failed failed"
  [ "$failed" = 0 ]
}

# prepare NAME: a scratch folder with the sample media.
prepare() {
  rm -rf "${out:?}/$1"
  mkdir -p "$out/$1"
  cp "$media"/* "$out/$1/"
}

# run NAME EVENT...: runs the show in its folder under Xvfb, with SDL's disk audio driver writing
# what it played to "played.raw" (or with the SDL audio driver named in $audio_driver). An event
# is a time in seconds after the start, for a screenshot "shot-TIME.png", or SIGNAL@TIME
# (INT@2.5, TERM@2.5) to send a signal then. Leaves the exit status in "rc" (124 if it hung),
# the seconds from start to exit in "seconds", the seconds from the signal to exit in
# "seconds_after_signal" and stderr in "stderr.txt".
run() {
  local name=$1
  shift
  xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
    cd "$1" && show=$2 && shift 2
    start=$(date +%s.%N)
    # Which system libraries leak at exit differs between machines: a leak report must not
    # replace the show'"'"'s own status (no_sanitizer_report judges it by its stacks).
    LSAN_OPTIONS=${LSAN_OPTIONS:-}${LSAN_OPTIONS:+:}exitcode=0 \
      SDL_AUDIODRIVER=${audio_driver:-disk} SDL_DISKAUDIOFILE=played.raw timeout -s KILL 60 "$show" 2>stderr.txt &
    pid=$!
    for event in "$@"; do
      at=${event#*@}
      delay=$(echo "$start + $at - $(date +%s.%N)" | bc -l)
      case $delay in -*) ;; *) sleep "$delay" ;; esac
      if [ "$event" != "$at" ]; then
        pkill -"${event%@*}" -P $pid
        date +%s.%N > signal_sent
      else
        xwd -root -silent > "shot-$at.xwd"
      fi
    done
    wait $pid
    rc=$?
    [ $rc = 137 ] && rc=124
    echo $rc > rc
    end=$(date +%s.%N)
    echo "$end - $start" | bc -l > seconds
    [ -f signal_sent ] && echo "$end - $(cat signal_sent)" | bc -l > seconds_after_signal
    for shot in shot-*.xwd; do
      [ -f "$shot" ] && convert "$shot" "${shot%.xwd}.png" && rm "$shot"
    done
    exit 0
  ' _ "$out/$name" "$show" "$@"
}

status_is() { # NAME STATUS
  local rc
  rc=$(cat "$out/$1/rc")
  [ "$rc" = "$2" ] || { echo "   $1: exit status $rc, not $2"; return 1; }
}

between() { awk "BEGIN { exit !($1 <= $2 && $2 <= $3) }"; }

# ends_on_time NAME [RATE]: exits with 1 once the music has played 640 000 sample frames at its
# rate (14.5 s at 44 100 Hz), allowing for start-up.
ends_on_time() {
  local seconds end
  seconds=$(cat "$out/$1/seconds")
  end=$(echo "640000 / ${2:-44100}" | bc -l)
  printf "   %s: exit status %s after %.2f s, the end mark at %.2f s of music\n" "$1" \
    "$(cat "$out/$1/rc")" "$seconds" "$end"
  status_is "$1" 1 && between "$(echo "$end - 0.2" | bc -l)" "$seconds" "$(echo "$end + 1.3" | bc -l)"
}

# No error reports from the sanitizers, and no leak that involves the show's own code.
no_sanitizer_report() { # NAME
  local log=$out/$1/stderr.txt
  if grep -q -E "ERROR: AddressSanitizer|runtime error:" "$log" ||
    { grep -q "ERROR: LeakSanitizer" "$log" && grep -q -E "/src/(audio|gfx|show)/" "$log"; }; then
    cat "$log"
    return 1
  fi
}

mean_colour() { # IMAGE: mean red, green and blue, 0 to 255
  convert "$1" -format "%[fx:mean.r*255] %[fx:mean.g*255] %[fx:mean.b*255]" info:
}

pixel_is() { # IMAGE X Y R G B: within 8 of each component
  local colour
  colour=$(convert "$1" -format "%[fx:int(255*p{$2,$3}.r)] %[fx:int(255*p{$2,$3}.g)] %[fx:int(255*p{$2,$3}.b)]" info:)
  echo "   $(basename "$1") at $2,$3: $colour"
  echo "$colour $4 $5 $6" | awk '{ for (i = 1; i <= 3; i++) if ($i - $(i+3) > 8 || $(i+3) - $i > 8) exit 1 }'
}

# shows_picture SHOT FILE: the screenshot is nearer in colour to FILE (one of the sample
# pictures) than to any other, and close to it.
shows_picture() {
  local shot nearest="" best=1000000 distance
  shot=$(mean_colour "$1")
  for picture in "$media"/*.png; do
    distance=$(echo "$shot $(mean_colour "$picture")" |
      awk '{ print ($1-$4)^2 + ($2-$5)^2 + ($3-$6)^2 }')
    if awk "BEGIN { exit !($distance < $best) }"; then
      best=$distance nearest=$(basename "$picture")
    fi
  done
  echo "   $(basename "$1"): mean colour $shot, nearest \"$nearest\" (squared distance $best)"
  [ "$nearest" = "$2" ] && awk "BEGIN { exit !($best < 100) }"
}

shows_dot_circles() { # SHOT: green dots on black
  local colour
  colour=$(mean_colour "$1")
  echo "   $(basename "$1"): mean colour $colour"
  echo "$colour" | awk '{ exit !($1 < 1 && $3 < 1 && $2 > 0.5 && $2 < 60) }'
}

is_black() { # SHOT
  local colour
  colour=$(mean_colour "$1")
  echo "   $(basename "$1"): mean colour $colour"
  echo "$colour" | awk '{ exit !($1 + $2 + $3 == 0) }'
}
