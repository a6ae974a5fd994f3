#!/usr/bin/env bash
# The installed kit, used from outside the repository as a team would use it: installs the
# kit into a temporary prefix, builds a copy of examples/hello against it with the kit's own
# toolchain file, and checks the packed Hello.exe:
#   - it runs under wine: greeting, the data file, the helper DLL's count, the exit code;
#     so does its console twin hello-tool.exe (SUBSYSTEM console), a console program;
#   - the packed tree holds the main library first, the helper DLL, DIRECTORY and FILES;
#   - icon and version resource and manifest are the example's, read by icotool/wrestool
#     and pefile;
#   - packing the same tree again gives the same bytes; a changed data file repacks;
#   - signed with osslsigncode and a throwaway CA, it verifies, runs and still lists;
#   - packed with UNPACK_TO cache and CACHE_ROOT, it runs twice from one tree named by
#     product and version below that root; packed with PROGRESS_WINDOW, it carries that option.
# Needs the Windows and host trees built (scripts/build.sh) and a running wineserver
# (scripts/test.sh starts one).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"

work="$(mktemp -d "${TMPDIR:-/tmp}/tavrin-kit.XXXXXX")"
trap 'rm -rf "$work"' EXIT
prefix="$work/kit"
build="$work/hello-build"
python=/usr/bin/python3   # Debian's, which has python3-pefile
check_name="kit test"
source "$tavrin_root/tests/kit/checks.sh"

build_hello() {
  cmake --build "$build" --verbose >"$work/build.log" 2>&1 || { cat "$work/build.log" >&2; return 1; }
}

# --- the kit, and the example built against it
bash "$tavrin_root/scripts/install.sh" "$prefix" >/dev/null
for file in bin/tavrin-pack bin/tavrin-pack.exe share/tavrin/tavrin-launcher.exe share/tavrin/mingw-w64.cmake \
            include/tavrin/app.h lib/cmake/tavrin/tavrinConfig.cmake lib/cmake/tavrin/tavrinConfigVersion.cmake; do
  check "the kit holds $file" test -f "$prefix/$file"
done
cp -r "$tavrin_root/examples/hello" "$work/hello"
# The same application once more, for the cached place.
cat >>"$work/hello/CMakeLists.txt" <<'CACHED'
tavrin_add_onefile(hello_cached MAIN hello LIBRARIES words DIRECTORY app-data FILES NOTICE.txt
  OUTPUT_NAME HelloCached VERSION ${PROJECT_VERSION} PRODUCT_NAME "Hello" UNPACK_TO cache
  CACHE_ROOT "{CACHE_DIR}\\HelloCache" EXECUTION_LEVEL asInvoker PROGRESS_WINDOW)
CACHED
cmake -S "$work/hello" -B "$build" -DCMAKE_BUILD_TYPE=Release -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_TOOLCHAIN_FILE="$prefix/share/tavrin/mingw-w64.cmake" >"$work/configure.log" 2>&1 \
  || { cat "$work/configure.log" >&2; exit 1; }
build_hello
exe="$build/Hello.exe"
check "the build packed Hello.exe with the host packer of the kit" \
  grep -q "^$prefix/bin/tavrin-pack exe " "$work/build.log"

# --- what it does
data="$work/hello/app-data/texts/welcome.txt"
expected_output="Hello, kit user!
$(cat "$data")
$(wc -w <"$data") words in texts\\welcome.txt
exit code: 2 (0x00000002, as signed 2)"
unsigned_output="$(run_exe "$exe" kit user)"
check "Hello.exe's output and exit code" same_text "$expected_output" "$unsigned_output"

# --- the same application packed with SUBSYSTEM console: a console program, read by objdump
check "hello-tool.exe is a console program (SUBSYSTEM console), Hello.exe a windowed one" same_text \
  $'Windows GUI\nWindows CUI' \
  "$(for packed in "$exe" "$build/hello-tool.exe"; do
       x86_64-w64-mingw32-objdump -p "$packed" | sed -n 's/^Subsystem.*(\(.*\))$/\1/p'
     done)"
check "hello-tool.exe's output and exit code" same_text "$expected_output" "$(run_exe "$build/hello-tool.exe" kit user)"

