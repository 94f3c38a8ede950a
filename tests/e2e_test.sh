#!/usr/bin/env bash
# End to end: the real show in a virtual X window, with SDL's disk audio driver writing what it
# played to a file. Screenshots are kept as PNGs in the output folder.
# usage: e2e_test.sh SHOW AUDIO_CHECK MEDIA_DIR OUTPUT_DIR
set -u
show=$(realpath "$1") audio_check=$(realpath "$2") media=$(realpath "$3") out=$(realpath -m "$4")
source "$(dirname "$0")/e2e_lib.sh"
rm -rf "$out"
mkdir -p "$out"

echo "== the whole show"
prepare show
run show 0.8 2.1 3.5 5.0 8.5 13.0
dir=$out/show
check "exits with status 1 about 14.5 s after it starts" ends_on_time show
check "0.8 s: step1.png" shows_picture "$dir/shot-0.8.png" step1.png
check "2.1 s: this is coffee.png" shows_picture "$dir/shot-2.1.png" "this is coffee.png"
check "3.5 s: the_machine.png" shows_picture "$dir/shot-3.5.png" the_machine.png
check "5.0 s: q_portal.png" shows_picture "$dir/shot-5.0.png" q_portal.png
check "8.5 s: dot circles on black" shows_dot_circles "$dir/shot-8.5.png"
check "13.0 s: all_done.png" shows_picture "$dir/shot-13.0.png" all_done.png
check "the sound holds the track from its start" \
  "$audio_check" matches "$media/brimvale.mp3" "$dir/played.raw" 14
check "no sanitizer report" no_sanitizer_report show

echo "== no music file"
prepare no_music
rm "$out/no_music/brimvale.mp3"
run no_music
check "exits with status 2" status_is no_music 2
check "says why: $(grep '^show:' "$out/no_music/stderr.txt")" grep -qx \
  'show: cannot open "brimvale.mp3": No such file or directory' "$out/no_music/stderr.txt"

echo "== no q_portal.png; and, side by side, no sound output"
prepare no_picture
rm "$out/no_picture/q_portal.png"
run no_picture 5.0 &
prepare no_sound
audio_driver=no-such-driver run no_sound &
wait
check "5.0 s: black" is_black "$out/no_picture/shot-5.0.png"
check "still exits with status 1 on time" ends_on_time no_picture
check "without sound output it says so once" [ "$(grep -c "playing silently" "$out/no_sound/stderr.txt")" = 1 ]
check "and still exits with status 1 on time" ends_on_time no_sound

echo "== SIGINT and SIGTERM at five moments (the two signals side by side)"
moments=(0.5 3.0 6.5 9.5 12.5)
for at in "${moments[@]}"; do
  for signal in INT TERM; do
    prepare "$signal-$at"
    run "$signal-$at" "$signal@$at" &
  done
  wait
done
for at in "${moments[@]}"; do
  for signal in INT TERM; do
    name=$signal-$at
    expected=$([ $signal = INT ] && echo 130 || echo 143)
    check "SIG$signal at $at s ends it within a second (in $(cat "$out/$name/seconds_after_signal") s)" \
      between 0 "$(cat "$out/$name/seconds_after_signal")" 1
    check "SIG$signal at $at s: ended by the signal" status_is "$name" "$expected"
  done
done

finish "end to end"
