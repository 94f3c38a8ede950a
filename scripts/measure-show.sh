#!/usr/bin/env bash
# Runs the real show on the sample media under Xvfb, watched from outside by the probe library
# (build/tests/libshow_probe.so, loaded with LD_PRELOAD), and prints its figures run by run
# against the targets.
# usage: scripts/measure-show.sh [RUNS] [--busy] [--silent] [--server OUTPUT [--latency MS]]
#                               [--session wayland|xwayland|mutter|mutter-xwayland|kwin|kwin-xwayland]
#        scripts/measure-show.sh --capture
#        scripts/measure-show.sh --web [RUNS]
#   --busy     another process keeps a core busy meanwhile
#   --silent   the show finds no sound output and keeps time silently (else SDL's dummy driver)
#   --server   plays on a private PipeWire server a track of clicks where the pictures change, and
#              records the server's null sink: prints when the sound started against the first
#              frame, and each picture change and the end against its click. OUTPUT "default"
#              is the show's own choice (the server, through libpulse); "pulseaudio" and
#              "pipewire" are SDL's outputs, the fallback
#   --latency  the show's stream asks the server for MS of latency (PULSE_LATENCY_MSEC)
#   --session  runs the show in a headless sway (wayland, xwayland), mutter or KWin instead of
#              Xvfb: as a native Wayland client with no X server, or as an X client of the
#              compositor's Xwayland
#   --capture  times show-capture instead, at 30 and 60 fps into each kind of file, and prints
#              its speed as a multiple of real time (target: 2 or more lossless at 60 fps) and
#              the file's size
#   --web      plays the web show (build-web/, from scripts/web.sh --build-only) in Debian's chromium
#              on a private PipeWire server, with the click track, recording its null sink, and
#              prints its download, the time from the click to the first frame, pass times in each
#              stretch, frames missed in the effect, the JS heap, and each picture change and the
#              end against its click as heard, against their targets
set -uo pipefail
cd "$(dirname "$0")/.."
if [ "${1:-}" = --capture ]; then
  capture=$(realpath "${BUILD:-build}/show-capture") folder=$(mktemp -d)
  cd media
  for fps in 60 30; do
    for file in show.mkv show.ffv1.mkv show.mp4; do
      start=$(date +%s.%N)
      "$capture" "$folder/$file" --fps "$fps" 2>/dev/null || echo "show-capture failed"
      seconds=$(echo "$(date +%s.%N) - $start" | bc -l)
      printf "%d fps, %-13s %5.1f s, %.1fx real time, %6.1f MiB\n" "$fps" "$file:" "$seconds" \
        "$(echo "640000 / 44100 / $seconds" | bc -l)" "$(echo "$(stat -c %s "$folder/$file") / 1048576" | bc -l)"
      rm -f "$folder/$file"
    done
  done
  rmdir "$folder"
  exit 0
