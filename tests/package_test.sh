#!/usr/bin/env bash
# The Debian package that scripts/package.sh made, and the installed tree: the package's contents,
# dependencies and lintian's verdict, the desktop entry and metainfo, and the show and the capture
# started by their installed launchers from another folder.
# usage: package_test.sh BUILD_DIR OUTPUT_DIR
set -u
build=$(realpath "$1") out=$(realpath -m "$2")
source "$(dirname "$0")/e2e_lib.sh"
rm -rf "$out"
mkdir -p "$out/root" "$out/elsewhere"
deb=$(ls "$build"/brimvale-show_*.deb 2>/dev/null | head -1)
check "scripts/package.sh made $(basename "${deb:-no package}")" [ -f "$deb" ] || { finish package; exit; }

dpkg-deb -x "$deb" "$out/root"
(cd "$out/root" && find . -type f -o -type l | sed 's|^\.||' | sort) > "$out/contents.txt"
expected=(/usr/bin/brimvale-show /usr/bin/brimvale-show-capture /usr/libexec/brimvale-show/show
  /usr/libexec/brimvale-show/show-capture /usr/share/brimvale-show/brimvale.mp3
  /usr/share/brimvale-show/step1.png "/usr/share/brimvale-show/this is coffee.png"
  /usr/share/brimvale-show/the_machine.png /usr/share/brimvale-show/q_portal.png
  /usr/share/brimvale-show/all_done.png /usr/share/applications/org.brimvale.show.desktop
  /usr/share/icons/hicolor/256x256/apps/org.brimvale.show.png
  /usr/share/metainfo/org.brimvale.show.metainfo.xml /usr/share/man/man1/brimvale-show.1.gz
  /usr/share/man/man1/brimvale-show-capture.1.gz /usr/share/doc/brimvale-show/copyright
  /usr/share/doc/brimvale-show/changelog.gz)
missing=$(printf '%s\n' "${expected[@]}" | sort | comm -23 - "$out/contents.txt")
check "it holds the commands, programs, media, desktop entry, icon, metainfo and manual pages${missing:+; missing: $missing}" \
  [ -z "$missing" ]
check "the desktop entry is valid" desktop-file-validate "$out/root/usr/share/applications/org.brimvale.show.desktop"
check "the metainfo is valid" appstreamcli validate --no-net --pedantic \
  "$out/root/usr/share/metainfo/org.brimvale.show.metainfo.xml"
check "the desktop entry names the window class the show sets" grep -qx \
  "StartupWMClass=org.brimvale.show" "$out/root/usr/share/applications/org.brimvale.show.desktop"
check "MIT-licensed: the copyright file (Expat) and the metainfo" eval 'grep -qx "License: Expat" \
  "$out/root/usr/share/doc/brimvale-show/copyright" && grep -q "<project_license>MIT</project_license>" \
  "$out/root/usr/share/metainfo/org.brimvale.show.metainfo.xml"'
check "the manual pages give the exit statuses" \
  sh -c 'for page in "$@"; do zcat "$page" | grep -q "^\.SH EXIT STATUS" || exit 1; done' _ \
  "$out"/root/usr/share/man/man1/*.1.gz
depends=$(dpkg-deb -f "$deb" Depends)
echo "   Depends: $depends"
echo "   Recommends: $(dpkg-deb -f "$deb" Recommends)"
check "its dependencies come from the linked libraries" \
  sh -c 'echo "$1" | grep -q libc6 && echo "$1" | grep -q libsdl1.2 && echo "$1" | grep -q libpulse0' _ "$depends"
check "FFmpeg is recommended, for the capture, and libdecor's cairo plugin, for the title bar" \
  [ "$(dpkg-deb -f "$deb" Recommends)" = "ffmpeg, libdecor-0-plugin-1-cairo" ]
lintian --tag-display-limit 0 "$deb" > "$out/lintian.txt" 2>&1
sed 's/^/   lintian: /' "$out/lintian.txt"
check "lintian finds no error" bash -c '! grep -q "^E:" "$1"' _ "$out/lintian.txt"

# Installed under a temporary prefix, started from another folder.
cmake --install "$build" --prefix "$out/prefix" > /dev/null
(cd "$out/elsewhere" && start=$(date +%s.%N) && SDL_AUDIODRIVER=dummy timeout -s KILL 60 \
  xvfb-run -a -s "-screen 0 1024x768x24" "$out/prefix/bin/brimvale-show" 2> stderr.txt
  echo $? > rc && echo "$(date +%s.%N) - $start" | bc -l > seconds)
echo "   the installed show: exit status $(cat "$out/elsewhere/rc") after $(cat "$out/elsewhere/seconds") s"
check "the installed launcher plays the show to its end from another folder" \
  eval 'status_is elsewhere 1 && between 14.3 "$(cat "$out/elsewhere/seconds")" 17' 
(cd "$out/elsewhere" && "$out/prefix/bin/brimvale-show-capture" clip.mp4 --fps 5 2> capture.txt)
check "the installed capture writes its video into the caller's folder (status $?)" \
  [ -s "$out/elsewhere/clip.mp4" ]
finish package
