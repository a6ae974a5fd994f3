// What a packed launcher does when its main library or its surroundings fail it: a
// library that cannot run, files held open at the clean-up, a directory pulled away,
// processes killed from outside, and many starts at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "e2e/harness.h"
#include "support/files.h"

namespace {

constexpr const wchar_t* preset_start = L"31337";
constexpr DWORD killed_child_code = 0x0BADC0DE;
// The clean-up pauses 100 ms between its 21 removal attempts; the tick count may lag real
// time by up to two of its 16 ms steps.
constexpr ULONGLONG retry_pauses_ms = 20 * 100 - 2 * 16;

class Failures : public WorkspaceTest {
 protected:
  // Packs the app directory as it stands, with main as the main library.
  void pack(const std::wstring& main) { ASSERT_EQ(pack_directory(workspace_.app, main, exe(), nullptr), ""); }
  std::wstring exe() const { return workspace_.bin + L"\\APP.exe"; }

  // Starts the standard app waiting for events; its report lands in a file.
  void start_waiting(Launch* run, const EventPair& events, const std::vector<std::pair<std::wstring, std::wstring>>& more = {}) {
    LaunchOptions options;
    options.set_variables = more;
    options.set_variables.push_back({L"E2E_ACTION", L"wait"});
    options.set_variables.push_back({L"E2E_REPORT", report_path()});
    events.add_to(&options);
    ASSERT_TRUE(run->start(workspace_, exe(), quote_argument(exe()), {}, options));
    ASSERT_TRUE(events.wait_ready());
  }
  std::wstring report_path() const { return workspace_.root + L"\\report.txt"; }
  AppReport read_report() const {
    const std::vector<AppReport> reports = parse_reports(read_file(report_path()));
    return reports.empty() ? AppReport() : reports[0];
  }

