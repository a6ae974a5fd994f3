// The role decision and the child's environment, in the test process itself (its own
// executable is the test program), and through the probe where the outcome could end it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "launcher/role.h"
#include "paths/env.h"
#include "support/files.h"
#include "support/process.h"

namespace {

constexpr size_t value_capacity = 4096;

std::wstring variable(const wchar_t* name) {
  wchar_t value[value_capacity];
  const DWORD length = GetEnvironmentVariableW(name, value, value_capacity);
  return length == 0 || length >= value_capacity ? std::wstring(L"(absent)") : std::wstring(value, length);
}

std::wstring own_id() {
  return std::to_wstring(GetCurrentProcessId());
}

// A process of another executable that stays alive until the test ends it.
class RunningProcess {
 public:
  explicit RunningProcess(const std::wstring& executable) {
    process_ = start_and_await_first_line(executable, L"\"" + executable + L"\" sleep_forever", &ready_);
    created_ = process_.hProcess != nullptr;
  }
  ~RunningProcess() {
    if (!created_) return;
    TerminateProcess(process_.hProcess, 0);
    WaitForSingleObject(process_.hProcess, INFINITE);
    CloseHandle(process_.hProcess);
  }
  bool started() const { return created_ && ready_; }
  std::wstring id() const { return std::to_wstring(process_.dwProcessId); }

 private:
  PROCESS_INFORMATION process_{};
  bool created_ = false;
  bool ready_ = false;
};

// The probe's own role decision with the parent variable naming id: the parent role, and
// the inherited start time dropped. Returns the probe's output for further checks.
std::string expect_probe_parent_role(const std::wstring& id) {
  RunOptions options;
  options.set_variables = {{L"TAVRIN_ONEFILE_PARENT", id}, {L"TAVRIN_ONEFILE_START", L"5"}};
  const ProcessResult result = run_probe(L"decide_role", {}, options);
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_EQ(result.out.compare(0, 13, "role parent\r\n"), 0) << result.out;
  EXPECT_NE(result.out.find("start (absent)\r\n"), std::string::npos) << result.out;
  return result.out;
}

// Every test starts from a known environment and leaves the variables as it found them.
class RoleDecision : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const wchar_t* name : names_) saved_.push_back(variable(name));
    SetEnvironmentVariableW(L"TAVRIN_ONEFILE_PARENT", nullptr);
    SetEnvironmentVariableW(L"TAVRIN_ONEFILE_START", L"132000000000000000");
  }
  void TearDown() override {
    for (size_t i = 0; i < std::size(names_); ++i) {
      SetEnvironmentVariableW(names_[i], saved_[i] == L"(absent)" ? nullptr : saved_[i].c_str());
    }
  }
  // A present value that fails the check: parent role, both variables reset.
  void expect_reset_parent(const wchar_t* value) {
    SetEnvironmentVariableW(L"TAVRIN_ONEFILE_PARENT", value);
    SetEnvironmentVariableW(L"TAVRIN_ONEFILE_START", L"132000000000000000");
    EXPECT_EQ(decide_role(), Role::parent) << narrow(value);
    EXPECT_EQ(variable(L"TAVRIN_ONEFILE_PARENT"), own_id()) << narrow(value);
    EXPECT_EQ(variable(L"TAVRIN_ONEFILE_START"), L"(absent)") << narrow(value);
  }

  const wchar_t* names_[5] = {L"TAVRIN_ONEFILE_PARENT", L"TAVRIN_ONEFILE_START", L"TAVRIN_ONEFILE_DIRECTORY",
                              L"TAVRIN_ORIGINAL_ARGV0", L"TAVRIN_ONEFILE_CACHE_DIR"};
  std::vector<std::wstring> saved_;
};

TEST_F(RoleDecision, AbsentOrEmptyParentGivesParentRoleAndKeepsTheStartTime) {
  EXPECT_EQ(decide_role(), Role::parent);
  EXPECT_EQ(variable(L"TAVRIN_ONEFILE_PARENT"), own_id());
  EXPECT_EQ(variable(L"TAVRIN_ONEFILE_START"), L"132000000000000000");

  SetEnvironmentVariableW(L"TAVRIN_ONEFILE_PARENT", L"");
  EXPECT_EQ(decide_role(), Role::parent);
  EXPECT_EQ(variable(L"TAVRIN_ONEFILE_PARENT"), own_id());
  EXPECT_EQ(variable(L"TAVRIN_ONEFILE_START"), L"132000000000000000");
}

