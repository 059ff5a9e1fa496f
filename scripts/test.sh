#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the normal build, the package installed on a
# clean Debian 12 root, then the unit and end-to-end tests under ASan+UBSan, then the whole
# suite again under TSan, then every fuzz harness over its corpus and for a short run. The load
# test runs BOARDHUB_LOAD_SECONDS (15 s here) in each build; the churn test runs fewer cycles
# under the sanitizers.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/setup.sh"

jobs="$(nproc)"
export BOARDHUB_LOAD_SECONDS="${BOARDHUB_LOAD_SECONDS:-15}"
# The load and churn tests run alone after the rest, so their 200 clients never slow the
# timing checks of other tests.
heavy='^(Load|Churn)\.'

echo "== build (RelWithDebInfo)"
"$root/scripts/build.sh" build -DBOARDHUB_TESTS=ON
(cd build && ctest --no-tests=error --output-on-failure -j "$jobs" -E "$heavy" && ctest --no-tests=error --output-on-failure -R "$heavy")

echo "== install test (the package on a clean Debian 12 root)"
# About two minutes with the cached root in /var/cache/boardhub-install-test; the first run
# bootstraps it from deb.debian.org (several minutes more).
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
$SUDO "$root/packaging/test-install.sh" build

echo "== ASan+UBSan"
"$root/scripts/build.sh" build-asan -DCMAKE_BUILD_TYPE=Debug -DBOARDHUB_SANITIZE=address -DBOARDHUB_TESTS=ON
(cd build-asan && export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 &&
    ctest --no-tests=error --output-on-failure -j "$jobs" -E "$heavy" && ctest --no-tests=error --output-on-failure -R "$heavy")

echo "== TSan"
"$root/scripts/build.sh" build-tsan -DCMAKE_BUILD_TYPE=Debug -DBOARDHUB_SANITIZE=thread -DBOARDHUB_TESTS=ON
(cd build-tsan &&
    export TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" &&
    ctest --no-tests=error --output-on-failure -j "$jobs" -E "$heavy" && ctest --no-tests=error --output-on-failure -R "$heavy")

echo "== fuzz (ASan+UBSan, libFuzzer)"
"$root/scripts/fuzz.sh" "${BOARDHUB_FUZZ_SECONDS:-60}"
