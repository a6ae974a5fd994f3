#!/usr/bin/env bash
# The main command: builds everything, packs the demo application into the single
# executable Zandoria.exe, runs it under wine with sample arguments, shows its full exit
# code and checks that the directory it unpacked into is gone afterwards.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/env.sh"

bash "$tavrin_root/scripts/build.sh"

packer="$tavrin_host_dir/bin/tavrin-pack"
stub="$tavrin_win_dir/bin/tavrin-launcher.exe"
reporter="$tavrin_win_dir/bin/report-exit-code.exe"
app_dir="$tavrin_win_dir/demo-app"
app_exe="$TAVRIN_BUILD_DIR/Zandoria.exe"
app_payload="$TAVRIN_BUILD_DIR/Zandoria.payload"
requested_exit_code=7
sample_arguments=("two words" 'a "quoted" word' 'back\slash\' "--exit-code=$requested_exit_code")

for needed in "$packer" "$stub" "$reporter" "$app_dir/zandoria.dll"; do
  if [ ! -e "$needed" ]; then
    echo "demo: $needed is missing; the build did not produce it" >&2
    exit 1
  fi
done

# Packed in two steps so that the listing shows exactly the payload that goes into the exe.
echo "== packing $app_dir into $app_payload"
"$packer" payload --main zandoria.dll -o "$app_payload" "$app_dir"
echo "== entries of the payload (zandoria.dll first: the launcher loads the first entry)"
"$packer" list "$app_payload"
echo "== writing $app_exe: the launcher stub carrying the payload"
"$packer" exe --launcher "$stub" --payload "$app_payload" -o "$app_exe"

trap stop_wine EXIT
start_wine

# The launcher unpacks into {TEMP}\onefile_<pid>_<time>; wine's TEMP lies in the prefix.
temp_windows="$(wine cmd /c echo %TEMP% | tr -d '\r')"
temp_unix="$(winepath -u "$temp_windows" 2>/dev/null)"
leftovers_before="$(ls -d "$temp_unix"/onefile_* 2>/dev/null | sort || true)"

echo "== running Zandoria.exe with arguments:$(printf ' [%s]' "${sample_arguments[@]}")"
output_file="$(mktemp)"
wine "$reporter" "$(winepath -w "$app_exe")" "${sample_arguments[@]}" | tr -d '\r' | tee "$output_file"

exit_line="$(grep '^exit code: ' "$output_file" || true)"
unpacked_windows="$(sed -n 's/^unpacked tree: //p' "$output_file")"
rm -f "$output_file"
leftovers_after="$(ls -d "$temp_unix"/onefile_* 2>/dev/null | sort || true)"

echo "== checks"
status=0
if [ "${exit_line#exit code: }" != "$exit_line" ] && [ "$(echo "$exit_line" | cut -d' ' -f3)" = "$requested_exit_code" ]; then
  echo "exit code passed through: $requested_exit_code"
else
  echo "demo: expected exit code $requested_exit_code, got: ${exit_line:-nothing}" >&2
  status=1
fi
if [ -z "$unpacked_windows" ]; then
  echo "demo: the application did not report its unpacked tree" >&2
  status=1
elif [ -e "$(winepath -u "$unpacked_windows" 2>/dev/null)" ]; then
  echo "demo: the target directory $unpacked_windows is still there" >&2
  status=1
else
  echo "target directory $unpacked_windows is gone"
fi
if [ "$leftovers_before" != "$leftovers_after" ]; then
  echo "demo: new onefile_* directories left in $temp_windows:" >&2
  comm -13 <(echo "$leftovers_before") <(echo "$leftovers_after") >&2
  status=1
fi
echo "demo: packed application at $app_exe"
exit $status
