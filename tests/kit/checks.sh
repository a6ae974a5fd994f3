# Sourced by the whole-path test scripts (the kit's, the console's) after scripts/env.sh:
# counted checks and the helpers they share. The script sets check_name (its name in the
# messages) first.
passed=0
failed=0
reporter="$tavrin_win_dir/bin/report-exit-code.exe"

check() {  # check DESCRIPTION COMMAND...: runs the command, counts and reports the result
  local description="$1"
  shift
  if "$@"; then
    passed=$((passed + 1))
  else
    failed=$((failed + 1))
    echo "$check_name: FAILED: $description" >&2
  fi
}

same_text() {  # same_text EXPECTED ACTUAL: equal, or both shown
  [ "$1" = "$2" ] && return 0
  diff <(printf '%s\n' "$1") <(printf '%s\n' "$2") >&2 || true
  return 1
}

matches() {  # matches REGEX TEXT: the extended regular expression matches, or both shown
  [[ "$2" =~ $1 ]] && return 0
  printf 'expected to match: %s\nactual: %s\n' "$1" "$2" >&2
  return 1
}

# Runs an exe under wine through the reporter (GetExitCodeProcess): its output, CR removed.
run_exe() {
  wine "$reporter" "$(winepath -w "$1")" "${@:2}" </dev/null 2>&1 | tr -d '\r'
}

finish_checks() {  # the summary line; fails when a check failed
  echo "$check_name: $passed passed, $failed failed"
  [ "$failed" = 0 ]
}