fi
if [ "${1:-}" = --web ]; then
  runs=${2:-1} out=$(mktemp -d) media=$(realpath media) audio_check=$(realpath "${BUILD:-build}/tests/audio_check")
  source tests/e2e_lib.sh
  port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
  python3 -m http.server "$port" --bind 127.0.0.1 --directory "$out" >/dev/null 2>&1 &
  server=$!
  trap 'kill $server; rm -rf "$out"' EXIT
  download=$(cat build-web/show.js build-web/show.wasm build-web/page.js build-web/index.html | gzip -9 | wc -c)
  printf "download besides the media (show.js, show.wasm, page.js, index.html, gzipped): %.1f KiB (target 100): %s\n" \
    "$(echo "$download / 1024" | bc -l)" "$([ "$download" -le 102400 ] && echo met || echo MISSED)"
  for run in $(seq "$runs"); do
    name=web-$run
    prepare "$name"
    cp build-web/show.js build-web/show.wasm build-web/*.html build-web/page.js build-web/icon.png "$out/$name/"
    "$audio_check" clicks "$out/$name/brimvale.mp3"
    start_sound_server
    record "$name" web_run "$name" "http://127.0.0.1:$port/$name/"
    stop_sound_server
    if [ ! -s "$out/$name/probe.txt" ]; then
      echo "run $run: the page left no report: $(tail -1 "$out/$name/stderr.txt")"
      exit 1
    fi
    get() { awk -v key="$1" '$1 == key { print $2 }' "$out/$name/probe.txt"; }
    printf "run %d: status %s after %s s; first frame %s ms after the click; picture passes p50 %s p99 %s max %s ms;" \
      "$run" "$(get status)" "$(get seconds)" "$(get first_frame_ms)" "$(get picture_p50_ms)" "$(get picture_p99_ms)" "$(get picture_max_ms)"
    printf " effect passes p50 %s p99 %s max %s ms, %s frames missed of %s; JS heap %s KiB\n" "$(get effect_p50_ms)" \
      "$(get effect_p99_ms)" "$(get effect_max_ms)" "$(get effect_frames_missed)" \
      "$(($(get effect_passes) + $(get effect_frames_missed)))" "$(get js_heap_kib)"
    sync_figures "$name"
    cat "$out/$name/probe.txt" "$out/$name/sync.txt" >> "$out/all.txt"
  done
  echo "over $runs run(s):"
  awk '$1 == "first_frame_ms" && $2 > first { first = $2 }
    $1 ~ /_max_ms$/ && $2 > longest { longest = $2 }
    $1 == "effect_frames_missed" { missed += $2 }
    $1 == "changes" { for (i = 2; i <= NF; i++) { if (!n++ || $i < low) low = $i; if ($i > high) high = $i } }
    END {
      printf "  worst first frame after the click %.1f ms (target 100): %s\n", first, (first <= 100 ? "met" : "MISSED")
      printf "  longest pass %.1f ms (target 8): %s; effect frames missed %d\n", longest, (longest <= 8 ? "met" : "MISSED"), missed
      printf "  picture changes %+.1f to %+.1f ms after their clicks (target -20 to +30): %s\n", low, high, (low >= -20 && high <= 30 ? "met" : "MISSED")
    }' "$out/all.txt"
  exit 0
fi
runs=1 busy="" server="" driver=dummy
while [ $# -gt 0 ]; do
  case $1 in
    --busy) busy=1 ;;
    --server) server=$2 && shift ;;
    --silent) driver=no-such-driver ;;
    --latency) export show_env=PULSE_LATENCY_MSEC=$2 && shift ;;
    --session) export session=$2 && shift ;;
    *) runs=$1 ;;
  esac
  shift
done
build=${BUILD:-build}
probe_library=$(realpath "$build/tests/libshow_probe.so")
show=$(realpath "$build/show") audio_check=$(realpath "$build/tests/audio_check")
media=$(realpath media) out=$(mktemp -d)
source tests/e2e_lib.sh
trap 'rm -rf "$out"; [ -n "${spinner:-}" ] && kill $spinner 2>/dev/null; true' EXIT
if [ -n "$busy" ]; then
  sh -c 'while :; do :; done' &
  spinner=$!
  echo "(another process keeps a core busy)"
fi

all_hit=0 worst_picture=0 worst_effect=0 worst_first=0 worst_end=0 worst_growth=0 worst_peak=0
for run in $(seq "$runs"); do
  name=run-$run
  prepare "$name"
  if [ -n "$server" ]; then
    "$audio_check" clicks "$out/$name/brimvale.mp3"
    start_sound_server
    audio_driver=$server probe=$probe_library record "$name" run "$name"
    stop_sound_server
  else
    audio_driver=$driver probe=$probe_library run "$name" MAPS@7.0
  fi
  report=$out/$name/probe.txt
  if [ ! -s "$report" ]; then
    echo "run $run: the show left no report"
    exit 1
  fi
  get() { awk -v key="$1" '$1 == key { print $2 }' "$report"; }
  hits=0
  for row in 1 2 3 4 5 6; do [ "$(get row${row}_hits)" -gt 0 ] && hits=$((hits + 1)); done
  [ "$hits" = 6 ] && all_hit=$((all_hit + 1))
  end_offset=$(echo "$(get music_to_end_ms) - 639999000 / 44100" | bc -l)
  growth=$(echo "$(get rss_growth_kib) / 1024" | bc -l)
  printf "run %d: status %s; first frame %s ms; picture frames p50 %s p99 %s max %s ms;" \
    "$run" "$(get status)" "$(get first_frame_ms)" "$(get picture_p50_ms)" \
    "$(get picture_p99_ms)" "$(get picture_max_ms)"
  printf " effect frames p50 %s p99 %s max %s ms; largest clock step %s ms (%.0f frames);" \
    "$(get effect_p50_ms)" "$(get effect_p99_ms)" "$(get effect_max_ms)" \
    "$(get largest_reading_gap_ms)" "$(echo "$(get largest_reading_gap_ms) * 44.1" | bc -l)"
  printf " windows hit %d of 6; end %s ms after the music started (%+.1f ms); peak memory" \
    "$hits" "$(get music_to_end_ms)" "$end_offset"
  printf " %.1f MiB, growth after 1 s %.2f MiB; software rasteriser %s\n" \
    "$(echo "$(get peak_rss_kib) / 1024" | bc -l)" "$growth" "$(grep -q -E "libLLVM|_dri\.so|libgallium" \
      "$out/$name/maps.txt" 2>/dev/null && echo mapped || echo "not mapped")"
  if [ -n "$server" ]; then
    sync_figures "$name"
    # On the server the end counts from the moment position 640 000 was heard.
    end_offset=$(awk '$1 == "end" { print $2 }' "$out/$name/sync.txt")
    cat "$out/$name/sync.txt" >>"$out/sync-all.txt"
  fi
  max() { echo "if ($1 > $2) $1 else $2" | bc -l; }
  abs() { echo "if ($1 < 0) -($1) else $1" | bc -l; }
  worst_picture=$(max "$worst_picture" "$(get picture_p99_ms)")
  worst_effect=$(max "$worst_effect" "$(get effect_p99_ms)")
  worst_first=$(max "$worst_first" "$(get first_frame_ms)")
  worst_end=$(max "$worst_end" "$(abs "$end_offset")")
  worst_growth=$(max "$worst_growth" "$growth")
  worst_peak=$(max "$worst_peak" "$(echo "$(get peak_rss_kib) / 1024" | bc -l)")
done

verdict() { [ "$(echo "$1" | bc -l)" = 1 ] && echo "met" || echo "MISSED"; }
echo "over $runs run(s):"
echo "  every window hit in $all_hit of $runs: $(verdict "$all_hit == $runs")"
echo "  worst picture-frame p99 ${worst_picture} ms (target 20): $(verdict "$worst_picture <= 20")"
echo "  worst effect-frame p99 ${worst_effect} ms (target 12): $(verdict "$worst_effect <= 12")"
echo "  worst first frame ${worst_first} ms (target 100): $(verdict "$worst_first <= 100")"
printf "  worst end offset %.1f ms (target 30): %s\n" "$worst_end" "$(verdict "$worst_end <= 30")"
printf "  worst memory growth %.2f MiB (target 1): %s\n" "$worst_growth" \
  "$(verdict "$worst_growth <= 1")"
printf "  worst peak memory %.1f MiB (target 40): %s\n" "$worst_peak" "$(verdict "$worst_peak <= 40")"
if [ -n "$server" ]; then
  awk '$1 == "start" { s = $2 < 0 ? -$2 : $2; if (s > start) start = s }
    $1 == "changes" { for (i = 2; i <= NF; i++) { if (!n++ || $i < low) low = $i; if ($i > high) high = $i } }
    END {
      printf "  sound start within %.1f ms of the first frame (target 50): %s\n", start, (start <= 50 ? "met" : "MISSED")
      printf "  picture changes %+.1f to %+.1f ms after their clicks (target -20 to +30): %s\n", low, high, (low >= -20 && high <= 30 ? "met" : "MISSED")
    }' "$out/sync-all.txt"
fi
