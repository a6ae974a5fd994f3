#!/usr/bin/env bash
# Runs the link tests under wine with links made from the Linux side: wine cannot make
# them itself (its CreateSymbolicLinkW reports success and makes nothing). The test
# program writes a request file into the directory named by E2E_LINK_REQUESTS, three
# lines: "link" or "unlink", the link's Unix path, the target's Unix path. This script
# carries it out and renames the request to .done (or .failed), which the test waits for.
# Usage: links.sh PATH/TO/e2e_links_test.exe
set -u
test_exe="$1"
requests="$(mktemp -d /tmp/tavrin-e2e-links.XXXXXX)"
poll_seconds=0.02

serve_requests() {
  local request operation link target
  while :; do
    for request in "$requests"/*.req; do
      [ -e "$request" ] || continue
      { read -r operation; read -r link; read -r target; } <"$request"
      local done=failed
      case "$operation" in
        link) ln -s -- "$target" "$link" && done=done ;;
        unlink) rm -f -- "$link" && done=done ;;
      esac
      mv -- "$request" "${request%.req}.$done"
    done
    sleep "$poll_seconds"
  done
}

serve_requests &
server=$!
cleanup() {
  kill "$server" 2>/dev/null
  wait "$server" 2>/dev/null
  rm -rf "$requests"
}
trap cleanup EXIT
export E2E_LINK_REQUESTS="Z:$(printf '%s' "$requests" | tr '/' '\\')"
wine "$test_exe" --gtest_filter='Links.*'
