// The session-end window inside the test process: an end that is called off.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "launcher/session_end.h"
#include "launcher/state.h"
#include "paths/bounded.h"
#include "support/files.h"

namespace {

constexpr DWORD window_wait_ms = 30000;

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
    copy_bounded(launcher_state.target_directory, target_.c_str(), path_capacity);
    launcher_state.unpacking_started.store(1);
    launcher_state.tree_created.store(1);
    launcher_state.child_process.store(nullptr);
    window_ = session_end_window();
    ASSERT_NE(window_, nullptr) << "no session-end window within " << window_wait_ms << " ms";
  }
  void TearDown() override {
    launcher_state.unpacking_started.store(0);
    launcher_state.tree_created.store(0);
    remove_tree(target_);
  }
  std::wstring target_;
  HWND window_ = nullptr;
};

// The window at a real log-off (top-level, since EnumWindows finds it; hidden; answering on
// its own thread while the main thread waits) is checked through a packed app in
// e2e_session_end_test; an end that is called off can be sent only from here.
TEST_F(SessionEndWindow, EndCalledOffLeavesTheTree) {
  EXPECT_EQ(SendMessageW(window_, WM_QUERYENDSESSION, 0, ENDSESSION_LOGOFF), TRUE);
  EXPECT_EQ(SendMessageW(window_, WM_ENDSESSION, FALSE, ENDSESSION_LOGOFF), 0);
  EXPECT_TRUE(directory_exists(target_)) << "neither the query nor a cancelled end cleans up";
}

}  // namespace
