#!/usr/bin/env bash
# Builds everything: the Windows targets with mingw-w64 into build/win, the host targets
# natively into build/host. Runs the setup first when something is missing.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

bash "$tavrin_root/scripts/setup.sh" >/dev/null

jobs="${TAVRIN_JOBS:-$(nproc)}"
configure_trees
# The portable core, the packer and their host tests once more with AddressSanitizer and UBSan.
if [ ! -f "$tavrin_asan_dir/CMakeCache.txt" ]; then
  cmake -S "$tavrin_root" -B "$tavrin_asan_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVRIN_SANITIZE=ON \
    -DTAVRIN_DEPS_DIR="$TAVRIN_BUILD_DIR/deps" >/dev/null
fi
cmake --build "$tavrin_host_dir" -j "$jobs" -- --no-print-directory
cmake --build "$tavrin_asan_dir" -j "$jobs" -- --no-print-directory
cmake --build "$tavrin_win_dir" -j "$jobs" -- --no-print-directory
echo "build: Windows programs in $tavrin_win_dir/bin, host programs in $tavrin_host_dir/bin (sanitized: $tavrin_asan_dir/bin)"
