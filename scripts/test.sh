#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal build,
# once in a build with AddressSanitizer and UndefinedBehaviorSanitizer, and the
# engine and platform tests once more under ThreadSanitizer. In between it
# builds everything once with clang, whose warnings catch results dropped from
# virtual calls, which GCC does not see (its tests are not run again). Then it
# builds and checks the Debian package (scripts/package-check.sh).
set -euo pipefail
cd "$(dirname "$0")/.."
SECONDS=0
./scripts/install-deps.sh

jobs=$(nproc)
# Each stage's start and the seconds since the script began, for reading CI logs.
stage() { echo "== $* (at ${SECONDS} s)"; }

ctest_args=()
run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600 "${ctest_args[@]}"
}

export QT_QPA_PLATFORM=offscreen
stage "normal build and tests"
run_suite build

# clang: a build only. A dropped [[nodiscard]] result fails it (-Werror=unused-result).
# Its code is never run, so it is built without optimisation or debug information.
stage "clang build"
CC=clang CXX=clang++ cmake -S . -B build-clang -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_CXX_FLAGS_DEBUG=-O0
cmake --build build-clang -j "$jobs"

stage "AddressSanitizer build and tests"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build-asan -DHALVERN_SANITIZE=ON

# ThreadSanitizer: the engine and platform (the widgets are single-threaded).
# The tests that start QSoundEffect or a Qt DBus connection are left out: those
# work on threads of Qt's own whose hand-overs, under Qt's uninstrumented locks,
# it reports as races.
ctest_args=(-E '^(SoundPlayerTest|DesktopNotifierTest|DesktopNotifierWithoutServiceTest|NetworkWatchTest|LogindIdleTimerTest|WakeRunTest|Network/WakeRunFailureTest)\.|^NetworkConnectionManagerTest\.WithoutNetworkManagerConnectsAtOnce$')
stage "ThreadSanitizer build and tests"
TSAN_OPTIONS="halt_on_error=1 suppressions=$PWD/tests/tsan_suppressions.txt" \
  run_suite build-tsan -DHALVERN_TSAN=ON -DHALVERN_BUILD_GUI=OFF

# The Debian package, from the normal build.
stage "package"
./scripts/package-check.sh build
stage "done"
