#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the normal build, then the unit and
# end-to-end tests under ASan+UBSan, then the whole suite again under TSan.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/setup.sh"

jobs="$(nproc)"
echo "== build (RelWithDebInfo)"
"$root/scripts/build.sh" build
(cd build && ctest --output-on-failure -j "$jobs")

echo "== ASan+UBSan"
"$root/scripts/build.sh" build-asan -DCMAKE_BUILD_TYPE=Debug -DBOARDHUB_SANITIZE=address
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j "$jobs")

echo "== TSan"
"$root/scripts/build.sh" build-tsan -DCMAKE_BUILD_TYPE=Debug -DBOARDHUB_SANITIZE=thread
(cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
    ctest --output-on-failure -j "$jobs")
