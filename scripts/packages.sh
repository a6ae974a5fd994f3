# Sourced by setup.sh (and by its test): the Debian packages the build and the tests need,
# and the step that installs the missing ones in one apt-get call.
#
# Every status taken from a command's output is taken from a captured value, never from a
# pipeline into `grep -q`: under pipefail a reader that stops at its first match makes the
# writer die of SIGPIPE, and the pipeline then fails although the text was there.

tavrin_packages=(
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev wine icoutils zstd libzstd-dev googletest cmake make g++
  dpkg-dev python3 clang libclang-rt-dev procps mount
  # the packer's command-line parser (header only, also for the Windows build); the tests'
  # independent reader of version resources
  libcli11-dev python3-pefile
  # the icon drawn from its SVG; signing in the kit test
  librsvg2-bin pngquant osslsigncode openssl
  # the packer's payload digest for the cached place (header only)
  libxxhash-dev
  # the console tests type at an interactive prompt
  tmux
  # the release packages: checked by lintian; the kit's test of runtime DLLs links zlib1.dll
  lintian libz-mingw-w64-dev
  # the README's screenshot of the progress window (scripts/screenshot.sh): a virtual X
  # display, its window list and its capture
  xvfb x11-utils x11-apps
)

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo "$@"; fi
}

package_installed() {
  local status
  status="$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null || true)"
  [ "$status" = "install ok installed" ]
}

# True when the package sources offer an installable version: a candidate that is not
# "(none)".
package_offered() {
  local policy
  policy="$(apt-cache policy "$1" 2>/dev/null || true)"
  grep -q 'Candidate: [^(]' <<<"$policy"
}

# Prints the packages of the list that are not installed, one a line.
list_missing_packages() {
  local p
  for p in "$@"; do
    package_installed "$p" || echo "$p"
  done
}

# Prints the packages of the list that the sources do not offer, one a line.
list_unavailable_packages() {
  local p
  for p in "$@"; do
    package_offered "$p" || echo "$p"
  done
}

report_unavailable_packages() {
  echo "setup: the package sources offer no installable $*; this set-up is made for" \
    "Debian 12 (bookworm) with its main component: add that source, or install the same tools" \
    "under this release's names, and run the set-up again" >&2
}

# Installs the missing packages of the list in one apt-get call. A name that this
# machine's sources do not offer (another release, a missing component) would fail the
# whole install with apt's own message, so all such names are given in one message first
# and nothing is installed.
install_missing_packages() {
  local missing=() unavailable=()
  mapfile -t missing < <(list_missing_packages "$@")
  [ "${#missing[@]}" -gt 0 ] || return 0
  echo "setup: installing ${missing[*]}"
  as_root apt-get update -qq
  mapfile -t unavailable < <(list_unavailable_packages "${missing[@]}")
  if [ "${#unavailable[@]}" -gt 0 ]; then
    report_unavailable_packages "${unavailable[@]}"
    return 1
  fi
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# The candidate version of a package and the first source that serves it, as apt-cache
# policy lists them: "NAME VERSION from SOURCE".
describe_package_source() {
  local policy
  policy="$(apt-cache policy "$1" 2>/dev/null || true)"
  awk -v name="$1" '
    /^  Candidate:/ { candidate = $2 }
    /^ (\*\*\*|   ) [^ ]/ { listed = ($(NF - 1) == candidate || $2 == candidate); next }
    listed && /^ +[0-9]+ / && !/dpkg\/status/ {
      $1 = ""; sub(/^ /, ""); printf "%s %s from %s\n", name, candidate, $0; exit
    }' <<<"$policy"
}

# Says what install_missing_packages would install and from which sources, without
# installing anything; apt's own simulation checks that they can be installed together.
# Returns 1 when a package cannot be had.
check_missing_packages() {
  local missing=() unavailable=() plan p
  mapfile -t missing < <(list_missing_packages "$@")
  if [ "${#missing[@]}" -eq 0 ]; then
    echo "setup: every package is installed"
    return 0
  fi
  mapfile -t unavailable < <(list_unavailable_packages "${missing[@]}")
  if [ "${#unavailable[@]}" -gt 0 ]; then
    report_unavailable_packages "${unavailable[@]}"
    return 1
  fi
  echo "setup: a run would install, with what they need:"
  for p in "${missing[@]}"; do
    echo "  $(describe_package_source "$p")"
  done
  if ! plan="$(apt-get -s -qq --no-install-recommends install "${missing[@]}" 2>&1)"; then
    echo "setup: apt cannot install them together:" >&2
    printf '%s\n' "$plan" >&2
    return 1
  fi
  echo "setup: $(grep -c '^Inst ' <<<"$plan" || true) packages in all, dependencies included"
}
