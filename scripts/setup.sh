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
  dpkg-dev python3 clang libclang-rt-14-dev procps mount
  # the packer's command-line parser (header only, also for the Windows build); the tests'
  # independent reader of version resources
  libcli11-dev python3-pefile
  # the icon drawn from its SVG; signing in the kit test
  librsvg2-bin pngquant osslsigncode openssl
  # the packer's payload digest for the cached place (header only)
  libxxhash-dev
)

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

# deb-src twins of the binary entries for this release, taken from the machine's own
# sources so that a mirror or a proxy configured there serves the sources too. deb822
# stanzas are copied whole (keyring included) with their type changed; one-line entries
# get deb-src in front. Entries for other distributions (third-party archives) are left
# out: they rarely publish sources, and apt-get update would fail on them.
add_source_entries() {
  local codename sources_dir stanzas lines deb822_files one_line_files
  codename="$(. /etc/os-release && echo "${VERSION_CODENAME:-}")"
  sources_dir=/etc/apt/sources.list.d
  deb822_files=("$sources_dir"/*.sources)
  one_line_files=(/etc/apt/sources.list "$sources_dir"/*.list)
  # An unmatched pattern stays as written: awk and cat are told to ignore missing files.
  stanzas="$(awk -v codename="$codename" '
    function flush() {
      if (binary && release && enabled) printf "%s\n", text
      text = ""; binary = 0; release = 0; enabled = 1
    }
    BEGIN { enabled = 1 }
    FNR == 1 { flush() }
    /^[[:space:]]*$/ { flush(); next }
    /^#/ { next }
    {
      field = tolower($1)
      if (field == "types:") {
        for (i = 2; i <= NF; i++) if ($i == "deb") binary = 1
        text = text "Types: deb-src\n"
        next
      }
      if (field == "suites:") {
        for (i = 2; i <= NF; i++) if ($i == codename || index($i, codename "-") == 1) release = 1
      }
      if (field == "enabled:" && tolower($2) == "no") enabled = 0
      text = text $0 "\n"
    }
    END { flush() }' /dev/null "${deb822_files[@]}" 2>/dev/null || true)"
  lines="$(cat /dev/null "${one_line_files[@]}" 2>/dev/null | sed -n -E \
    "s/^deb(([[:space:]]+\[[^]]*\])?[[:space:]]+[^[:space:]]+[[:space:]]+($codename|$codename-[^[:space:]]+)([[:space:]].*)?)$/deb-src\1/p" || true)"
  if [ -z "$codename" ] || { [ -z "$stanzas" ] && [ -z "$lines" ]; }; then
    echo "setup: no binary apt source for the release '${codename:-unknown}' found to add a deb-src entry from;" \
      "add one for its main component by hand" >&2
    exit 1
  fi
  echo "setup: adding deb-src entries beside the binary sources for $codename"
  if [ -n "$stanzas" ]; then
    printf '%s\n' "$stanzas" | as_root tee "$sources_dir/tavrin-deb-src.sources" >/dev/null
  fi
  if [ -n "$lines" ]; then
    printf '%s\n' "$lines" | as_root tee "$sources_dir/tavrin-deb-src.list" >/dev/null
  fi
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
    add_source_entries
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
