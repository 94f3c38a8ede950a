# Helpers for the end-to-end tests: running the real show under Xvfb and judging screenshots.
# Set show, media and out before use.
passed=0 failed=0

# A command that exits with 77 could not judge: its surroundings did not keep time.
check() { # DESCRIPTION COMMAND...
  "${@:2}"
  case $? in
    0) echo "ok: $1"
      passed=$((passed + 1)) ;;
    77) echo "not judged: $1" ;;
    *) echo "FAILED: $1"
      failed=$((failed + 1)) ;;
  esac
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

# run NAME EVENT...: runs the show in its folder under Xvfb (with $session, in a compositor's
# session instead: see in_wayland_session), with SDL's disk audio driver writing
# what it played to "played.raw" (or with the SDL audio driver named in $audio_driver; "default"
# leaves the choice to SDL). An event is a time in seconds of the show, for a screenshot
# "shot-TIME.png" taken that long after the start plus $startup_allowance (the show takes
# 0.3-0.7 s to start; stretch_moments are moments of the show; with $probe, that long after the
# music started plus 0.1 s), or ACTION@TIME, that many seconds after the start; events
# happen in the order of their times:
#   INT, TERM   send that signal
#   PING        ping the window as a window manager does, from then on ("pings.txt", in ms)
#   CLOSE       ask the window to close, as its close button does (under mutter: Alt+F4; under
#               KWin: a KWin script)
#   NODISPLAY   kill the X server, or the Wayland compositor (SIGKILL)
#   ENDDISPLAY  end the X server, or the Wayland compositor, with SIGTERM: it shuts down in order
#   FAULT       kill the Wayland compositor with the show stopped, then send the show SIGSEGV
#   NOSOUND     kill the sound server (start_sound_server)
#   NAMES       what a dock shows of the window: its names to "names.txt" and its icon to
#               "icon.ppm" (x_desktop.py names; a native window under mutter: what it sent;
#               under KWin: its caption and the desktop entry KWin matched it to)
#   MAPS        copy the show's memory map to "maps.txt", and its peak memory so far (MiB) to
#               "peak_mib"
#   STREAMS     list the sound server's playback streams to "streams.txt"
# $show_env holds more VARIABLE=VALUE settings for the show alone.
# With $probe set, the show runs with that probe library preloaded ("probe.txt" and
# "callbacks.txt", see show_probe.cpp). Leaves the exit status in "rc" (124 if it hung), the
# seconds from start to exit in "seconds", the seconds from the last action (for CLOSE, from when
# the X server took the request) to exit in "seconds_after_action", the host's share of steal
# time in "steal_percent", each shot's moment and the wall times it was asked for and taken in
# "shot_times.txt" (under mutter, also when its frame came) and stderr in "stderr.txt". A run
# whose LeakSanitizer tracer crashed at exit is made once more.
run() { once_more_if_tracer_crashed "$1" run_once "$@"; }

# once_more_if_tracer_crashed NAME COMMAND...: runs the command, and once more if LeakSanitizer's
# own tracer crashed at the exit of run NAME, a fault of the tool (status 134, "Tracer caught
# signal") that says nothing of the show. GCC 12's takes a library's thread-local block that
# starts 16 bytes into a page for one glibc made with a header, and reads garbage for its bounds;
# where that block lands depends on every allocation before it, so in one build it can happen in
# every run. The second run leaves out the thread-local blocks it tracks; the leaks it finds are
# still judged.
once_more_if_tracer_crashed() {
  "${@:2}"
  grep -q "Tracer caught signal" "$out/$1/stderr.txt" 2>/dev/null || return 0
  echo "   $1: LeakSanitizer's tracer crashed at exit; running it again"
  ASAN_OPTIONS=${ASAN_OPTIONS:-}:intercept_tls_get_addr=0 "${@:2}"
}

