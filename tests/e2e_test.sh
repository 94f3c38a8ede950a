#!/usr/bin/env bash
# End to end: the real show in a virtual X window, with SDL's disk audio driver writing what it
# played to a file. Screenshots are kept as PNGs in the output folder.
# Then a Wayland session with no X server (a headless sway): the show, its names, close and a
# compositor killed or ended; and the same under GNOME's mutter and KDE's KWin, natively and
# through their Xwayland, with pings and title bars. Then the parts of a real X desktop: a window manager's pings and
# close requests, the window's names and icon, and a lost display (spoken over the X protocol),
# and a real PipeWire server: through its PulseAudio service as the show's sound goes by default,
# through SDL's PipeWire output, with a long buffer, killed, and without its session manager.
# usage: e2e_test.sh SHOW AUDIO_CHECK MEDIA_DIR OUTPUT_DIR SLOW_EXIT [PROBE]
# SLOW_EXIT is build/tests/libslow_compositor_exit.so. With PROBE (build/tests/libshow_probe.so;
# not in the sanitizer build), the runs on the sound server also print how picture and sound kept
# together.
set -u
show=$(realpath "$1") audio_check=$(realpath "$2") media=$(realpath "$3") out=$(realpath -m "$4")
slow_exit=$(realpath "$5")
[ -n "${6:-}" ] && probe_library=$(realpath "$6")
source "$(dirname "$0")/e2e_lib.sh"
rm -rf "$out"
mkdir -p "$out"

# The sanitizer build looks for faults in the show's own code, not for races with a compositor's
# shutdown, nor for timing: it ends a compositor at one moment, not three, and leaves out runs
# that take the same code paths as others.
lost_moments=(1.0 3.0 6.5)
[ "${SANITIZED:-0}" = 1 ] && lost_moments=(3.0)

# closed_checks NAME MOMENT: run NAME, asked to close at MOMENT s, ended within a second with
# status 3. Not judged where the desktop could not ask it or lost its keys, or asked it over a
# second late; nor is the time in the sanitizer build, whose leak check at exit took 1.1-1.3 s
# beside two CPU hogs.
closed_checks() {
  local after
  after=$(cat "$out/$1/seconds_after_action" 2>/dev/null)
  if [ -s "$out/$1/close_not_sent" ]; then
    echo "   $1: closing not judged: it could not be asked ($(cat "$out/$1/close_not_sent"))"
    return
  elif [ "${SANITIZED:-0}" = 1 ]; then
    echo "   $1: closing ended it in $after s (not judged in the sanitizer build)"
  else
    check "$1: closing ends it within a second (in $after s)" between 0 "$after" 1
  fi
  check "$1: exits with status 3" closed_on_request "$1" "$2"
}

closed_on_request() { # NAME MOMENT
  local asked_at
  status_is "$1" 3 && return
  asked_at=$(echo "$(cat "$out/$1/seconds") - $(cat "$out/$1/seconds_after_action")" | bc -l)
  between "$2 + 1" "$asked_at" 1e9 || return 1
  printf "   not judged: it was asked at %.2f s, over a second late\n" "$asked_at"
  return 77
}

# pings_check NAME: run NAME, pinged from its start (PING), answered every ping within a second.
pings_check() {
  local pings=$out/$1/pings.txt delays
  delays=$(grep -v none "$pings" | sort -n)
  check "$1: every ping answered within 1 s ($(wc -l <"$pings") pings; median $(
    echo "$delays" | awk '{ d[NR] = $1 } END { print d[int((NR + 1) / 2)] }') ms, longest $(
    echo "$delays" | tail -1) ms)" awk '$1 == "none" || $1 > 1000 { exit 1 }' "$pings"
  check "$1: pinged from start to end" [ "$(wc -l <"$pings")" -gt 100 ]
}

