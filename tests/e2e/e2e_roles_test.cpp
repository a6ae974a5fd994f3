// The role decision and the hand-over variables, seen through a packed launcher: which
// target directory a start uses, what it unpacks, and what its main library finds.
#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "support/files.h"

namespace {

constexpr const char* parent_variable = "TAVRIN_ONEFILE_PARENT";
constexpr const char* start_variable = "TAVRIN_ONEFILE_START";
constexpr const char* directory_variable = "TAVRIN_ONEFILE_DIRECTORY";
constexpr const char* argv0_variable = "TAVRIN_ORIGINAL_ARGV0";

class Roles : public StandardAppTest {
 protected:
  // One run to its end; the app's single report.
  AppReport run_once(const LaunchOptions& options, DWORD* pid, ProcessResult* result) {
    *result = launch(workspace_, exe_, {}, options, pid);
    const std::vector<AppReport> reports = parse_reports(result->out);
    EXPECT_EQ(reports.size(), 1u) << printable(result->out) << printable(result->err);
    return reports.empty() ? AppReport() : reports[0];
  }

  // What every parent-role start must show: the variables naming this parent, a start
  // time in decimal, the app running from TEMP\onefile_PID_TIME, and nothing left after.
  void expect_fresh_parent(const AppReport& report, DWORD parent_pid, const ProcessResult& result) {
    EXPECT_EQ(result.exit_code, 0u) << printable(result.err);
    EXPECT_NE(report.pid, parent_pid) << "the main library runs in the child, not in the parent";
    EXPECT_EQ(report.variable(parent_variable), std::to_wstring(parent_pid));
    const std::wstring start = report.variable(start_variable).value_or(L"");
    EXPECT_TRUE(is_decimal(start)) << narrow(start);
    EXPECT_EQ(report.module_directory(), expected_target(workspace_, parent_pid, start));
    EXPECT_EQ(report.variable(directory_variable), workspace_.bin);
    EXPECT_TRUE(temp_entries(workspace_).empty()) << "the target directory is removed at the end";
  }

};

TEST_F(Roles, AbsentParentVariableGivesParentRoleAndPublishesDirectoryAndArgv0) {
  DWORD pid = 0;
  ProcessResult result;
  const AppReport report = run_once({}, &pid, &result);
  expect_fresh_parent(report, pid, result);
  EXPECT_EQ(report.variable(argv0_variable), exe_) << "argument 0 as the C runtime split it";
  ASSERT_FALSE(report.arguments.empty());
  EXPECT_EQ(report.arguments[0], exe_);
}

TEST_F(Roles, InheritedStartTimeIsKeptWhenTheParentVariableIsAbsentOrEmpty) {
  for (const bool empty_parent : {false, true}) {
    LaunchOptions options;
    options.set_variables.push_back({widen(start_variable), L"123456789"});
    if (empty_parent) options.set_variables.push_back({widen(parent_variable), L""});
    DWORD pid = 0;
    ProcessResult result;
    const AppReport report = run_once(options, &pid, &result);
    expect_fresh_parent(report, pid, result);
    EXPECT_EQ(report.variable(start_variable), L"123456789") << "empty parent variable: " << empty_parent;
    EXPECT_EQ(report.module_directory(), expected_target(workspace_, pid, L"123456789"));
  }
}

TEST_F(Roles, ParentVariableThatNamesNoProcessResetsBothVariables) {
  // Zero, digits followed by text, numbers beyond 32 bits, text alone.
  for (const wchar_t* value : {L"0", L"12a", L"4294967296", L"18446744073709551617", L"abc", L" 12"}) {
    LaunchOptions options;
    options.set_variables.push_back({widen(parent_variable), value});
    options.set_variables.push_back({widen(start_variable), L"555"});
    DWORD pid = 0;
    ProcessResult result;
    const AppReport report = run_once(options, &pid, &result);
    SCOPED_TRACE(narrow(value));
    expect_fresh_parent(report, pid, result);
    EXPECT_NE(report.variable(start_variable), L"555") << "a failed check takes the start time away";
  }
}

TEST_F(Roles, RunningProcessOfAnotherExecutableIsNoParent) {
  EventPair stop;
  std::wstring other = sibling_path(L"e2e_other.exe");
  Launch other_run;
  ASSERT_TRUE(other_run.start(workspace_, other, quote_argument(other), {stop.go_name}));
  LaunchOptions options;
  options.set_variables.push_back({widen(parent_variable), std::to_wstring(other_run.pid())});
  options.set_variables.push_back({widen(start_variable), L"42"});
  DWORD pid = 0;
  ProcessResult result;
  const AppReport report = run_once(options, &pid, &result);
  expect_fresh_parent(report, pid, result);
  EXPECT_NE(report.variable(start_variable), L"42");
  stop.release();
  EXPECT_EQ(other_run.wait().exit_code, 0u) << "the other process ran all along";
}

// An application that starts its own executable again and returns once the copy runs (a
// restart): the copy was not created by the running parent, so it is a start of its own.
// Its tree is its own, complete after the first start has ended and cleaned up, and removed
// when the copy ends; the first start's exit code and clean-up are those of any start.
TEST_F(Roles, CopyThatTheAppStartsAgainIsAStartOfItsOwn) {
  EventPair copy_events;
  const std::wstring copy_report = workspace_.root + L"\\copy-report.txt";
  LaunchOptions options;
  options.set_variables = {{L"E2E_ACTION", L"relaunch"}, {L"E2E_SPAWN_ACTION", L"wait"},
                           {L"E2E_SPAWN_REPORT", copy_report}, {L"E2E_EXIT", L"9"}};
  copy_events.add_to(&options);
  DWORD first_pid = 0;
  ProcessResult first;
  const AppReport first_report = run_once(options, &first_pid, &first);
  EXPECT_EQ(first.exit_code, 9u) << printable(first.err);
  const DWORD copy_pid = static_cast<DWORD>(std::stoul("0" + report_value(first.out, "relaunched_pid")));
  ASSERT_NE(copy_pid, 0u) << printable(first.out);
  HANDLE copy = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, copy_pid);
  ASSERT_NE(copy, nullptr);
  ASSERT_TRUE(copy_events.wait_ready());

