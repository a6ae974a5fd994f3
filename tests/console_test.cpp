// The console handler's decision at each event (its seam), and the handler itself in a
// console program that has registered it, as a packed console exe's parent does. Wine's
// terminal delivers Ctrl+C too (tests/e2e/console.sh); here the child's creation and the
// event are under the test's control.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "launcher/cleanup.h"
#include "launcher/console.h"
#include "launcher/state.h"
#include "paths/bounded.h"
#include "support/files.h"
#include "support/process.h"

namespace {

using Action = ConsoleEventAction;

TEST(ConsoleEvents, InterruptsAreTheApplicationsOnceItIsStartedOtherEventsCleanUpAsBefore) {
  struct Row {
    DWORD event;
    Action before_child;
    Action with_child;
  };
  const Row rows[] = {
      {CTRL_C_EVENT, Action::clean_up_and_end, Action::leave_to_application},
      {CTRL_BREAK_EVENT, Action::clean_up_and_end, Action::leave_to_application},
      {CTRL_CLOSE_EVENT, Action::clean_up_and_end, Action::clean_up_and_end},
      {CTRL_LOGOFF_EVENT, Action::clean_up_and_end, Action::clean_up_and_end},
      {CTRL_SHUTDOWN_EVENT, Action::clean_up_and_end, Action::clean_up_and_end},
      {3, Action::none, Action::none},
      {4, Action::none, Action::none},
      {7, Action::none, Action::none},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(decide_console_event(row.event, false), row.before_child) << row.event;
    EXPECT_EQ(decide_console_event(row.event, true), row.with_child) << row.event;
  }
}

HANDLE duplicate(HANDLE handle) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
  return copy;
}

// One test, in this order: the registration and the child's creation are once per process.
TEST(ConsoleHandler, ConsoleProgramCleansUpBeforeItsChildThenLeavesInterruptsToItUntilClose) {
  ASSERT_TRUE(is_console_program());  // the test is linked as a console program
  const std::wstring target = make_temp_directory(L"tavrin_console");
  ASSERT_TRUE(write_file(target + L"\\app.dll", "main"));
  copy_bounded(launcher_state.target_directory, target.c_str(), path_capacity);
  launcher_state.unpacking_started.store(1);
  launcher_state.tree_created.store(1);
  set_child_grace_period(50);
  ASSERT_TRUE(register_console_handler());

  // During unpacking there is no application to decide: the written files go, and the
  // default processing ends the parent.
  EXPECT_EQ(console_event_handler(CTRL_C_EVENT), FALSE);
  EXPECT_FALSE(directory_exists(target));

  ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
  const std::wstring probe = sibling_path(L"tavrin_probe.exe");
  bool ready = false;
  const PROCESS_INFORMATION child =
      start_and_await_first_line(probe, L"\"" + probe + L"\" sleep_forever", &ready);
  ASSERT_NE(child.hProcess, nullptr);
  launcher_state.child_process.store(duplicate(child.hProcess));
  note_child_created();
  for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT}) {
    EXPECT_EQ(console_event_handler(event), TRUE) << event;
    EXPECT_EQ(WaitForSingleObject(child.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << event;
    EXPECT_NE(launcher_state.child_process.load(), nullptr) << event;
    EXPECT_TRUE(directory_exists(target)) << event;
  }

  // Closing the console still ends the child after its grace period and removes the tree.
  EXPECT_EQ(console_event_handler(CTRL_CLOSE_EVENT), FALSE);
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(child.hProcess, &code));
  EXPECT_EQ(code, terminated_child_exit_code);
  EXPECT_FALSE(directory_exists(target));
  CloseHandle(child.hProcess);
  set_child_grace_period(child_grace_period_ms);
  remove_tree(target);
}

}  // namespace
