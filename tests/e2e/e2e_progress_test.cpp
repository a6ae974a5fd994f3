// The progress window of a slow first start, seen from outside under wine's null display
// driver: it shows during the unpacking with the product's name and a rising bar, goes when
// the application shows its own window or ends, and never shows without the option.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <algorithm>
#include <cstdlib>

#include "e2e/harness.h"
#include "launcher/progress_window.h"
#include "payload/format.h"
#include "support/files.h"
#include "tools/pack/launcher_options.h"

namespace {

// Enough incompressible data in enough files that the unpacking takes well over the delay
// here, also on a quiet machine (file creation dominates under wine), so that the bar is
// seen at several positions.
constexpr int slow_file_count = 1500;
constexpr size_t slow_file_size = 64 * 1024;
constexpr DWORD poll_ms = 10;
constexpr ULONGLONG run_limit_ms = 120000;
// The window goes within this of the application's window or end.
constexpr ULONGLONG close_limit_ms = 500;
// The application shows no window and waits this long: the launcher's window stays.
constexpr DWORD windowless_wait_ms = 300;
constexpr int class_name_capacity = 64;
constexpr int text_capacity = 512;

struct Search {
  DWORD pid;
  bool progress_only;
  HWND found;
};

BOOL CALLBACK match_window(HWND window, LPARAM context) {
  Search* search = reinterpret_cast<Search*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (owner != search->pid || !IsWindowVisible(window)) return TRUE;
  wchar_t name[class_name_capacity] = L"";
  GetClassNameW(window, name, class_name_capacity);
  if (search->progress_only && wcscmp(name, progress_window_class) != 0) return TRUE;
  search->found = window;
  return FALSE;
}

// A visible top-level window of pid (only the progress window when progress_only).
HWND visible_window_of(DWORD pid, bool progress_only = true) {
  Search search{pid, progress_only, nullptr};
  EnumWindows(match_window, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

int bar_position(HWND window) {
  const HWND bar = FindWindowExW(window, nullptr, L"msctls_progress32", nullptr);
  DWORD_PTR position = 0;
  if (bar == nullptr || !SendMessageTimeoutW(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 1000, &position)) return -1;
  return static_cast<int>(position);
}

BOOL CALLBACK add_text(HWND part, LPARAM context) {
  wchar_t text[text_capacity] = L"";
  GetWindowTextW(part, text, text_capacity);
  reinterpret_cast<std::wstring*>(context)->append(text).append(L"|");
  return TRUE;
}

// The window's title and the texts of its parts.
std::wstring window_texts(HWND window) {
  std::wstring texts;
  add_text(window, reinterpret_cast<LPARAM>(&texts));
  EnumChildWindows(window, add_text, reinterpret_cast<LPARAM>(&texts));
  return texts;
}

// What the window is, read back on its first sight: neither topmost nor active, centred on
// the work area of the cursor's monitor (wine has one monitor at one DPI, so this cannot
// tell two apart), and per-monitor DPI aware where the system says.
struct FirstSight {
  bool topmost = true;
  bool foreground = true;
  LONG centre_offset_x = 0;
  LONG centre_offset_y = 0;
  int per_monitor = -1;  // -1: the system cannot tell a window's awareness
};

FirstSight look_at(HWND window) {
  FirstSight sight;
  sight.topmost = (GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0;
  sight.foreground = GetForegroundWindow() == window;
  POINT cursor{0, 0};
  GetCursorPos(&cursor);
  MONITORINFO monitor{};
  monitor.cbSize = sizeof monitor;
  RECT rect{};
  if (GetMonitorInfoW(MonitorFromPoint(cursor, MONITOR_DEFAULTTOPRIMARY), &monitor) && GetWindowRect(window, &rect)) {
    sight.centre_offset_x = (rect.left + rect.right) / 2 - (monitor.rcWork.left + monitor.rcWork.right) / 2;
    sight.centre_offset_y = (rect.top + rect.bottom) / 2 - (monitor.rcWork.top + monitor.rcWork.bottom) / 2;
  }
  const HMODULE user32 = GetModuleHandleW(L"user32.dll");
  using ContextOf = HANDLE(WINAPI*)(HWND);
  using SameContext = BOOL(WINAPI*)(HANDLE, HANDLE);
  const auto context_of = reinterpret_cast<ContextOf>(
      reinterpret_cast<void (*)()>(GetProcAddress(user32, "GetWindowDpiAwarenessContext")));
  const auto same = reinterpret_cast<SameContext>(
      reinterpret_cast<void (*)()>(GetProcAddress(user32, "AreDpiAwarenessContextsEqual")));
  if (context_of != nullptr && same != nullptr) {
    const HANDLE context = context_of(window);
    sight.per_monitor = same(context, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4))) ||
                        same(context, reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-3)));
  }
  return sight;
}

bool wait_until_gone(DWORD pid, ULONGLONG* took_ms) {
  const ULONGLONG since = GetTickCount64();
  while (visible_window_of(pid) != nullptr) {
    if (GetTickCount64() - since > run_limit_ms) return false;
    Sleep(1);
  }
  *took_ms = GetTickCount64() - since;
  return true;
}

