#!/usr/bin/env bash
# Runs the release-shaped benchmark (BENCHMARKS.md): builds what it needs, generates the
# trees once (cached in $TAVRIN_BUILD_DIR/bench), and writes bench/results-<date>.txt.
# Options go to bench.py: --reps N (default 5), --pack-reps-19 N (default 1),
# --only pack unpack small sweep memory cached progress, --scales 0.25 0.5 1, --baseline-launcher EXE.
# The unpack part also times a launcher built without tree protection, from a Windows tree
# of its own ($TAVRIN_BUILD_DIR/win-unprotected, configured with the benchmark-only option
# TAVRIN_BENCHMARK_UNPROTECTED_TREE); that build is never installed or shipped.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/env.sh"

bench_dir="$TAVRIN_BUILD_DIR/bench"
mkdir -p "$bench_dir"
if [ ! -f "$tavrin_win_dir/CMakeCache.txt" ] || [ ! -f "$tavrin_host_dir/CMakeCache.txt" ]; then
  bash "$tavrin_root/scripts/build.sh"
fi
cmake --build "$tavrin_win_dir" -j "${TAVRIN_JOBS:-2}" --target tavrin-launcher bench_main \
  bench_direct bench_empty bench_writer bench_shell \
  bench_remove bench_check tavrin-launcher-trace -- --no-print-directory >/dev/null
cmake --build "$tavrin_host_dir" -j "${TAVRIN_JOBS:-2}" --target tavrin-pack \
  -- --no-print-directory >/dev/null
unprotected_dir="$TAVRIN_BUILD_DIR/win-unprotected"
if [ ! -f "$unprotected_dir/CMakeCache.txt" ]; then
  cmake -S "$tavrin_root" -B "$unprotected_dir" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$tavrin_root/cmake/mingw-w64.cmake" -DTAVRIN_DEPS_DIR="$TAVRIN_BUILD_DIR/deps" \
    -DTAVRIN_BENCHMARK_UNPROTECTED_TREE=ON >/dev/null 2>&1
fi
cmake --build "$unprotected_dir" -j "${TAVRIN_JOBS:-2}" --target tavrin-launcher -- --no-print-directory >/dev/null

# A prefix of its own: the benchmark points its TEMP at tmpfs or disk through the registry.
export WINEPREFIX="$bench_dir/wine-prefix"
trap stop_wine EXIT
start_wine

python3 "$tavrin_root/bench/bench.py" --work "$bench_dir" --win-bin "$tavrin_win_dir/bin" \
  --packer "$tavrin_host_dir/bin/tavrin-pack" --unprotected-launcher "$unprotected_dir/bin/tavrin-launcher.exe" \
  --results "$tavrin_root/bench/results-$(date +%Y%m%d-%H%M).txt" "$@"
