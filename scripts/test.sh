#!/usr/bin/env bash
# Builds everything and runs the whole test suite: the host tests natively, the Windows
# tests under wine with a private prefix and one persistent wineserver for the run.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

bash "$tavrin_root/scripts/build.sh"

trap stop_wine EXIT
start_wine

jobs="${TAVRIN_TEST_JOBS:-2}"
status=0
echo "== host tests"
ctest --test-dir "$tavrin_host_dir" --output-on-failure -j "$jobs" "$@" || status=1
echo "== host tests with AddressSanitizer and UBSan"
# Leak checks are off: the reader's memory and the environment copies are kept until the
# process ends by design, and the failure paths end the process with them still allocated.
ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir "$tavrin_asan_dir" --output-on-failure -j "$jobs" "$@" || status=1
echo "== Windows tests under wine"
ctest --test-dir "$tavrin_win_dir" --output-on-failure -j "$jobs" "$@" || status=1
exit $status
