#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, and builds
# the Windows target's static libzstd from Debian's own zstd source package.
# Safe to run again: what is already in place is left alone.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${TAVRIN_BUILD_DIR:-$here/build}"
deps_dir="$build_dir/deps"

packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev wine icoutils zstd libzstd-dev googletest cmake make g++
  dpkg-dev python3 clang libclang-rt-14-dev procps mount libxxhash-dev
)

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

zstd_win="$deps_dir/zstd-win"
if [ ! -f "$zstd_win/lib/libzstd.a" ]; then
  # apt-get source needs a deb-src entry; Debian's images ship only binary ones.
  if ! grep -rqs '^Types:.*deb-src\|^deb-src ' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "setup: adding a deb-src entry for bookworm main"
    as_root tee /etc/apt/sources.list.d/tavrin-deb-src.sources >/dev/null <<'SRC'
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SRC
    as_root apt-get update -qq
  fi
  src_dir="$deps_dir/src"
  rm -rf "$src_dir"
  mkdir -p "$src_dir"
  chmod 777 "$src_dir"   # apt-get source drops to the _apt user for the download
  (cd "$src_dir" && apt-get source -qq libzstd 2>&1 | grep -v '^W: Download is performed unsandboxed' || true)
  zstd_src=$(find "$src_dir" -mindepth 1 -maxdepth 1 -type d \( -name 'libzstd-*' -o -name 'zstd-*' \) | head -n 1)
  if [ -z "$zstd_src" ] || [ ! -d "$zstd_src/lib" ]; then
    echo "setup: apt-get source libzstd gave no source tree" >&2
    exit 1
  fi
  echo "setup: building the Windows libzstd from $(basename "$zstd_src")"
  make -s -C "$zstd_src/lib" -j"$(nproc)" libzstd.a \
    CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar \
    ZSTD_LEGACY_SUPPORT=0 >"$deps_dir/zstd-build.log" 2>&1 \
    || { cat "$deps_dir/zstd-build.log" >&2; exit 1; }
  mkdir -p "$zstd_win/lib" "$zstd_win/include"
  cp "$zstd_src/lib/libzstd.a" "$zstd_win/lib/"
  cp "$zstd_src/lib/zstd.h" "$zstd_src/lib/zstd_errors.h" "$zstd_src/lib/zdict.h" "$zstd_win/include/"
  rm -rf "$src_dir"
fi

echo "setup: ready (toolchain, wine, target libzstd in $zstd_win)"