run_once() {
  local name=$1
  shift
  local session_command=(xvfb-run -a -s "-screen 0 1024x768x24") no_screen_cast=""
  [ -n "${session:-}" ] && session_command=(in_wayland_session "$session")
  [[ " $* " == *DISPLAY@* ]] && no_screen_cast=1
  local cpu_before
  cpu_before=$(head -1 /proc/stat)
  no_screen_cast=$no_screen_cast startup_allowance=$startup_allowance "${session_command[@]}" bash -c '
    cd "$1" && show=$2 && tests=$3 && shift 3
    start=$(date +%s.%N)
    driver=${audio_driver:-disk}
    [ "$driver" = default ] && driver=
    # Which system libraries leak at exit differs between machines: a leak report must not
    # replace the show'"'"'s own status (no_sanitizer_report judges it by its stacks).
    env LSAN_OPTIONS=${LSAN_OPTIONS:-}${LSAN_OPTIONS:+:}exitcode=0 \
      SDL_AUDIODRIVER=$driver SDL_DISKAUDIOFILE=played.raw \
      ${probe:+LD_PRELOAD=$probe SHOW_PROBE_REPORT=probe.txt SHOW_PROBE_CALLBACKS=callbacks.txt SHOW_PROBE_FLIPS=flips.txt SHOW_PROBE_FIRST_FRAME=first_frame SHOW_PROBE_MUSIC_START=music_start} \
      SHOW_PROBE_LAUNCH_NS=$(date +%s%N) ${show_env:-} timeout -s KILL 60 "$show" 2>stderr.txt &
    pid=$!
    for event in "$@"; do
      case $event in
        *@*) echo "${event#*@} $event" ;;
        *) echo "$(echo "$event + $startup_allowance" | bc -l) $event" ;;
      esac
    done | sort -n > events.txt
    while read -r when event; do
      at=${event#*@}
      # With the probe, a shot is timed from the start of the music (with no sound, from the first
      # frame): a slow start is no late picture.
      if [ -n "${probe:-}" ] && [ "$at" = "$event" ] && [ -z "${anchor:-}" ]; then
        for _ in $(seq 240); do
          [ -s music_start ] && anchor=$(cat music_start) && break
          [ -s first_frame ] && [ "$(echo "$(date +%s.%N) - $(cat first_frame) > 2" | bc)" = 1 ] &&
            anchor=$(cat first_frame) && break
          sleep 0.05
        done
      fi
      [ -n "${anchor:-}" ] && [ "$at" = "$event" ] && when=$(echo "$anchor - $start + $at + 0.1" | bc -l)
      # An X window under mutter or KWin is found before its first shot is due: on a loaded host
      # the search takes over half a second.
      [ "$at" = "$event" ] && [ -n "${DISPLAY:-}" ] && [ -z "${window:-}" ] &&
        [[ " mutter kwin " == *" ${desktop:-x} "* ]] && window=$("$tests/x_desktop.py" id "$(pgrep -P $pid)")
      delay=$(echo "$start + $when - $(date +%s.%N)" | bc -l)
      case $delay in -*) ;; *) sleep "$delay" ;; esac
      case $event in
        # Timed by the shell itself: a forked date can take a good part of a second on a
        # crowded host, and would be counted against the show.
        *@*) show_pid=$(pgrep -P $pid)
          echo "${EPOCHREALTIME/,/.}" > action_sent ;;
        *)
          asked=$(date +%s.%N) answer=""
          case ${desktop:-x} in
            x) xwd -root -silent > "shot-$at.xwd" ;;
            sway) grim "shot-$at.png" ;;
            *) if [ -n "${DISPLAY:-}" ]; then
                xwd -silent -id "$window" > "shot-$at.xwd"
              elif [ -n "${no_shots:-}" ]; then echo "$no_shots" > shots_not_taken
              else install -m 666 /dev/null "shot-$at.ppm"
                if [ "$desktop" = kwin ]; then kwin_ask shot "$PWD/shot-$at.ppm"
                else answer=$(desktop_ask shot "$PWD/shot-$at.ppm"); fi; fi ;;
          esac
          echo "$at $asked $(date +%s.%N) $answer" >> shot_times.txt ;;
      esac
      case ${event%@*}-${desktop:-x} in
        INT-* | TERM-*) kill -"${event%@*}" "$show_pid" ;;
        PING-*) "$tests/x_desktop.py" ping "$(pgrep -P $pid)" > pings.txt 2> pings_failed.txt & ;;
        CLOSE-x) "$tests/x_desktop.py" close "$(pgrep -P $pid)" > action_sent ;;
        CLOSE-sway) swaymsg "[pid=$(pgrep -P $pid)] kill" > /dev/null ;;
        CLOSE-kwin) kwin_ask close "$(pgrep -P $pid)" > action_sent ;;
        CLOSE-mutter) : > action_sent
          [ -n "${no_shots:-}" ] || desktop_ask close > action_sent
          if [ -s action_sent ]; then mutter_closes $pid &
          # The remote desktop session of mutter does not always start on a loaded host: an X window
          # is then asked as a window manager asks it, and a native one cannot be.
          elif [ -n "${DISPLAY:-}" ]; then "$tests/x_desktop.py" close "$(pgrep -P $pid)" > action_sent; fi
          [ -s action_sent ] || echo "${no_shots:-the remote desktop of mutter did not answer}" > close_not_sent ;;
        NODISPLAY-x) pkill -KILL -f "^Xvfb $DISPLAY " ;;
        ENDDISPLAY-x) pkill -TERM -f "^Xvfb $DISPLAY " ;;
        NODISPLAY-*) kill -KILL "$compositor" ;;
        FAULT-*) show_pid=$(pgrep -P $pid); kill -STOP "$show_pid"; kill -KILL "$compositor"; sleep 0.1
          kill -SEGV "$show_pid"; kill -CONT "$show_pid" ;;
        ENDDISPLAY-*) kill -TERM "$compositor" ;;
        NOSOUND-*) kill -KILL -- -"$sound_server" ;;
        NAMES-mutter) [ -z "${DISPLAY:-}" ] &&
            sed -n -E "s/.*xdg_toplevel[@#][0-9]+\.set_(title|app_id)\(\"(.*)\"\)$/\1 \2/p" stderr.txt |
            sed "s/^title /name /" > names.txt ;;&
        NAMES-kwin) [ -z "${DISPLAY:-}" ] && kwin_ask names "$(pgrep -P $pid)" > names.txt ;;&
        NAMES-*) [ -s names.txt ] || "$tests/x_desktop.py" names "$(pgrep -P $pid)" icon.ppm > names.txt ;;
        MAPS*)
          cat "/proc/$(pgrep -P $pid)/maps" > maps.txt
          awk '\''$1 == "VmHWM:" { print $2 / 1024 }'\'' "/proc/$(pgrep -P $pid)/status" > peak_mib ;;
        STREAMS-*) pactl list sink-inputs > streams.txt ;;
      esac
      # When the show says it lost its display: its process can take longer to go.
      case $event in
        NODISPLAY@* | ENDDISPLAY@* | FAULT@*) (
          said="^show: the display was lost"
          while kill -0 $pid 2>/dev/null && ! grep -q "$said" stderr.txt; do sleep 0.01; done
          grep -q "$said" stderr.txt && date +%s.%N > said_lost ) & ;;
      esac
    done < events.txt
    rm events.txt
    wait $pid
    rc=$?
    [ $rc = 137 ] && rc=124
    echo $rc > rc
    end=${EPOCHREALTIME/,/.}
    echo "$end - $start" | bc -l > seconds
    echo "$end" > exited_at
    [ -f action_sent ] && echo "$end - $(cat action_sent)" | bc -l > seconds_after_action
    wait
    for shot in shot-*.xwd shot-*.ppm; do
      [ -f "$shot" ] && convert "$shot" "${shot%.*}.png" && rm "$shot"
    done
    exit 0
  ' _ "$out/$name" "$show" "$(dirname "$(realpath "${BASH_SOURCE[0]}")")" "$@"
  steal_percent "$cpu_before" > "$out/$name/steal_percent"
}

# steal_percent "CPU LINE": the host's share of steal time since that first line of /proc/stat.
steal_percent() {
  local before after total=0
  read -r -a before <<<"$1"
  read -r -a after < <(head -1 /proc/stat)
  for i in 1 2 3 4 5 6 7 8; do total=$((total + after[i] - before[i])); done
  echo "100 * ($((after[8] - before[8]))) / ($total + 1)" | bc -l
}

