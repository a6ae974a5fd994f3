// The session-end window inside the test process: a hidden top-level window on a thread of
// its own that allows the end and runs the clean-up when the session really ends, and the
// removal's turns when two clean-ups meet.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "launcher/cleanup.h"
#include "launcher/session_end.h"
#include "launcher/state.h"
#include "paths/bounded.h"
#include "support/files.h"
#include "support/process.h"

namespace {

constexpr DWORD window_wait_ms = 30000;
constexpr DWORD short_grace_ms = 50;

bool running_under_wine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

BOOL CALLBACK pick_own_window(HWND window, LPARAM found) {
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t name[64] = L"";
  GetClassNameW(window, name, 64);
  if (owner == GetCurrentProcessId() && std::wstring(name) == session_end_window_class) {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

// The watch starts once per process, as in the launcher; its window appears on its thread.
HWND session_end_window() {
  static HWND window = [] {
    start_session_end_watch();
    HWND found = nullptr;
    for (const ULONGLONG until = GetTickCount64() + window_wait_ms; found == nullptr && GetTickCount64() < until;
         Sleep(10)) {
      EnumWindows(pick_own_window, reinterpret_cast<LPARAM>(&found));
    }
    return found;
  }();
  return window;
}

class SessionEndWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    target_ = make_temp_directory(L"tavrin_session_end");
    ASSERT_FALSE(target_.empty());
    ASSERT_TRUE(write_file(target_ + L"\\app.dll", "main"));
    ASSERT_TRUE(write_file(target_ + L"\\data.bin", std::string(70000, 'd')));
    copy_bounded(launcher_state.target_directory, target_.c_str(), path_capacity);
    launcher_state.unpacking_started.store(1);
    launcher_state.child_process.store(nullptr);
    window_ = session_end_window();
    ASSERT_NE(window_, nullptr) << "no session-end window within " << window_wait_ms << " ms";
  }
  void TearDown() override {
    set_cleanup_sleep(nullptr);
    set_child_grace_period(child_grace_period_ms);
    launcher_state.unpacking_started.store(0);
    remove_tree(target_);
  }
  std::wstring target_;
  HWND window_ = nullptr;
};

TEST_F(SessionEndWindow, HiddenTopLevelWindowOfItsOwnThreadAllowsTheEnd) {
  EXPECT_FALSE(IsWindowVisible(window_));
  EXPECT_EQ(GetAncestor(window_, GA_PARENT), GetDesktopWindow()) << "top-level, not message-only";
  EXPECT_NE(GetWindowThreadProcessId(window_, nullptr), GetCurrentThreadId());
  EXPECT_EQ(SendMessageW(window_, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
  EXPECT_EQ(SendMessageW(window_, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF), 0) << "an end called off";
  EXPECT_TRUE(directory_exists(target_)) << "neither the query nor a cancelled end cleans up";
}

TEST_F(SessionEndWindow, SessionEndEndsAHangingChildThenRemovesTheTree) {
  set_child_grace_period(short_grace_ms);
  const std::wstring probe = sibling_path(L"tavrin_probe.exe");
  bool ready = false;
  const PROCESS_INFORMATION child =
      start_and_await_first_line(probe, L"\"" + probe + L"\" sleep_forever", &ready);
  ASSERT_TRUE(ready);
  HANDLE shared = nullptr;
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), child.hProcess, GetCurrentProcess(), &shared, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  launcher_state.child_process.store(shared);
  EXPECT_EQ(SendMessageW(window_, WM_ENDSESSION, TRUE, ENDSESSION_LOGOFF), 0);
  EXPECT_FALSE(directory_exists(target_)) << "removed before the message was answered";
  EXPECT_EQ(launcher_state.child_process.load(), nullptr);
  DWORD flags = 0;
  EXPECT_FALSE(GetHandleInformation(shared, &flags)) << "the window's thread closed the shared handle";
  ASSERT_EQ(WaitForSingleObject(child.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(child.hProcess, &code));
  EXPECT_EQ(code, terminated_child_exit_code);
  CloseHandle(child.hProcess);
}

// Two clean-ups meet (the main thread's after the wait, the window's at log-off): the second
// waits for the first one's removal and its further attempts, and makes none of its own
// while the tree is still there. A file held open makes the first one retry.
std::atomic<DWORD> first_thread{0};
std::vector<DWORD> pausing_threads;
std::thread second_clean_up;
std::atomic<bool> second_done{false};
bool second_done_before_release = true;
HANDLE held_file = INVALID_HANDLE_VALUE;

void pause_and_meet(DWORD) {
  pausing_threads.push_back(GetCurrentThreadId());
  if (pausing_threads.size() == 1) {
    second_clean_up = std::thread([] {
      clean_up();
      second_done.store(true);
    });
    Sleep(200);  // time enough for the second to overtake, if it could
  }
  if (pausing_threads.size() == 3) {
    second_done_before_release = second_done.load();
    CloseHandle(held_file);
    held_file = INVALID_HANDLE_VALUE;
  }
}

TEST_F(SessionEndWindow, MeetingCleanUpsRemoveTheTreeInTurns) {
  held_file = CreateFileW((target_ + L"\\data.bin").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                          OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held_file, INVALID_HANDLE_VALUE);
  set_cleanup_sleep(pause_and_meet);
  clean_up();
  if (second_clean_up.joinable()) second_clean_up.join();
  if (held_file != INVALID_HANDLE_VALUE) CloseHandle(held_file);
  if (pausing_threads.empty() && running_under_wine()) {
    GTEST_SKIP() << "this wine removed a file that is open without delete sharing; Windows refuses that";
  }
  EXPECT_FALSE(directory_exists(target_));
  EXPECT_FALSE(second_done_before_release) << "the second clean-up returned while the first still removed";
  EXPECT_TRUE(second_done.load());
  EXPECT_EQ(pausing_threads, std::vector<DWORD>(3, GetCurrentThreadId())) << "only the first one retried";
}

}  // namespace
