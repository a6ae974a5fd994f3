#!/usr/bin/env bash
# Runs the fault tests that need filesystems of their own: a 1 MiB one that fills up during
# unpacking and a read-only one. Mounts both (tmpfs, root only), hands their Windows paths
# (Z: maps /) to the test program through E2E_SMALL_TEMP and E2E_READONLY_TEMP, and always
# unmounts. Where nothing can be mounted the tests run without them and skip themselves.
# Usage: disk_faults.sh PATH/TO/e2e_faults_test.exe
set -u
test_exe="$1"
base="$(mktemp -d /tmp/tavrin-e2e-fs.XXXXXX)"
mkdir -p "$base/small" "$base/readonly"
mounted=()
cleanup() {
  local point
  for point in "${mounted[@]}"; do umount "$point" 2>/dev/null || true; done
  rm -rf "$base"
}
trap cleanup EXIT

windows_path() {
  printf 'Z:%s' "$(printf '%s' "$1" | tr '/' '\\')"
}

if mount -t tmpfs -o size=1m tmpfs "$base/small" 2>/dev/null; then
  mounted+=("$base/small")
  export E2E_SMALL_TEMP="$(windows_path "$base/small")"
else
  echo "disk_faults: cannot mount a small filesystem here; the full-disk test will skip"
fi
if mount -t tmpfs -o ro,size=64k tmpfs "$base/readonly" 2>/dev/null; then
  mounted+=("$base/readonly")
  export E2E_READONLY_TEMP="$(windows_path "$base/readonly")"
else
  echo "disk_faults: cannot mount a read-only filesystem here; that test will skip"
fi
wine "$test_exe" --gtest_filter='Faults.*'
status=$?
exit $status
