#!/usr/bin/env bash
# The set-up's package step as on a fresh machine: a stand-in dpkg-query reports nothing
# installed and a stand-in apt-get records what it is asked for, while apt-cache stays the
# real one, so its real output meets the step's real checks under pipefail.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

mkdir -p "$work/bin"
cat >"$work/bin/dpkg-query" <<'EOF'
#!/bin/sh
echo "dpkg-query: no packages found matching $3" >&2
exit 1
EOF
real_apt_get="$(command -v apt-get)"
cat >"$work/bin/apt-get" <<EOF
#!/bin/sh
# Lists are the machine's own; a simulation changes nothing; an install is only recorded.
case " \$* " in
  *" update "*) exit 0 ;;
  *" -s "*) exec "$real_apt_get" "\$@" ;;
esac
echo "\$*" >>"$work/apt-get.log"
EOF
chmod +x "$work/bin/dpkg-query" "$work/bin/apt-get"

failed=0
fail() { echo "FAIL: $*" >&2; failed=$((failed + 1)); }
# Runs one function of the step with the stand-ins first on the PATH; output in $work/out.
run_step() {
  rm -f "$work/apt-get.log"
  (
    set -euo pipefail
    export PATH="$work/bin:$PATH"
    source "$root/scripts/packages.sh"
    "$@"
  ) >"$work/out" 2>&1
}

# Every package asked for in one install, and nothing else.
source "$root/scripts/packages.sh"
run_step install_missing_packages "${tavrin_packages[@]}" || fail "the install step failed: $(cat "$work/out")"
installs="$(grep -cE '(^| )install( |$)' "$work/apt-get.log" 2>/dev/null || true)"
[ "$installs" = 1 ] || fail "expected one install call, saw ${installs:-none}: $(cat "$work/out")"
for p in "${tavrin_packages[@]}"; do
  grep -qw -- "$p" "$work/apt-get.log" 2>/dev/null || fail "$p was not asked for"
done

# A name the sources do not offer: named in the one message, and nothing installed.
bogus=tavrin-no-such-package-for-the-test
run_step install_missing_packages "${tavrin_packages[@]}" "$bogus" && fail "the step succeeded with $bogus in the list"
grep -q "offer no installable $bogus;" "$work/out" || fail "the message does not name only $bogus: $(cat "$work/out")"
[ ! -e "$work/apt-get.log" ] || fail "something was installed: $(cat "$work/apt-get.log")"

# The check installs nothing and says where each package would come from.
run_step check_missing_packages "${tavrin_packages[@]}" || fail "the check failed: $(cat "$work/out")"
grep -q '^  wine [^ ]* from ' "$work/out" || fail "the check does not list wine's source: $(cat "$work/out")"
[ ! -e "$work/apt-get.log" ] || fail "the check installed: $(cat "$work/apt-get.log")"
run_step check_missing_packages wine "$bogus" && fail "the check passed with $bogus in the list"
grep -q "$bogus" "$work/out" || fail "the check does not name $bogus"

if [ "$failed" -gt 0 ]; then
  echo "set-up package step: $failed check(s) failed" >&2
  exit 1
fi
echo "set-up package step: all checks passed"
