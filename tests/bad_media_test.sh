#!/usr/bin/env bash
# Bad media, end to end: every media file missing, empty, cut in half, random bytes or in
# another format under its name; pictures of odd sizes and kinds; music of other rates,
# channel counts and lengths. The show must never crash or hang: faulty pictures show black,
# readable ones show, any playable music keeps time, and unplayable music stops it at once
# with status 2 and one line saying why.
# usage: bad_media_test.sh SHOW AUDIO_CHECK MEDIA_DIR OUTPUT_DIR
set -u
show=$(realpath "$1") audio_check=$(realpath "$2") media=$(realpath "$3") out=$(realpath -m "$4")
source "$(dirname "$0")/e2e_lib.sh"
rm -rf "$out"
mkdir -p "$out"

pictures=(step1.png "this is coffee.png" the_machine.png q_portal.png all_done.png)
on_screen_at=(0.8 2.1 3.5 5.0 13.0) # a moment in each picture's stretch
other_formats=(JPEG BMP GIF JPEG GIF)
faults=(missing empty half random other)

spoil() { # FILE FAULT [FORMAT]
  case $2 in
    missing) rm "$1" ;;
    empty) : >"$1" ;;
    half) head -c $(($(stat -c %s "$1") / 2)) "$1" >"$1.half" && mv "$1.half" "$1" ;;
    random) head -c 100000 /dev/urandom >"$1" ;;
    other) convert "$1" "$3:$1" ;;
  esac
}

black_or_picture() { # SHOT FILE: a cut picture may fail to load or load in part
  is_black "$1" || shows_picture "$1" "$2"
}

# Five runs cover every picture with every fault, each run a different fault per picture; three
# run side by side.
for run_number in 0 1 2 3 4; do
  name=pictures-$run_number
  prepare "$name"
  for i in 0 1 2 3 4; do
    spoil "$out/$name/${pictures[$i]}" "${faults[$(((run_number + i) % 5))]}" "${other_formats[$i]}"
  done
  run "$name" "${on_screen_at[@]}" &
  [ $run_number = 2 ] && wait
done
# Beside the last: pictures of odd sizes and kinds.
prepare odd-pictures
(
  cd "$out/odd-pictures"
  convert -size 1x1 xc:red step1.png
  convert -size 640x480 xc:lime "this is coffee.png"
  convert -size 4000x3000 xc:blue PNG24:the_machine.png
  convert -size 1024x768 xc:gray50 -define png:color-type=0 q_portal.png
  convert -size 1024x768 "xc:rgba(255,255,0,0.5)" PNG32:all_done.png
)
run odd-pictures PING@0.3 "${on_screen_at[@]}" &
wait
for run_number in 0 1 2 3 4; do
  name=pictures-$run_number
  echo "== $name"
  for i in 0 1 2 3 4; do echo "   ${pictures[$i]}: ${faults[$(((run_number + i) % 5))]}"; done
  check "ends on time" ends_on_time "$name"
  check "no sanitizer report" no_sanitizer_report "$name"
  for i in 0 1 2 3 4; do
    fault=${faults[$(((run_number + i) % 5))]}
    shot=$out/$name/shot-${on_screen_at[$i]}.png
    case $fault in
      other) check "${pictures[$i]} as ${other_formats[$i]} shows" \
        timed_from_launch "$name" shows_picture "$shot" "${pictures[$i]}" ;;
      half) check "${pictures[$i]} cut in half: black or the picture" \
        timed_from_launch "$name" black_or_picture "$shot" "${pictures[$i]}" ;;
      *) check "${pictures[$i]} $fault: black" timed_from_launch "$name" is_black "$shot" ;;
    esac
  done
done

echo "== pictures of odd sizes and kinds"
name=odd-pictures
dir=$out/$name
check "ends on time" ends_on_time "$name"
check "answers every ping within 1 s, also while the large picture decodes (longest $(
  sort -n "$dir/pings.txt" | tail -1) ms)" awk '$1 == "none" || $1 > 1000 { exit 1 } END { exit NR < 100 }' \
  "$dir/pings.txt"
check "no sanitizer report" no_sanitizer_report "$name"
check "1 x 1: one red pixel at the corner" timed_from_launch "$name" pixel_is "$dir/shot-0.8.png" 0 0 255 0 0
check "1 x 1: black beside it" timed_from_launch "$name" pixel_is "$dir/shot-0.8.png" 1 1 0 0 0
check "640 x 480: top left" timed_from_launch "$name" pixel_is "$dir/shot-2.1.png" 639 479 0 255 0
check "640 x 480: black to the right" timed_from_launch "$name" pixel_is "$dir/shot-2.1.png" 640 100 0 0 0
check "640 x 480: black below" timed_from_launch "$name" pixel_is "$dir/shot-2.1.png" 100 480 0 0 0
check "4000 x 3000: clipped to the window" timed_from_launch "$name" pixel_is "$dir/shot-3.5.png" 1023 767 0 0 255
check "grey" timed_from_launch "$name" pixel_is "$dir/shot-5.0.png" 512 384 128 128 128
check "half-transparent yellow over black" timed_from_launch "$name" pixel_is "$dir/shot-13.0.png" 512 384 128 128 0

# music_checks NAME RATE SOUND_SECONDS: the show, run with music shorter than the show, played
# all of it at the right speed, then silence, and ended on time.
music_checks() {
  check "$1: ends on time" ends_on_time "$1" "$2"
  check "$1: plays $3 s of sound" "$audio_check" sound "$out/$1/played.raw" "$3"
  check "$1: no sanitizer report" no_sanitizer_report "$1"
}
music_cases=("wav 48000 2" "ogg 22050 1" "flac 44100 1")
for music_case in "${music_cases[@]}"; do
  read -r kind rate channels <<<"$music_case"
  prepare "music-$kind-$rate-$channels"
  "$audio_check" make "$out/music-$kind-$rate-$channels/brimvale.mp3" "$kind" "$rate" "$channels" 5
done
prepare music-half
spoil "$out/music-half/brimvale.mp3" half
run music-wav-48000-2 & run music-ogg-22050-1 & wait
run music-flac-44100-1 & run music-half & wait
for music_case in "${music_cases[@]}"; do
  read -r kind rate channels <<<"$music_case"
  echo "== music-$kind-$rate-$channels, 5 s"
  music_checks "music-$kind-$rate-$channels" "$rate" 5
done
echo "== music cut in half"
# The sample track lasts 17.06 s.
music_checks music-half 44100 8.53

for fault in missing empty random; do
  name=music-$fault
  echo "== $name"
  prepare "$name"
  spoil "$out/$name/brimvale.mp3" "$fault"
  run "$name"
  check "$fault music: exits with status 2" status_is "$name" 2
  check "$fault music: says why: $(grep '^show:' "$out/$name/stderr.txt")" \
    grep -q '^show: cannot open "brimvale.mp3": ' "$out/$name/stderr.txt"
  check "$fault music: no sanitizer report" no_sanitizer_report "$name"
done

finish "bad media"
