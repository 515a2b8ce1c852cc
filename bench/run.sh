#!/usr/bin/env bash
# Builds the programs and benchmarks optimised into build-bench/ and measures them; the
# machine's description comes first. Needs root (the daemon runs in network namespaces).
#   bench/run.sh [bench_system options: --queries N --flood N --rounds N --krvd PATH]
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
build_dir=build-bench
# The project's own build type (-O2); strip takes the debug information off for the size.
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build_dir" -j "$(nproc)" \
    --target krvd krvctl tapsim bench_inprocess bench_system bench_plain_loop bench_fleet >/dev/null

echo "== machine"
echo "cpu: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores"
echo "memory: $(free -m | awk '/^Mem:/ { print $2 }') MiB; kernel $(uname -r); $(. /etc/os-release && echo "$PRETTY_NAME")"
echo "compiler: $(c++ --version | head -n 1)"

echo "== sizes"
stripped="$(mktemp)"
trap 'rm -f "$stripped"' EXIT
strip -o "$stripped" "$build_dir/krvd/krvd"
echo "krvd_stripped_bytes: $(stat -c %s "$stripped") (goal <= $((200 * 1024)))"

echo "== in-process (Google Benchmark)"
"$build_dir/bench/bench_inprocess" --benchmark_repetitions=3 --benchmark_report_aggregates_only=true

echo "== the daemon in its namespaces"
"$build_dir/bench/bench_system" "$@"

echo "== krvctl's fleet goals, on a LAN of namespaces"
"$build_dir/bench/bench_fleet"
