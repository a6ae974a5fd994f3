// The parent's launch of its child, watched from outside through the probe: the rebuilt
// command line as the child's C runtime splits it, exit codes, standard handles, the
// clean-up after the wait and the failures; and the child's in-process run of a library.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "launcher/child.h"
#include "launcher/child_job.h"
#include "launcher/cleanup.h"
#include "launcher/quoting.h"
#include "launcher/state.h"
#include "paths/bounded.h"
#include "support/files.h"
#include "support/process.h"

namespace {

constexpr size_t line_capacity = 32768;

std::wstring join(const std::vector<std::wstring>& arguments) {
  std::vector<const wchar_t*> pointers;
  for (const auto& argument : arguments) pointers.push_back(argument.c_str());
  std::vector<wchar_t> line(line_capacity);
  if (!join_command_line(line.data(), line_capacity, pointers.data(), pointers.size())) return std::wstring();
  return line.data();
}

std::string hex_line(const std::wstring& text) {
  std::string hex;
  char unit[8];
  for (wchar_t c : text) {
    snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
    hex += unit;
  }
  return hex + "\r\n";
}

// What the probe's child half prints for this argument vector.
std::string child_report(const std::vector<std::wstring>& argv, const std::string& input) {
  std::string report = "argc " + std::to_string(argv.size()) + "\r\n";
  for (const auto& argument : argv) report += hex_line(argument);
  return report + "stdin " + input + "\r\n";
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// A target directory with one file in it, as the parent would have unpacked it.
class ChildLaunch : public ::testing::Test {
 protected:
  void SetUp() override {
    target_ = make_temp_directory(L"tavrin_child");
    ASSERT_FALSE(target_.empty());
    ASSERT_TRUE(write_file(target_ + L"\\app.dll", "main"));
    probe_ = sibling_path(L"tavrin_probe.exe");
  }
  void TearDown() override { remove_tree(target_); }

  // Starts the probe as a parent whose own command line holds typed_name and arguments.
  ProcessResult launch(const std::wstring& executable, const std::wstring& typed_name, const std::wstring& exit_code,
                       const std::vector<std::wstring>& extra, const RunOptions& options = {}) {
    std::vector<std::wstring> arguments{typed_name, L"launch_child", target_, exit_code};
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    return run_process(executable, join(arguments), options);
  }

  std::wstring target_;
  std::wstring probe_;
};

TEST_F(ChildLaunch, ArgumentsArriveUnchangedAfterTheFullModulePath) {
  const std::vector<std::wstring> extra{L"a b", L"tab\there", L"say \"hi\"", L"C:\\dir with space\\",
                                        L"plain\\path\\", L"", L"\\\\\"", L"\u00e9\U0001F600"};
  RunOptions options;
  options.standard_input = "hello child";
  const ProcessResult result = launch(probe_, L"typed-name", L"7", extra, options);
  EXPECT_EQ(result.exit_code, 7u) << result.err;
  std::vector<std::wstring> expected{probe_, L"launch_child", target_, L"7"};
  expected.insert(expected.end(), extra.begin(), extra.end());
  EXPECT_EQ(result.out, child_report(expected, "hello child") + "parent returns 7\r\n");
  // Standard error is the parent's too.
  EXPECT_EQ(result.err, "child standard error\r\n");
  EXPECT_FALSE(directory_exists(target_));
}

TEST_F(ChildLaunch, ModulePathWithASpaceIsTheChildsArgumentZero) {
  const std::wstring folder = make_temp_directory(L"tavrin child space");
  ASSERT_FALSE(folder.empty());
  const std::wstring copy = folder + L"\\probe copy.exe";
  ASSERT_TRUE(CopyFileW(probe_.c_str(), copy.c_str(), FALSE));
  const ProcessResult result = launch(copy, L"probe", L"0", {L"x"});
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(result.out, child_report({copy, L"launch_child", target_, L"0", L"x"}, "") + "parent returns 0\r\n");
  remove_tree(folder);
}

TEST_F(ChildLaunch, ExitCodesPassThroughWithAllTheirBits) {
  for (const wchar_t* code : {L"0", L"300", L"0x80000005", L"0xFFFFFFFF"}) {
    CreateDirectoryW(target_.c_str(), nullptr);
    const ProcessResult result = launch(probe_, L"p", code, {});
    EXPECT_EQ(result.exit_code, wcstoul(code, nullptr, 0)) << narrow(code) << result.err;
    EXPECT_FALSE(directory_exists(target_)) << narrow(code);
  }
}

// Wherever the system creates a process inside a job (Windows 10 on, and this wine), the
// child is in its parent's job from its creation, before it has run at all: a parent ended
// at that moment takes it along instead of leaving it suspended.
TEST_F(ChildLaunch, ChildIsInItsJobFromItsCreation) {
  copy_bounded(launcher_state.own_path, probe_.c_str(), own_path_capacity);
  std::wstring line = L"\"" + probe_ + L"\" suspended_only";
  PROCESS_INFORMATION child{};
  const bool created_in_job = create_child(line.data(), &child);
  const bool in_job = is_in_child_job(child.hProcess);
  TerminateProcess(child.hProcess, 1);
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  EXPECT_EQ(in_job, created_in_job);
  EXPECT_EQ(created_in_job, child_job_attribute() != nullptr);
}

// Kill on close; what the application starts leaves the job silently, and also when it asks
// to with CREATE_BREAKAWAY_FROM_JOB, which Windows refuses in a job without
// JOB_OBJECT_LIMIT_BREAKAWAY_OK. Wine lets such a process leave either way (e2e_roles_test
// starts one) and reads back no limits at all, so this read-back shows them on Windows only.
TEST(ChildJob, JobEndsItsProcessesOnCloseAndLetsThemLeave) {
  DWORD flags = 0;
  ASSERT_TRUE(read_child_job_limits(&flags));
  if (flags == 0) GTEST_SKIP() << "the system keeps no limits to read back (wine 8)";
  EXPECT_NE(flags & JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE, 0u);
  EXPECT_NE(flags & JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK, 0u);
  EXPECT_NE(flags & JOB_OBJECT_LIMIT_BREAKAWAY_OK, 0u);
}

// A parent inside a job that holds its child: Windows 8 and later nest the parent's own job
// in it; wine 8 and older Windows cannot, and the child must then run as it did before
// parents had a job.
TEST_F(ChildLaunch, ChildInsideAnOuterJobRunsAsBefore) {
  std::vector<std::wstring> arguments{L"p", L"launch_child_in_job", target_, L"4"};
  const ProcessResult result = run_process(probe_, join(arguments));
  EXPECT_EQ(result.exit_code, 4u) << result.err;
  EXPECT_EQ(result.out, child_report({probe_, L"launch_child_in_job", target_, L"4"}, "") + "parent returns 4\r\n");
  EXPECT_FALSE(directory_exists(target_));
}

TEST_F(ChildLaunch, LineThatDoesNotFitStartsNoChildAndKeepsTheDirectory) {
  // The parent's own line fits the system's limit; argument 0 grows from "p" to the full
  // module path, which pushes the rebuilt line past its buffer.
  std::wstring line = L"p launch_child \"" + target_ + L"\" 0 ";
  line += std::wstring(32766 - line.size(), L'x');
  ASSERT_GT(line.size() - 1 + probe_.size(), line_capacity);
  const ProcessResult result = run_process(probe_, line);
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(starts_with(result.err, "Error, couldn't launch child ([Error 206] ")) << result.err;
  EXPECT_TRUE(file_exists(target_ + L"\\app.dll"));
}

TEST_F(ChildLaunch, LaunchFailureIsReportedAndLeavesTheDirectory) {
  const ProcessResult result = run_probe(L"launch_missing_child", {target_, target_ + L"\\missing.exe"});
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(starts_with(result.err, "Error, couldn't launch child ([Error 2] ")) << result.err;
  EXPECT_EQ(result.err.substr(result.err.size() - 3), ")\r\n");
  EXPECT_TRUE(file_exists(target_ + L"\\app.dll"));
}

TEST(MainLibrary, RunCodeGetsTheArgumentsAndItsResultIsTheExitCode) {
  const std::wstring probe = sibling_path(L"tavrin_probe.exe");
  const ProcessResult result = run_probe(L"run_main_library", {probe, own_directory(), L"first arg", L"-7"});
  EXPECT_EQ(result.exit_code, static_cast<DWORD>(-7)) << result.err;
  EXPECT_EQ(result.out, "run_code 2\r\nfirst arg\r\n-7\r\n");
  EXPECT_EQ(run_probe(L"run_main_library", {probe, own_directory(), L"300"}).exit_code, 300u);
}

TEST(MainLibrary, MissingLibraryIsReportedWithTheSystemReason) {
  const std::wstring folder = make_temp_directory(L"tavrin_nolib");
  const ProcessResult result = run_probe(L"run_main_library", {folder + L"\\app.dll", folder, L"1"});
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "");
  EXPECT_TRUE(starts_with(result.err, "Error, load DLL. ([Error ")) << result.err;
  EXPECT_EQ(result.err.find("[Error 0]"), std::string::npos) << result.err;
  remove_tree(folder);
}

TEST(MainLibrary, LibraryWithoutRunCodeIsReportedOnStandardOutput) {
  wchar_t system[MAX_PATH];
  ASSERT_NE(GetSystemDirectoryW(system, MAX_PATH), 0u);
  const std::wstring library = std::wstring(system) + L"\\version.dll";
  const ProcessResult result = run_probe(L"run_main_library", {library, system, L"1"});
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "Error, DLL entry point not found.\r\n");
  EXPECT_EQ(result.err, "");
}

}  // namespace
