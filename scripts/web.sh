#!/usr/bin/env bash
# Installs what is missing, builds the web show into build-web/ (static files: the page, show.js,
# show.wasm and the media, for any web server; the build's own files are in build-web/cmake/) and
# serves it on 127.0.0.1.
# usage: scripts/web.sh [--build-only] [PORT]   (PORT defaults to 8000)
set -euo pipefail
cd "$(dirname "$0")/.."
build_only="" port=8000
for argument in "$@"; do
  case $argument in
    --build-only) build_only=1 ;;
    *) port=$argument ;;
  esac
done
scripts/install-deps.sh web
# Debian's Emscripten runs its tools with Debian's node modules and python, whichever node and
# python come first on PATH.
export NODE_PATH=${NODE_PATH:-/usr/share/nodejs} EMSDK_PYTHON=${EMSDK_PYTHON:-/usr/bin/python3}
emcmake cmake -S . -B build-web/cmake -DCMAKE_BUILD_TYPE=Release -DWEB_SITE="$PWD/build-web" >/dev/null
cmake --build build-web/cmake -j"$(nproc)"
[ -n "$build_only" ] && exit 0
echo "the show is at http://127.0.0.1:$port/ (Ctrl-C stops the server)"
exec python3 -m http.server "$port" --bind 127.0.0.1 --directory build-web
