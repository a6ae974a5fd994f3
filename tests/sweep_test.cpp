// Which names the sweep takes for trees and how it judges the start a name records. How
// much one start removes, and what it leaves, is seen through packed launchers
// (tests/e2e/e2e_sweep_test.cpp, e2e_links_test.cpp, e2e_cache_test.cpp).
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "launcher/sweep.h"
#include "support/process.h"

namespace {

constexpr uint64_t one_day = 24ull * 3600 * 10000000;

uint64_t creation_of(HANDLE process) {
  FILETIME created{}, exited{}, kernel{}, user{};
  GetProcessTimes(process, &created, &exited, &kernel, &user);
  return (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
}

// A probe that has ended (it prints its usage line and exits), its handle still open.
PROCESS_INFORMATION ended_probe() {
  bool ready = false;
  PROCESS_INFORMATION probe = start_and_await_first_line(sibling_path(L"tavrin_probe.exe"), L"tavrin_probe.exe", &ready);
  if (probe.hProcess != nullptr) WaitForSingleObject(probe.hProcess, INFINITE);
  return probe;
}

TEST(TreeNames, OnlyTheLaunchersOwnShapesParse) {
  const std::vector<std::pair<const wchar_t*, bool>> names = {
      {L"onefile_12_34", true}, {L"onefile_12_34~old_0", true}, {L"onefile_12_34~old_17", true},
      {L"onefile_4294967295_9223372036854775807", true},  // the largest PID and "%lld" TIME
      {L"onefile_4294967296_34", false}, {L"onefile_12_9223372036854775808", false},
      {L"onefile_12_x", false}, {L"onefile_012_34", false}, {L"onefile_0_34", false}, {L"onefile_12_034", false},
      {L"onefile__34", false}, {L"onefile_12_", false}, {L"onefile_12", false}, {L"onefile_12_34_5", false},
      {L"onefile_12_34 ", false}, {L"Onefile_12_34", false}, {L"onefile_-12_34", false},
      {L"onefile_12_34~old_", false}, {L"onefile_12_34~old_01", false}, {L"onefile_12_34~new_1", false},
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
  const uint64_t creation = creation_of(GetCurrentProcess());
  const uint64_t later = creation + one_day;
  EXPECT_EQ(judge_start({own, creation}, later), StartVerdict::running) << "launch time read as the process began";
  EXPECT_EQ(judge_start({own, creation - 1}, later), StartVerdict::over) << "the PID was reused by a later process";
  // The young rule comes first, whatever the process says.
  EXPECT_EQ(judge_start({own, creation - 1}, creation - 1 + young_tree_age - 1), StartVerdict::young);
  EXPECT_EQ(judge_start({own, creation - 1}, creation - 1 + young_tree_age), StartVerdict::over);
  EXPECT_EQ(judge_start({own, later + 1}, later), StartVerdict::young) << "a time ahead of the clock";

  // Ended, but held: its PID cannot be reused, and its start is over all the same.
  const PROCESS_INFORMATION probe = ended_probe();
  ASSERT_NE(probe.hProcess, nullptr);
  const uint64_t probe_creation = creation_of(probe.hProcess);
  EXPECT_EQ(judge_start({probe.dwProcessId, probe_creation}, probe_creation + one_day), StartVerdict::over);
  CloseHandle(probe.hProcess);
  EXPECT_EQ(judge_start({probe.dwProcessId, probe_creation}, probe_creation + one_day), StartVerdict::over)
      << "no process has that PID";
}

}  // namespace