# wayland_pings_answered NAME: the compositor pinged the native window of run NAME (run with
# WAYLAND_DEBUG), and it answered each ping within a second.
wayland_pings_answered() {
  # The log's times are milliseconds, or the time of day (libwayland 1.24 and later).
  awk -F'[][()]' 'function ms(time, part) {
      if (split(time, part, ":") == 3) return ((part[1] * 60 + part[2]) * 60 + part[3]) * 1000
      return time + 0 }
    $3 ~ /xdg_wm_base[@#][0-9]+\.ping$/ { sent[$4] = ms($2) }
    $3 ~ /-> xdg_wm_base[@#][0-9]+\.pong$/ && ($4 in sent) { answered[$4] = ms($2) - sent[$4] }
    END { for (serial in sent) { pings++; if (!(serial in answered) || answered[serial] > 1000) late++
            else if (answered[serial] > longest) longest = answered[serial] }
          printf "   %d pings, %d not answered within 1 s, the longest answer %.3f ms\n", pings, late, longest
          exit !(pings > 0 && !late) }' "$out/$1/stderr.txt"
}

# ended_within_a_second NAME: run NAME, whose display went, ended within a second. Not judged when
# its process took longer to go but it had said so within the second: the last of its threads to
# end unmaps its memory, and where that is Mesa's disk cache thread (nice 19), a busy host holds it
# up for a second.
ended_within_a_second() {
  local after said
  after=$(cat "$out/$1/seconds_after_action")
  between 0 "$after" 1 && return
  [ -s "$out/$1/said_lost" ] || return 1
  said=$(echo "$(cat "$out/$1/said_lost") - $(cat "$out/$1/action_sent")" | bc -l)
  printf "   it said so after %.2f s; its process went after %.2f s\n" "$said" "$after"
  between 0 "$said" 1 && return 77
}

# lost_checks NAME: run NAME, whose display went, ended within a second with status 4, saying so
# and nothing else.
lost_checks() {
  check "$1: a lost display ends it within a second (in $(cat "$out/$1/seconds_after_action") s)" \
    ended_within_a_second "$1"
  check "$1: exits with status 4" status_is "$1" 4
  check "$1: says so: $(grep '^show:' "$out/$1/stderr.txt")" \
    grep -qx "show: the display was lost" "$out/$1/stderr.txt"
}

echo "== the whole show"
prepare show
run show "${stretch_moments[@]}" MAPS@7.0
dir=$out/show
check "exits with status 1 about 14.5 s after it starts" ends_on_time show
check "presents without a software OpenGL rasteriser" maps_no_software_opengl show
check "each picture, and the dot circles on black, in its stretch" shows_every_stretch show
check "the sound holds the track from its start" \
  "$audio_check" matches "$media/brimvale.mp3" "$dir/played.raw" 14
check "no sanitizer report" no_sanitizer_report show

echo "== a Wayland session (headless sway): with no X server the show, close, a lost compositor; with Xwayland"
prepare wayland
# The names are read in the dot circles' stretch: sway's answer can hold up the show's frames for
# a moment, which there passes no picture's narrow window by.
session=wayland probe=${probe_library:-} run wayland "${stretch_moments[@]}" MAPS@7.0 NAMES@8.0
# Under AddressSanitizer, Mesa's software OpenGL (LLVM) can take the show's start 2 s past the
# allowance: there its timing and pictures say nothing of the show.
if [ "${SANITIZED:-0}" = 1 ]; then
  check "wayland: exits with status 1 (after $(cat "$out/wayland/seconds") s: time and pictures not judged in the sanitizer build)" \
    status_is wayland 1
else
  check "wayland: exits with status 1 on time" ends_on_time wayland
fi
check "wayland: a native Wayland client" maps_wayland_client wayland
[ "${SANITIZED:-0}" = 1 ] ||
  check "wayland: each picture, and the dot circles on black, in its stretch" shows_every_stretch wayland
check "wayland: the window's title and app id name the show" named wayland org.brimvale.show
check "no sanitizer report" no_sanitizer_report wayland
prepare wayland_close
show_env=SDL_VIDEO_WAYLAND_WMCLASS=users.own session=wayland run wayland_close NAMES@3.0 CLOSE@7.0 &
prepare xwayland
session=xwayland run xwayland 13.0 MAPS@7.0 NAMES@8.0 &
# A library that crashes on the connection the compositor has just ended (SDL 2.32 can, as it
# opens the window): the show, held still, gets a fault as the compositor is killed.
prepare wayland_fault
session=wayland run wayland_fault FAULT@3.0 &
wait
lost_checks wayland_fault
check "xwayland: an X client, presenting without a software OpenGL rasteriser" maps_no_software_opengl xwayland
check "xwayland: exits with status 1 on time" ends_on_time xwayland
check "xwayland: 13.0 s: the last picture" shows_picture "$out/xwayland/shot-13.0.png" all_done.png
closed_checks wayland_close 7.0
check "wayland_close: the user's own app id wins" named wayland_close users.own
check "xwayland: the window's title, class and icon name the show" named xwayland org.brimvale.show
# The compositor killed, or ended with SIGTERM and slow to shut down: it goes on taking connections
# on its socket for 0.5 s after its clients have gone, as mutter, KWin and later sways do. At
# three moments each, side by side.
for at in "${lost_moments[@]}"; do
  prepare "wayland_killed-$at"
  session=wayland run "wayland_killed-$at" "NODISPLAY@$at" &
  prepare "wayland_ended-$at"
  compositor_preload=$slow_exit session=wayland run "wayland_ended-$at" "ENDDISPLAY@$at" &
  wait
done
for at in "${lost_moments[@]}"; do
  lost_checks "wayland_killed-$at"
  lost_checks "wayland_ended-$at"
done

# desktop_cases DESKTOP: the show under a desktop's own compositor (in_wayland_session), as a native
# client and as an X client of its Xwayland.
desktop_cases() {
  local native=$1 xwayland=$1-xwayland kind
  local kinds=($native $xwayland) whole_show_kinds=($native $xwayland)
  [ "${SANITIZED:-0}" = 1 ] && whole_show_kinds=($native)
  for kind in "${whole_show_kinds[@]}"; do
    prepare $kind
    events=("${stretch_moments[@]}" NAMES@8.0)
    [ $kind = $xwayland ] && events+=(PING@0.3)
    session=$kind probe=${probe_library:-} run $kind "${events[@]}"
    if [ "${SANITIZED:-0}" = 1 ]; then
      check "$kind: exits with status 1 (after $(cat "$out/$kind/seconds") s: time and pictures not judged in the sanitizer build)" \
        status_is $kind 1
    else
      check "$kind: exits with status 1 on time" ends_on_time $kind
      if [ -f "$out/$kind/shots_not_taken" ]; then
        echo "   $kind: pictures not judged: $(cat "$out/$kind/shots_not_taken")"
      else
        check "$kind: each picture, and the dot circles on black, below its title bar" shows_every_stretch $kind
      fi
    fi
    check "$kind: the window's names name the show" named $kind org.brimvale.show
    check "no sanitizer report" no_sanitizer_report $kind
  done
  [ "${SANITIZED:-0}" = 1 ] || pings_check $xwayland
  # As the title bar's close button; the compositor pings a window it is asked to close.
  for kind in "${kinds[@]}"; do
    prepare $kind-close
    session=$kind run $kind-close CLOSE@5.0 &
  done
  wait
  for kind in "${kinds[@]}"; do closed_checks $kind-close 5.0; done
  [ -s "$out/$native-close/close_not_sent" ] ||
    check "$native-close: answered the compositor's pings" wayland_pings_answered $native-close
  # The compositor killed or ended with SIGTERM at three moments each (the two kinds side by side):
  # twelve chances for a race with its shutdown to show.
  for at in "${lost_moments[@]}"; do
    for action in NODISPLAY ENDDISPLAY; do
      for kind in "${kinds[@]}"; do
        prepare "$kind-$action-$at"
        session=$kind run "$kind-$action-$at" "$action@$at" &
      done
      wait
    done
  done
  for at in "${lost_moments[@]}"; do
    for action in NODISPLAY ENDDISPLAY; do
      for kind in "${kinds[@]}"; do lost_checks "$kind-$action-$at"; done
    done
  done
}

echo "== GNOME's mutter (headless, 1280x1024): the show as a native client, with libdecor's title bar, and as an X client of its Xwayland"
desktop_cases mutter
# The sanitizer build meets no code under KWin that sway and mutter have not run.
if [ "${SANITIZED:-0}" != 1 ]; then
  echo "== KDE's KWin (headless, 1280x1024, Breeze title bars): the show as a native client and as an X client of its Xwayland"
  desktop_cases kwin
fi

echo "== no music file"
prepare no_music
rm "$out/no_music/brimvale.mp3"
run no_music
check "exits with status 2" status_is no_music 2
check "says why: $(grep '^show:' "$out/no_music/stderr.txt")" grep -qx \
  'show: cannot open "brimvale.mp3": No such file or directory' "$out/no_music/stderr.txt"

echo "== no display at all (no X server, no Wayland compositor), and one lost as the show starts"
prepare no_window
(cd "$out/no_window" && env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$out/no_window" LSAN_OPTIONS=exitcode=0 \
  SDL_AUDIODRIVER=dummy timeout -s KILL 30 "$show" 2>stderr.txt; echo $? > rc)
check "exits with status 2" status_is no_window 2
check "says why, and nothing else: $(own_stderr no_window | tr '\n' '|')" eval '[ "$(own_stderr no_window)" = \
  "show: cannot open a 1024x768 window: no X server or Wayland compositor answers" ]'
# Alone, so that it starts quickly: its X server goes 0.2 s after the launch, before or while SDL
# takes it.
prepare early_lost
run early_lost NODISPLAY@0.2
check "early_lost: a display lost as it starts ends it within a second (in $(cat "$out/early_lost/seconds_after_action") s)" \
  ended_within_a_second early_lost
check "early_lost: status 4, saying so (or 2, saying why, where it had gone before the show looked): $(cat "$out/early_lost/rc") $(own_stderr early_lost | grep -v ^CRITICAL | tr '\n' '|')" \
  eval 'case $(cat "$out/early_lost/rc") in
    4) grep -qx "show: the display was lost" "$out/early_lost/stderr.txt" ;;
    2) grep -qx "show: cannot open a 1024x768 window: no X server or Wayland compositor answers" "$out/early_lost/stderr.txt" ;;
    *) false ;; esac'

