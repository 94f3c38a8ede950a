#!/usr/bin/env bash
# Installs what is missing, builds the show and runs it on the sample media.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
cd media
exec ../build/show "$@"