  // Checks "Error, load DLL. ([Error N] <the system's text for N>)".
  static void expect_load_failure(const ProcessResult& result) {
    EXPECT_EQ(result.exit_code, 2u);
    const std::string prefix = "Error, load DLL. ([Error ";
    ASSERT_EQ(result.err.rfind(prefix, 0), 0u) << printable(result.err);
    const DWORD code = std::stoul(result.err.substr(prefix.size()));
    EXPECT_NE(code, 0u);
    const std::string text = system_text(code);
    EXPECT_FALSE(text.empty());
    // Text mode turns the text's own line break into CR CR LF.
    std::string expected_text;
    for (const char c : text) expected_text += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(result.err, prefix + std::to_string(code) + "] " + expected_text + ")\r\n");
    EXPECT_EQ(result.out, "");
  }

};

TEST_F(Failures, LibraryWithoutRunCodeIsReportedAndTheDirectoryRemoved) {
  ASSERT_TRUE(copy_helper(L"e2e_no_entry.dll", workspace_.app, L"main.dll"));
  ASSERT_TRUE(write_file(workspace_.app + L"\\data.txt", "some data"));
  pack(L"main.dll");
  LaunchOptions options;
  options.set_variables.push_back({L"TAVRIN_ONEFILE_START", preset_start});
  DWORD pid = 0;
  const ProcessResult result = launch(workspace_, exe(), {}, options, &pid);
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "Error, DLL entry point not found.\r\n");
  EXPECT_EQ(result.err, "");
  EXPECT_FALSE(directory_exists(expected_target(workspace_, pid, preset_start)));
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

TEST_F(Failures, FirstEntryThatIsNoLibraryGivesTheLoadFailureWithTheSystemReason) {
  ASSERT_TRUE(write_file(workspace_.app + L"\\main.dll", "plain text, not a library\n"));
  pack(L"main.dll");
  expect_load_failure(launch(workspace_, exe(), {}));
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

TEST_F(Failures, MainLibraryLoadsItsSiblingFromItsOwnDirectory) {
  for (const std::wstring folder : {L"", L"lib\\"}) {
    SCOPED_TRACE(narrow(folder));
    remove_tree(workspace_.app);
    CreateDirectoryW(workspace_.app.c_str(), nullptr);
    ASSERT_TRUE(copy_helper(L"e2e_dep_user.dll", workspace_.app, folder + L"user.dll"));
    ASSERT_TRUE(copy_helper(L"e2e_dep.dll", workspace_.app, folder + L"e2e_dep.dll"));
    pack(folder + L"user.dll");
    const ProcessResult result = launch(workspace_, exe(), {});
    EXPECT_EQ(result.exit_code, 4242u) << printable(result.err);
    EXPECT_TRUE(temp_entries(workspace_).empty());
  }
  // Without the sibling the load fails, with the system's reason.
  ASSERT_TRUE(DeleteFileW((workspace_.app + L"\\lib\\e2e_dep.dll").c_str()));
  pack(L"lib\\user.dll");
  expect_load_failure(launch(workspace_, exe(), {}));
}

// A file held open without delete sharing keeps the directory: the clean-up tries 21 times,
// pausing in between, then leaves it without a word and without touching the exit code.
TEST_F(Failures, DirectoryWithAFileHeldOpenIsLeftSilentlyAfterTheRetries) {
  std::wstring exe_path;
  ASSERT_EQ(prepare_standard_app(workspace_, &exe_path), "");
  EventPair events;
  Launch run;
  start_waiting(&run, events, {{L"E2E_EXIT", L"6"}});
  const std::wstring target = read_report().module_directory();
  ASSERT_TRUE(directory_exists(target));
  HANDLE held = CreateFileW((target + L"\\" + standard_data_file).c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE /* no delete sharing */, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  const ULONGLONG released = GetTickCount64();
  events.release();
  const ProcessResult result = run.wait();
  const ULONGLONG ended = GetTickCount64();
  CloseHandle(held);
  EXPECT_EQ(result.exit_code, 6u);
  EXPECT_EQ(result.err, "");
  EXPECT_TRUE(directory_exists(target)) << "the held file keeps its directory";
  EXPECT_GE(ended - released, retry_pauses_ms) << "twenty pauses between the attempts";
  remove_tree(target);
}

// A later start that inherited the running parent's variables is no child of it (only the
// parent's own child is), so it does not look for the library in the tree that was pulled
// away: it unpacks afresh and runs.
TEST_F(Failures, TargetDirectoryPulledAwayDoesNotStopALaterStartWithTheParentsVariables) {
  std::wstring exe_path;
  ASSERT_EQ(prepare_standard_app(workspace_, &exe_path), "");
  EventPair events;
  Launch run;
  start_waiting(&run, events, {{L"E2E_EXIT", L"8"}});
  const AppReport report = read_report();
  const std::wstring target = report.module_directory();
  // The running library's file can be renamed away (not deleted) on Windows; the rest goes.
  // The directory itself stays, empty: the running start holds it against removal.
  ASSERT_TRUE(MoveFileW(report.module.c_str(), (workspace_.root + L"\\moved.dll").c_str()));
  EXPECT_FALSE(remove_tree(target));
  ASSERT_TRUE(list_files(target).empty());
  LaunchOptions later;
  later.set_variables.push_back({L"TAVRIN_ONEFILE_PARENT", std::to_wstring(run.pid())});
  later.set_variables.push_back({L"TAVRIN_ONEFILE_START", report.variable("TAVRIN_ONEFILE_START").value_or(L"")});
  const ProcessResult later_result = launch(workspace_, exe_path, {}, later);
  EXPECT_EQ(later_result.exit_code, 0u) << printable(later_result.err);
  events.release();
  EXPECT_EQ(run.wait().exit_code, 8u);
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

TEST_F(Failures, ChildKilledFromOutsideHandsItsCodeToTheParentWhichCleansUp) {
  std::wstring exe_path;
  ASSERT_EQ(prepare_standard_app(workspace_, &exe_path), "");
  EventPair events;
  Launch run;
  start_waiting(&run, events);
  const AppReport report = read_report();
  HANDLE child = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, report.pid);
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(TerminateProcess(child, killed_child_code));
  CloseHandle(child);
  const ProcessResult result = run.wait();
  EXPECT_EQ(result.exit_code, killed_child_code);
  EXPECT_FALSE(result.timed_out);
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

// Killing the parent leaves its directory behind by design; the child runs on, and later
// starts (even one that inherits the dead parent's variables) are unaffected.
TEST_F(Failures, ParentKilledFromOutsideLeavesItsDirectoryAndLaterStartsWork) {
  std::wstring exe_path;
  ASSERT_EQ(prepare_standard_app(workspace_, &exe_path), "");
  EventPair events;
  Launch run;
  start_waiting(&run, events);
  const AppReport report = read_report();
  HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, report.pid);
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(TerminateProcess(run.process(), 1));
  ASSERT_EQ(WaitForSingleObject(run.process(), 30000), WAIT_OBJECT_0);
  // The child still holds the output pipes: let it end before collecting them.
  events.release();
  run.wait();
  EXPECT_EQ(WaitForSingleObject(child, 30000), WAIT_OBJECT_0);
  CloseHandle(child);
  const std::wstring target = report.module_directory();
  EXPECT_TRUE(directory_exists(target));

  LaunchOptions later;
  later.set_variables.push_back({L"E2E_EXIT", L"4"});
  later.set_variables.push_back({L"TAVRIN_ONEFILE_PARENT", report.variable("TAVRIN_ONEFILE_PARENT").value_or(L"")});
  later.set_variables.push_back({L"TAVRIN_ONEFILE_START", report.variable("TAVRIN_ONEFILE_START").value_or(L"")});
  DWORD pid = 0;
  const ProcessResult result = launch(workspace_, exe_path, {}, later, &pid);
  EXPECT_EQ(result.exit_code, 4u) << printable(result.err);
  const std::vector<AppReport> reports = parse_reports(result.out);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_NE(reports[0].module_directory(), target);
  EXPECT_EQ(reports[0].variable("TAVRIN_ONEFILE_PARENT"), std::to_wstring(pid));
  EXPECT_EQ(temp_entries(workspace_), std::vector<std::wstring>{target.substr(target.rfind(L'\\') + 1)});
  remove_tree(target);
}

void run_concurrently(const Workspace& workspace, const std::wstring& exe, int count) {
  std::vector<std::unique_ptr<EventPair>> events;
  std::vector<std::unique_ptr<Launch>> runs;
  for (int i = 0; i < count; ++i) {
    events.push_back(std::make_unique<EventPair>());
    runs.push_back(std::make_unique<Launch>());
    LaunchOptions options;
    options.set_variables.push_back({L"E2E_ACTION", L"wait"});
    options.set_variables.push_back({L"E2E_EXIT", std::to_wstring(100 + i)});
    events[i]->add_to(&options);
    ASSERT_TRUE(runs[i]->start(workspace, exe, quote_argument(exe), {std::to_wstring(i)}, options));
  }
  for (int i = 0; i < count; ++i) ASSERT_TRUE(events[i]->wait_ready()) << i;
  EXPECT_EQ(temp_entries(workspace).size(), static_cast<size_t>(count)) << "all running, each in its own directory";
  for (int i = 0; i < count; ++i) events[i]->release();
  std::vector<std::wstring> directories;
  for (int i = 0; i < count; ++i) {
    const ProcessResult result = runs[i]->wait();
    EXPECT_EQ(result.exit_code, static_cast<DWORD>(100 + i)) << printable(result.err);
    const std::vector<AppReport> reports = parse_reports(result.out);
    ASSERT_EQ(reports.size(), 1u) << i;
    EXPECT_EQ(reports[0].arguments, (std::vector<std::wstring>{exe, std::to_wstring(i)}));
    EXPECT_EQ(reports[0].variable("TAVRIN_ONEFILE_PARENT"), std::to_wstring(runs[i]->pid()));
    directories.push_back(reports[0].module_directory());
  }
  std::sort(directories.begin(), directories.end());
  EXPECT_EQ(std::unique(directories.begin(), directories.end()), directories.end());
  EXPECT_TRUE(temp_entries(workspace).empty()) << "no directory left behind";
}

TEST_F(Failures, TenConcurrentStartsRunApartAndLeaveNothing) {
  std::wstring exe_path;
  ASSERT_EQ(prepare_standard_app(workspace_, &exe_path), "");
  run_concurrently(workspace_, exe_path, 10);
}

TEST_F(Failures, TwentyConcurrentStartsRunApartAndLeaveNothing) {
  std::wstring exe_path;
  ASSERT_EQ(prepare_standard_app(workspace_, &exe_path), "");
  run_concurrently(workspace_, exe_path, 20);
}

}  // namespace
