#!/usr/bin/env bash
# tavrin_add_onefile packs the DLLs that nobody names: builds tests/kit/runtime_dlls/
# against the installed kit (both trees installed into a temporary prefix) and checks:
#   - a main library linked to Debian's mingw-w64 zlib: zlib1.dll is in the tree, it runs;
#   - a main library with the C++ runtime linked dynamically and an own DLL built into a
#     folder of its own: the runtime DLLs and the own DLL are in the tree and in
#     <name>.runtime-dlls.txt, and it runs;
#   - the same with NO_RUNTIME_DEPENDENCIES: only the main library, and the start fails
#     with the load line and code 126 (so the collection is what makes the others run);
#   - a DLL that is found nowhere fails the build with its name.
# Needs the Windows and host trees built (scripts/build.sh) and a running wineserver.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"

work="$(mktemp -d "${TMPDIR:-/tmp}/tavrin-runtime.XXXXXX")"
trap 'rm -rf "$work"' EXIT
prefix="$work/kit"
build="$work/build"
check_name="runtime dlls test"
source "$tavrin_root/tests/kit/checks.sh"

# The entries of a packed exe (the listing's lines with a size after a tab): the main
# library first, then the others sorted.
entries() {
  local listing
  listing="$("$prefix/bin/tavrin-pack" list "$1" | sed -n 's/\t.*//p')"
  head -n 1 <<<"$listing"
  sed -n '2,$p' <<<"$listing" | sort
}

cmake --install "$tavrin_host_dir" --prefix "$prefix" >/dev/null
cmake --install "$tavrin_win_dir" --prefix "$prefix" >/dev/null
configure() {
  cmake -S "$tavrin_root/tests/kit/runtime_dlls" -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_TOOLCHAIN_FILE="$prefix/share/tavrin/mingw-w64.cmake" "$@" \
    >"$work/configure.log" 2>&1 || { cat "$work/configure.log" >&2; exit 1; }
}
configure
cmake --build "$build" >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; exit 1; }

crc="$(/usr/bin/python3 -c 'import zlib; print("%08x" % zlib.crc32(b"tavrin"))')"
check "zlib1.dll packed beside the main library" same_text "zmain.dll
zlib1.dll" "$(entries "$build/zlib_exe.exe")"
check "the zlib application runs" matches "^zlib [0-9.]+ crc32 $crc
exit code: 0 " "$(run_exe "$build/zlib_exe.exe")"

runtime_dlls="helper.dll
libgcc_s_seh-1.dll
libstdc++-6.dll
libwinpthread-1.dll"
check "the own DLL and the C++ runtime packed" same_text "cxxmain.dll
$runtime_dlls" "$(entries "$build/cxx_exe.exe")"
check "cxx_exe.runtime-dlls.txt names what was collected" same_text "$runtime_dlls" \
  "$(cut -f1 "$build/cxx_exe.runtime-dlls.txt" | sort)"
check "the C++ application runs" same_text "hello, runtime 2
exit code: 0 (0x00000000, as signed 0)" "$(run_exe "$build/cxx_exe.exe" one)"

check "NO_RUNTIME_DEPENDENCIES packs the main library only" same_text "cxxmain.dll" \
  "$(entries "$build/cxx_named_only.exe")"
check "without its DLLs the start fails to load the main library with code 126" matches \
  '^Error, load DLL\. \(\[Error 126\] [^)]+\)
exit code: 2 ' "$(run_exe "$build/cxx_named_only.exe")"

configure -DWITH_UNFOUND_DLL=ON
unfound_fails() {
  ! cmake --build "$build" --target unfound_exe >"$work/unfound.log" 2>&1 &&
    grep -q 'tavrin: unfound.dll needed at run time but not found in' "$work/unfound.log" &&
    [ ! -e "$build/unfound_exe.exe" ]
}
check "a DLL found nowhere fails the build with its name" unfound_fails

finish_checks
