// e2e_exit_watch PID: waits for the process (a minute at most) and prints its full 32-bit
// exit code as "exit 0xXXXXXXXX". Run outside the console under test, so that the Ctrl+C
// sent there does not reach it, for a process it did not start itself.
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {
constexpr DWORD wait_limit_ms = 60000;
constexpr int watch_failed = 1;
}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return watch_failed;
  const DWORD id = wcstoul(argv[1], nullptr, 10);
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
  if (process == nullptr) {
    printf("cannot open %lu\n", id);
    return watch_failed;
  }
  printf("watching %lu\n", id);
  fflush(stdout);
  DWORD code = 0;
  if (WaitForSingleObject(process, wait_limit_ms) != WAIT_OBJECT_0 || !GetExitCodeProcess(process, &code)) {
    printf("still running\n");
    return watch_failed;
  }
  printf("exit 0x%08lX\n", code);
  return 0;
}