class ProgressWindow : public WorkspaceTest {
 protected:
  // One slow payload for the whole group: packing it once keeps the tests short.
  static void SetUpTestSuite() {
    const Workspace source = make_workspace(L"progress_source");
    ASSERT_TRUE(copy_helper(L"e2e_app.dll", source.app, L"app.dll"));
    uint64_t state = 0x9E3779B97F4A7C15ull;
    std::string data(slow_file_size, '\0');
    for (int file = 0; file < slow_file_count; ++file) {
      for (char& unit : data) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        unit = static_cast<char>(state);
      }
      const std::wstring name = source.app + L"\\d" + std::to_wstring(file % 16) + L"\\f" + std::to_wstring(file);
      CreateDirectoryW(name.substr(0, name.rfind(L'\\')).c_str(), nullptr);
      ASSERT_TRUE(write_file(name, data));
    }
    const std::string error = pack_directory(source.app, L"app.dll", source.bin + L"\\unused.exe", &payload_);
    remove_workspace(source);
    ASSERT_EQ(error, "");
  }
  static void TearDownTestSuite() { payload_.clear(); }

  std::wstring pack(bool progress_window) {
    const std::wstring exe = workspace_.bin + L"\\" + standard_exe_name;
    EXPECT_EQ(pack_payload(payload_, exe, make_options_resources(progress_window ? option_progress_window : 0)), "");
    return exe;
  }

  static ByteVector payload_;
};

ByteVector ProgressWindow::payload_;

TEST_F(ProgressWindow, ShowsRisingProgressUntilTheApplicationsWindow) {
  const std::wstring exe = pack(true);
  EventPair events;
  LaunchOptions options;
  options.set_variables.push_back({L"E2E_ACTION", L"window"});
  events.add_to(&options);
  Launch run;
  ASSERT_TRUE(run.start(workspace_, exe, quote_argument(exe), {}, options)) << run.start_failure();
  HWND shown = nullptr;
  FirstSight sight;
  std::wstring texts;
  std::vector<int> positions;
  const ULONGLONG since = GetTickCount64();
  while (!events.wait_ready(poll_ms) && GetTickCount64() - since < run_limit_ms) {
    const HWND window = visible_window_of(run.pid());
    if (window == nullptr) continue;
    if (shown == nullptr) sight = look_at(window);
    shown = window;
    if (texts.empty()) texts = window_texts(window);
    // -1: the window went between the search and the question.
    const int position = bar_position(window);
    if (position >= 0) positions.push_back(position);
  }
  ASSERT_NE(shown, nullptr) << "no visible window while the payload was unpacked";
  EXPECT_NE(texts.find(L"Starting Zandoria"), std::wstring::npos) << narrow(texts);
  ASSERT_GE(positions.size(), 2u);
  EXPECT_TRUE(std::is_sorted(positions.begin(), positions.end()));
  EXPECT_GT(positions.back(), positions.front()) << "the bar never moved";
  EXPECT_LE(positions.back(), progress_bar_steps);
  EXPECT_FALSE(sight.topmost);
  EXPECT_FALSE(sight.foreground) << "the window took the focus";
  EXPECT_LE(std::abs(sight.centre_offset_x), 1);
  EXPECT_LE(std::abs(sight.centre_offset_y), 1);
  if (sight.per_monitor >= 0) {
    EXPECT_EQ(sight.per_monitor, 1);
  }

  ULONGLONG took = 0;
  ASSERT_TRUE(wait_until_gone(run.pid(), &took));
  EXPECT_LE(took, close_limit_ms) << "the window stayed after the application's own window showed";
  events.release();
  const ProcessResult result = run.wait();
  EXPECT_EQ(result.exit_code, 0u) << result.err;
}

TEST_F(ProgressWindow, WithAWindowlessApplicationGoesWhenItEnds) {
  const std::wstring exe = pack(true);
  EventPair events;
  LaunchOptions options;
  options.set_variables.push_back({L"E2E_ACTION", L"wait"});
  options.set_variables.push_back({L"E2E_REPORT", workspace_.root + L"\\report.txt"});
  events.add_to(&options);
  Launch run;
  ASSERT_TRUE(run.start(workspace_, exe, quote_argument(exe), {}, options)) << run.start_failure();
  ASSERT_TRUE(events.wait_ready(run_limit_ms));
  Sleep(windowless_wait_ms);
  EXPECT_NE(visible_window_of(run.pid()), nullptr) << "the window went before the application did";
  const std::vector<AppReport> reports = parse_reports(read_file(workspace_.root + L"\\report.txt"));
  ASSERT_EQ(reports.size(), 1u);
  const HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, reports[0].pid);
  ASSERT_NE(child, nullptr);
  events.release();
  EXPECT_EQ(WaitForSingleObject(child, run_limit_ms), WAIT_OBJECT_0);
  CloseHandle(child);
  ULONGLONG took = 0;
  ASSERT_TRUE(wait_until_gone(run.pid(), &took));
  EXPECT_LE(took, close_limit_ms) << "the window stayed after the application ended";
  EXPECT_EQ(run.wait().exit_code, 0u);
}

TEST_F(ProgressWindow, WithoutTheOptionNoWindowEverShows) {
  const std::wstring exe = pack(false);
  Launch run;
  ASSERT_TRUE(run.start(workspace_, exe, quote_argument(exe), {})) << run.start_failure();
  int seen = 0;
  while (WaitForSingleObject(run.process(), poll_ms) == WAIT_TIMEOUT) {
    seen += visible_window_of(run.pid(), false) != nullptr ? 1 : 0;
  }
  EXPECT_EQ(seen, 0);
  EXPECT_EQ(run.wait().exit_code, 0u);
}

}  // namespace
