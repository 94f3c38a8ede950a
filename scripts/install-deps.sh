#!/usr/bin/env bash
# Installs the Debian packages the build needs when they are missing; with "virtual-display" also
# Xvfb, with "package" what makes the .deb, with "web" what builds and serves the web show, with
# "test" also what the tests need. Runs apt-get as root, or through sudo.
set -euo pipefail
packages=(cmake make g++ pkg-config libsdl1.2-compat-dev libsdl-image1.2-dev libsndfile1-dev
  libsamplerate0-dev libpulse-dev ffmpeg libdecor-0-plugin-1-cairo)
# Installed without what they recommend (desktop extras, and npm's own test tools): the web build,
# the browser that its tests drive, and GNOME's and KDE's compositors.
lean=()
case ${1:-} in
  web) packages=(cmake make python3) lean=(emscripten) ;;
  virtual-display) packages+=(xvfb xauth) ;;
  package) packages+=(dpkg-dev file) ;;
  test)
    packages+=(libgtest-dev libbenchmark-dev xvfb xauth x11-apps imagemagick bc procps python3-xlib
      pipewire pipewire-pulse wireplumber dbus-daemon pulseaudio-utils sway grim xwayland
      x11-xserver-utils util-linux dpkg-dev file lintian desktop-file-utils appstream python3
      python3-gi gir1.2-gstreamer-1.0 gstreamer1.0-plugins-base)
    lean=(emscripten chromium mutter gstreamer1.0-pipewire kwin-wayland breeze)
    # npm drives the browser; a node from elsewhere may bring its own.
    command -v npm >/dev/null || lean+=(npm)
    ;;
esac
missing=() lean_missing=()
for package in "${packages[@]}" "${lean[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" && continue
  if [[ " ${lean[*]} " == *" $package "* ]]; then lean_missing+=("$package"); else missing+=("$package"); fi
done
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
# Under CI dpkg does not sync each file it unpacks, which slows the install into a brand-new root;
# the sync guards only against a power cut in the middle of the install.
apt_options=()
[ "${CI:-}" = true ] && apt_options=(-o Dpkg::Options::=--force-unsafe-io)
install() { # [OPTION...] PACKAGE...
  echo "installing: ${*}"
  local apt_install=("${as_root[@]}" apt-get install -y -q "${apt_options[@]}" "$@")
  "${apt_install[@]}" || { "${as_root[@]}" apt-get update -q && "${apt_install[@]}"; }
}
[ ${#missing[@]} -eq 0 ] || install "${missing[@]}"
[ ${#lean_missing[@]} -eq 0 ] || install --no-install-recommends "${lean_missing[@]}"
