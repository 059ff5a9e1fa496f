#!/usr/bin/env bash
# Builds the libFuzzer harnesses (clang++, ASan+UBSan) in build-fuzz and runs each one: first a
# replay of its whole corpus (fuzz/corpus/<harness>, regression inputs included), then fuzzing
# for -runs=1000000 or the time limit, whichever comes first.
#   scripts/fuzz.sh            60 s per harness (CI)
#   scripts/fuzz.sh 1800       30 minutes per harness
#   scripts/fuzz.sh 60 session only the harnesses named
# Warnings are not errors here: clang warns of things that the gcc builds do not.
# New inputs found while fuzzing go to build-fuzz/corpus/<harness>, never into the source tree;
# crashes to build-fuzz/crashes/<harness>. A crash fails the script.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
shift || true
runs="${FUZZ_RUNS:-1000000}"
build="$root/build-fuzz"

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=Debug -DCMAKE_CXX_FLAGS_DEBUG="-g -O1" -DBOARDHUB_FUZZ=ON \
    -DBOARDHUB_TESTS=OFF -DBOARDHUB_WERROR=OFF >/dev/null
ninja -C "$build" -j2 fuzz_all

harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
    for src in "$root"/fuzz/fuzz_*.cpp; do
        name="$(basename "$src" .cpp)"
        harnesses+=("${name#fuzz_}")
    done
fi

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:allocator_may_return_null=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
for h in "${harnesses[@]}"; do
    bin="$build/fuzz/fuzz_$h"
    seeds="$root/fuzz/corpus/$h"
    work="$build/corpus/$h"
    crashes="$build/crashes/$h"
    mkdir -p "$work" "$crashes" "$seeds"
    echo "== fuzz $h: replay $(ls "$seeds" | wc -l) inputs"
    if ! "$bin" -runs=0 -artifact_prefix="$crashes/" "$seeds" >"$build/$h-replay.log" 2>&1; then
        tail -40 "$build/$h-replay.log"
        echo "fuzz $h: corpus replay FAILED"
        status=1
        continue
    fi
    # The session harness parses client frames: a frame whose parse balloons (memory a client
    # could make the server hold) is a finding, so its limits are tight.
    limits=(-rss_limit_mb=3072)
    if [ "$h" = session ]; then limits=(-rss_limit_mb=1024 -malloc_limit_mb=64); fi
    echo "== fuzz $h: up to $runs runs or ${seconds}s (${limits[*]})"
    if ! "$bin" -runs="$runs" -max_total_time="$seconds" -timeout=25 "${limits[@]}" \
            -dict="$root/fuzz/boardhub.dict" -artifact_prefix="$crashes/" -print_final_stats=1 \
            "$work" "$seeds" >"$build/$h.log" 2>&1; then
        tail -60 "$build/$h.log"
        echo "fuzz $h: FAILED (inputs in $crashes)"
        status=1
        continue
    fi
    grep -E "stat::number_of_executed_units|stat::peak_rss_mb" "$build/$h.log" | sed "s/^/  $h /"
done
exit $status
