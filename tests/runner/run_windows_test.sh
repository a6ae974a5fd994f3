#!/usr/bin/env bash
# run_windows_test.sh EMULATOR PROGRAM [ARGUMENT...]: runs one Windows test program under
# wine (the emulator), and passes its exit status on.
# Now and then wine ends a program before any of its code has run, with a failing status
# and, since the tests turn wine's messages off, no word at all. Such a start, and only such a
# start, is tried again, once more with wine's error messages on, and the runner says so:
# a program that reached its own code (started_mark.cpp leaves a file) is never run twice,
# so a test's own failure always stands.
set -uo pipefail
emulator="$1"
program="$2"
shift 2
start_attempts=3

mark_dir="$(mktemp -d "${TMPDIR:-/tmp}/tavrin-started.XXXXXX")" || exit 1
trap 'rm -rf "$mark_dir"' EXIT
mark="$mark_dir/started"
windows_mark="Z:${mark//\//\\}"
for ((attempt = 1; ; attempt++)); do
  TAVRIN_TEST_STARTED_MARK="$windows_mark" "$emulator" "$program" "$@"
  status=$?
  if [ -e "$mark" ] || [ "$attempt" -ge "$start_attempts" ]; then exit "$status"; fi
  echo "run_windows_test: $(basename "$program") ended with status $status before its own code ran;" \
    "starting it again (attempt $((attempt + 1)) of $start_attempts), with wine's error messages" >&2
  export WINEDEBUG=err+all,fixme-all
done
