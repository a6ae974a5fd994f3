// The main library of the console end-to-end test (console.sh). run_code does what its
// first argument asks and writes plain lines to standard output, which the test reads from
// a terminal:
//   print CODE DELAY_MS   waits DELAY_MS, prints "tool-output CODE", returns CODE
//   handle                handles Ctrl+C itself: once it arrives, prints "caught", goes on
//                         for 7 s more, prints "finished" and returns 7
//   default               leaves Ctrl+C to the system's default processing
// The last two print "tree DIR" (the unpacked tree), "parent PID", "pid PID" (its own) and
// "ready" first.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

namespace {

constexpr DWORD wait_limit_ms = 60000;  // a lost test never leaves a waiting app behind
constexpr DWORD go_on_after_interrupt_ms = 7000;
constexpr int handled_exit_code = 7;
constexpr int not_interrupted_exit_code = 99;
constexpr size_t line_capacity = 4096;

HANDLE interrupted = nullptr;

void print_line(const char* text) {
  char line[line_capacity];
  const int length = snprintf(line, sizeof line, "%s\r\n", text);
  DWORD written = 0;
  WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line, static_cast<DWORD>(length), &written, nullptr);
}

BOOL WINAPI on_interrupt(DWORD event_type) {
  if (event_type != CTRL_C_EVENT) return FALSE;
  SetEvent(interrupted);
  return TRUE;
}

void print_start() {
  wchar_t path[MAX_PATH];
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&print_start), &self);
  GetModuleFileNameW(self, path, MAX_PATH);
  wchar_t* last = wcsrchr(path, L'\\');
  if (last != nullptr) *last = L'\0';
  char line[line_capacity];
  snprintf(line, sizeof line, "tree %ls", path);
  print_line(line);
  wchar_t parent[32] = L"-";
  GetEnvironmentVariableW(L"TAVRIN_ONEFILE_PARENT", parent, 32);
  snprintf(line, sizeof line, "parent %ls", parent);
  print_line(line);
  snprintf(line, sizeof line, "pid %lu", GetCurrentProcessId());
  print_line(line);
}

int handle_interrupt() {
  interrupted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_interrupt, TRUE);
  print_start();
  print_line("ready");
  if (WaitForSingleObject(interrupted, wait_limit_ms) != WAIT_OBJECT_0) return not_interrupted_exit_code;
  print_line("caught");
  Sleep(go_on_after_interrupt_ms);
  print_line("finished");
  return handled_exit_code;
}

int take_default() {
  print_start();
  print_line("ready");
  Sleep(wait_limit_ms);
  print_line("not interrupted");
  return not_interrupted_exit_code;
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv) {
  if (argc >= 4 && wcscmp(argv[1], L"print") == 0) {
    Sleep(static_cast<DWORD>(_wtoi(argv[3])));
    char line[line_capacity];
    snprintf(line, sizeof line, "tool-output %ls", argv[2]);
    print_line(line);
    return _wtoi(argv[2]);
  }
  if (argc >= 2 && wcscmp(argv[1], L"handle") == 0) return handle_interrupt();
  if (argc >= 2 && wcscmp(argv[1], L"default") == 0) return take_default();
  return not_interrupted_exit_code;
}
