#!/usr/bin/env bash
# The Windows test runner against a stand-in for wine that follows a plan, one step per
# start: "unstarted:N" ends with status N before the program's code (no mark), "started:N"
# leaves the mark as started_mark.cpp does and ends with N. Checks that only a start that
# never reached the program is tried again, said so with wine's messages on, and at most
# three times, and that a started program's status always stands.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"
runner="$tavrin_root/tests/runner/run_windows_test.sh"
check_name="windows test runner test"
source "$tavrin_root/tests/kit/checks.sh"
work="$(mktemp -d "${TMPDIR:-/tmp}/tavrin-runner.XXXXXX")"
trap 'rm -rf "$work"' EXIT

cat >"$work/emulator" <<'STANDIN'
#!/usr/bin/env bash
log="$(dirname "$0")/starts"
echo "$WINEDEBUG|$*" >>"$log"
step="$(sed -n "$(wc -l <"$log")p" "$(dirname "$0")/plan")"
mark="${TAVRIN_TEST_STARTED_MARK#Z:}"
if [ "${step%%:*}" = started ]; then : >"${mark//\\//}"; fi
exit "${step#*:}"
STANDIN
chmod +x "$work/emulator"

# run_plan STEPS...: the runner's status, then the starts the stand-in saw, then what the
# runner said.
run_plan() {
  printf '%s\n' "$@" >"$work/plan"
  rm -f "$work/starts"
  local status=0
  WINEDEBUG=-all bash "$runner" "$work/emulator" 'C:\t\unit.exe' --gtest_brief=1 2>"$work/said" || status=$?
  echo "status $status"
  cat "$work/starts"
  grep -c "before its own code ran" "$work/said" || true
}

check "a start that never reached the program is tried again with wine's messages" same_text "status 0
-all|C:\t\unit.exe --gtest_brief=1
err+all,fixme-all|C:\t\unit.exe --gtest_brief=1
1" "$(run_plan unstarted:1 started:0)"
check "a program that started and failed is run once, its status passed on" same_text "status 3
-all|C:\t\unit.exe --gtest_brief=1
0" "$(run_plan started:3 started:0)"
check "three starts at most" matches "^status 5
(.*
){3}2$" "$(run_plan unstarted:5 unstarted:5 unstarted:5 started:0)"

finish_checks