echo "== side by side: no q_portal.png; no sound output (no such SDL driver, and ALSA with no card);"
echo "   and the desktop: pings throughout, the close button, a lost display"
prepare no_picture
rm "$out/no_picture/q_portal.png"
probe=${probe_library:-} run no_picture 5.0 &
prepare no_sound
audio_driver=no-such-driver probe=${probe_library:-} run no_sound &
# An ALSA with nothing configured, as on a machine with no sound card, whatever this host has.
prepare no_card
audio_driver=alsa show_env=ALSA_CONFIG_PATH=/dev/null probe=${probe_library:-} run no_card &
prepare pings
probe=${probe_library:-} run pings PING@0.3 NAMES@3.0 &
prepare close
show_env=SDL_VIDEO_X11_WMCLASS=users.own run close NAMES@3.0 CLOSE@7.0 &
prepare no_display
run no_display NODISPLAY@7.0 &
wait
check "5.0 s: black" timed_from_launch no_picture black_unless_starved no_picture "$out/no_picture/shot-5.0.png"
check "still exits with status 1 on time" ends_on_time no_picture
check "without sound output it says so once" [ "$(grep -c "playing silently" "$out/no_sound/stderr.txt")" = 1 ]
check "and still exits with status 1 on time" ends_on_time no_sound
check "no_card: its one line is all it says, none of ALSA's own: $(own_stderr no_card | tr '\n' '|')" \
  eval '[ "$(own_stderr no_card | wc -l)" = 1 ] &&
    own_stderr no_card | grep -qx "audio: no sound output (ALSA: .*); playing silently"'
