// The progress window's closing rule on real processes: a visible window of the child, of a
// process in the child's job, the child's end and the time limit, each alone.
#include <gtest/gtest.h>
#include <windows.h>

#include "launcher/child_job.h"
#include "launcher/progress_window.h"
#include "support/process.h"

namespace {

constexpr DWORD probe_end_wait_ms = 30000;

class ProbeProcess {
 public:
  explicit ProbeProcess(const wchar_t* scenario) {
    const std::wstring probe = sibling_path(L"tavrin_probe.exe");
    bool ready = false;
    info_ = start_and_await_first_line(probe, L"tavrin_probe " + std::wstring(scenario), &ready);
  }
  ~ProbeProcess() {
    if (info_.hProcess == nullptr) return;
    TerminateProcess(info_.hProcess, 0);
    WaitForSingleObject(info_.hProcess, probe_end_wait_ms);
    CloseHandle(info_.hProcess);
  }
  HANDLE handle() const { return info_.hProcess; }

 private:
  PROCESS_INFORMATION info_{};
};

TEST(ProgressClose, EachRuleAloneClosesTheWindow) {
  ProbeProcess shown(L"show_window");
  ProbeProcess windowless(L"run_windowless");
  ASSERT_NE(shown.handle(), nullptr);
  ASSERT_NE(windowless.handle(), nullptr);

  EXPECT_EQ(judge_progress_close(shown.handle(), 0), ProgressClose::child_window);
  // Another process's window is not the child's, and the limit is not reached yet.
  EXPECT_EQ(judge_progress_close(windowless.handle(), progress_child_time_limit_ms - 1), ProgressClose::stay);
  EXPECT_EQ(judge_progress_close(windowless.handle(), progress_child_time_limit_ms), ProgressClose::time_out);

  ProbeProcess ended(L"run_windowless");
  ASSERT_NE(ended.handle(), nullptr);
  TerminateProcess(ended.handle(), 0);
  ASSERT_EQ(WaitForSingleObject(ended.handle(), probe_end_wait_ms), WAIT_OBJECT_0);
  EXPECT_EQ(judge_progress_close(ended.handle(), 0), ProgressClose::child_ended);

  // Once the window's owner is in the child's job, its window counts as the child's.
  ASSERT_TRUE(place_child_in_job(shown.handle()));
  EXPECT_EQ(judge_progress_close(windowless.handle(), 0), ProgressClose::child_window);
}

}  // namespace
