#!/usr/bin/env bash
# Builds the fuzz targets if needed and runs one of them, or each in turn with "all", for SECONDS
# seconds over its corpus. The corpus is copied first, so new inputs stay out of the repository;
# an input that fails is kept as build-fuzz/failures/TARGET-crash-... and the script fails.
# FUZZ_RUNS=N stops each target after N inputs instead (SECONDS then bounds it as well).
# Usage: fuzz/run.sh TARGET|all SECONDS
set -euo pipefail
cd "$(dirname "$0")/.."
targets=(http_answer profile_file failed_list project_file coordinates convert_rules request_head
    retry_after sources_file geojson source_import area_file records tile_image pmtiles_directory)
if [ $# -ne 2 ] || ! [[ $2 =~ ^[0-9]+$ ]]; then
    echo "usage: fuzz/run.sh TARGET|all SECONDS (targets: ${targets[*]})" >&2
    exit 2
fi
chosen=("$1")
[ "$1" = all ] && chosen=("${targets[@]}")
for t in "${chosen[@]}"; do
    if ! printf '%s\n' "${targets[@]}" | grep -qx "$t"; then
        echo "no fuzz target \"$t\" (targets: ${targets[*]})" >&2
        exit 2
    fi
done

bash fuzz/install-deps.sh
build=${FUZZ_BUILD:-build-fuzz}
if [ ! -f "$build/build.ninja" ]; then
    CC=clang CXX=clang++ cmake -S fuzz -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
cmake --build "$build" -j 2 --target "${chosen[@]/#/fuzz_}"

mkdir -p "$build/failures"
failures=$(cd "$build/failures" && pwd) # absolute, whether the build folder is or not
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export ASAN_OPTIONS="detect_leaks=1"
export UBSAN_OPTIONS="print_stacktrace=1 halt_on_error=1"
runs=()
[ -n "${FUZZ_RUNS:-}" ] && runs=("-runs=$FUZZ_RUNS")
for t in "${chosen[@]}"; do
    mkdir -p "$work/$t"
    cp -R "fuzz/corpus/$t/." "$work/$t/"
    echo "== $t: $2 s"
    # The largest seed (a whole tile answer) is under 8 KiB; every reader must answer within 10 s.
    "$build/fuzz_$t" -max_total_time="$2" "${runs[@]}" -timeout=10 -rss_limit_mb=2048 \
        -max_len=8192 -print_final_stats=1 -artifact_prefix="$failures/$t-" \
        "$work/$t" 2>"$work/$t.log" || {
        tail -n 60 "$work/$t.log" >&2
        echo "fuzz target $t failed; the input is in $build/failures/" >&2
        exit 1
    }
    grep -E '^(Done|stat::number_of_executed_units|stat::average_exec_per_sec)' "$work/$t.log"
done