# --- the cached place: two runs, one tree below the cache root in the local application data
local_folders=("$WINEPREFIX"/drive_c/users/*/AppData/Local)
cache_product="${local_folders[0]}/HelloCache/Hello"
rm -rf "$cache_product"
check "HelloCached.exe's first run" same_text "$expected_output" "$(run_exe "$build/HelloCached.exe" kit user)"
check "HelloCached.exe's second run" same_text "$expected_output" "$(run_exe "$build/HelloCached.exe" kit user)"
check "one cached tree named by product and version" same_text "2.3.4.5" \
  "$(ls "$cache_product" | sed 's/_[0-9a-f]\{16\}$//')"
rm -rf "$cache_product"
check "PROGRESS_WINDOW reaches the packed exe" grep -qx "launcher options: progress-window" \
  <<<"$("$prefix/bin/tavrin-pack" list "$build/HelloCached.exe")"

listing="$("$prefix/bin/tavrin-pack" list "$exe" | cut -f1)"
check "the packed tree: main library first, helper DLL, DIRECTORY and FILES" same_text \
  "hello.dll"$'\n'"$(printf '%s\n' NOTICE.txt 'texts\welcome.txt' words.dll)" \
  "$(head -n 1 <<<"$listing")"$'\n'"$(sed -n '2,$p' <<<"$listing" | grep -v -e ' entries, ' -e '^subsystem: ' | sort)"

# --- identity: the icon group is the example's icon, image for image
mkdir -p "$work/icon-source" "$work/icon-exe"
cp "$work/hello/hello.ico" "$work/icon-source/icon.ico"
wrestool -x --type=14 --name=1 "$exe" >"$work/icon-exe/icon.ico"
icotool -x -o "$work/icon-source" "$work/icon-source/icon.ico"
icotool -x -o "$work/icon-exe" "$work/icon-exe/icon.ico"
check "the icon group holds the images of hello.ico" \
  diff -r --exclude=icon.ico "$work/icon-source" "$work/icon-exe"

expected_identity="CompanyName=The Hello team
FileDescription=Hello, packed into one file
FileVersion=2.3.4.5
InternalName=tavrin-launcher
LegalCopyright=Copyright (C) The Hello team
OriginalFilename=Hello.exe
ProductName=Hello
ProductVersion=2.3.4.5
fixed.FileVersion=2.3.4.5
fixed.ProductVersion=2.3.4.5
manifest.level=asInvoker"
check "version resource and manifest as the example's CMakeLists.txt sets them" \
  same_text "$expected_identity" "$("$python" "$tavrin_root/tests/kit/read_identity.py" "$exe")"

# --- the same tree packs to the same bytes; a changed input packs again
cp "$exe" "$work/first.exe"
rm "$exe"
build_hello
check "packing the same tree twice gives the same bytes" cmp -s "$work/first.exe" "$exe"
echo "One more line." >>"$data"
build_hello
check "a changed data file packs the exe again" test "$(cmp -s "$work/first.exe" "$exe"; echo $?)" = 1
cp "$work/first.exe" "$exe"

# --- signed with a throwaway certificate authority
(
  cd "$work"
  openssl req -x509 -newkey rsa:2048 -nodes -keyout ca.key -out ca.pem -days 2 -subj "/CN=tavrin kit test CA" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign
  openssl req -newkey rsa:2048 -nodes -keyout signer.key -out signer.csr -subj "/CN=tavrin kit test signer"
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n' >signer.ext
  openssl x509 -req -in signer.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out signer.pem -days 2 -extfile signer.ext
) >"$work/openssl.log" 2>&1 || { cat "$work/openssl.log" >&2; exit 1; }
signed="$work/Hello-signed.exe"
osslsigncode sign -certs "$work/signer.pem" -key "$work/signer.key" -h sha256 -n Hello \
  -in "$exe" -out "$signed" >"$work/sign.log" 2>&1 || { cat "$work/sign.log" >&2; exit 1; }
verify_signature() {
  osslsigncode verify -CAfile "$work/ca.pem" -in "$signed" >"$work/verify.log" 2>&1 \
    || { cat "$work/verify.log" >&2; return 1; }
}
check "osslsigncode verifies the signed exe against the test CA" verify_signature
check "the signed exe runs as the unsigned one" same_text "$unsigned_output" "$(run_exe "$signed" kit user)"
check "tavrin-pack list reads the signed exe" same_text \
  "$("$prefix/bin/tavrin-pack" list "$exe")" "$("$prefix/bin/tavrin-pack" list "$signed")"

refuse_signed_stub() {
  ! "$prefix/bin/tavrin-pack" exe --launcher "$signed" --main hello.dll -o "$work/repacked.exe" \
      "$build/hello_exe.tree" 2>"$work/refusal.log" \
    && grep -q "sign the packed executable instead of the stub" "$work/refusal.log" && [ ! -e "$work/repacked.exe" ]
}
check "a signed exe is refused as a stub (a rewrite would break its signature)" refuse_signed_stub

finish_checks
