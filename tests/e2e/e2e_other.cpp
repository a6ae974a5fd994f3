// A plain program that is not the launcher: it waits for the event named by its first
// argument (or a minute at most), so that a test has a live process of another executable.
// When the wait is over it sets the event named by its second argument, if any, so that a
// test can tell that it ran all along.
#include <windows.h>

namespace {
constexpr DWORD wait_limit_ms = 60000;
}

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 100;
  HANDLE stop = OpenEventW(SYNCHRONIZE, FALSE, argv[1]);
  if (stop == nullptr) return 101;
  WaitForSingleObject(stop, wait_limit_ms);
  CloseHandle(stop);
  if (argc < 3) return 0;
  HANDLE done = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
  if (done == nullptr) return 102;
  SetEvent(done);
  CloseHandle(done);
  return 0;
}
