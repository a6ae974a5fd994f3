#!/usr/bin/env bash
# Two builds from the same sources give the same bytes: the sources are copied to another
# folder and scripts/release.sh runs there in fresh build trees (building only what the
# packages hold), then its stub and its packages are compared with those of the usual
# trees (built in the repository's folder). A difference means a time stamp or a path of
# the building machine got into an image or a package. The copy has no git history, so
# both are given the date of the repository's last commit, read once, as release.sh reads
# it (a commit made while the test runs would otherwise date the two apart).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"

stub="$tavrin_win_dir/bin/tavrin-launcher.exe"
if [ ! -f "$stub" ]; then
  echo "stub reproducible: $stub is missing; build first (scripts/build.sh)" >&2
  exit 1
fi
work="$(mktemp -d "${TMPDIR:-/tmp}/tavrin-stub.XXXXXX")"
trap 'rm -rf "$work"' EXIT
passed=0
failed=0

same_bytes() {  # same_bytes NAME FIRST SECOND
  if cmp -s "$2" "$3"; then
    passed=$((passed + 1))
    return 0
  fi
  failed=$((failed + 1))
  echo "stub reproducible: $1 differs between $2 and $3:" >&2
  cmp -l "$2" "$3" | head -n 20 >&2 || true
}

export SOURCE_DATE_EPOCH
SOURCE_DATE_EPOCH="$(git -C "$tavrin_root" log -1 --format=%ct)"
bash "$tavrin_root/scripts/release.sh" "$work/release-here" >"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; exit 1; }

mkdir "$work/source" "$work/build"
tar -C "$tavrin_root" --exclude=./build --exclude='./build-*' --exclude=./.git -cf - . | tar -C "$work/source" -xf -
# The set-up's libzstd for the target is shared, not built again.
ln -s "$TAVRIN_BUILD_DIR/deps" "$work/build/deps"
TAVRIN_BUILD_DIR="$work/build" \
  bash "$work/source/scripts/release.sh" "$work/release-copy" >>"$work/build.log" 2>&1 ||
  { cat "$work/build.log" >&2; exit 1; }

same_bytes "the stub" "$stub" "$work/build/win/bin/tavrin-launcher.exe"
for package in $(cd "$work/release-here" && ls); do
  same_bytes "$package" "$work/release-here/$package" "$work/release-copy/$package"
done
echo "stub reproducible: $passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" = 4 ]
