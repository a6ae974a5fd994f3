#!/usr/bin/env bash
# Makes the release packages of the kit into OUTDIR (default build/release/):
#   tavrin_<version>_amd64.deb           the Linux packer in /usr/bin; the stub, the toolchain
#                                         file, the header and the CMake package under /usr
#   tavrin-<version>-windows-x64.zip     tavrin-pack.exe, the stub, the header, the CMake
#                                         package, examples/hello, the README, the copyright
#   SHA256SUMS                           of both
# Builds what is missing first (only what the packages hold), in the usual build trees.
# The version is the project's (resources/version.h). Two runs give the same bytes: every
# date in the packages is the last commit's (or SOURCE_DATE_EPOCH when set), and the
# files go in by name.
#   bash scripts/release.sh [OUTDIR]
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

out="${1:-$TAVRIN_BUILD_DIR/release}"
release_files="$tavrin_root/scripts/release"
python=/usr/bin/python3   # Debian's: its zlib is the one the zip's bytes depend on
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  SOURCE_DATE_EPOCH="$(git -C "$tavrin_root" log -1 --format=%ct 2>/dev/null)" || {
    echo "release: no git history to date the packages by; set SOURCE_DATE_EPOCH" >&2
    exit 1
  }
fi
export SOURCE_DATE_EPOCH   # dpkg-deb and gzip -n take their dates from here or from nothing
export LC_ALL=C.UTF-8 TZ=UTC
umask 022

bash "$tavrin_root/scripts/setup.sh" >/dev/null
configure_trees
jobs="${TAVRIN_JOBS:-$(nproc)}"
cmake --build "$tavrin_host_dir" -j "$jobs" --target tavrin-pack -- --no-print-directory >/dev/null
cmake --build "$tavrin_win_dir" -j "$jobs" --target tavrin-pack tavrin-launcher -- --no-print-directory >/dev/null
version="$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$tavrin_win_dir/CMakeCache.txt")"
deb_name="tavrin_${version}_amd64.deb"
zip_name="tavrin-${version}-windows-x64.zip"

stage="$(mktemp -d "${TMPDIR:-/tmp}/tavrin-release.XXXXXX")"
trap 'rm -rf "$stage"' EXIT

# Same modes and dates for every file, whatever the checkout and the umask left.
normalize_tree() {
  find "$1" -type d -exec chmod 0755 {} +
  find "$1" -type f -exec chmod 0644 {} +
  find "$1" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
}

# The Debian package's Depends: the shared libraries the Linux packer links, as
# dpkg-shlibdeps reads them (it wants a debian/control beside it).
read_shlib_depends() {
  mkdir -p "$stage/shlibs/debian"
  printf 'Source: tavrin\n\nPackage: tavrin\nArchitecture: amd64\n' >"$stage/shlibs/debian/control"
  (cd "$stage/shlibs" && dpkg-shlibdeps -O -e"$1" 2>/dev/null) | sed -n 's/^shlibs:Depends=//p'
}

debian_changelog() {
  printf 'tavrin (%s) unstable; urgency=medium\n\n  * Release %s.\n\n -- %s  %s\n' \
    "$version" "$version" "$maintainer" "$(date -u -R -d "@$SOURCE_DATE_EPOCH")"
}

# No address of the team is published yet: set TAVRIN_MAINTAINER to the one that answers.
maintainer="${TAVRIN_MAINTAINER:-The tavrin developers <tavrin@example.org>}"
make_deb() {
  local root="$stage/deb"
  DESTDIR="$root" cmake --install "$tavrin_host_dir" --prefix /usr --strip >/dev/null
  DESTDIR="$root" cmake --install "$tavrin_win_dir" --prefix /usr >/dev/null
  rm "$root/usr/bin/tavrin-pack.exe"   # the Windows packer travels in the zip
  local doc="$root/usr/share/doc/tavrin" man="$root/usr/share/man/man1"
  mkdir -p "$doc" "$man"
  cp "$release_files/copyright" "$doc/copyright"
  debian_changelog | gzip -n -9 >"$doc/changelog.gz"
  sed "s/@VERSION@/$version/" "$release_files/tavrin-pack.1" | gzip -n -9 >"$man/tavrin-pack.1.gz"
  normalize_tree "$root"
  chmod 0755 "$root/usr/bin/tavrin-pack"
  mkdir -p "$root/DEBIAN"
  (cd "$root" && find usr -type f | sort | xargs md5sum) >"$root/DEBIAN/md5sums"
  cat >"$root/DEBIAN/control" <<CONTROL
Package: tavrin
Version: $version
Architecture: amd64
Maintainer: $maintainer
Installed-Size: $(du -sk --exclude=DEBIAN "$root" | cut -f1)
Depends: $(read_shlib_depends "$root/usr/bin/tavrin-pack")
Recommends: g++-mingw-w64-x86-64-posix, cmake
Suggests: wine
Section: devel
Priority: optional
Description: one-file launcher for 64-bit Windows applications: packer and kit
 tavrin packs a Windows application, a main DLL and every file it needs, into
 one executable. At each start that executable unpacks the application into a
 protected temporary folder, runs it and removes the folder again.
 .
 This package holds the packer tavrin-pack, which runs on Linux, and a CMake
 package (find_package(tavrin), tavrin_add_onefile) with the mingw-w64
 toolchain file, to cross-build and pack an application.
 .
 It also holds a Windows binary: the launcher stub
 /usr/share/tavrin/tavrin-launcher.exe, a 64-bit Windows (PE) program that the
 packer copies into every executable it writes. It does not run on Linux.
CONTROL
  normalize_tree "$root/DEBIAN"
  dpkg-deb --root-owner-group -Zxz --build "$root" "$out/$deb_name" >/dev/null
}

make_zip() {
  local root="$stage/zip/tavrin-${version}-windows-x64"
  cmake --install "$tavrin_win_dir" --prefix "$root" >/dev/null
  rm "$root/share/tavrin/mingw-w64.cmake"   # a Linux host's cross toolchain
  mkdir -p "$root/examples"
  cp -r "$tavrin_root/examples/hello" "$root/examples/hello"
  cp "$tavrin_root/README.md" "$root/README.md"
  cp "$release_files/copyright" "$root/COPYRIGHT.txt"
  normalize_tree "$root"
  "$python" "$release_files/make_zip.py" "$out/$zip_name" "$root" "$SOURCE_DATE_EPOCH"
}

mkdir -p "$out"
rm -f "$out"/tavrin_*_amd64.deb "$out"/tavrin-*-windows-x64.zip "$out/SHA256SUMS"
make_deb
make_zip
(cd "$out" && sha256sum "$deb_name" "$zip_name" >SHA256SUMS)
echo "release: $out/$deb_name, $out/$zip_name, $out/SHA256SUMS (version $version)"
