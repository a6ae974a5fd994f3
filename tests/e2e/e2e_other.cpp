// A plain program that is not the launcher: it waits for the event named by its first
// argument (or a minute at most), so that a test has a live process of another executable.
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
  return 0;
}