check "no_card: exits with status 1 on time" ends_on_time no_card
pings_check pings
check "pings: the show went on to its end" ends_on_time pings
closed_checks close 7.0
check "pings: the window's title, class and icon name the show" named pings org.brimvale.show
check "close: the user's own window class wins" named close users.own
lost_checks no_display
check "no sanitizer report" no_sanitizer_report close

# no_answer_run: the show on a sound server that sets up no stream (it has no session manager).
# The probe only tells when its first frame came (no_answer_shown).
no_answer_run() {
  prepare no_answer
  start_sound_server no_session_manager
  echo $? >"$out/no_answer/server_status"
  audio_driver=default show_env="${probe_library:+LD_PRELOAD=$probe_library SHOW_PROBE_REPORT=probe.txt \
    SHOW_PROBE_FIRST_FRAME=first_frame}" \
    run no_answer 3.5
  stop_sound_server
}

# A signal ends the show by its default action, which leaves nothing for the sanitizers to see.
if [ "${SANITIZED:-0}" != 1 ]; then
  echo "== SIGINT and SIGTERM at five moments (all ten side by side, and beside them no_answer below)"
  moments=(0.5 3.0 6.5 9.5 12.5)
  for at in "${moments[@]}"; do
    for signal in INT TERM; do
      prepare "$signal-$at"
      run "$signal-$at" "$signal@$at" &
    done
  done
  no_answer_run &
  wait
  for at in "${moments[@]}"; do
    for signal in INT TERM; do
      name=$signal-$at
      expected=$([ $signal = INT ] && echo 130 || echo 143)
      check "SIG$signal at $at s ends it within a second (in $(cat "$out/$name/seconds_after_action") s)" \
        between 0 "$(cat "$out/$name/seconds_after_action")" 1
      check "SIG$signal at $at s: ended by the signal" status_is "$name" "$expected"
    done
  done