# web_run NAME URL MOMENT...: opens the web show at URL in Debian's chromium (web_page.js), clicks
# its start button and keeps the canvas as "shot-MOMENT.png" that many seconds later. Leaves, as
# run does, "rc" (the status the page was given, "none" if none), "seconds" (from the click to the
# end), "steal_percent" and the browser's messages in "stderr.txt", and the page's last words in
# "message.txt" and its figures in "probe.txt" (web_page.js).
web_run() {
  local dir=$out/$1 before
  before=$(head -1 /proc/stat)
  node "$(dirname "${BASH_SOURCE[0]}")/web_page.js" run "$2" "$dir" "${@:3}" 2>"$dir/stderr.txt"
  steal_percent "$before" > "$dir/steal_percent"
  awk '$1 == "status" { print $2 }' "$dir/probe.txt" > "$dir/rc" 2>/dev/null || echo none > "$dir/rc"
  awk '$1 == "seconds" { print $2 }' "$dir/probe.txt" > "$dir/seconds" 2>/dev/null
  touch "$dir/callbacks.txt"  # the browser hands its sound over unseen
}

# in_wayland_session KIND COMMAND...: runs the command as a client of a fresh headless compositor
# (software rendering, no GPU), with no X server or with its Xwayland as $DISPLAY, and stops the
# compositor after it. KIND "wayland" or "xwayland": sway, with one 1024x768 output (with
# $compositor_preload, sway runs with that library preloaded). "mutter" or "mutter-xwayland": GNOME's
# mutter with a 1280x1024 monitor, and its screen cast and keyboard (mutter_desktop.py) to take
# shots and press keys. "kwin" or "kwin-xwayland": KDE's KWin with a 1280x1024 output (shots,
# names and close through kwin_desktop.py). The compositor runs as nobody, as it runs as its user;
# the command gets its pid as $compositor, and "sway", "mutter" or "kwin" as $desktop.
in_wayland_session() (
  local kind=$1 runtime status compositor="" display="" group="" desktop=sway
  shift
  runtime=$(mktemp -d)
  chown nobody: "$runtime" && chmod 700 "$runtime"
  case $kind in
    mutter*) start_mutter "$runtime" "$kind" ;;
    kwin*) start_kwin "$runtime" "$kind" ;;
    *) start_sway "$runtime" "$kind" ;;
  esac
  env -u DISPLAY ${display:+DISPLAY="$display"} XDG_RUNTIME_DIR="$runtime" compositor=$compositor \
    desktop=$desktop "$@"
  status=$?
  if [ -n "${desktop_helper:-}" ]; then
    exec {desktop_keep_open}>&-
    wait "$desktop_helper"
  fi
  kill "$compositor" 2>/dev/null
  for _ in $(seq 40); do kill -0 "$compositor" 2>/dev/null || break; sleep 0.05; done
  kill -KILL "$compositor" 2>/dev/null
  [ -n "$group" ] && kill -- -"$group" 2>/dev/null
  rm -rf "$runtime"
  return $status
)

as_compositor_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)

start_sway() { # RUNTIME KIND
  local runtime=$1 xwayland=disable
  [ "$2" = xwayland ] && xwayland=enable
  printf '%s\n' "output HEADLESS-1 mode 1024x768 position 0 0" "default_border none" \
    "xwayland $xwayland" > "$runtime/sway.conf"
  # Started outside this shell's jobs, so that a kill of it is no job report here.
  compositor=$(env -i PATH="$PATH" HOME="$runtime" XDG_RUNTIME_DIR="$runtime" WLR_BACKENDS=headless \
    WLR_RENDERER=pixman WLR_LIBINPUT_NO_DEVICES=1 ${compositor_preload:+LD_PRELOAD=$compositor_preload} \
    "${as_compositor_user[@]}" sway -c "$runtime/sway.conf" > "$runtime/sway.log" 2>&1 & echo $!)
  for _ in $(seq 100); do [ -S "$runtime/wayland-1" ] && break; sleep 0.05; done
  export WAYLAND_DISPLAY=wayland-1 SWAYSOCK
  SWAYSOCK=$(echo "$runtime"/sway-ipc.*.sock)
  if [ "$xwayland" = enable ]; then
    # Xwayland lets in sway's user only: it lets in this one too.
    XDG_RUNTIME_DIR=$runtime swaymsg exec \
      "xhost +si:localuser:root >/dev/null && echo \$DISPLAY > $runtime/display" >/dev/null
    for _ in $(seq 100); do [ -s "$runtime/display" ] && break; sleep 0.05; done
    display=$(cat "$runtime/display")
  fi
}

# mutter_closes PID: when PID still runs a second after its close keys and mutter has run no close
# binding for them, says so in close_not_sent. On a loaded host mutter 48 at times loses a remote
# desktop's keys before it handles them: its log then has no key event at all, and no window is
# asked to close.
mutter_closes() {
  local until=$(($(date +%s%N) + 1000000000))
  while ! grep -q "Running handler for close" "$XDG_RUNTIME_DIR/mutter.log" 2>/dev/null; do
    if [ "$(date +%s%N)" -gt $until ]; then
      kill -0 "$1" 2>/dev/null && echo "mutter ran no close binding within 1 s of the keys" > close_not_sent
      return
    fi
    sleep 0.01
  done
}
export -f mutter_closes

