#!/usr/bin/env bash
# Installs what is missing, builds the show (without its tests) and runs it on the sample media.
# Without a display it runs the show in a virtual one (Xvfb).
set -euo pipefail
cd "$(dirname "$0")/.."
virtual_display=()
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  scripts/install-deps.sh virtual-display
  virtual_display=(xvfb-run -a -s "-screen 0 1024x768x24")
  echo "no display: running the show in a virtual one (Xvfb)"
else
  scripts/install-deps.sh
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=OFF >/dev/null
cmake --build build -j"$(nproc)"
cd media
exec "${virtual_display[@]}" ../build/show "$@"
