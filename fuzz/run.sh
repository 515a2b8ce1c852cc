#!/usr/bin/env bash
# Builds every fuzz target in fuzz/ with clang, libFuzzer, ASan and UBSan into build-fuzz/ and
# runs each for a bounded time, starting from its seed corpus.
#   fuzz/run.sh [SECONDS_PER_TARGET] [TARGET...]     default 20 seconds, every target
#   KRV_FUZZ_JOBS    parallel fuzzing processes per target (default 1)
# New inputs go to build-fuzz/corpus/TARGET (the seeds in the repository are never touched);
# a crash leaves its input in build-fuzz/artifacts/ and ends this script with a failure.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${1:-20}"
shift || true
scripts/install-deps.sh

build_dir=build-fuzz
cmake -S . -B "$build_dir" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKRV_FUZZ=ON -DKRV_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j "$(nproc)" --target fuzz_all

targets=("$@")
if [ "${#targets[@]}" -eq 0 ]; then
    for folder in fuzz/*/; do
        [ -f "$folder/CMakeLists.txt" ] && targets+=("$(basename "$folder")")
    done
fi

mkdir -p "$build_dir/artifacts"
# One fuzzing process per core at a time: each target is single-threaded, so the step takes
# the seconds per target times the targets divided by the cores.
run_target() {
    local target=$1 corpus="$build_dir/corpus/$1"
    mkdir -p "$corpus"
    local options=(-max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048
        -print_final_stats=1 -artifact_prefix="$build_dir/artifacts/$target-")
    [ -f "fuzz/$target/$target.dict" ] && options+=(-dict="fuzz/$target/$target.dict")
    local jobs="${KRV_FUZZ_JOBS:-1}"
    [ "$jobs" -gt 1 ] && options+=(-fork="$jobs")
    "$build_dir/fuzz/$target/fuzz_$target" "${options[@]}" "$corpus" "fuzz/$target/seeds" \
        2>"$build_dir/$target.log"
}
at_once=$(nproc)
[ "${KRV_FUZZ_JOBS:-1}" -gt 1 ] && at_once=1
failed=()
for ((first = 0; first < ${#targets[@]}; first += at_once)); do
    batch=("${targets[@]:first:at_once}")
    pids=()
    for target in "${batch[@]}"; do
        echo "== $target: ${seconds}s"
        run_target "$target" &
        pids+=($!)
    done
    for i in "${!batch[@]}"; do
        target=${batch[$i]}
        if wait "${pids[$i]}"; then
            grep -E 'DONE|^Done|stat::new_units_added' "$build_dir/$target.log" || true
        else
            tail -n 60 "$build_dir/$target.log"
            failed+=("$target")
        fi
    done
done
if [ "${#failed[@]}" -gt 0 ]; then
    echo "fuzz/run.sh: ${failed[*]} found a failure; the input is in $build_dir/artifacts/" >&2
    exit 1
fi
