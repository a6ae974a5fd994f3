# Sourced by the other scripts: build folders and a private wine prefix below the build folder.
tavrin_root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export TAVRIN_BUILD_DIR="${TAVRIN_BUILD_DIR:-$tavrin_root/build}"
export WINEPREFIX="$TAVRIN_BUILD_DIR/wine-prefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
export WINEARCH=win64
tavrin_win_dir="$TAVRIN_BUILD_DIR/win"
tavrin_host_dir="$TAVRIN_BUILD_DIR/host"
tavrin_asan_dir="$TAVRIN_BUILD_DIR/host-asan"
# Host tests that check Windows binaries (the packer writing into a real stub) find them here.
export TAVRIN_WIN_BIN_DIR="$tavrin_win_dir/bin"

tavrin_wineserver_started=0

# Configures the Windows tree (mingw-w64) and the host tree once; later builds reconfigure
# by themselves when a CMakeLists.txt changes.
configure_trees() {
  if [ ! -f "$tavrin_win_dir/CMakeCache.txt" ]; then
    cmake -S "$tavrin_root" -B "$tavrin_win_dir" -DCMAKE_BUILD_TYPE=Release \
      -DCMAKE_TOOLCHAIN_FILE="$tavrin_root/cmake/mingw-w64.cmake" \
      -DTAVRIN_DEPS_DIR="$TAVRIN_BUILD_DIR/deps" >/dev/null
  fi
  if [ ! -f "$tavrin_host_dir/CMakeCache.txt" ]; then
    cmake -S "$tavrin_root" -B "$tavrin_host_dir" -DCMAKE_BUILD_TYPE=Release \
      -DTAVRIN_DEPS_DIR="$TAVRIN_BUILD_DIR/deps" >/dev/null
  fi
}

# Creates the prefix on first use and starts a persistent wineserver for this prefix, so
# that each later start of a Windows program takes milliseconds instead of seconds.
start_wine() {
  mkdir -p "$WINEPREFIX"
  if ! tavrin_wineserver_running; then
    # Exits with 2 when another session already serves this prefix: then that one is used.
    if wineserver -p; then tavrin_wineserver_started=1; fi
  fi
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "wine: creating the prefix $WINEPREFIX"
    wineboot -i >/dev/null 2>&1 || true
  fi
  # The first program of a wineserver session starts wine's own services, which inherit its
  # output handles and outlive it. Start them here, on /dev/null: started inside a test they
  # would hold the test's output pipe open and CTest would wait for it until its timeout.
  wine cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
  start_wine_desktop
}

# The launcher's parent keeps a hidden window to hear of the session's end. Wine makes
# windows without an X display only with its null display driver; and the first window of a
# session starts wine's desktop process, which would inherit that program's output handles
# (a test's pipes) and outlive it by many seconds. So the driver is set, and a desktop
# process of our own is started here on /dev/null; a desktop started without a user (as
# here) stays until the server ends. One that runs already is waited out first: the one
# that creating the prefix starts, or one a window started, ends soon after its last user.
tavrin_desktop_attempts=30
start_wine_desktop() {
  local pid_file="$WINEPREFIX/tavrin-desktop.pid" attempt
  if ! grep -q '^"Graphics"="null"' "$WINEPREFIX/user.reg" 2>/dev/null; then
    wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 || true
  fi
  for ((attempt = 0; attempt < tavrin_desktop_attempts; attempt++)); do
    if tavrin_prefix_process "$(cat "$pid_file" 2>/dev/null)" 'explorer.exe'; then return 0; fi
    if ! tavrin_prefix_runs 'explorer.exe /desktop'; then
      (wine explorer.exe /desktop </dev/null >/dev/null 2>&1 & echo $! >"$pid_file")
    fi
    sleep 1
  done
  echo "wine: no desktop process of our own; a test's first window may start one"
}

# True when the NUL-separated file (a process's cmdline or environ) holds the text as a
# whole entry (mode "entry") or anywhere in its entries joined by spaces (mode "part").
# Read into a value first: a `tr | grep -q` pipeline fails under pipefail when grep stops
# before tr has written all.
tavrin_proc_file_has() {
  local file="$1" mode="$2" text="$3" content
  if [ "$mode" = entry ]; then
    content="$(tr '\0' '\n' 2>/dev/null <"$file")" || return 1
    grep -qxF -- "$text" <<<"$content"
  else
    content="$(tr '\0' ' ' 2>/dev/null <"$file")" || return 1
    [[ "$content" == *"$text"* ]]
  fi
}

# True when pid is a live process of this prefix whose command line contains the text.
tavrin_prefix_process() {
  [ -n "$1" ] && tavrin_proc_file_has "/proc/$1/cmdline" part "$2" &&
    tavrin_proc_file_has "/proc/$1/environ" entry "WINEPREFIX=$WINEPREFIX"
}

# True when a process of this prefix runs whose command line contains the text.
tavrin_prefix_runs() {
  local pid
  for pid in $(pgrep -u "$(id -u)" -f "$1" 2>/dev/null); do
    if tavrin_prefix_process "$pid" "$1"; then return 0; fi
  done
  return 1
}

# True when a wineserver serves this prefix (its socket directory holds a live server).
tavrin_wineserver_running() {
  local pid
  for pid in $(pgrep -u "$(id -u)" wineserver 2>/dev/null); do
    if tavrin_proc_file_has "/proc/$pid/environ" entry "WINEPREFIX=$WINEPREFIX"; then
      return 0
    fi
  done
  return 1
}

# Stops only the wineserver this script started.
stop_wine() {
  if [ "$tavrin_wineserver_started" = 1 ]; then
    wineserver -k 2>/dev/null || true
    tavrin_wineserver_started=0
  fi
}
