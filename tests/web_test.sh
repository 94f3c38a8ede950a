#!/usr/bin/env bash
# End to end in a real browser: the web show (scripts/web.sh's build) served on 127.0.0.1 and
# played in Debian's chromium, driven by puppeteer-core (web_page.js): on a private PipeWire
# server, its pictures and the end against the click track as heard; the effect's frames against
# the native build's; a missing picture, with no sound server; a missing track.
# usage: web_test.sh SITE AUDIO_CHECK FRAME_HASH MEDIA_DIR OUTPUT_DIR
set -u
site=$(realpath "$1") audio_check=$(realpath "$2") frame_hash=$(realpath "$3") media=$(realpath "$4")
out=$(realpath -m "$5")
tests=$(dirname "$(realpath "$0")")
source "$tests/e2e_lib.sh"
if [ ! -d "$tests/node_modules/puppeteer-core" ]; then
  echo "skipped: puppeteer-core is not installed (cd tests && npm ci)"
  exit 77
fi
rm -rf "$out"
mkdir -p "$out"

# Each case is a copy of the site in a folder of its own, all served from out.
prepare_site() { # NAME
  prepare "$1"
  cp "$site"/*.js "$site"/*.wasm "$site"/*.html "$site"/icon.png "$out/$1/"
}
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
python3 -m http.server "$port" --bind 127.0.0.1 --directory "$out" >"$out/server.log" 2>&1 &
server=$!
trap 'kill $server 2>/dev/null' EXIT
url=http://127.0.0.1:$port
for _ in $(seq 50); do python3 -c "import urllib.request; urllib.request.urlopen('$url/')" 2>/dev/null && break; sleep 0.1; done

echo "== the web show on a private PipeWire server, with the click track"
prepare_site web
"$audio_check" clicks "$out/web/brimvale.mp3"
check "the page is served on 127.0.0.1" python3 -c "import urllib.request; urllib.request.urlopen('$url/web/')"
check "web: a private sound server plays to its null sink" start_sound_server
record web web_run web "$url/web/" "${stretch_moments[@]}"
stop_sound_server
check "web: exits with status 1 on time" ends_on_time web
check "web: each picture, and the dot circles on black, in its stretch" shows_every_stretch web
check "web: the page says so: $(cat "$out/web/message.txt")" grep -q "The show has ended." "$out/web/message.txt"
sync_figures web
clicks_check web
picture_changes_check web

echo "== the effect's frames, against the native build's"
counters=(100 101 613 1122)
"$frame_hash" "${counters[@]}" > "$out/native_hashes.txt"
prepare_site hashes
node "$tests/web_page.js" hash "$url/hashes/" "${counters[@]}" > "$out/web_hashes.txt" 2>/dev/null
check "frames ${counters[*]}: the canvas holds what the native build draws" \
  diff "$out/native_hashes.txt" "$out/web_hashes.txt"

echo "== no q_portal.png, and no sound server; then the page's \"Play it again\""
prepare_site web_no_picture
rm "$out/web_no_picture/q_portal.png"
web_run web_no_picture "$url/web_no_picture/" 5.0 again
check "5.0 s: black" is_black "$out/web_no_picture/shot-5.0.png"
check "still exits with status 1 on time" ends_on_time web_no_picture
check "played again, it starts afresh" shows_picture "$out/web_no_picture/shot-again.png" step1.png

echo "== no music file"
prepare_site web_no_music
rm "$out/web_no_music/brimvale.mp3"
web_run web_no_music "$url/web_no_music/"
check "exits with status 2" status_is web_no_music 2
check "the page says why in one line: $(cat "$out/web_no_music/message.txt")" grep -qx \
  'show: cannot open "brimvale.mp3": No such file or directory' "$out/web_no_music/message.txt"

finish "web"
