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
}

# True when a wineserver serves this prefix (its socket directory holds a live server).
tavrin_wineserver_running() {
  local pid
  for pid in $(pgrep -u "$(id -u)" wineserver 2>/dev/null); do
    if tr '\0' '\n' < "/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
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