// A parent looks its cache folder up itself; a child keeps the one its parent found. The
// child is a copy of the probe that the probe itself created, as a parent creates its child.
TEST_F(RoleDecision, InheritedCacheFolderIsDroppedByAParentAndKeptByAChild) {
  SetEnvironmentVariableW(L"TAVRIN_ONEFILE_CACHE_DIR", L"D:\\elsewhere");
  EXPECT_EQ(decide_role(), Role::parent);
  EXPECT_EQ(variable(L"TAVRIN_ONEFILE_CACHE_DIR"), L"(absent)");
  RunOptions options;
  options.set_variables = {{L"TAVRIN_ONEFILE_CACHE_DIR", L"D:\\elsewhere"}, {L"TAVRIN_ONEFILE_START", L"5"}};
  const ProcessResult copy = run_probe(L"decide_role_in_copy", {}, options);
  EXPECT_EQ(copy.exit_code, 0u) << copy.err;
  EXPECT_EQ(copy.out.compare(0, 12, "role child\r\n"), 0) << copy.out;
  EXPECT_NE(copy.out.find("start 5\r\n"), std::string::npos) << copy.out;
  EXPECT_NE(copy.out.find("cache D:\\elsewhere\r\n"), std::string::npos) << copy.out;
}

// Security software commonly strips the rights for reading another process's memory. The
// real child then reads its creator's image path with limited rights; when even those are
// refused it ends with a report rather than become a parent that starts a child of its own.
TEST_F(RoleDecision, CreatorThatRefusesFullRightsIsCheckedWithLimitedOnesOrEndsTheStart) {
  RunOptions options;
  options.set_variables = {{L"TAVRIN_PROBE_REFUSE_OPEN", L"first"}, {L"TAVRIN_ONEFILE_START", L"5"}};
  const ProcessResult limited = run_probe(L"decide_role_in_copy", {}, options);
  EXPECT_EQ(limited.exit_code, 0u) << limited.err;
  EXPECT_EQ(limited.out.compare(0, 12, "role child\r\n"), 0) << limited.out;

  options.set_variables = {{L"TAVRIN_PROBE_REFUSE_OPEN", L"all"}, {L"TAVRIN_ONEFILE_START", L"5"}};
  const ProcessResult refused = run_probe(L"decide_role_in_copy", {}, options);
  EXPECT_EQ(refused.exit_code, 2u) << refused.out;
  EXPECT_EQ(refused.out.find("role "), std::string::npos) << refused.out;
  EXPECT_NE(refused.err.find("Error, couldn't check the launching process. ([Error 5]"), std::string::npos)
      << refused.err;

  // A process that did not create the probe and refuses every open names no parent.
  RunningProcess other(sibling_path(L"tavrin_probe.exe"));
  ASSERT_TRUE(other.started());
  options.set_variables = {{L"TAVRIN_PROBE_REFUSE_OPEN", L"all"}, {L"TAVRIN_ONEFILE_PARENT", other.id()},
                           {L"TAVRIN_ONEFILE_START", L"5"}};
  const ProcessResult foreign = run_probe(L"decide_role", {}, options);
  EXPECT_EQ(foreign.exit_code, 0u) << foreign.err;
  EXPECT_EQ(foreign.out.compare(0, 13, "role parent\r\n"), 0) << foreign.out;
}

// Only a waiting parent's own child carries its mark: a copy without it (one that an
// application run in the launcher's process starts) takes a start of its own, and no
// event another program plants can turn a real child into a parent.
TEST_F(RoleDecision, ChildRoleNeedsTheParentsMarkAndNoPlantedEventRefusesIt) {
  RunOptions options;
  options.set_variables = {{L"TAVRIN_ONEFILE_START", L"5"}, {L"TAVRIN_ONEFILE_CHILD_MARK", L"0123456789abcdef0123456789abcdef"}};
  const ProcessResult unmarked = run_probe(L"decide_role_in_copy", {L"unmarked"}, options);
  EXPECT_EQ(unmarked.exit_code, 0u) << unmarked.err;
  EXPECT_EQ(unmarked.out.compare(0, 13, "role parent\r\n"), 0) << unmarked.out;
  const ProcessResult planted = run_probe(L"decide_role_in_copy", {L"planted"}, options);
  EXPECT_EQ(planted.exit_code, 0u) << planted.err;
  EXPECT_EQ(planted.out.compare(0, 12, "role child\r\n"), 0) << planted.out;
}

