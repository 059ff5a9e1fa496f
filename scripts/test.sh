#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: the normal build, the package installed on a
# clean Debian 12 root, then the unit and end-to-end tests under ASan+UBSan, then the whole
# suite again under TSan, then every fuzz harness over its corpus and for a short run. The load
# test runs BOARDHUB_LOAD_SECONDS (15 s here) in each build; the churn test runs fewer cycles
# under the sanitizers.
# Every stage runs even when an earlier one failed; a summary line per stage (name, result,
# seconds) closes the output, and the exit status is 1 when any stage failed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

jobs="$(nproc)"
export BOARDHUB_LOAD_SECONDS="${BOARDHUB_LOAD_SECONDS:-15}"
# The load and churn tests run alone after the rest, so their 200 clients never slow the
# timing checks of other tests.
heavy='^(Load|Churn)\.'
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"

# The suite of one build tree: everything but the heavy tests in parallel, then those alone.
# Both runs happen even when the first fails.
suite() {  # BUILD_DIR
    local status=0
    (cd "$1" && ctest --no-tests=error --output-on-failure -j "$jobs" -E "$heavy") || status=1
    (cd "$1" && ctest --no-tests=error --output-on-failure -R "$heavy") || status=1
    return $status
}

stage_setup() { "$root/scripts/setup.sh" --test; }
stage_normal() {
    "$root/scripts/build.sh" build -DBOARDHUB_TESTS=ON
    suite build
}
stage_install() {
    # About two minutes with the cached root in /var/cache/boardhub-install-test; the first
    # run bootstraps it from deb.debian.org (several minutes more).
    $SUDO "$root/packaging/test-install.sh" build
}
stage_asan() {
    "$root/scripts/build.sh" build-asan -DCMAKE_BUILD_TYPE=Debug -DBOARDHUB_SANITIZE=address \
        -DBOARDHUB_TESTS=ON
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        suite build-asan
}
stage_tsan() {
    "$root/scripts/build.sh" build-tsan -DCMAKE_BUILD_TYPE=Debug -DBOARDHUB_SANITIZE=thread \
        -DBOARDHUB_TESTS=ON
    TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$root/tests/tsan.supp" \
        suite build-tsan
}
stage_fuzz() { "$root/scripts/fuzz.sh" "${BOARDHUB_FUZZ_SECONDS:-60}"; }

summary=()
failed=0
passed=0
run_stage() {  # NAME
    local name="$1" started=$SECONDS status
    echo "== $name"
    # A subshell outside any condition, so that errexit holds inside the stage.
    set +e
    (set -e; "stage_$name")
    status=$?
    set -e
    local took=$((SECONDS - started))
    if [ $status -eq 0 ]; then
        passed=$((passed + 1))
        summary+=("$(printf '%-8s pass %6d s' "$name" "$took")")
    else
        failed=$((failed + 1))
        summary+=("$(printf '%-8s FAIL %6d s  (status %d)' "$name" "$took" "$status")")
    fi
}

for stage in setup normal install asan tsan fuzz; do
    run_stage "$stage"
done

echo "== summary"
printf '%s\n' "${summary[@]}"
echo "stages: $passed passed, $failed failed"
[ $failed -eq 0 ]