# mutter in a D-Bus session of its own with PipeWire (for its screen cast); mutter_desktop.py
# takes requests written to $desktop_requests and answers in $desktop_answers (desktop_ask).
start_mutter() { # RUNTIME KIND
  local runtime=$1 x11=--no-x11
  [ "$2" = mutter-xwayland ] && x11=
  desktop=mutter
  # mutter starts no Xwayland where another user made this folder (mutter run first, as nobody, on
  # a machine without systemd-tmpfiles): it is made as the system makes it.
  install -d -m 1777 /tmp/.X11-unix
  # Its log tells which key bindings it ran (mutter_closes).
  group=$(env -i PATH="$PATH" HOME="$runtime" XDG_RUNTIME_DIR="$runtime" MUTTER_DEBUG=keybindings \
    setsid "${as_compositor_user[@]}" dbus-run-session -- \
    sh -c 'echo "$DBUS_SESSION_BUS_ADDRESS" > "$0/bus"; pipewire & wireplumber &
      exec mutter --headless --wayland '"$x11"' --virtual-monitor 1280x1024' "$runtime" \
    > "$runtime/mutter.log" 2>&1 & echo $!)
  for _ in $(seq 100); do
    compositor=$(pgrep -x -P "$group" mutter)
    [ -n "$compositor" ] && [ -S "$runtime/wayland-0" ] && break
    sleep 0.05
  done
  export WAYLAND_DISPLAY=wayland-0 desktop_requests=$runtime/desktop.in
  export desktop_answers=$runtime/desktop.out
  # mutter tells no one a window's names: a native client's are read from what it sent (NAMES).
  [ -n "$x11" ] && export WAYLAND_DEBUG=1
  if [ -z "$x11" ]; then
    # mutter takes the X display's lock itself, also where it starts Xwayland only on demand.
    for _ in $(seq 100); do
      display=$(grep -l -x " *$compositor" /tmp/.X*-lock 2>/dev/null | sed -E 's/.*X([0-9]+)-lock/\1/' |
        sort -n | head -1)
      [ -n "$display" ] && ls "$runtime"/.mutter-Xwaylandauth.* >/dev/null 2>&1 && break
      sleep 0.05
    done
    display=:$display
    export XAUTHORITY
    XAUTHORITY=$(echo "$runtime"/.mutter-Xwaylandauth.*)
  fi
  # While a screen cast runs, mutter hangs at SIGTERM: runs that end it go without.
  [ -n "${no_screen_cast:-}" ] && return
  mkfifo "$desktop_requests"
  env -i PATH="$PATH" XDG_RUNTIME_DIR="$runtime" DBUS_SESSION_BUS_ADDRESS="$(cat "$runtime/bus")" \
    "${as_compositor_user[@]}" "$(dirname "${BASH_SOURCE[0]}")/mutter_desktop.py" \
    < "$desktop_requests" > "$desktop_answers" 2>> "$runtime/mutter.log" &
  desktop_helper=$!
  exec {desktop_keep_open}> "$desktop_requests"  # one request's end is not the end of them all
  for _ in $(seq 100); do grep -q ready "$desktop_answers" && break; sleep 0.05; done
  grep -q ready "$desktop_answers" || export no_shots="mutter's screen cast did not start within 5 s"
}

# KWin in a D-Bus session of its own, with the Breeze title bars of Plasma; kwin_ask runs
# kwin_desktop.py there.
start_kwin() { # RUNTIME KIND
  local runtime=$1 xwayland=() ready=()
  desktop=kwin kwin_desktop=$(dirname "$(realpath "${BASH_SOURCE[0]}")")/kwin_desktop.py
  # A copy, as a container may refuse the file capability that kwin_wayland carries.
  install -o nobody /usr/bin/kwin_wayland "$runtime/kwin_wayland"
  # KWin grants screenshots by the caller's executable, and python3 has a desktop entry of its own.
  install /usr/bin/python3 "$runtime/python3"
  mkdir -p "$runtime/share/applications"
  printf '%s\n' "[Desktop Entry]" Type=Application Name=Tests NoDisplay=true \
    "Exec=$runtime/python3 $kwin_desktop" \
    X-KDE-DBUS-Restricted-Interfaces=org.kde.KWin.ScreenShot2 > "$runtime/share/applications/tests.desktop"
  if [ "$2" = kwin-xwayland ]; then
    # Xwayland lets in KWin's user only: it lets in this one too.
    echo 'xhost +si:localuser:root >/dev/null && echo "$DISPLAY" > "$XDG_RUNTIME_DIR/display"' > "$runtime/ready.sh"
    xwayland=(--xwayland) ready=("sh $runtime/ready.sh")
  fi
  # KWin's Xwayland puts its socket there, where a desktop's boot has made it.
  mkdir -p -m 1777 /tmp/.X11-unix
  # Its scripts' messages (kwin_desktop.py names) go to its log.
  group=$(env -i PATH="$PATH" HOME="$runtime" XDG_RUNTIME_DIR="$runtime" XDG_DATA_HOME="$runtime/share" \
    QT_LOGGING_RULES=kwin_scripting.debug=true \
    setsid "${as_compositor_user[@]}" dbus-run-session -- sh -c 'echo "$DBUS_SESSION_BUS_ADDRESS" > "$0/bus"
      exec "$0/kwin_wayland" --virtual --width 1280 --height 1024 "$@"' "$runtime" "${xwayland[@]}" \
    "${ready[@]}" > "$runtime/kwin.log" 2>&1 & echo $!)
  for _ in $(seq 100); do
    # The oldest: as KWin starts a helper, a forked copy of it shares its command line a moment.
    compositor=$(pgrep -o -f -x "$runtime/kwin_wayland .*")
    [ -n "$compositor" ] && [ -S "$runtime/wayland-0" ] && { [ -z "${ready[*]}" ] || [ -s "$runtime/display" ]; } && break
    sleep 0.05
  done
  [ -n "${ready[*]}" ] && display=$(cat "$runtime/display")
  # A native window's answers to KWin's pings are read from its protocol log.
  [ -z "${ready[*]}" ] && export WAYLAND_DEBUG=1
  export WAYLAND_DISPLAY=wayland-0 kwin_bus kwin_desktop no_shots
  kwin_bus=$(cat "$runtime/bus")
  no_shots=$(XDG_RUNTIME_DIR=$runtime kwin_ask ready)
  # KWin 5.27 went down once on a shot of a native window (a fresh Debian 12 root: its D-Bus
  # session was gone by the next shot, and the show lost its display, with 4, at 13.3 s); X
  # clients are read from Xwayland.
  [ -z "${ready[*]}" ] && no_shots=${no_shots:-"KWin 5's screenshot of a native window can bring KWin down"}
}

kwin_ask() {
  env -i PATH="$PATH" XDG_RUNTIME_DIR="$XDG_RUNTIME_DIR" DBUS_SESSION_BUS_ADDRESS="$kwin_bus" \
    setpriv --reuid=nobody --regid=nogroup --clear-groups "$XDG_RUNTIME_DIR/python3" \
    "$kwin_desktop" "$@"
}
export -f kwin_ask

# desktop_ask REQUEST...: sends a request to mutter_desktop.py and prints its answer (none
# within 10 s: nothing).
desktop_ask() {
  local asked
  asked=$(wc -l < "$desktop_answers")
  # A fifo whose reader has gone would hold the writer for good.
  timeout 10 bash -c 'echo "$1" > "$2"' _ "$*" "$desktop_requests" || return
  for _ in $(seq 1000); do
    [ "$(wc -l < "$desktop_answers")" != "$asked" ] && tail -1 "$desktop_answers" && return
    sleep 0.01
  done
}
export -f desktop_ask

# A private PipeWire server, as a desktop runs it (with its PulseAudio service and WirePlumber),
# in a D-Bus session and a runtime folder of its own, playing to a null sink. With
# "no_session_manager", WirePlumber does not start: the server takes connections but links no
# stream, as a desktop's does when its session manager has failed.
start_sound_server() {
  local session_manager="wireplumber &"
  [ "${1:-}" = no_session_manager ] && session_manager=''
  XDG_RUNTIME_DIR=$(mktemp -d)
  export XDG_RUNTIME_DIR
  # WirePlumber keeps the default sink and stream volumes in XDG_STATE_HOME: the runs' own.
  # WirePlumber and pipewire-pulse give up if PipeWire is not listening yet.
  XDG_STATE_HOME=$XDG_RUNTIME_DIR/state setsid dbus-run-session -- sh -c 'pipewire &
    while [ ! -S "$XDG_RUNTIME_DIR/pipewire-0" ]; do sleep 0.05; done
    pipewire-pulse & '"$session_manager"' wait' >"$XDG_RUNTIME_DIR/server.log" 2>&1 &
  export sound_server=$!
  disown
  for _ in $(seq 100); do pactl info >/dev/null 2>&1 && break; sleep 0.1; done
  pactl load-module module-null-sink sink_name=show_sink >/dev/null
  [ -z "$session_manager" ] && return
  # The default sink can be set only once WirePlumber is up, which can take a moment longer.
  for _ in $(seq 100); do
    pactl set-default-sink show_sink 2>/dev/null && [ "$(pactl get-default-sink)" = show_sink ] &&
      return
    sleep 0.1
  done
  echo "the sound server's null sink did not become the default" >&2
  return 1
}

stop_sound_server() {
  kill -KILL -- -"$sound_server" 2>/dev/null
  while kill -0 "$sound_server" 2>/dev/null; do sleep 0.05; done
  rm -rf "$XDG_RUNTIME_DIR"
  unset XDG_RUNTIME_DIR sound_server
}

# record NAME COMMAND...: runs the command while recording what the null sink plays to
# "recorded.raw" in NAME's folder, with the arrival times beside it (audio_check record).
record() {
  local name=$1
  shift
  parec -d show_sink.monitor --format=s16le --rate=44100 --channels=2 --latency-msec=5 --raw \
    2>"$out/$name/recorder.txt" |
    "$audio_check" record "$out/$name/recorded.raw" &
  local recorder=$!
  # parec can take a while to start on a busy host: the show starts once sound comes in.
  for _ in $(seq 100); do [ -s "$out/$name/recorded.raw" ] && break; sleep 0.05; done
  "$@"
  sleep 0.3
  pkill -P $BASHPID -x parec
  wait $recorder
  "$audio_check" onsets "$out/$name/recorded.raw" > "$out/$name/onsets.txt"
}

# sync_figures NAME: from the probe's report and the recording of a show that played the click
# track (audio_check clicks), prints when the sound started against the first frame, when each
# picture change showed against its click, and when the show ended against the moment its
# position 640 000 was heard (reckoned from the last click heard if that one was not); and what
# the output and the host did meanwhile. The figures, in ms, also go to "sync.txt": lines
# "start", "changes" and "end", with what was heard, "heard_after_handed", the least and most
# time from handing a click over to hearing it (clicks 2 to 7), and "sound_behind", how much
# longer than the track the server took to play from the first click heard to the last (less than
# 0 when it took less: sound that the server or the recorder dropped).
sync_figures() {
  local dir=$out/$1
  awk -v steal="$(cat "$dir/steal_percent")" -v sync="$dir/sync.txt" '
    function shown(row) { return value["row" row "_shown_wall"] }
    FILENAME ~ /probe/ { value[$1] = $2; next }
    FILENAME ~ /onsets/ { if ($1) { click[$1] = $2; position[$1] = $3; if (!first) first = $1; last = $1 } next }
    {
      if (!first_callback) first_callback = $1; last_callback = $1
      for (k in position) if (!(k in handed) && position[k] < frames + $2) handed[k] = $1
      frames += $2
    }
    END {
      for (k = 1; k <= 7; k++) if (!(k in click)) missing = missing " " k
      started = "?"
      if (1 in click) {
        ms = (click[1] - shown(1)) * 1000
        started = sprintf("%+.1f", ms)
        printf "start %.1f\n", ms > sync
      }
      printf "changes" > sync
      for (row = 2; row <= 6; row++)
        if (row in click) {
          ms = (shown(row) - click[row]) * 1000
          changes = changes sprintf(" %+.1f", ms)
          printf " %.1f", ms > sync
        } else changes = changes " ?"
      end = (value["end_wall"] - click[last] - (640000 - position[last]) / 44100) * 1000
      printf "\nend %.1f\n", end > sync
      for (k in click) if (k > 1 && k in handed) {  # the first went out before the stream filled
        ms = (click[k] - handed[k]) * 1000
        if (low == "" || ms < low) low = ms
        if (high == "" || ms > high) high = ms
      }
      printf "heard_after_handed %.1f %.1f\n", low, high > sync
      printf "sound_behind %.1f\n", (click[last] - click[first] - (position[last] - position[first]) / 44100) * 1000 > sync
      printf "   sound started %s ms after the first frame; picture changes%s ms after their clicks; end %+.1f ms after position 640000 %s heard%s\n", \
        started, changes, end, (7 in click) ? "was" : "would have been", missing ? "; clicks" missing " not heard" : ""
      printf "   the sound took %.3f s from click %d to click %d (%.3f s in the track); the output took %.3f s of sound in %.3f s, with callbacks up to %.1f ms apart; clicks 2-7 heard %.1f to %.1f ms after they were handed over; picture frames p50 %.1f ms; steal %.1f %% of the CPU time\n", \
        click[last] - click[first], first, last, (position[last] - position[first]) / 44100, frames / 44100, \
        last_callback - first_callback, value["callback_gap_max_ms"], low, high, value["picture_p50_ms"], steal
    }' "$dir/probe.txt" "$dir/onsets.txt" "$dir/callbacks.txt"
}

# changes_within NAME MS: sync_figures measured at least 4 of the 5 picture changes, each within
# MS of its click as heard. A later change is not judged (status 77) where the host held the show:
# by the probe's flips, its passes between the click and the change waited for a CPU, 10 ms or
# more at a time (a busy host's passes wait up to about 12 ms), long enough to make up the
# difference. A show whose clock runs late keeps passing meanwhile, and still fails.
changes_within() {
  local dir=$out/$1
  awk -v limit="$2" '
    FILENAME ~ /probe/ { value[$1] = $2; next }
    FILENAME ~ /onsets/ { if ($1) click[$1] = $2; next }
    { flip[++flips] = $1; waited[flips] = $3 }
    # How long the passes that ended after FROM and by TO held the show, waiting for a CPU.
    function held(from, to,   i, wait, sum) {
      for (i = 2; i <= flips && flip[i] <= to + 1e-6; i++)
        if (flip[i] > from && (wait = waited[i] - waited[i - 1]) >= 10) sum += wait
      return sum
    }
    END {
      for (row = 2; row <= 6; row++) {
        if (!(row in click)) continue
        n++
        ms = (value["row" row "_shown_wall"] - click[row]) * 1000
        if (ms >= -limit && ms <= limit) continue
        hold = ms > limit ? held(click[row], value["row" row "_shown_wall"]) : 0
        if (ms > limit && flips) printf "   %+.1f ms, of which the host held the show %.1f ms\n", ms, hold
        if (ms - hold > limit) wide = 1
        else unjudged = 1
      }
      if (wide || n < 4) exit 1
      if (unjudged) { print "   not judged: the host held the show"; exit 77 }
    }' "$dir/probe.txt" "$dir/onsets.txt" $([ -f "$dir/flips.txt" ] && echo "$dir/flips.txt")
}

# server_lost_time NAME: sync_figures found the server playing the clicks more than 40 ms slower
# than the track (underruns on a host too busy to keep its sound going) or faster (sound that the
# server or the recorder dropped); prints the figure, as "98.6 ms slower".
server_lost_time() {
  local behind
  behind=$(awk '$1 == "sound_behind" { print $2 }' "$out/$1/sync.txt" 2>/dev/null)
  [ -n "$behind" ] && awk -v ms="$behind" 'BEGIN {
    if (ms > 40) printf "%.1f ms slower\n", ms
    else if (ms < -40) printf "%.1f ms faster\n", -ms
    else exit 1 }'
}

# picture_changes_check NAME: after sync_figures, each picture change shows with its click as heard.
# A server that lost time cannot judge that, and it says so instead.
picture_changes_check() {
  [ -f "$out/$1/sync.txt" ] || return 0
  local lost
  if lost=$(server_lost_time "$1"); then
    echo "   $1: not judged: the server played the clicks $lost than the track ($(
      awk '$1 == "changes" { $1 = ""; print "changes" $0 " ms" }' "$out/$1/sync.txt"))"
    return
  fi
  check "$1: every picture change within 40 ms of its click as heard ($(
    awk '$1 == "changes" { $1 = ""; print $0 " ms" }' "$out/$1/sync.txt"))" changes_within "$1" 40
}

