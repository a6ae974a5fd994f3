// The sweep seen through packed launchers: each start removes at most the bound of trees
// that earlier starts left, and the next starts remove the rest.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "e2e/harness.h"
#include "launcher/sweep.h"
#include "support/files.h"

namespace {

constexpr uint64_t one_day = 24ull * 3600 * 10000000;

TEST_F(StandardAppTest, EachStartRemovesAtMostTheBoundOfStaleTrees) {
  DWORD ended = 0;
  ASSERT_EQ(launch(workspace_, exe_, {}, {}, &ended).exit_code, 0u);
  constexpr int stale_count = 2 * sweep_tree_limit + 1;
  for (int index = 0; index < stale_count; ++index) {
    const std::wstring tree = workspace_.temp + L"\\onefile_" + std::to_wstring(ended) + L"_" +
                              std::to_wstring(current_file_time() - one_day + index);
    ASSERT_TRUE(CreateDirectoryW(tree.c_str(), nullptr));
    ASSERT_TRUE(write_file(tree + L"\\app.dll", std::string(3000, 'a')));
  }
  for (int start = 1; start <= 3; ++start) {
    ASSERT_EQ(launch(workspace_, exe_, {}).exit_code, 0u);
    const size_t expected = static_cast<size_t>(std::max(0, stale_count - start * sweep_tree_limit));
    EXPECT_EQ(temp_entries(workspace_).size(), expected) << "after start " << start;
  }
}

}  // namespace
