#!/usr/bin/env bash
# Runs the fuzz targets from copies of their seed corpora, so the committed seeds stay as they are.
#   fuzz/run.sh [SECONDS_EACH] [TARGET...]    (defaults: 60 s, every target)
# The targets come from a clang build:
#   CC=clang CXX=clang++ cmake -S . -B build-fuzz -G Ninja -DGLIMBRA_BUILD_FUZZ=ON \
#     -DGLIMBRA_BUILD_GUI=OFF -DGLIMBRA_BUILD_TESTS=OFF -DGLIMBRA_BUILD_BENCH=OFF
#   cmake --build build-fuzz
# BUILD names another build folder. A finding stops the script with status 1; its input is left in
# the work folder that the script names, and belongs in fuzz/corpus/<target> once it is fixed.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-60}
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(png_load picture_load jpeg_read webp_load tiff_load heif_load jxl_load settings get_field)
build=${BUILD:-build-fuzz}

work=$(mktemp -d /tmp/glimbra-fuzz-XXXXXX)
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export LSAN_OPTIONS=suppressions=$PWD/tools/lsan.supp:print_suppressions=0
export QT_QPA_PLATFORM=offscreen

failed=0
for t in "${targets[@]}"; do
    mkdir -p "$work/$t/corpus" "$work/$t/findings"
    cp -r "fuzz/corpus/$t/." "$work/$t/corpus/"
    echo "== fuzz_$t: ${seconds} s"
    start=$SECONDS
    # -rss_limit_mb and -malloc_limit_mb make an allocation the size checks should have refused
    # a finding; -timeout makes one slow input a finding.
    # libheif 1.15 sizes some buffers from the coded stream, not from the header we check: a
    # damaged HEVC stream of a few hundred bytes can make it allocate about 700 MB before it
    # fails (fuzz/corpus/heif_load/finding-libheif-700mb-plane), which no check of ours can see
    # beforehand. Its target gets the room for that, and still fails beyond it.
    limit=2048
    [ "$t" = heif_load ] && limit=4096
    if ! "$build/bin/fuzz_$t" "$work/$t/corpus" -max_total_time="$seconds" -timeout=10 \
            -rss_limit_mb="$limit" -malloc_limit_mb="$limit" -max_len=65536 -print_final_stats=1 \
            -artifact_prefix="$work/$t/findings/" >"$work/$t/log" 2>&1; then
        echo "fuzz_$t: FINDING after $((SECONDS - start)) s; input in $work/$t/findings/"
        grep -E "ERROR|invariant|SUMMARY|Test unit written" "$work/$t/log" | head -20 || true
        tail -40 "$work/$t/log"
        failed=1
        continue
    fi
    grep -E "stat::number_of_executed_units|cov:" "$work/$t/log" | tail -2 || true
done
if [ $failed -eq 0 ]; then rm -rf "$work"; fi
exit $failed