# clicks_heard NAME: how many of the click track's clicks the recording holds in their places.
clicks_heard() { awk '$1 > 0 { heard[$1] = 1 } END { print length(heard) }' "$out/$1/onsets.txt"; }

# clicks_check NAME [AT LEAST [WHAT]]: the recording holds at least that many clicks (6 of 7) in
# their places. A server that lost time may have lost the last ones when the show ended on time:
# that is not judged; nor is it in the sanitizer build, which has no figures to tell, where one
# click shows the sound went out.
clicks_check() {
  local heard lost late
  heard=$(clicks_heard "$1")
  if [ "${SANITIZED:-0}" = 1 ]; then
    check "$1: the server played the show's sound ($heard of 7 clicks in their places; how many is not judged in the sanitizer build)" \
      [ "$heard" -ge 1 ]
    return
  fi
  if [ "$heard" -lt "${2:-6}" ] && lost=$(server_lost_time "$1"); then
    echo "   $1: not judged: ${3:-the server played the clicks in their places} ($heard of 7): it played them $lost than the track"
    return
  fi
  # The last clicks came late, and the show kept with them (ends_on_time judges that).
  if [ "$heard" -lt "${2:-6}" ] && late=$(late_clicks "$1") &&
    [ "$((heard + ${late%% *}))" -ge "${2:-6}" ]; then
    echo "   $1: not judged: ${3:-the server played the clicks in their places} ($heard of 7, and ${late#* }; $(recorder_pace "$1"))"
    return
  fi
  check "$1: ${3:-the server played the clicks in their places} ($heard of 7)" [ "$heard" -ge "${2:-6}" ]
}

