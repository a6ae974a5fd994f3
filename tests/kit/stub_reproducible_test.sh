#!/usr/bin/env bash
# Two builds of the launcher stub from the same sources give the same bytes: the sources are
# copied to another folder and the stub is built there in a fresh tree, then compared with
# the one of the Windows tree (built in the repository's folder). A difference means a time
# stamp or a path of the building machine got into the image.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"

stub="$tavrin_win_dir/bin/tavrin-launcher.exe"
if [ ! -f "$stub" ]; then
  echo "stub reproducible: $stub is missing; build first (scripts/build.sh)" >&2
  exit 1
fi
work="$(mktemp -d "${TMPDIR:-/tmp}/tavrin-stub.XXXXXX")"
trap 'rm -rf "$work"' EXIT

mkdir "$work/source"
tar -C "$tavrin_root" --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . | tar -C "$work/source" -xf -
cmake -S "$work/source" -B "$work/win" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$work/source/cmake/mingw-w64.cmake" \
  -DTAVRIN_DEPS_DIR="$TAVRIN_BUILD_DIR/deps" >"$work/build.log" 2>&1 \
  && cmake --build "$work/win" -j "${TAVRIN_JOBS:-$(nproc)}" --target tavrin-launcher >>"$work/build.log" 2>&1 \
  || { cat "$work/build.log" >&2; exit 1; }

if cmp -s "$stub" "$work/win/bin/tavrin-launcher.exe"; then
  echo "stub reproducible: 1 passed, 0 failed"
  exit 0
fi
echo "stub reproducible: the stub built in $work/source differs from $stub:" >&2
cmp -l "$stub" "$work/win/bin/tavrin-launcher.exe" | head -n 20 >&2 || true
echo "stub reproducible: 0 passed, 1 failed"
exit 1
