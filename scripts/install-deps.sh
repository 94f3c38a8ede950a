#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing; with "virtual-display" also
# Xvfb, with "package" what makes the .deb, with "web" what builds and serves the web show, with
# "test" also what the tests need. Runs apt-get as root, or through sudo.
set -euo pipefail
packages=(cmake make g++ pkg-config libsdl1.2-compat-dev libsdl-image1.2-dev libsndfile1-dev
  libsamplerate0-dev libpulse-dev ffmpeg)
web=(cmake make emscripten python3)
case ${1:-} in
  web) packages=("${web[@]}") ;;
  virtual-display) packages+=(xvfb xauth) ;;
  package) packages+=(dpkg-dev file) ;;
  test)
    packages+=(libgtest-dev libbenchmark-dev xvfb xauth x11-apps imagemagick bc procps python3-xlib
      pipewire pipewire-pulse wireplumber dbus-daemon pulseaudio-utils sway grim xwayland
      x11-xserver-utils util-linux dpkg-dev file lintian desktop-file-utils appstream "${web[@]}"
      chromium)
    # npm drives the browser; a node from elsewhere may bring its own.
    command -v npm >/dev/null || packages+=(npm)
    ;;
esac
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
echo "installing: ${missing[*]}"
"${as_root[@]}" apt-get install -y -q "${missing[@]}" ||
  { "${as_root[@]}" apt-get update -q && "${as_root[@]}" apt-get install -y -q "${missing[@]}"; }
