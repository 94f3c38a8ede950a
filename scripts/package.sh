#!/usr/bin/env bash
# Builds the Debian package build/brimvale-show_VERSION_ARCH.deb from the CMake project, with the
# dependencies dpkg-shlibdeps finds in the linked libraries. Reuses the build folder as it is
# configured (the test command's, say); a new one is configured without the tests.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh package
options=()
[ -f build/CMakeCache.txt ] || options=(-DBUILD_TESTING=OFF)
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo "${options[@]}" >/dev/null
cmake --build build -j"$(nproc)"
rm -f build/brimvale-show_*.deb
(cd build && cpack -G DEB >/dev/null)
ls build/brimvale-show_*.deb
