#!/usr/bin/env bash
# Installs everything the build and the tests need on a Debian 12 machine, and builds
# the Windows target's static libzstd from Debian's own zstd source package.
# Safe to run again: what is already in place is left alone.
#   bash scripts/setup.sh            installs what is missing
#   bash scripts/setup.sh --check    says what a run would install and from which sources,
#                                    installs nothing; exits 1 when something cannot be had
set -euo pipefail

here="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
source "$here/scripts/packages.sh"
source "$here/scripts/zstd_source.sh"
build_dir="${TAVRIN_BUILD_DIR:-$here/build}"
deps_dir="$build_dir/deps"
zstd_win="$deps_dir/zstd-win"

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

# Without installing anything: the packages a run would install, and where the Windows
# libzstd would come from. As root the package lists are refreshed first, since a check
# against the stale lists of a fresh machine would find nothing offered.
check_setup() {
  local status=0 installed versions
  if [ "$(id -u)" = 0 ]; then apt-get update -qq || echo "setup: apt-get update failed; checking the lists as they are" >&2; fi
  check_missing_packages "${tavrin_packages[@]}" || status=1
  installed="$(installed_zstd_version "$zstd_win")"
  versions="$(list_zstd_source_versions)"
  if [ -n "$installed" ]; then
    echo "setup: the Windows libzstd is built from $zstd_source_package $installed"
  elif [ -n "$versions" ]; then
    echo "setup: a run would build the Windows libzstd from $zstd_source_package $(head -n 1 <<<"$versions")" \
      "(listed source versions: $(tr '\n' ' ' <<<"$versions"))"
  else
    echo "setup: no source version of $zstd_source_package is listed; a run would add deb-src entries" \
      "beside the binary sources of this release"
  fi
  return $status
}

if [ "${1:-}" = --check ]; then
  check_setup
  exit $?
elif [ "$#" -gt 0 ]; then
  echo "usage: bash scripts/setup.sh [--check]" >&2
  exit 2
fi

install_missing_packages "${tavrin_packages[@]}"

# A library built and stamped already needs no source step: no update of the lists, no
# entries to add (ensure_target_zstd below still rebuilds it when the lists as they stand
# name a newer version).
# apt-get source needs deb-src entries; Debian's images ship only binary ones. Whether the
# machine has them in some form (one-line, deb822, its own mirror) is asked of apt itself:
# a listed source version of libzstd is all the step needs. Stale lists are refreshed
# first; only when that lists nothing either are entries of our own added.
if [ -z "$(installed_zstd_version "$zstd_win")" ] && [ -z "$(list_zstd_source_versions)" ]; then
  as_root apt-get update -qq
  if [ -z "$(list_zstd_source_versions)" ] && [ ! -e /etc/apt/sources.list.d/tavrin-deb-src.sources ] &&
    [ ! -e /etc/apt/sources.list.d/tavrin-deb-src.list ]; then
    add_source_entries
    as_root apt-get update -qq
  fi
fi
ensure_target_zstd "$deps_dir"

echo "setup: ready (toolchain, wine, target libzstd in $zstd_win)"
