#!/usr/bin/env bash
# The set-up's source step for the Windows libzstd, against stand-ins for apt-cache and
# apt-get on the PATH: the sources list two versions, and each stand-in serves only the
# versions named in FAKE_SERVED. A refused version leaves a half-unpacked tree behind, as
# an interrupted download does, so the step must never take that tree for a good one.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
newest=1.5.4+dfsg2-5+deb12u1
older=1.5.4+dfsg2-5

mkdir -p "$work/bin"
cat >"$work/bin/apt-cache" <<EOF
#!/bin/sh
# The release's version listed before the update's, as apt prints them.
printf 'Package: libzstd\nVersion: $older\n\nPackage: libzstd\nVersion: $newest\n'
EOF
cat >"$work/bin/apt-get" <<'EOF'
#!/bin/sh
[ "$1" = source ] || exit 100
version="${3#libzstd=}"
# Who may write where the download lands.
stat -c '%a' . >>"$FAKE_DIR_LOG"
mkdir -p zstd-1.5.4/lib
case " $FAKE_SERVED " in
  *" $version "*) ;;
  *) echo "E: Failed to fetch http://example.invalid/libzstd_$version.dsc  404  Not Found" >&2; exit 100 ;;
esac
printf 'libzstd.a:\n\techo built-from-%s >libzstd.a\n' "$version" >zstd-1.5.4/lib/Makefile
touch zstd-1.5.4/lib/zstd.h zstd-1.5.4/lib/zstd_errors.h
[ -n "$FAKE_NO_ZDICT" ] || touch zstd-1.5.4/lib/zdict.h
EOF
chmod +x "$work/bin/apt-cache" "$work/bin/apt-get"

failed=0
fail() { echo "FAIL: $*" >&2; failed=$((failed + 1)); }
# Runs the step in deps_dir with the given served versions; output in $work/out.
run_step() {
  local deps_dir="$1"
  shift
  (export PATH="$work/bin:$PATH" FAKE_SERVED="$*" FAKE_DIR_LOG="$work/dir-modes" FAKE_NO_ZDICT="${FAKE_NO_ZDICT:-}"; source "$root/scripts/zstd_source.sh"; ensure_target_zstd "$deps_dir") \
    >"$work/out" 2>&1
}
library_of() { cat "$1/zstd-win/lib/libzstd.a" 2>/dev/null || echo none; }

deps="$work/deps"
mkdir -p "$deps"

# Nothing served: one message naming both versions, and nothing left behind.
if run_step "$deps"; then fail "the step succeeded with nothing served"; fi
for version in "$newest" "$older"; do
  grep -q "^  $version: E: Failed to fetch .*404" "$work/out" || fail "the message does not name $version and its 404"
done
grep -q 'deb-src' "$work/out" || fail "the message does not say what to do"
leftovers="$(ls -A "$deps")"
[ -z "$leftovers" ] || fail "a failed step left behind: $leftovers"

# A tree that lacks a header: the copy fails, and no library is stamped as complete.
FAKE_NO_ZDICT=1 run_step "$deps" "$newest" && fail "the step succeeded without zdict.h"
[ ! -e "$deps/zstd-win/source-version" ] || fail "a library without its headers was stamped"
# Every download went into a directory that no other user may write to.
if grep -qv '^700$' "$work/dir-modes"; then fail "a download directory was open to others: $(sort -u "$work/dir-modes")"; fi

# The newest refused, the older served: built from the older, and said so. The run after
# the failure starts again from nothing.
run_step "$deps" "$older" || fail "the step failed with the older version served: $(cat "$work/out")"
grep -q "building the Windows libzstd from libzstd $older" "$work/out" || fail "the step did not say it built $older"
[ "$(library_of "$deps")" = "built-from-$older" ] || fail "the library is not the older version's: $(library_of "$deps")"
[ "$(cat "$deps/zstd-win/source-version" 2>/dev/null)" = "$older" ] || fail "the library does not record $older"
[ -z "$(ls -d "$deps"/src.* 2>/dev/null)" ] || fail "the source tree was left behind"

# Once the newest is served, the library is rebuilt from it instead of kept or mixed.
run_step "$deps" "$older" "$newest" || fail "the step failed with both served"
[ "$(library_of "$deps")" = "built-from-$newest" ] || fail "the library was not rebuilt from $newest"
[ "$(cat "$deps/zstd-win/source-version" 2>/dev/null)" = "$newest" ] || fail "the library does not record $newest"

# In place and still the newest: nothing is fetched or built again.
run_step "$deps" || fail "the step failed with its library in place"
if grep -q building "$work/out"; then fail "the step rebuilt a library that was in place"; fi

# A library without its record (a build cut short) is never taken as complete.
rm "$deps/zstd-win/source-version"
run_step "$deps" "$newest" || fail "the step failed to replace a library without its record"
[ "$(cat "$deps/zstd-win/source-version" 2>/dev/null)" = "$newest" ] || fail "the unrecorded library was kept"

if [ "$failed" -gt 0 ]; then
  echo "zstd source step: $failed check(s) failed" >&2
  exit 1
fi
echo "zstd source step: all checks passed"
