// Processes for the progress window's closing rule: one that shows a top-level window, one
// that runs without any. Each says "ready" once it is so, then waits to be ended.
#include <windows.h>

#include <cstdio>

#include "launcher/window_library.h"
#include "probe/probe.h"

namespace {

constexpr DWORD probe_life_ms = 60000;  // a lost test never leaves one behind for long
constexpr int shown_size = 200;

int say_ready_and_wait() {
  printf("ready\n");
  fflush(stdout);
  Sleep(probe_life_ms);
  return 0;
}

}  // namespace

PROBE_SCENARIO(show_window) {
  if (!load_window_functions()) return 1;
  const HWND window = user32.create_window(0, L"STATIC", L"probe", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                           shown_size, shown_size, nullptr, nullptr, nullptr, nullptr);
  if (window == nullptr) return 2;
  return say_ready_and_wait();
}

PROBE_SCENARIO(run_windowless) {
  return say_ready_and_wait();
}
