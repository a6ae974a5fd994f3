#!/usr/bin/env bash
# Builds the libFuzzer programs with clang (AddressSanitizer, UBSan) and runs one target
# for a number of seconds in one process (one job: the machine has two cores for everyone)
# at low priority, over a working copy of its corpus.
# usage: fuzz/run.sh TARGET SECONDS        (TARGET: payload, reader, resources or marker)
# The committed seeds stay as they are; new inputs collect in $fuzz_dir/corpus/TARGET, and a
# crashing input is written to $fuzz_dir/artifacts/TARGET/.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
target="${1:?usage: run.sh payload|reader|resources|marker SECONDS}"
seconds="${2:-60}"
fuzz_dir="${TAVRIN_BUILD_DIR:-$here/../build}/fuzz"

if [ ! -f "$fuzz_dir/CMakeCache.txt" ]; then
  CC=clang CXX=clang++ cmake -S "$here" -B "$fuzz_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
nice cmake --build "$fuzz_dir" -j "${TAVRIN_JOBS:-2}" --target "fuzz_$target" -- --no-print-directory >/dev/null

work="$fuzz_dir/corpus/$target"
artifacts="$fuzz_dir/artifacts/$target"
mkdir -p "$work" "$artifacts"
# A decoder context with a 2^27 window is part of normal operation: allow for two of them.
exec nice -n 15 "$fuzz_dir/bin/fuzz_$target" "$work" "$here/corpus/$target" \
  -max_total_time="$seconds" -rss_limit_mb=2048 -max_len=8192 \
  -print_final_stats=1 -artifact_prefix="$artifacts/"