  const std::vector<AppReport> reports = parse_reports(read_file(copy_report));
  ASSERT_EQ(reports.size(), 1u);
  const AppReport& report = reports[0];
  EXPECT_EQ(report.variable(parent_variable), std::to_wstring(copy_pid));
  const std::wstring start = report.variable(start_variable).value_or(L"");
  EXPECT_NE(start, first_report.variable(start_variable).value_or(L""));
  const std::wstring tree = expected_target(workspace_, copy_pid, start);
  EXPECT_EQ(report.module_directory(), tree);
  EXPECT_NE(report.module_directory(), first_report.module_directory());
  EXPECT_EQ(temp_entries(workspace_), std::vector<std::wstring>{tree.substr(workspace_.temp.size() + 1)})
      << "the first start removed its own tree, and only that";
  EXPECT_EQ(list_files(tree), list_files(workspace_.app)) << "the copy's files outlive the first start";
  for (const std::wstring& file : list_files(workspace_.app)) {
    EXPECT_TRUE(read_file(tree + L"\\" + file) == read_file(workspace_.app + L"\\" + file)) << narrow(file);
  }

  copy_events.release();
  EXPECT_EQ(WaitForSingleObject(copy, 30000), WAIT_OBJECT_0);
  DWORD copy_code = 1;
  EXPECT_TRUE(GetExitCodeProcess(copy, &copy_code));
  EXPECT_EQ(copy_code, 0u);
  CloseHandle(copy);
  EXPECT_TRUE(temp_entries(workspace_).empty()) << "the copy removes its own tree";
}

