#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, and builds
# the Windows target's static libzstd from Debian's own zstd source package.
# Safe to run again: what is already in place is left alone.
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$here/scripts/zstd_source.sh"
build_dir="${TAVRIN_BUILD_DIR:-$here/build}"
deps_dir="$build_dir/deps"

packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev wine icoutils zstd libzstd-dev googletest cmake make g++
  dpkg-dev python3 clang libclang-rt-dev procps mount
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
  # A name that this machine's sources do not offer (another release, a missing component)
  # would fail the whole install with apt's own message: name each such package instead.
  unavailable=()
  for p in "${missing[@]}"; do
    apt-cache policy "$p" 2>/dev/null | grep -q 'Candidate: [^(]' || unavailable+=("$p")
  done
  if [ "${#unavailable[@]}" -gt 0 ]; then
    echo "setup: the package sources offer no installable ${unavailable[*]}; this set-up is made for" \
      "Debian 12 (bookworm) with its main component: add that source, or install the same tools" \
      "under this release's names, and run the set-up again" >&2
    exit 1
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# apt-get source needs deb-src entries; Debian's images ship only binary ones. Whether the
# machine has them in some form (one-line, deb822, its own mirror) is asked of apt itself:
# a listed source version of libzstd is all the step needs. Stale lists are refreshed
# first; only when that lists nothing either are entries of our own added.
if [ -z "$(list_zstd_source_versions)" ]; then
  as_root apt-get update -qq
  if [ -z "$(list_zstd_source_versions)" ] && [ ! -e /etc/apt/sources.list.d/tavrin-deb-src.sources ] &&
    [ ! -e /etc/apt/sources.list.d/tavrin-deb-src.list ]; then
    add_source_entries
    as_root apt-get update -qq
  fi
fi
ensure_target_zstd "$deps_dir"
zstd_win="$deps_dir/zstd-win"

echo "setup: ready (toolchain, wine, target libzstd in $zstd_win)"
