# Sourced by setup.sh (and by its test): builds the Windows target's static libzstd from
# Debian's zstd source package.
#
# Package sources may list source versions whose files are not served (a security update
# listed by one server and missing on the mirror that answers), so every listed version is
# tried, newest first, until one downloads and unpacks completely. The built library keeps
# the version it came from in a stamp beside it, written last: a library without its stamp
# is a half-finished one, and a library whose stamp names another version than the one a
# set-up would now build from is rebuilt rather than mixed with newer headers.

zstd_source_package=libzstd
zstd_stamp_name=source-version

# The source versions the package sources list, newest first, one a line.
list_zstd_source_versions() {
  local versions=() version i j
  mapfile -t versions < <(apt-cache showsrc "$zstd_source_package" 2>/dev/null |
    sed -n 's/^Version:[[:space:]]*//p' | sort -u)
  # Debian's version order is not sort's: an insertion sort through dpkg's own comparison.
  for ((i = 1; i < ${#versions[@]}; i++)); do
    version="${versions[i]}"
    for ((j = i - 1; j >= 0; j--)); do
      dpkg --compare-versions "${versions[j]}" lt "$version" || break
      versions[j + 1]="${versions[j]}"
    done
    versions[j + 1]="$version"
  done
  [ "${#versions[@]}" -eq 0 ] || printf '%s\n' "${versions[@]}"
}

# Downloads and unpacks one source version into the empty private directory work_dir.
# Prints the unpacked tree's path, or the reason it failed on standard error and returns 1.
fetch_zstd_source_version() {
  local version="$1" work_dir="$2" log tree reason
  log="$work_dir.log"
  # apt-get source run as root drops to the _apt user for the download: that user, and no
  # other, gets the directory. Never a world-writable one, where another local user could
  # plant a link for root's unpacking to follow.
  if [ "$(id -u)" = 0 ] && id _apt >/dev/null 2>&1; then
    chown _apt "$work_dir" || return 1
  fi
  if ! (cd "$work_dir" && apt-get source -qq "$zstd_source_package=$version") >"$log" 2>&1; then
    # The first error line says enough (a 404 names the file that is not served).
    reason="$(grep -m1 '^E:' "$log" || tail -n 1 "$log")"
    echo "${reason:-apt-get source failed without a message}" >&2
    return 1
  fi
  tree="$(find "$work_dir" -mindepth 1 -maxdepth 1 -type d \( -name 'libzstd-*' -o -name 'zstd-*' \) -print -quit)"
  if [ -z "$tree" ] || [ ! -f "$tree/lib/zstd.h" ] || [ ! -f "$tree/lib/Makefile" ]; then
    echo "the download unpacked no source tree with lib/zstd.h and lib/Makefile" >&2
    return 1
  fi
  echo "$tree"
}

# Builds libzstd.a from the unpacked tree and installs it with its headers into zstd_win,
# replacing what was there in one rename; the stamp names the version. Every step ends
# the function on failure itself: callers run it inside `||`, where set -e does not hold,
# and a library stamped without its headers would pass for complete.
install_zstd_from_tree() {
  local tree="$1" version="$2" zstd_win="$3" build_log="$4" staging
  make -s -C "$tree/lib" -j"$(nproc)" libzstd.a \
    CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar \
    ZSTD_LEGACY_SUPPORT=0 >"$build_log" 2>&1 || { cat "$build_log" >&2; return 1; }
  staging="$zstd_win.new"
  rm -rf "$staging" || return 1
  mkdir -p "$staging/lib" "$staging/include" || return 1
  cp "$tree/lib/libzstd.a" "$staging/lib/" || return 1
  cp "$tree/lib/zstd.h" "$tree/lib/zstd_errors.h" "$tree/lib/zdict.h" "$staging/include/" || return 1
  echo "$version" >"$staging/$zstd_stamp_name" || return 1
  rm -rf "$zstd_win" || return 1
  mv "$staging" "$zstd_win"
}

# The version the library in zstd_win was built from, empty when none is complete.
installed_zstd_version() {
  local zstd_win="$1"
  [ -f "$zstd_win/lib/libzstd.a" ] && [ -f "$zstd_win/$zstd_stamp_name" ] && cat "$zstd_win/$zstd_stamp_name"
  return 0
}

# Makes zstd_win hold a libzstd built from the newest source version that can be had.
# The installed library stands while no listed version newer than its own downloads; a
# library whose version is no longer listed is rebuilt from the newest that downloads.
# Returns 1 with one message naming every version tried and why it failed when none can
# be had and nothing is installed.
ensure_target_zstd() {
  local deps_dir="$1" zstd_win="$1/zstd-win" installed version tree src_dir reason
  local versions=() failures=()
  installed="$(installed_zstd_version "$zstd_win")"
  mapfile -t versions < <(list_zstd_source_versions)
  if [ "${#versions[@]}" -eq 0 ]; then
    if [ -n "$installed" ]; then return 0; fi
    echo "setup: the package sources list no source version of $zstd_source_package;" \
      "add a deb-src entry for this release's main component (and its security suite)" \
      "beside the binary one, run apt-get update, and run the set-up again" >&2
    return 1
  fi
  for version in "${versions[@]}"; do
    [ "$version" != "$installed" ] || return 0
    mkdir -p "$deps_dir" || return 1
    # A fresh directory of mode 0700 each attempt, made by mktemp, never one that was there.
    src_dir="$(mktemp -d "$deps_dir/src.XXXXXX")" || return 1
    if reason="$(fetch_zstd_source_version "$version" "$src_dir" 2>&1 >"$src_dir.tree")"; then
      tree="$(cat "$src_dir.tree")"
      echo "setup: building the Windows libzstd from $zstd_source_package $version"
      install_zstd_from_tree "$tree" "$version" "$zstd_win" "$deps_dir/zstd-build.log" || {
        rm -rf "$src_dir" "$src_dir.log" "$src_dir.tree"
        echo "setup: building libzstd $version for Windows failed (log above)" >&2
        return 1
      }
      rm -rf "$src_dir" "$src_dir.log" "$src_dir.tree"
      return 0
    fi
    echo "setup: $zstd_source_package $version cannot be had ($reason); trying the next version"
    failures+=("  $version: $reason")
    rm -rf "$src_dir" "$src_dir.log" "$src_dir.tree"
  done
  if [ -n "$installed" ]; then
    echo "setup: keeping libzstd $installed for Windows; no listed source version could be downloaded" >&2
    return 0
  fi
  {
    echo "setup: no source version of $zstd_source_package could be downloaded; tried, newest first:"
    printf '%s\n' "${failures[@]}"
    echo "The package sources list these versions but do not serve their files. Check the deb-src"
    echo "entries (apt-cache policy; /etc/apt/sources.list.d), point them at a mirror that serves"
    echo "sources, run apt-get update, and run the set-up again."
  } >&2
  return 1
}