status_is() { # NAME STATUS
  local rc
  rc=$(cat "$out/$1/rc")
  [ "$rc" = "$2" ] || { echo "   $1: exit status $rc, not $2"; return 1; }
}

between() { awk "BEGIN { exit !($1 <= $2 && $2 <= $3) }"; }

# ends_on_time NAME [RATE [WAIT]]: exits with 1 once the music has played 640 000 sample frames at
# its rate (14.5 s at 44 100 Hz), allowing for start-up and up to WAIT more seconds of it. A late
# end is not judged where a slow start (slow_start) or late sound (followed_late_sound) explains
# it, nor, within 5 s, in the sanitizer build, whose start beside other shows is slow.
ends_on_time() {
  local seconds end latest
  seconds=$(cat "$out/$1/seconds")
  end=$(echo "640000 / ${2:-44100}" | bc -l)
  printf "   %s: exit status %s after %.2f s, the end mark at %.2f s of music\n" "$1" \
    "$(cat "$out/$1/rc")" "$seconds" "$end"
  # Start-up and, in the sanitizer build, the leak check at exit take up to 1.5 s between them.
  latest=$(echo "$end + 2 + ${3:-0}" | bc -l)
  status_is "$1" 1 || return
  between "$(echo "$end - 0.2" | bc -l)" "$seconds" "$latest" && return
  between "$latest" "$seconds" 1e9 || return
  slow_start "$1" "$end" && return 77
  if [ "${SANITIZED:-0}" = 1 ] && [ ! -s "$out/$1/onsets.txt" ] && between 0 "$seconds" "$latest + 5"; then
    echo "   not judged: a late end in the sanitizer build"
    return 77
  fi
  followed_late_sound "$1" "${3:-0}"
}

# timed_from_launch NAME COMMAND...: the command, a check of a shot that was timed from the show's
# launch. In the sanitizer build, a failure where the show ended over 0.5 s late is not judged: its
# slow start may have put the shot into the stretch before.
timed_from_launch() {
  local status late
  "${@:2}"
  status=$?
  case $status in 0 | 77) return $status ;; esac
  late=$(ended_late "$1")
  [ "${SANITIZED:-0}" = 1 ] && between 0.5 "$late" 1e9 || return 1
  echo "   not judged in the sanitizer build: the show ended $late s late"
  return 77
}

