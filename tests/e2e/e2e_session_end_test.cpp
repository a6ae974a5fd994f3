// Log-off reaching a packed application that runs without a console: e2e_end_session plays
// the system's part and sends WM_QUERYENDSESSION and WM_ENDSESSION to the parent's windows
// only, as a log-off would, while the child runs.
#include <gtest/gtest.h>

#include <map>

#include "e2e/harness.h"
#include "launcher/cleanup.h"
#include "support/files.h"

namespace {

class SessionEnd : public StandardAppTest {
 protected:
  // e2e_end_session for the process pid: "count" its windows, or "end" its session.
  ProcessResult session_helper(DWORD pid, const wchar_t* mode, const std::wstring& event = L"") {
    const std::wstring helper = sibling_path(L"e2e_end_session.exe");
    std::wstring line = quote_argument(helper) + L" " + std::to_wstring(pid) + L" " + mode;
    if (!event.empty()) line += L" " + event;
    RunOptions options;
    options.timeout_ms = 120000;
    return run_process(helper, line, options);
  }

  // Every file of the workspace outside its TEMP, with its content.
  std::map<std::wstring, std::string> files_outside_temp() const {
    std::map<std::wstring, std::string> files;
    for (const std::wstring& name : list_files(workspace_.root)) {
      if (name.rfind(L"temp\\", 0) != 0) files[name] = read_file(workspace_.root + L"\\" + name);
    }
    return files;
  }

  // Starts the standard app waiting in run_code (its report also in a file); true once it runs.
  bool start_waiting_app(Launch* run, const EventPair& events, const wchar_t* exit_code) {
    LaunchOptions options;
    options.set_variables.push_back({L"E2E_ACTION", L"wait"});
    options.set_variables.push_back({L"E2E_EXIT", exit_code});
    options.set_variables.push_back({L"E2E_REPORT", report_file()});
    events.add_to(&options);
    return run->start(workspace_, exe_, quote_argument(exe_), {}, options) && events.wait_ready();
  }

  std::wstring report_file() const { return workspace_.root + L"\\report.txt"; }
};

// The child outlives the grace period: the window's clean-up ends it and removes the tree
// before it answers, and the parent exits with the code of a terminated child.
TEST_F(SessionEnd, SessionEndWhileTheAppRunsEndsItAndRemovesOnlyTheTree) {
  EventPair events;
  Launch run;
  ASSERT_TRUE(start_waiting_app(&run, events, L"7"));
  ASSERT_EQ(temp_entries(workspace_).size(), 1u);
  const std::map<std::wstring, std::string> outside = files_outside_temp();

  const ProcessResult helper = session_helper(run.pid(), L"end");
  EXPECT_EQ(report_value(helper.out, "launcher_windows"), "1") << helper.out;
  EXPECT_EQ(report_value(helper.out, "visible"), "0") << "the window is never shown";
  EXPECT_EQ(report_value(helper.out, "query"), "1") << "the end is allowed";
  EXPECT_TRUE(temp_entries(workspace_).empty()) << "removed before WM_ENDSESSION returned";

  const ProcessResult result = run.wait();
  EXPECT_FALSE(result.timed_out);
  EXPECT_EQ(result.exit_code, terminated_child_exit_code);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(temp_entries(workspace_).empty());
  EXPECT_EQ(files_outside_temp(), outside);
}

// The app is let go between the two messages, so its end meets the session's: whichever
// clean-up comes first, the child keeps its own code, the tree goes once and nothing is
// reported.
TEST_F(SessionEnd, ChildEndingAsTheSessionEndsKeepsItsExitCode) {
  EventPair events;
  Launch run;
  ASSERT_TRUE(start_waiting_app(&run, events, L"7"));
  const std::map<std::wstring, std::string> outside = files_outside_temp();
  const ProcessResult helper = session_helper(run.pid(), L"end", events.go_name);
  EXPECT_EQ(report_value(helper.out, "query"), "1") << helper.out;
  const ProcessResult result = run.wait();
  EXPECT_EQ(result.exit_code, 7u);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(temp_entries(workspace_).empty());
  EXPECT_EQ(files_outside_temp(), outside);
}

// Without a session end: the child has no window and no user32, and the run ends as before.
TEST_F(SessionEnd, ChildHasNoWindowAndNoUser32) {
  EventPair events;
  Launch run;
  ASSERT_TRUE(start_waiting_app(&run, events, L"3"));
  const std::vector<AppReport> reports = parse_reports(read_file(report_file()));
  ASSERT_EQ(reports.size(), 1u);
  const ProcessResult child = session_helper(reports[0].pid, L"count");
  EXPECT_EQ(report_value(child.out, "windows"), "0") << child.out;
  EXPECT_EQ(report_value(read_file(report_file()), "user32"), "0") << "the child role never loads user32";
  events.release();
  const ProcessResult result = run.wait();
  EXPECT_EQ(result.exit_code, 3u);
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

}  // namespace
