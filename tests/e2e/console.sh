#!/usr/bin/env bash
# A packed console program as a user meets it in a terminal, and what the packer writes
# for it:
#   - the Subsystem field, read back with pefile, for --subsystem console and windows, for
#     the stub's own and for a repack; the checksum stays right and nothing else changes;
#     the same input packs to the same bytes; `tavrin-pack list` names the subsystem;
#   - at an interactive `wine cmd` prompt in tmux the console exe's output comes before the
#     next prompt and %ERRORLEVEL% is its exit code, while the windowed exe gives the prompt
#     back at once;
#   - Ctrl+C (tmux send-keys C-c) to the console exe started from a shell (an interactive
#     wine cmd would die of it itself): an application that handles it and goes on for 7 s
#     is not killed, its exit code arrives and its tree is removed; one that leaves it to the
#     default processing ends, its code passed on and its tree removed. Exit codes are read
#     by watchers outside that terminal, which the key does not reach.
# Usage: console.sh BIN_DIR (the Windows tree's bin: the stub, e2e_console_app.dll and
# e2e_exit_watch.exe). Needs the host packer (scripts/build.sh) and a running wineserver.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/env.sh"
unset TMUX
bin="$1"
packer="$tavrin_host_dir/bin/tavrin-pack"
python=/usr/bin/python3   # Debian's, which has python3-pefile
work="$(mktemp -d "${TMPDIR:-/tmp}/tavrin-console.XXXXXX")"
socket="tavrin-console-$$"   # a server of our own: no other session is seen or touched
wait_seconds=40
check_name="console test"
source "$tavrin_root/tests/kit/checks.sh"