# ended_late NAME: how much later than its shots allow for the show ended, in seconds.
ended_late() {
  printf %.2f "$(echo "$(cat "$out/$1/seconds") - 640000 / 44100 - $startup_allowance" | bc -l)"
}

# slow_start NAME END: a run with the probe whose show started late, but ended on time (END) after
# its music started (with no sound output, its first frame); prints the figures.
slow_start() {
  local started
  started=$(cat "$out/$1/music_start" 2>/dev/null || cat "$out/$1/first_frame" 2>/dev/null) || return
  awk -v started="$started" -v exited="$(cat "$out/$1/exited_at")" \
    -v seconds="$(cat "$out/$1/seconds")" -v end="$2" 'BEGIN {
      if (exited - started < end - 0.2 || exited - started > end + 1) exit 1
      printf "   not judged: it started %.2f s after its launch, and ended %.2f s after that\n", \
        started - exited + seconds, exited - started }'
}

# followed_late_sound NAME WAIT: a show recorded from a sound server (record) that ended late, but
# within 2 s (and WAIT) of its end mark as heard: 0.1 s of the track after the last click heard. The
# sound came late, and the show kept with it: not judged.
followed_late_sound() {
  [ -s "$out/$1/onsets.txt" ] || return 1
  awk -v exited="$(cat "$out/$1/exited_at")" -v seconds="$(cat "$out/$1/seconds")" -v wait="$2" \
    -v pace="$(recorder_pace "$1")" '
    { last = $2 }
    END {
      heard = last + (640000 - 635590) / 44100
      if (!last || exited < heard - 0.2 || exited > heard + 2 + wait) exit 1
      printf "   not judged: the end mark was heard %.2f s after the start (the last click at %.2f s; %s), and the show ended %.2f s after it\n", \
        heard - exited + seconds, last - exited + seconds, pace, exited - heard
      exit 77
    }' "$out/$1/onsets.txt"
}

# recorder_pace NAME: how much sound the server gave the recorder in how long.
recorder_pace() {
  awk 'NR == 1 { start = $1; first = $2 } END {
    printf "the server gave the recorder %.2f s of sound in %.2f s\n", ($2 - first) / 44100, $1 - start }' \
    "$out/$1/recorded.raw.times"
}

# late_clicks NAME: the sounds heard after the last click in its place, taken in order as the
# track's next clicks; prints how many, which, and how late they came, or fails if none came late.
late_clicks() {
  awk 'BEGIN { clicks = split("0 67120 123123 190000 256922 505907 635590", position) }
    $1 > 0 { anchor = $1; at = $2; click = $1; late = 0; next }
    anchor && click < clicks {
      click++
      seconds = $2 - at - (position[click] - position[anchor]) / 44100
      if (!late) { first = click; least = seconds }
      late++; most = seconds
      if (seconds < least) least = seconds
    }
    END { if (!late || least <= 0) exit 1
      printf "%d clicks %d-%d, %.2f to %.2f s late\n", late, first, click, least, most }' "$out/$1/onsets.txt"
}

# maps_no_software_opengl NAME: the show's memory map (MAPS) holds no OpenGL rasteriser built on
# LLVM, nor any Mesa driver.
maps_no_software_opengl() {
  local maps=$out/$1/maps.txt
  [ -s "$maps" ] || { echo "   $1: no memory map was taken"; return 1; }
  ! grep -E "libLLVM|_dri\.so|libgallium" "$maps" | awk '{ print "   " $6 }' | sort -u | grep .
}

# maps_wayland_client NAME: the show's memory map (MAPS) holds libwayland-client: it spoke Wayland
# itself. Prints what presented its frames and the show's size then.
maps_wayland_client() {
  local maps=$out/$1/maps.txt
  echo "   $1: peak memory $(cat "$out/$1/peak_mib") MiB, presented with $(grep -E -o "libEGL_mesa|libvulkan_lvp|libLLVM[^ ]*|swrast_dri|libgallium" \
    "$maps" | sort -u | tr '\n' ' ')"
  grep -q libwayland-client "$maps"
}

# named NAME CLASS: the window (NAMES) is titled "Brimvale Show" and has CLASS as its app id (a
# native Wayland window) or X11 window class; an X11 one carries the installed icon, pixel for
# pixel.
named() {
  local names=$out/$1/names.txt icon
  icon=$(dirname "$(realpath "${BASH_SOURCE[0]}")")/../desktop/org.brimvale.show.png
  sed 's/^/   /' "$names"
  if grep -q "^app_id " "$names"; then
    grep -qx "name Brimvale Show" "$names" && grep -qx "app_id $2" "$names"
  else
    grep -qx "WM_NAME Brimvale Show" "$names" && grep -qx "_NET_WM_NAME Brimvale Show" "$names" &&
      awk -v class="$2" '$1 == "WM_CLASS" { found = $3 == class } END { exit !found }' "$names" &&
      [ "$(compare -metric AE "$out/$1/icon.ppm" "$icon" null: 2>&1 | cut -d' ' -f1)" = 0 ]
  fi
}

# own_stderr NAME: what the run wrote to stderr before any report of the sanitizers at exit (which
# begins with an empty line or a rule).
own_stderr() { sed -E '/^(|=+|-+)$/,$d' "$out/$1/stderr.txt"; }

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

# The sample pictures' mean colours, worked out once.
declare -gA sample_colour