// A start by another process while a parent runs, with that parent's variables inherited
// (the shape of an updater's script): a start of its own beside the running one, which
// leaves the running one's tree alone.
TEST_F(Roles, StartByAnotherProcessWithARunningParentsVariablesIsAStartOfItsOwn) {
  EventPair events;
  LaunchOptions first_options;
  first_options.set_variables.push_back({L"E2E_ACTION", L"wait"});
  events.add_to(&first_options);
  Launch first;
  ASSERT_TRUE(first.start(workspace_, exe_, quote_argument(exe_), {}, first_options));
  ASSERT_TRUE(events.wait_ready());
  const std::vector<std::wstring> before = temp_entries(workspace_);
  ASSERT_EQ(before.size(), 1u);
  const std::wstring first_tree = workspace_.temp + L"\\" + before[0];
  const std::wstring start = before[0].substr(before[0].rfind(L'_') + 1);

  LaunchOptions script;
  script.set_variables = {{widen(parent_variable), std::to_wstring(first.pid())}, {widen(start_variable), start},
                          {L"E2E_EXIT", L"5"}};
  DWORD pid = 0;
  ProcessResult result;
  const AppReport report = run_once(script, &pid, &result);
  EXPECT_EQ(result.exit_code, 5u) << printable(result.err);
  EXPECT_NE(report.pid, pid) << "the main library runs in the start's own child";
  EXPECT_EQ(report.variable(parent_variable), std::to_wstring(pid));
  const std::wstring fresh = report.variable(start_variable).value_or(L"");
  EXPECT_NE(fresh, start);
  EXPECT_EQ(report.module_directory(), expected_target(workspace_, pid, fresh));
  EXPECT_EQ(temp_entries(workspace_), before) << "its own tree is removed, the running one's kept";
  EXPECT_EQ(list_files(first_tree), list_files(workspace_.app));

  events.release();
  EXPECT_EQ(first.wait().exit_code, 0u);
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

// A parent ended from outside while its application runs takes the child with it, within a
// second; a program that the application started before that runs on.
TEST_F(Roles, ChildEndsWithAParentEndedFromOutsideAndWhatTheAppStartedRunsOn) {
  EventPair app_events, helper_events;
  const std::wstring report_file = workspace_.root + L"\\report.txt";
  const std::wstring helper = sibling_path(L"e2e_other.exe");
  LaunchOptions options;
  options.set_variables = {{L"E2E_ACTION", L"helper"}, {L"E2E_REPORT", report_file},
                           {L"E2E_HELPER", quote_argument(helper) + L" " + helper_events.go_name + L" " +
                                               helper_events.ready_name}};
  app_events.add_to(&options);
  Launch run;
  ASSERT_TRUE(run.start(workspace_, exe_, quote_argument(exe_), {}, options));
  ASSERT_TRUE(app_events.wait_ready());
  const std::vector<AppReport> reports = parse_reports(read_file(report_file));
  ASSERT_EQ(reports.size(), 1u);
  HANDLE child = OpenProcess(SYNCHRONIZE, FALSE, reports[0].pid);
  ASSERT_NE(child, nullptr);
  ASSERT_TRUE(TerminateProcess(run.process(), 1));
  EXPECT_EQ(WaitForSingleObject(child, 1000), WAIT_OBJECT_0) << "the child outlived its parent";
  CloseHandle(child);
  helper_events.release();
  EXPECT_TRUE(helper_events.wait_ready(10000)) << "the program the app started ended with the child";
  app_events.release();
  run.wait();
}

// Updaters and browsers start their helpers with CREATE_BREAKAWAY_FROM_JOB, which Windows
// refuses unless the job allows breaking away explicitly. Wine lets the process leave
// either way: the job's limits are read back where the job is made (child_test).
TEST_F(Roles, AppMayStartAProcessThatAsksToLeaveTheJob) {
  const std::wstring helper = sibling_path(L"e2e_other.exe");
  LaunchOptions options;
  // No event of that name: the program ends at once.
  options.set_variables = {{L"E2E_ACTION", L"breakaway"}, {L"E2E_HELPER", quote_argument(helper) + L" no-such-event"}};
  const ProcessResult result = launch(workspace_, exe_, {}, options);
  EXPECT_EQ(result.exit_code, 0u) << printable(result.err);
  EXPECT_NE(result.out.find("breakaway 0\n"), std::string::npos) << printable(result.out);
}

TEST_F(Roles, TwoIndependentStartsUseTwoDirectories) {
  EventPair first_events, second_events;
  Launch runs[2];
  const EventPair* events[2] = {&first_events, &second_events};
  for (int i = 0; i < 2; ++i) {
    LaunchOptions options;
    options.set_variables.push_back({L"E2E_ACTION", L"wait"});
    events[i]->add_to(&options);
    ASSERT_TRUE(runs[i].start(workspace_, exe_, quote_argument(exe_), {}, options));
    ASSERT_TRUE(events[i]->wait_ready());
  }
  EXPECT_EQ(temp_entries(workspace_).size(), 2u) << "both run at once, each in its own directory";
  std::wstring directories[2];
  for (int i = 0; i < 2; ++i) {
    events[i]->release();
    const ProcessResult result = runs[i].wait();
    EXPECT_EQ(result.exit_code, 0u);
    const std::vector<AppReport> reports = parse_reports(result.out);
    ASSERT_EQ(reports.size(), 1u);
    directories[i] = reports[0].module_directory();
    EXPECT_EQ(reports[0].variable(parent_variable), std::to_wstring(runs[i].pid()));
  }
  EXPECT_NE(directories[0], directories[1]);
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

// The whole road: the parent unpacks the complete tree into TEMP\onefile_PID_TIME, the
// child finds it there, byte for byte, together with the two published variables.
TEST_F(Roles, ParentUnpacksTheWholeTreeIntoItsTargetDirectory) {
  EventPair events;
  LaunchOptions options;
  options.set_variables.push_back({L"E2E_ACTION", L"wait"});
  events.add_to(&options);
  Launch run;
  ASSERT_TRUE(run.start(workspace_, exe_, L"started-as-this", {}, options));
  ASSERT_TRUE(events.wait_ready());
  const std::vector<std::wstring> entries = temp_entries(workspace_);
  ASSERT_EQ(entries.size(), 1u);
  const std::wstring target = workspace_.temp + L"\\" + entries[0];
  EXPECT_EQ(entries[0].rfind(L"onefile_" + std::to_wstring(run.pid()) + L"_", 0), 0u) << narrow(entries[0]);
  EXPECT_EQ(list_files(target), list_files(workspace_.app));
  for (const std::wstring& file : list_files(workspace_.app)) {
    EXPECT_EQ(read_file(target + L"\\" + file), read_file(workspace_.app + L"\\" + file)) << narrow(file);
  }
  events.release();
  const ProcessResult result = run.wait();
  EXPECT_EQ(result.exit_code, 0u);
  const std::vector<AppReport> reports = parse_reports(result.out);
  ASSERT_EQ(reports.size(), 1u);
  EXPECT_EQ(reports[0].module, target + L"\\app.dll");
  EXPECT_EQ(reports[0].variable(directory_variable), workspace_.bin);
  EXPECT_EQ(reports[0].variable(argv0_variable), L"started-as-this");
  EXPECT_FALSE(directory_exists(target));
}

TEST_F(Roles, PackedResourceIsThePayloadByteForByteAndTheExeStarts) {
  ByteVector payload;
  const std::wstring exe = workspace_.bin + L"\\second.exe";
  ASSERT_EQ(pack_directory(workspace_.app, L"app.dll", exe, &payload), "");
  HMODULE image = LoadLibraryExW(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
  ASSERT_NE(image, nullptr);
  HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(27), MAKEINTRESOURCEW(10));
  ASSERT_NE(found, nullptr);
  const DWORD size = SizeofResource(image, found);
  const unsigned char* data = static_cast<const unsigned char*>(LockResource(LoadResource(image, found)));
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(ByteVector(data, data + size), payload);
  FreeLibrary(image);
  LaunchOptions options;
  options.set_variables.push_back({L"E2E_EXIT", L"3"});
  EXPECT_EQ(launch(workspace_, exe, {}, options).exit_code, 3u);
}

// A start time smuggled in with ".." components must not steer the target directory (and
// so the removal at the end) out of TEMP: the launcher takes a fresh time instead.
TEST_F(Roles, StartTimeWithPathComponentsCannotLeadOutOfTemp) {
  const std::wstring outside = workspace_.root + L"\\outside";
  ASSERT_TRUE(CreateDirectoryW(outside.c_str(), nullptr));
  ASSERT_TRUE(write_file(outside + L"\\keep.txt", "precious"));
  LaunchOptions options;
  options.set_variables.push_back({widen(start_variable), L"1\\..\\..\\outside"});
  DWORD pid = 0;
  ProcessResult result;
  const AppReport report = run_once(options, &pid, &result);
  expect_fresh_parent(report, pid, result);
  EXPECT_NE(report.variable(start_variable), L"1\\..\\..\\outside");
  EXPECT_EQ(list_files(outside), std::vector<std::wstring>{L"keep.txt"});
  EXPECT_EQ(read_file(outside + L"\\keep.txt"), "precious");
}

// A live process whose image file has been renamed away: its path no longer opens, which
// must fail the parent check rather than end the launcher.
TEST_F(Roles, ParentWhoseImagePathNoLongerOpensIsNoParent) {
  const std::wstring folder = workspace_.root + L"\\other";
  ASSERT_TRUE(copy_helper(L"e2e_other.exe", folder, L"other.exe"));
  EventPair stop;
  Launch other_run;
  const std::wstring other = folder + L"\\other.exe";
  ASSERT_TRUE(other_run.start(workspace_, other, quote_argument(other), {stop.go_name}));
  ASSERT_TRUE(MoveFileW(other.c_str(), (folder + L"\\moved.exe").c_str()));
  LaunchOptions options;
  options.set_variables.push_back({widen(parent_variable), std::to_wstring(other_run.pid())});
  options.set_variables.push_back({widen(start_variable), L"77"});
  DWORD pid = 0;
  ProcessResult result;
  const AppReport report = run_once(options, &pid, &result);
  expect_fresh_parent(report, pid, result);
  EXPECT_NE(report.variable(start_variable), L"77");
  stop.release();
  EXPECT_EQ(other_run.wait().exit_code, 0u);
}

}  // namespace