tmux_() { tmux -L "$socket" "$@"; }
# Every session stays until here: ending the last one ends the server, and a session started
# at that moment would be lost with it.
cleanup() {
  tmux_ kill-server 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# --- the packer: the Subsystem field
mkdir "$work/app"
cp "$bin/e2e_console_app.dll" "$work/app/"
pack() {  # pack STUB OUTPUT [OPTIONS...]
  "$packer" exe --launcher "$1" --main e2e_console_app.dll -o "$2" --execution-level asInvoker "${@:3}" \
    "$work/app" 2>>"$work/pack.log"
}
pack "$bin/tavrin-launcher.exe" "$work/Tool.exe" --subsystem console
pack "$bin/tavrin-launcher.exe" "$work/Windowed.exe" --subsystem windows
pack "$bin/tavrin-launcher.exe" "$work/Stub.exe"
pack "$work/Tool.exe" "$work/Repacked.exe"
pack "$work/Tool.exe" "$work/Back.exe" --subsystem windows
pack "$bin/tavrin-launcher.exe" "$work/Again.exe" --subsystem console

# Subsystem number, whether the checksum is right, and, given a second file, what differs.
pe_facts() {
  "$python" - "$@" <<'PY'
import sys
import pefile
pe = pefile.PE(sys.argv[1])
facts = [str(pe.OPTIONAL_HEADER.Subsystem), "checksum-right" if pe.verify_checksum() else "checksum-wrong"]
if len(sys.argv) > 2:
    first, second = (open(path, "rb").read() for path in sys.argv[1:3])
    fields = {}
    for name, size in (("Subsystem", 2), ("CheckSum", 4)):
        at = pe.OPTIONAL_HEADER.get_field_absolute_offset(name)
        fields.update({i: name for i in range(at, at + size)})
    differing = {fields.get(i, "byte %d" % i) for i in range(max(len(first), len(second)))
                 if first[i:i + 1] != second[i:i + 1]}
    facts.append("differs:" + ",".join(sorted(differing)))
print(" ".join(facts))
PY
}
check "--subsystem console: 3, checksum right, only Subsystem and CheckSum differ from the stub's" \
  same_text "3 checksum-right differs:CheckSum,Subsystem" "$(pe_facts "$work/Tool.exe" "$work/Stub.exe")"
check "--subsystem windows: 2, the same bytes as the stub's own" \
  same_text "2 checksum-right differs:" "$(pe_facts "$work/Windowed.exe" "$work/Stub.exe")"
check "a console exe repacked without the option stays console" \
  same_text "3 checksum-right differs:" "$(pe_facts "$work/Repacked.exe" "$work/Tool.exe")"
check "a console exe repacked with --subsystem windows is windows again" \
  same_text "2 checksum-right differs:" "$(pe_facts "$work/Back.exe" "$work/Stub.exe")"
check "the same input packs to the same bytes" cmp -s "$work/Tool.exe" "$work/Again.exe"
check "list names the subsystem" same_text "subsystem: console" "$("$packer" list "$work/Tool.exe" | tail -n 1)"

# --- the terminal
screen() { tmux_ capture-pane -p -J -t "$1" -S -300; }
wait_for() {  # wait_for SESSION EXTENDED_REGEX: true once a line of the screen matches
  local deadline=$((SECONDS + wait_seconds)) text
  while [ "$SECONDS" -lt "$deadline" ]; do
    text="$(screen "$1")"
    if grep -qE -- "$2" <<<"$text"; then return 0; fi
    sleep 0.2
  done
  echo "console test: no line matching '$2' within $wait_seconds s; the screen:" >&2
  screen "$1" >&2
  return 1
}
# The first non-empty line after the one that holds the typed command (fixed text), once
# there is one: the program's output, or the next prompt.
line_after() {  # line_after SESSION COMMAND
  local deadline=$((SECONDS + wait_seconds)) text next
  while [ "$SECONDS" -lt "$deadline" ]; do
    text="$(screen "$1")"
    next="$(awk -v command="$2" 'found && NF { print; exit } index($0, command) { found = 1 }' <<<"$text")"
    if [ -n "$next" ]; then
      printf '%s\n' "${next%$'\r'}"
      return 0
    fi
    sleep 0.2
  done
}
start_session() {  # start_session NAME COMMAND
  tmux_ new-session -d -s "$1" -x 250 -y 60 -c "$work" "$2"
}

prompt="$(winepath -w "$work")>"
start_session prompt "wine cmd"
wait_for prompt "^$(printf '%s' "$prompt" | sed 's/[]\\.*^$[]/\\&/g')"
tmux_ send-keys -t prompt "Tool.exe print 5 1500" Enter
check "at a cmd prompt the console exe's output comes before the next prompt" \
  same_text "tool-output 5" "$(line_after prompt "Tool.exe print 5 1500")"
tmux_ send-keys -t prompt "echo level=%ERRORLEVEL%" Enter
check "%ERRORLEVEL% is the console exe's exit code" wait_for prompt "^level=5"
# The windowed exe prints only after 8 s: a prompt right after its command line came back
# before it ended.
tmux_ send-keys -t prompt "Windowed.exe print 6 8000" Enter
windowed_next="$(line_after prompt "Windowed.exe print 6 8000")"
check "the windowed exe gives the prompt back at once" \
  test "${windowed_next#"$prompt"}" != "$windowed_next" -a "${windowed_next#"$prompt"}" != "tool-output 6"

# Ctrl+C: runs "Tool.exe MODE" from a shell in tmux, sends Ctrl+C once the application is
# ready, and prints the exit codes of the launcher and of its child as watchers outside the
# terminal saw them, and whether the tree is still there.
watch_exit() {  # watch_exit PID FILE: starts a watcher in the background, returns once it watches
  local deadline=$((SECONDS + wait_seconds))
  wine "$bin/e2e_exit_watch.exe" "$1" </dev/null >"$2" 2>&1 &
  until grep -q "^watching" "$2" 2>/dev/null || [ "$SECONDS" -ge "$deadline" ]; do sleep 0.1; done
}
interrupt_run() {
  local mode="$1" session="interrupt-$1" text tree
  start_session "$session" "bash --norc --noprofile"
  tmux_ send-keys -t "$session" "wine ./Tool.exe $mode" Enter
  wait_for "$session" "^ready" || return 1
  text="$(screen "$session" | tr -d '\r')"
  tree="$(winepath -u "$(sed -n '/^tree /{s///p;q}' <<<"$text")")"
  watch_exit "$(sed -n '/^parent /{s///p;q}' <<<"$text")" "$work/parent-$mode.txt"
  watch_exit "$(sed -n '/^pid /{s///p;q}' <<<"$text")" "$work/child-$mode.txt"
  tmux_ send-keys -t "$session" C-c
  wait
  for who in parent child; do
    echo "$who $(tr -d '\r' <"$work/$who-$mode.txt" | grep -E '^(exit|cannot|still)' || true)"
  done
  if [ -e "$tree" ]; then echo "tree stays"; else echo "tree removed"; fi
}
check "an application that handles Ctrl+C and goes on 7 s is not killed: its code, its tree removed" \
  same_text $'parent exit 0x00000007\nchild exit 0x00000007\ntree removed' "$(interrupt_run handle)"
# Windows ends a process by the default processing of Ctrl+C with STATUS_CONTROL_C_EXIT;
# wine 8 ends it with 0. The launcher's part is to pass the child's code on, whichever.
defaulted="$(interrupt_run default)"
child_code="$(sed -n 's/^child exit //p' <<<"$defaulted")"
check "the default processing of Ctrl+C ends the application with STATUS_CONTROL_C_EXIT (0 under wine)" \
  test "$child_code" = 0xC000013A -o "$child_code" = 0x00000000
check "after the default processing the launcher passes the code on and removes the tree" \
  same_text "parent exit $child_code"$'\n'"child exit $child_code"$'\ntree removed' "$defaulted"

finish_checks
