#!/usr/bin/env bash
# Builds the relay and the load tool optimised in build-bench, then runs the benchmark matrix.
# Usage: bench/run-bench.sh [--seconds S] [--cases 1x5,10x5,many_routes] [--rounds N] [--keep-logs]
set -euo pipefail
cd "$(dirname "$0")/.."
build_dir="${MIREVO_BENCH_BUILD:-build-bench}"
cmake -S . -B "$build_dir" -DMIREVO_BENCH=ON -DMIREVO_TESTS=OFF -DMIREVO_BENCH_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build_dir" -j "${JOBS:-2}" --target mirevo mirevo-load
exec python3 bench/run_bench.py --relay "$build_dir/mirevo" --load "$build_dir/bench/mirevo-load" \
  --out bench/results --seconds "${BENCH_CASE_SECONDS:-20}" "$@"