fi

served_run() { # NAME DRIVER EVENT...
  check "$1: a private sound server plays to its null sink" start_sound_server
  audio_driver=$2 probe=${probe_library:-} record "$1" run_once "$1" "${stretch_moments[@]}" "${@:3}"
  stop_sound_server
}

# sound_server_run NAME DRIVER EVENT...: the show with the click track, on a fresh PipeWire
# server, recorded from its null sink; screenshots in every picture's stretch.
sound_server_run() {
  local name=$1
  prepare "$name"
  "$audio_check" clicks "$out/$name/brimvale.mp3"
  once_more_if_tracer_crashed "$name" served_run "$@"
  check "$name: exits with status 1 on time" ends_on_time "$name"
  [ -n "${probe_library:-}" ] && sync_figures "$name"
  check "$name: every picture in its stretch" shows_every_stretch "$name"
  check "no sanitizer report" no_sanitizer_report "$name"
}
echo "== on a PipeWire server, through its PulseAudio service (default) and SDL's native PipeWire output"
for driver in default pipewire; do
  sound_server_run "server-$driver" "$driver"
  # A sound server on a shared host may lose a few milliseconds of sound now and then.
  clicks_check "server-$driver"
  [ $driver = default ] && picture_changes_check "server-$driver"
  if [ -n "${probe_library:-}" ]; then
    sh -c 'while :; do :; done' &
    spinner=$!
    echo "   (another process keeps a core busy)"
    sound_server_run "server-$driver-busy" "$driver"
    kill $spinner
    [ $driver = default ] && picture_changes_check "server-$driver-busy"
  fi
  sound_server_run "server-$driver-killed" "$driver" NOSOUND@7.0
  clicks_check "server-$driver-killed" 4 "the server played until it was killed, 5 clicks before"
done

if [ "${SANITIZED:-0}" != 1 ]; then
  echo "== a stream with a long buffer (PULSE_LATENCY_MSEC=200 for the show alone)"
  show_env=PULSE_LATENCY_MSEC=200 sound_server_run server-latency default STREAMS@3.0
  check "server-latency: the stream carries latency: clicks 2-7 heard $(awk '$1 == "heard_after_handed" {
      print $2 " to " $3 }' "$out/server-latency/sync.txt") ms after they were handed over ($(grep -o \
      'node.latency = .*' "$out/server-latency/streams.txt"))" awk '$1 == "heard_after_handed" {
      late = $2 >= 50 } END { exit !late }' "$out/server-latency/sync.txt"
  clicks_check server-latency
  picture_changes_check server-latency
fi

echo "== a server that sets up no stream (no session manager)"
[ "${SANITIZED:-0}" = 1 ] && no_answer_run
check "no_answer: a private sound server without its session manager" \
  [ "$(cat "$out/no_answer/server_status")" = 0 ]
# no_answer_shown: the window showed the first picture when shot, after the server's 3 s; not judged
# where the first frame came after the shot.
no_answer_shown() {
  if [ -s "$out/no_answer/first_frame" ] && awk -v first="$(cat "$out/no_answer/first_frame")" \
    '$1 == 3.5 { exit !(first > $2) }' "$out/no_answer/shot_times.txt"; then
    printf "   not judged: its first frame came %.2f s after the launch, after the shot\n" "$(echo \
      "$(cat "$out/no_answer/first_frame") - $(cat "$out/no_answer/exited_at") + $(cat "$out/no_answer/seconds")" | bc -l)"
    return 77
  fi
  shows_picture "$out/no_answer/shot-3.5.png" step1.png
}
check "no_answer: the window shows the show" no_answer_shown
check "no_answer: it says so in one line: $(grep '^audio:' "$out/no_answer/stderr.txt")" \
  [ "$(grep -c '^audio:' "$out/no_answer/stderr.txt")" = 1 ]
check "no_answer: it gave the server 3 s, then played silently" grep -qx \
  "audio: no sound output (the sound server did not set up a stream within 3 s); playing silently" \
  "$out/no_answer/stderr.txt"
check "no_answer: exits with status 1 on time after the wait" ends_on_time no_answer 44100 3

finish "end to end"
