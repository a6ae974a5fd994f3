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

// A copy started by the running app inherits the variables naming its still-running parent:
// it runs as a child in the same directory and unpacks nothing (a file the app removed
// stays removed).
TEST_F(Roles, CopyStartedFromTheRunningAppTakesTheChildRole) {
  LaunchOptions options;
  options.set_variables.push_back({L"E2E_ACTION", L"spawn"});
  options.set_variables.push_back({L"E2E_SPAWN_ACTION", L"none"});
  options.set_variables.push_back({L"E2E_DELETE", standard_data_file});
  options.set_variables.push_back({L"E2E_EXIT", L"9"});
  DWORD pid = 0;
  const ProcessResult result = launch(workspace_, exe_, {}, options, &pid);
  EXPECT_EQ(result.exit_code, 9u) << printable(result.err);
  const std::vector<AppReport> reports = parse_reports(result.out);
  ASSERT_EQ(reports.size(), 2u) << printable(result.out);
  EXPECT_NE(reports[1].pid, reports[0].pid);
  EXPECT_EQ(reports[1].module, reports[0].module);
  EXPECT_EQ(reports[1].variable(parent_variable), std::to_wstring(pid));
  EXPECT_EQ(reports[1].variable(start_variable), reports[0].variable(start_variable));
  ASSERT_EQ(reports[1].arguments.size(), 2u);
  EXPECT_EQ(reports[1].arguments[0], exe_) << "a child's argument 0 is passed through as it came";
  EXPECT_EQ(reports[1].arguments[1], L"spawned");
  EXPECT_EQ(report_value(result.out, "spawned_exit"), "0");
  EXPECT_EQ(report_value(result.out, "deleted_back"), "0") << "the child-role copy must not unpack";
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

// The same from outside: while one start runs, a start given its parent's ID and start
// time joins its directory; with another start time it looks in a directory that does not
// exist and cannot load the main library.
TEST_F(Roles, StartNamingARunningCopyJoinsItsDirectory) {
  EventPair events;
  LaunchOptions first_options;
  first_options.set_variables.push_back({L"E2E_ACTION", L"wait"});
  events.add_to(&first_options);
  Launch first;
  ASSERT_TRUE(first.start(workspace_, exe_, quote_argument(exe_), {}, first_options));
  ASSERT_TRUE(events.wait_ready());
  const std::vector<std::wstring> before = temp_entries(workspace_);
  ASSERT_EQ(before.size(), 1u);
  const std::wstring target = workspace_.temp + L"\\" + before[0];
  ASSERT_TRUE(DeleteFileW((target + L"\\" + standard_data_file).c_str()));
  const std::wstring start = before[0].substr(before[0].rfind(L'_') + 1);

  LaunchOptions joining;
  joining.set_variables.push_back({widen(parent_variable), std::to_wstring(first.pid())});
  joining.set_variables.push_back({widen(start_variable), start});
  joining.set_variables.push_back({L"E2E_EXIT", L"5"});
  DWORD joining_pid = 0;
  const ProcessResult joined = launch(workspace_, exe_, {L"one"}, joining, &joining_pid);
  EXPECT_EQ(joined.exit_code, 5u) << printable(joined.err);
  const std::vector<AppReport> reports = parse_reports(joined.out);
  ASSERT_EQ(reports.size(), 1u) << printable(joined.out);
  EXPECT_EQ(reports[0].pid, joining_pid) << "a child runs the library in its own process";
  EXPECT_EQ(reports[0].module_directory(), target);
  EXPECT_EQ(reports[0].variable(parent_variable), std::to_wstring(first.pid()));
  EXPECT_FALSE(file_exists(target + L"\\" + standard_data_file)) << "the child unpacked";

  joining.set_variables[1].second = start + L"1";
  const ProcessResult lost = launch(workspace_, exe_, {}, joining);
  EXPECT_EQ(lost.exit_code, 2u);
  EXPECT_EQ(lost.err.rfind("Error, load DLL. ([Error ", 0), 0u) << printable(lost.err);
  EXPECT_EQ(temp_entries(workspace_), before) << "a child creates nothing";

  events.release();
  EXPECT_EQ(first.wait().exit_code, 0u);
  EXPECT_TRUE(temp_entries(workspace_).empty());
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