# shows_picture SHOT FILE: the screenshot is nearer in colour to FILE (one of the sample
# pictures) than to any other, and close to it.
shows_picture() {
  local shot nearest="" best=1000000 distance
  shot=$(mean_colour "$1")
  for picture in "$media"/*.png; do
    [ -n "${sample_colour[$picture]:-}" ] || sample_colour[$picture]=$(mean_colour "$picture")
    distance=$(echo "$shot ${sample_colour[$picture]}" |
      awk '{ print ($1-$4)^2 + ($2-$5)^2 + ($3-$6)^2 }')
    if awk "BEGIN { exit !($distance < $best) }"; then
      best=$distance nearest=$(basename "$picture")
    fi
  done
  echo "   $(basename "$1"): mean colour $shot, nearest \"$nearest\" (squared distance $best)"
  [ "$nearest" = "$2" ] && awk "BEGIN { exit !($best < 100) }"
}

# shows_dot_circles SHOT: green dots on black. Every frame of the effect lights 1 615 to 4 253
# pixels, more than 50 in each quarter; the check asks for 1 000 to 50 000, at least 20 in each
# quarter, and red and blue at most 8 everywhere, so a black frame or a picture fails.
shows_dot_circles() {
  local red_blue quarters
  red_blue=$(convert "$1" -format "%[fx:int(255*maxima.r)] %[fx:int(255*maxima.b)]" info:)
  quarters=$(convert "$1" -crop 2x2@ +repage -channel G -separate -threshold 0 \
    -format "%[fx:round(mean*w*h)] " info:)
  echo "   $(basename "$1"): green pixels in each quarter $quarters; most red and blue $red_blue"
  echo "$red_blue $quarters" | awk '{ lit = $3 + $4 + $5 + $6
    exit !($1 <= 8 && $2 <= 8 && lit >= 1000 && lit <= 50000 && $3 >= 20 && $4 >= 20 && $5 >= 20 && $6 >= 20) }'
}

# A moment in each stretch of the show: four pictures, the dot circles, the last picture.
stretch_moments=(0.8 2.1 3.5 5.0 8.5 13.0)
startup_allowance=0.5

# What belongs in each stretch: a picture, or "dots" for the dot circles.
stretch_shows=(step1.png "this is coffee.png" the_machine.png q_portal.png dots all_done.png)

shows_stretch() { # SHOT STRETCH
  if [ "${stretch_shows[$2]}" = dots ]; then shows_dot_circles "$1"; else shows_picture "$1" "${stretch_shows[$2]}"; fi
}

# How long each stretch's picture is installed, in ms of music (the timeline's windows): a show
# whose passes come further apart than that may miss it.
stretch_window_ms=(1522 45 68 71 5646 68)

# row_shown_wall DIR ROW: when the show first presented timeline row ROW (1 to 6, one a stretch), by
# the probe's figures in run folder DIR; nothing if it never did.
row_shown_wall() { awk -v row="row$2_shown_wall" '$1 == row && $2 > 0 { print $2 }' "$1/probe.txt"; }

# shows_every_stretch NAME: the screenshots taken at stretch_moments show what belongs there.
# With the probe's figures, a shot that shows the stretch before is not judged (status 77) when
# the screen lagged (the show had presented the new one 0.2 s or more before the shot was asked
# for), the sound server played late (sync_figures found it playing the clicks slower than the
# track; the show presented the new one after the shot was asked for, as its sound came) or the
# host starved the show (it never presented the new one, and its passes came
# further apart than that stretch's window); so is one that shows the stretch after, when the
# show presented that after the shot was asked for (the shot came late). Without them, one that
# shows the stretch before is not judged when the show ended late enough to have started its
# music after the shots assumed. Each says its figure.
shows_every_stretch() {
  local dir=$out/$1 i shot shown asked ahead late ended_late gap lag lost unjudged=""
  gap=$(awk '$1 == "largest_reading_gap_ms" { print $2 }' "$dir/probe.txt" 2>/dev/null)
  for i in "${!stretch_moments[@]}"; do
    shot=$dir/shot-${stretch_moments[$i]}.png
    shows_stretch "$shot" "$i" && continue
    if [ -z "$gap" ]; then
      # Without the probe the shots are timed from launch: a show whose music started late (as its
      # end tells) may still show the stretch before.
      ended_late=$(ended_late "$1")
      [ "$i" -gt 0 ] && between 0 "$ended_late" 1e9 && shows_stretch "$shot" $((i - 1)) || return 1
      unjudged+=" $(basename "$shot") (the stretch before: the show ended $ended_late s later than its shots allow for)"
      continue
    fi
    asked=$(awk -v at="${stretch_moments[$i]}" '$1 == at { print $2 }' "$dir/shot_times.txt")
    if [ $((i + 1)) -lt ${#stretch_moments[@]} ] && shows_stretch "$shot" $((i + 1)); then
      shown=$(row_shown_wall "$dir" $((i + 2)))
      [ -n "$shown" ] || return 1
      late=$(printf %.2f "$(echo "$shown - $asked" | bc -l)")
      echo "   the show presented the stretch after $late s after the shot was asked for"
      between 0 "$late" 1000 || return 1
      unjudged+=" $(basename "$shot") (the stretch after, presented after the shot was asked for)"
      continue
    fi
    [ "$i" -gt 0 ] || return 1
    shown=$(row_shown_wall "$dir" $((i + 1)))
    if [ -z "$shown" ]; then
      starved "$dir" "$i" "$shot" || return 1
      unjudged+=" $(basename "$shot") (the stretch before; its own never presented: passes up to $gap ms apart, the window ${stretch_window_ms[$i]} ms)"
    else
      ahead=$(printf %.2f "$(echo "$asked - $shown" | bc -l)")
      echo "   the show presented it $ahead s before the shot was asked for"
      if between 0.2 "$ahead" 1000; then lag="the screen lagged $ahead s"
      elif lost=$(server_lost_time "$1") && [[ $lost == *slower ]]; then
        lag="presented after the shot, as the sound came: the server played the clicks $lost than the track"
      else return 1; fi
      shows_stretch "$shot" $((i - 1)) || return 1
      unjudged+=" $(basename "$shot") (the stretch before; $lag)"
    fi
  done
  [ -z "$unjudged" ] && return
  echo "   not judged:$unjudged"
  return 77
}

# starved DIR STRETCH SHOT: by the probe's figures in run folder DIR, the show never presented
# STRETCH, its passes came further apart than that stretch's window, and SHOT shows the stretch
# before: the host starved the show past it.
starved() {
  local gap
  gap=$(awk '$1 == "largest_reading_gap_ms" { print $2 }' "$1/probe.txt" 2>/dev/null)
  [ -n "$gap" ] && [ -z "$(row_shown_wall "$1" $(($2 + 1)))" ] || return 1
  echo "   the show never presented it; its passes came up to $gap ms apart"
  between "${stretch_window_ms[$2]}" "$gap" 1e9 && shows_stretch "$3" $(($2 - 1))
}

# black_unless_starved NAME SHOT: SHOT, taken in the stretch of the missing "q_portal.png", is
# black; one that shows the stretch before is not judged where the host starved the show past it.
black_unless_starved() {
  is_black "$2" && return
  starved "$out/$1" 3 "$2" || return 1
  echo "   not judged: the show never passed through the missing picture's stretch"
  return 77
}

is_black() { # SHOT
  local colour
  colour=$(mean_colour "$1")
  echo "   $(basename "$1"): mean colour $colour"
  echo "$colour" | awk '{ exit !($1 + $2 + $3 == 0) }'
}
