#!/usr/bin/env bash
# The release packages, used as a team would get them (scripts/release.sh, from the built
# trees):
#   - names, SHA256SUMS, the packer's --version and the CMake package's version agree;
#   - the .deb: lintian finds no error and no warning;
#     unpacked into a scratch root, examples/hello builds against it with only that root's
#     /usr as prefix and its own toolchain file, and Hello.exe runs under wine;
#   - the zip: unpacked anywhere, its tavrin-pack.exe under wine finds its stub and packs
#     the hello tree into the same bytes as the Linux packer of the .deb; that exe runs.
# Needs the Windows and host trees built (scripts/build.sh) and a running wineserver.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"

work="$(mktemp -d "${TMPDIR:-/tmp}/tavrin-release-test.XXXXXX")"
trap 'rm -rf "$work"' EXIT
out="$work/release"
check_name="release test"
source "$tavrin_root/tests/kit/checks.sh"

bash "$tavrin_root/scripts/release.sh" "$out" >"$work/release.log" 2>&1 || { cat "$work/release.log" >&2; exit 1; }
deb="$(ls "$out"/tavrin_*_amd64.deb)"
zip="$(ls "$out"/tavrin-*-windows-x64.zip)"
version="$(dpkg-deb -f "$deb" Version)"

# --- one version everywhere
root="$work/root"
dpkg -x "$deb" "$root"
check "the package names carry the package's version" same_text \
  "tavrin_${version}_amd64.deb tavrin-${version}-windows-x64.zip" "$(basename "$deb") $(basename "$zip")"
check "tavrin-pack --version says the package's version" same_text \
  "tavrin-pack $version" "$("$root/usr/bin/tavrin-pack" --version)"
check "the CMake package's version file says it too" grep -q "^set(PACKAGE_VERSION \"$version\")" \
  "$root/usr/lib/cmake/tavrin/tavrinConfigVersion.cmake"
check "SHA256SUMS holds both packages" sh -c "cd '$out' && sha256sum --quiet -c SHA256SUMS && test \$(wc -l <SHA256SUMS) = 2"

# --- lintian: no error and no warning (the informational tags stay visible in the log)
lintian_clean() {
  lintian --allow-root --fail-on error,warning "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log" >&2; return 1; }
}
check "lintian: no error, no warning" lintian_clean

# --- hello against the scratch root
cp -r "$tavrin_root/examples/hello" "$work/hello"
build="$work/hello-build"
build_hello() {
  cmake -S "$work/hello" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$root/usr" \
    -DCMAKE_TOOLCHAIN_FILE="$root/usr/share/tavrin/mingw-w64.cmake" >"$work/hello.log" 2>&1 &&
    cmake --build "$build" --verbose >>"$work/hello.log" 2>&1 &&
    grep -q "^$root/usr/bin/tavrin-pack exe " "$work/hello.log" || { cat "$work/hello.log" >&2; return 1; }
}
check "hello builds and packs with the .deb's kit" build_hello
data="$work/hello/app-data/texts/welcome.txt"
hello_output="Hello, release user!
$(cat "$data")
$(wc -w <"$data") words in texts\\welcome.txt
exit code: 2 (0x00000002, as signed 2)"
check "Hello.exe of the .deb's kit runs" same_text "$hello_output" "$(run_exe "$build/Hello.exe" release user)"

# --- the zip, unpacked into a folder of its own
/usr/bin/python3 -m zipfile -e "$zip" "$work/unzipped"
kit="$(ls -d "$work"/unzipped/tavrin-*-windows-x64)"
pack_with_zip() {
  (cd "$work" && wine "$kit/bin/tavrin-pack.exe" exe --main hello.dll --execution-level asInvoker \
    -o zip.exe "$(winepath -w "$build/hello_exe.tree")" </dev/null >"$work/zip-pack.log" 2>&1) ||
    { cat "$work/zip-pack.log" >&2; return 1; }
}
check "the zip's tavrin-pack.exe packs with the stub beside it" pack_with_zip
"$root/usr/bin/tavrin-pack" exe --main hello.dll --execution-level asInvoker -o "$work/linux.exe" "$build/hello_exe.tree" >/dev/null
check "the zip's packer writes the bytes the Linux packer writes" cmp "$work/zip.exe" "$work/linux.exe"
check "the exe packed by the zip's packer runs" same_text "$hello_output" "$(run_exe "$work/zip.exe" release user)"
for file in include/tavrin/app.h lib/cmake/tavrin/tavrinConfig.cmake lib/cmake/tavrin/tavrinRuntimeDlls.cmake \
            examples/hello/CMakeLists.txt README.md COPYRIGHT.txt; do
  check "the zip holds $file" test -f "$kit/$file"
done

finish_checks
