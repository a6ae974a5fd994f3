// The sweep's bound seen through packed launchers: each start removes at most
// sweep_tree_limit trees that earlier starts left, trees it may not remove do not count
// against that, and the next starts remove the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "e2e/harness.h"
#include "launcher/sweep.h"
#include "paths/spec.h"
#include "support/files.h"

namespace {

constexpr int sweep_poll_limit = 200;
constexpr DWORD sweep_poll_ms = 50;

TEST_F(StandardAppTest, EachStartRemovesAtMostTheBoundOfStaleTrees) {
  DWORD ended = 0;
  ASSERT_EQ(launch(workspace_, exe_, {}, {}, &ended).exit_code, 0u);
  const auto plant = [&](int index) {
    const std::wstring tree = workspace_.temp + L"\\onefile_" + std::to_wstring(ended) + L"_" +
                              std::to_wstring(current_file_time() - 864000000000ull /* a day */ + index);
    EXPECT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    EXPECT_TRUE(write_file(tree + L"\\app.dll", "main"));
    return tree;
  };
  constexpr int stale_count = 2 * sweep_tree_limit + 1;
  for (int index = 0; index < stale_count; ++index) plant(index);
  // Stands for a tree this user may not remove (an elevated start's): the open for deletion
  // is refused, here through a sharing mode, the refusal that wine enforces too.
  const std::wstring refused = plant(stale_count);
  HANDLE holder = CreateFileW(refused.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  ASSERT_NE(holder, INVALID_HANDLE_VALUE);
  // Each application runs until its start's sweep is seen to be over (its own tree beside
  // what is left): a run that ends sooner cuts its sweep short, which is right but not what
  // this test counts.
  for (int start = 1; start <= 3; ++start) {
    const int expected = 1 + std::max(0, stale_count - start * sweep_tree_limit);
    EventPair events;
    LaunchOptions options;
    options.set_variables = {{L"E2E_ACTION", L"wait"}};
    events.add_to(&options);
    Launch running;
    ASSERT_TRUE(running.start(workspace_, exe_, quote_argument(exe_), {}, options));
    ASSERT_TRUE(events.wait_ready());
    for (int poll = 0; poll < sweep_poll_limit && temp_entries(workspace_).size() != static_cast<size_t>(expected) + 1;
         ++poll) {
      Sleep(sweep_poll_ms);
    }
    events.release();
    ASSERT_EQ(running.wait().exit_code, 0u);
    EXPECT_EQ(temp_entries(workspace_).size(), static_cast<size_t>(expected)) << "after start " << start;
  }
  CloseHandle(holder);
  EXPECT_EQ(read_file(refused + L"\\app.dll"), "main");
}

// A start may inherit a TIME older than itself (TAVRIN_ONEFILE_START without a parent), so
// its name reads like a reused PID's tree: the start's own hold keeps it from every sweep.
TEST_F(StandardAppTest, RunningTreeNamedWithAnOldInheritedTimeIsNeverSwept) {
  EventPair events;
  LaunchOptions options;
  const std::wstring day_ago = std::to_wstring(current_file_time() - 864000000000ull);
  options.set_variables = {{L"E2E_ACTION", L"wait"}, {L"TAVRIN_ONEFILE_START", day_ago}};
  events.add_to(&options);
  Launch running;
  ASSERT_TRUE(running.start(workspace_, exe_, quote_argument(exe_), {}, options));
  ASSERT_TRUE(events.wait_ready());
  const std::wstring tree = expected_target(workspace_, running.pid(), day_ago);
  const std::vector<std::wstring> files = list_files(tree);
  ASSERT_FALSE(files.empty());
  EXPECT_EQ(launch(workspace_, exe_, {}).exit_code, 0u);
  EXPECT_EQ(list_files(tree), files) << "another start swept a running tree";
  events.release();
  EXPECT_EQ(running.wait().exit_code, 0u);
  EXPECT_TRUE(temp_entries(workspace_).empty()) << "the guard kept the start's own clean-up out";
}

// A run that ends at once never waits for the removal of a large stale tree: the sweep is
// cut short, and what it leaves keeps the "~old_" name of this start for a later sweep.
// Thousands of files take wine about a second to remove, many times the bound.
TEST_F(StandardAppTest, QuickRunLeavesALargeStaleTreeUnderItsOldName) {
  constexpr int stale_files = 4000;
  DWORD ended = 0;
  ASSERT_EQ(launch(workspace_, exe_, {}, {}, &ended).exit_code, 0u);
  const std::wstring stale = workspace_.temp + L"\\onefile_" + std::to_wstring(ended) + L"_1";
  ASSERT_TRUE(CreateDirectoryW(stale.c_str(), nullptr));
  for (int file = 0; file < stale_files; ++file) {
    ASSERT_TRUE(write_file(stale + L"\\f" + std::to_wstring(file), "x"));
  }
  DWORD pid = 0;
  ASSERT_EQ(launch(workspace_, exe_, {}, {}, &pid).exit_code, 0u);
  const std::vector<std::wstring> left = temp_entries(workspace_);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(left[0].rfind(L"onefile_" + std::to_wstring(pid) + L"_", 0), 0u) << narrow(left[0]);
  EXPECT_NE(left[0].find(L"~old_0"), std::wstring::npos) << narrow(left[0]);
  EXPECT_FALSE(list_files(workspace_.temp + L"\\" + left[0]).empty());
}

TEST_F(StandardAppTest, StaleTreeWithAnOpenFileStaysWhole) {
  if (running_under_wine()) GTEST_SKIP() << "wine renames a directory with an open file in it; Windows refuses";
  DWORD ended = 0;
  ASSERT_EQ(launch(workspace_, exe_, {}, {}, &ended).exit_code, 0u);
  const std::wstring used = workspace_.temp + L"\\onefile_" + std::to_wstring(ended) + L"_1";
  ASSERT_TRUE(CreateDirectoryW(used.c_str(), nullptr));
  ASSERT_TRUE(write_file(used + L"\\app.dll", "main"));
  HANDLE file = CreateFileW((used + L"\\app.dll").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  ASSERT_EQ(launch(workspace_, exe_, {}).exit_code, 0u);
  EXPECT_EQ(read_file(used + L"\\app.dll"), "main");
  CloseHandle(file);
}

}  // namespace
