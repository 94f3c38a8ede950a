#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test twice: a normal build and one with
# AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
# Each step says how long the whole command has run so far.
step() { echo "== $1 [$((SECONDS / 60)) min $((SECONDS % 60)) s]"; }
# beside COMMAND...: runs it in the background, its output held back; then_wait prints that output
# once it has ended and returns its status.
beside() { beside_log=$(mktemp); "$@" >"$beside_log" 2>&1 & beside_pid=$!; }
then_wait() {
  local status=0
  wait $beside_pid || status=$?
  cat "$beside_log"
  rm "$beside_log"
  return $status
}
# The web show builds while the rest installs: dpkg keeps about one core busy, and Emscripten's
# first build of its own libraries takes over a minute where Debian ships them unbuilt.
scripts/install-deps.sh web
beside scripts/web.sh --build-only
scripts/install-deps.sh test
step "the web show (scripts/web.sh), built beside the install"
then_wait
# puppeteer-core, which drives the browser, comes from the npm registry while the builds run.
install_puppeteer() { cd tests && npm ci --no-audit --no-fund --loglevel=error; }
beside install_puppeteer
step "builds: normal and sanitizer"
for build in build build-asan; do
  options=()
  [ "$build" = build-asan ] && options=(-DSANITIZE=ON)
  cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBUILD_TESTING=ON "${options[@]}" >/dev/null
  cmake --build "$build" -j"$(nproc)"
done
step "puppeteer-core, to drive the browser"
# Without the npm registry the browser tests cannot run; they say so and are skipped.
then_wait ||
  echo "npm could not install puppeteer-core: the web show's tests and measurement will be skipped"
step "the Debian package (scripts/package.sh), of the normal build"
scripts/package.sh
step "tests, normal build"
(cd build && ctest --output-on-failure)
step "measurement of the real show, normal build (scripts/measure-show.sh)"
scripts/measure-show.sh 1
step "measurement of the web show in Chromium (scripts/measure-show.sh --web)"
if [ -d tests/node_modules/puppeteer-core ]; then scripts/measure-show.sh --web 1; fi
step "benchmarks, normal build"
build/bench/audio_bench --benchmark_min_time=0.2
xvfb-run -a -s "-screen 0 1024x768x24" build/bench/show_bench --benchmark_min_time=0.2
step "tests, sanitizer build"
# Sanitizer errors abort (status 134). A leak found at exit gives status 23 in the unit tests; the
# end-to-end runs keep the show's own status and judge leaks by their stacks (tests/e2e_lib.sh).
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export LSAN_OPTIONS=suppressions=$PWD/tests/lsan.supp:exitcode=23
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:abort_on_error=1
(cd build-asan && ctest --output-on-failure)
step "done"