TEST_F(RoleDecision, MalformedParentResetsBothVariables) {
  for (const wchar_t* value : {L"0", L"12a", L"4294967296", L"99999999999999999999", L"abc", L"-1", L" ", L"0x10"}) {
    expect_reset_parent(value);
  }
}

TEST_F(RoleDecision, DigitsFollowedByTextFailEvenWhenTheDigitsNameThisProcess) {
  expect_reset_parent((own_id() + L"x").c_str());
  expect_reset_parent((own_id() + L" ").c_str());
}

// Running copies of this executable that did not create this process: the process itself,
// and a copy started beside it (the shape of an application that starts its own
// executable again, or of a script that inherited a running parent's variables).
TEST_F(RoleDecision, RunningCopyThatIsNotTheCreatorGivesParentRole) {
  expect_reset_parent(own_id().c_str());
  RunningProcess copy(sibling_path(L"tavrin_probe.exe"));
  ASSERT_TRUE(copy.started());
  expect_probe_parent_role(copy.id());
}

TEST_F(RoleDecision, RunningProcessOfAnotherExecutableGivesParentRole) {
  RunningProcess other(sibling_path(L"tavrin_probe.exe"));
  ASSERT_TRUE(other.started());
  expect_reset_parent(other.id().c_str());
}

TEST_F(RoleDecision, EndedProcessGivesParentRole) {
  std::wstring ended;
  {
    RunningProcess other(sibling_path(L"tavrin_probe.exe"));
    ASSERT_TRUE(other.started());
    ended = other.id();
  }
  expect_reset_parent(ended.c_str());
}

// A stale variable naming a live process whose image file no longer opens under its
// recorded path: the check fails and the launcher takes the parent role instead of ending.
// Windows lets a running executable be renamed (not deleted), and the process keeps its
// recorded image path, which then opens nothing.
TEST(RoleDecisionForeignImage, ImagePathThatNoLongerOpensGivesParentRole) {
  const std::wstring folder = make_temp_directory(L"tavrin_stale");
  ASSERT_FALSE(folder.empty());
  const std::wstring copy = folder + L"\\stale copy.exe";
  const std::wstring moved = folder + L"\\moved away.exe";
  ASSERT_TRUE(CopyFileW(sibling_path(L"tavrin_probe.exe").c_str(), copy.c_str(), FALSE));
  {
    RunningProcess stale(copy);
    ASSERT_TRUE(stale.started());
    ASSERT_TRUE(MoveFileW(copy.c_str(), moved.c_str())) << "rename of a running executable refused: "
                                                         << GetLastError();
    ASSERT_FALSE(file_exists(copy));
    // Without the mend this path would end the process: show that it really does not open.
    EXPECT_EQ(run_probe(L"normalize_path", {copy}).exit_code, abort_exit_code);
    const std::string out = expect_probe_parent_role(stale.id());
    EXPECT_EQ(out.find("parent " + narrow(stale.id()) + "\r\n"), std::string::npos) << out;
  }
  remove_tree(folder);
}

class ChildEnvironment : public RoleDecision {};

TEST_F(ChildEnvironment, DirectoryOfTheExecutableAndTheTypedNameArePublished) {
  SetEnvironmentVariableW(L"TAVRIN_ONEFILE_DIRECTORY", L"C:\\stale\\from an outer launcher");
  SetEnvironmentVariableW(L"TAVRIN_ORIGINAL_ARGV0", L"stale");
  publish_child_environment(L"..\\typed name");
  EXPECT_EQ(variable(L"TAVRIN_ONEFILE_DIRECTORY"), own_directory());
  EXPECT_EQ(variable(L"TAVRIN_ORIGINAL_ARGV0"), L"..\\typed name");
  // No name to pass on: a stale inherited value must not survive.
  publish_child_environment(nullptr);
  EXPECT_EQ(variable(L"TAVRIN_ORIGINAL_ARGV0"), L"(absent)");
  EXPECT_EQ(variable(L"TAVRIN_ONEFILE_DIRECTORY"), own_directory());
}

}  // namespace
