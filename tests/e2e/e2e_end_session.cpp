// Plays the system's part at log-off for one process only: sends WM_QUERYENDSESSION, then
// WM_ENDSESSION (session ending, log-off) to the top-level windows of the process whose ID
// is the first argument, so that other programs of the same prefix are not touched.
//
//   e2e_end_session PID count          report the process's top-level windows now
//   e2e_end_session PID end [EVENT]    once the launcher's window is there (30 s at most),
//                                      end the session at all the process's windows; the
//                                      named event is set between the two messages
// Prints "windows N", "visible N", "launcher_windows N" and, when ending, "query R" (the
// answer to the query).
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

#include "launcher/session_end.h"

namespace {

constexpr DWORD find_limit_ms = 30000;  // the window is created on a thread of its own
constexpr DWORD find_pause_ms = 20;
constexpr UINT query_limit_ms = 30000;
constexpr UINT end_limit_ms = 60000;  // the clean-up may wait 5 s for the child, then remove
constexpr int class_name_capacity = 256;  // the longest class name the system allows

struct Search {
  DWORD pid;
  std::vector<HWND> windows;
};

BOOL CALLBACK collect_window(HWND window, LPARAM context) {
  Search* search = reinterpret_cast<Search*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner == search->pid) search->windows.push_back(window);
  return TRUE;
}

std::vector<HWND> windows_of(DWORD pid) {
  Search search{pid, {}};
  EnumWindows(collect_window, reinterpret_cast<LPARAM>(&search));
  return search.windows;
}

// The system adds windows of its own to a thread that has one (an input method's, for
// one), so the launcher's window is told by its class.
bool is_launcher_window(HWND window) {
  wchar_t name[class_name_capacity] = L"";
  GetClassNameW(window, name, class_name_capacity);
  return wcscmp(name, session_end_window_class) == 0;
}

int count_launcher_windows(const std::vector<HWND>& windows) {
  int count = 0;
  for (HWND window : windows) count += is_launcher_window(window) ? 1 : 0;
  return count;
}

std::vector<HWND> await_windows(DWORD pid) {
  const ULONGLONG until = GetTickCount64() + find_limit_ms;
  std::vector<HWND> windows = windows_of(pid);
  while (count_launcher_windows(windows) == 0 && GetTickCount64() < until) {
    Sleep(find_pause_ms);
    windows = windows_of(pid);
  }
  return windows;
}

void report_windows(const std::vector<HWND>& windows) {
  int visible = 0;
  for (HWND window : windows) visible += IsWindowVisible(window) ? 1 : 0;
  printf("windows %zu\nvisible %d\nlauncher_windows %d\n", windows.size(), visible,
         count_launcher_windows(windows));
}

void end_session(const std::vector<HWND>& windows, const wchar_t* event_name) {
  DWORD_PTR answer = 0;
  for (HWND window : windows) {
    if (!SendMessageTimeoutW(window, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF, SMTO_NORMAL, query_limit_ms, &answer)) {
      answer = 0xDEAD;
    }
  }
  printf("query %llu\n", static_cast<unsigned long long>(answer));
  fflush(stdout);
  if (event_name != nullptr) {
    HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, event_name);
    SetEvent(event);
    CloseHandle(event);
  }
  // Not answered when the process ends first (its main thread may exit as soon as the
  // clean-up is done), as it may at a real log-off: the answer is not reported.
  for (HWND window : windows) {
    DWORD_PTR result = 0;
    SendMessageTimeoutW(window, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF, SMTO_NORMAL, end_limit_ms, &result);
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) return 100;
  const DWORD pid = wcstoul(argv[1], nullptr, 10);
  if (wcscmp(argv[2], L"count") == 0) {
    report_windows(windows_of(pid));
    return 0;
  }
  if (wcscmp(argv[2], L"end") != 0) return 101;
  const std::vector<HWND> windows = await_windows(pid);
  report_windows(windows);
  fflush(stdout);
  end_session(windows, argc > 3 ? argv[3] : nullptr);
  return 0;
}
