// The sweep of trees left by earlier starts: which names it takes for trees, how it judges
// the start a name records, and how much one sweep removes.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "launcher/sweep.h"
#include "support/files.h"
#include "support/process.h"

namespace {

bool running_under_wine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

uint64_t as_count(const FILETIME& time) {
  return (static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

uint64_t own_creation_time() {
  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
  return as_count(created);
}

// The PID of a process that has ended and whose every handle is closed.
DWORD ended_process_id() {
  bool ready = false;
  PROCESS_INFORMATION probe = start_and_await_first_line(sibling_path(L"tavrin_probe.exe"),
                                                         L"tavrin_probe.exe" /* usage line, then it ends */, &ready);
  if (probe.hProcess == nullptr) return 0;
  WaitForSingleObject(probe.hProcess, INFINITE);
  CloseHandle(probe.hProcess);
  return probe.dwProcessId;
}

constexpr uint64_t one_day = 24ull * 3600 * 10000000;

TEST(TreeNames, OnlyTheLaunchersOwnShapesParse) {
  const std::vector<std::pair<const wchar_t*, bool>> names = {
      {L"onefile_12_34", true},
      {L"onefile_4294967295_9223372036854775807", true},  // the largest PID and TIME
      {L"onefile_4294967296_34", false},                  // a PID beyond 32 bits
      {L"onefile_12_9223372036854775808", false},         // a TIME beyond "%lld"
      {L"onefile_12_34~old_0", true},
      {L"onefile_12_34~old_17", true},
      {L"onefile_12_x", false},
      {L"onefile_012_34", false},
      {L"onefile_0_34", false},
      {L"onefile_12_034", false},
      {L"onefile__34", false},
      {L"onefile_12_", false},
      {L"onefile_12", false},
      {L"onefile_12_34_5", false},
      {L"onefile_12_34 ", false},
      {L"Onefile_12_34", false},
      {L"onefile_-12_34", false},
      {L"onefile_12_34~old_", false},
      {L"onefile_12_34~old_01", false},
      {L"onefile_12_34~old_1x", false},
      {L"onefile_12_34~new_1", false},
  };
  for (const auto& [name, parses] : names) {
    TreeStamp stamp{};
    EXPECT_EQ(parse_temporary_tree_name(name, &stamp), parses) << testing::PrintToString(std::wstring(name));
  }
  TreeStamp stamp{};
  ASSERT_TRUE(parse_temporary_tree_name(L"onefile_4294967295_9223372036854775807~old_3", &stamp));
  EXPECT_EQ(stamp.pid, 4294967295u);
  EXPECT_EQ(stamp.time, 9223372036854775807ull);
}

TEST(StartVerdicts, FollowTheProcessAndTheTimeTheNameRecords) {
  const DWORD own = GetCurrentProcessId();
  const uint64_t creation = own_creation_time();
  const uint64_t later = creation + one_day;
  EXPECT_EQ(judge_start({own, creation}, later), StartVerdict::running) << "launch time read as the process began";
  EXPECT_EQ(judge_start({own, creation + 1}, later), StartVerdict::running);
  EXPECT_EQ(judge_start({own, creation - 1}, later), StartVerdict::over) << "the PID was reused by a later process";
  // The young rule comes first, whatever the process says.
  EXPECT_EQ(judge_start({own, creation - 1}, creation - 1 + young_tree_age - 1), StartVerdict::young);
  EXPECT_EQ(judge_start({own, creation - 1}, creation - 1 + young_tree_age), StartVerdict::over);
  EXPECT_EQ(judge_start({own, later + 1}, later), StartVerdict::young) << "a time ahead of the clock";

  const DWORD ended = ended_process_id();
  ASSERT_NE(ended, 0u);
  EXPECT_EQ(judge_start({ended, creation}, later), StartVerdict::over) << "no process has that PID";

  // An ended process that someone still holds keeps its PID: its start is over all the same.
  bool ready = false;
  PROCESS_INFORMATION held = start_and_await_first_line(sibling_path(L"tavrin_probe.exe"),
                                                        L"tavrin_probe.exe" /* usage line, then it ends */, &ready);
  ASSERT_NE(held.hProcess, nullptr);
  WaitForSingleObject(held.hProcess, INFINITE);
  FILETIME created{}, exited{}, kernel{}, user{};
  ASSERT_TRUE(GetProcessTimes(held.hProcess, &created, &exited, &kernel, &user));
  EXPECT_EQ(judge_start({held.dwProcessId, as_count(created)}, as_count(created) + one_day), StartVerdict::over);
  CloseHandle(held.hProcess);
}

// A private TEMP holding trees of ended starts, and this process posing as the parent whose
// temporary target directory lies there.
class Sweep : public ::testing::Test {
 protected:
  void SetUp() override {
    temp_ = make_temp_directory(L"tavrin_sweep");
    ASSERT_FALSE(temp_.empty());
    for (const wchar_t* name : {L"TEMP", L"TMP"}) {
      wchar_t value[MAX_PATH * 4];
      const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH * 4);
      saved_.push_back({name, length == 0 ? std::wstring() : std::wstring(value, length)});
      SetEnvironmentVariableW(name, temp_.c_str());
    }
    own_name_ = L"onefile_" + std::to_wstring(GetCurrentProcessId()) + L"_" + std::to_wstring(current_file_time());
    SetEnvironmentVariableW(L"TAVRIN_ONEFILE_PARENT", std::to_wstring(GetCurrentProcessId()).c_str());
    SetEnvironmentVariableW(L"TAVRIN_ONEFILE_START", own_name_.substr(own_name_.rfind(L'_') + 1).c_str());
    ended_ = ended_process_id();
    ASSERT_NE(ended_, 0u);
  }
  void TearDown() override {
    for (const auto& [name, value] : saved_) SetEnvironmentVariableW(name.c_str(), value.empty() ? nullptr : value.c_str());
    SetEnvironmentVariableW(L"TAVRIN_ONEFILE_PARENT", nullptr);
    SetEnvironmentVariableW(L"TAVRIN_ONEFILE_START", nullptr);
    remove_tree(temp_);
  }

  // A tree of an ended start, a day old, with a file and a subdirectory in it.
  std::wstring plant_stale(int index, const std::wstring& suffix = L"") {
    const std::wstring name = L"onefile_" + std::to_wstring(ended_) + L"_" +
                              std::to_wstring(current_file_time() - one_day + index) + suffix;
    EXPECT_TRUE(CreateDirectoryW((temp_ + L"\\" + name).c_str(), nullptr));
    EXPECT_TRUE(CreateDirectoryW((temp_ + L"\\" + name + L"\\sub").c_str(), nullptr));
    EXPECT_TRUE(write_file(temp_ + L"\\" + name + L"\\sub\\app.dll", std::string(5000, 'x')));
    return name;
  }

  std::vector<std::wstring> entries() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((temp_ + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      if (found.cFileName[0] != L'.') names.push_back(found.cFileName);
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return names;
  }

  std::wstring temp_, own_name_;
  DWORD ended_ = 0;
  std::vector<std::pair<std::wstring, std::wstring>> saved_;
};

TEST_F(Sweep, RemovesAtMostTheBoundPerSweepAndRefusedTreesDoNotCount) {
  ASSERT_TRUE(CreateDirectoryW((temp_ + L"\\" + own_name_).c_str(), nullptr));
  // A sweep cut short after its rename leaves this shape; the same rule takes it.
  plant_stale(0, L"~old_3");
  for (int index = 1; index <= sweep_tree_limit + 1; ++index) plant_stale(index);
  // Stands for a tree this start may not rename (an elevated start's): the open for
  // deletion is refused. Sharing modes are the refusal that wine enforces too.
  const std::wstring refused = plant_stale(100);
  HANDLE holder = CreateFileW((temp_ + L"\\" + refused).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  const size_t planted = entries().size();

  sweep_stale_trees();
  EXPECT_EQ(entries().size(), planted - sweep_tree_limit) << "one sweep removes the bound, refused trees aside";
  sweep_stale_trees();
  std::vector<std::wstring> left = entries();
  std::sort(left.begin(), left.end());
  std::vector<std::wstring> expected = {own_name_, refused};
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected) << "the next sweep takes the rest; the own tree and the refused one stay";
  EXPECT_EQ(read_file(temp_ + L"\\" + refused + L"\\sub\\app.dll"), std::string(5000, 'x'));
  CloseHandle(holder);
}

TEST_F(Sweep, TreeWithAnOpenFileIsNeverRenamed) {
  if (running_under_wine()) {
    GTEST_SKIP() << "wine renames a directory with an open file in it; Windows refuses, which is what keeps a "
                    "tree that a surviving process uses";
  }
  const std::wstring used = plant_stale(1);
  HANDLE file = CreateFileW((temp_ + L"\\" + used + L"\\sub\\app.dll").c_str(), GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  sweep_stale_trees();
  EXPECT_EQ(entries(), std::vector<std::wstring>{used});
  EXPECT_EQ(read_file(temp_ + L"\\" + used + L"\\sub\\app.dll"), std::string(5000, 'x'));
  CloseHandle(file);
}

}  // namespace
