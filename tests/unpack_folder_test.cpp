// Where a start's trees lie: TAVRIN_UNPACK_ROOT over the default, at the edge of the path
// buffer, and the cached tree's last components moved below it. (A folder packed into the
// exe, and what a start does with a folder it cannot use: e2e_unpack_folder_test.)
#include <gtest/gtest.h>

#include <string>

#include "launcher/state.h"
#include "launcher/unpack_folder.h"
#include "paths/env.h"
#include "paths/spec.h"

namespace {

// The tree's own name with these variables: "\onefile_1_2".
constexpr size_t tree_name_length = 12;

class UnpackFolderChoice : public ::testing::Test {
 protected:
  void SetUp() override {
    env_set(env_parent, L"1");
    env_set(env_start, L"2");
  }
  void TearDown() override {
    env_unset(env_unpack_root);
    env_unset(env_parent);
    env_unset(env_start);
  }
  static wchar_t output[path_capacity];
};

wchar_t UnpackFolderChoice::output[path_capacity];

TEST_F(UnpackFolderChoice, VariableWinsOverTempUpToTheEdgeOfThePath) {
  ASSERT_TRUE(compute_temporary_tree(output));
  wchar_t temp[path_capacity];
  ASSERT_TRUE(expand_spec(temp, L"{TEMP}\\onefile_1_2", path_capacity));
  EXPECT_EQ(std::wstring(output), temp) << "without the variable";
  EXPECT_EQ(std::wstring(temporary_tree_spec()), target_spec);

  env_set(env_unpack_root, L"D:\\Runs\\\\");
  ASSERT_TRUE(compute_temporary_tree(output));
  EXPECT_EQ(std::wstring(output), L"D:\\Runs\\onefile_1_2") << "trailing backslashes go";
  EXPECT_EQ(std::wstring(temporary_tree_spec()), L"D:\\Runs\\onefile_{PID}_{TIME}");

  for (const size_t total : {path_capacity - 1, path_capacity, path_capacity + 1}) {
    const std::wstring root = L"D:\\" + std::wstring(total - tree_name_length - 3, L'r');
    env_set(env_unpack_root, root.c_str());
    EXPECT_EQ(compute_temporary_tree(output), total < path_capacity) << total;
    if (total < path_capacity) {
      EXPECT_EQ(std::wstring(output), root + L"\\onefile_1_2");
    }
  }
}

TEST_F(UnpackFolderChoice, VariableTakesTheCachedTreesProductAndName) {
  env_set(env_unpack_root, L"E:\\Apps");
  ASSERT_TRUE(compute_cache_tree(output, L"{CACHE_DIR}\\tavrin\\Hello\\1.0_0123456789abcdef", L""));
  EXPECT_EQ(std::wstring(output), L"E:\\Apps\\Hello\\1.0_0123456789abcdef");
  EXPECT_FALSE(compute_cache_tree(output, L"Hello\\1.0_0123456789abcdef", L"")) << "no product folder";
  EXPECT_FALSE(compute_cache_tree(output, L"1.0_0123456789abcdef", L""));
  env_unset(env_unpack_root);
  ASSERT_TRUE(compute_cache_tree(output, L"D:\\C\\Hello\\1.0_0123456789abcdef", L"D:\\C"));
  EXPECT_EQ(std::wstring(output), L"D:\\C\\Hello\\1.0_0123456789abcdef");
}

TEST(UnpackFolderPath, OnlyADriveOrAShareIsAbsolute) {
  for (const wchar_t* absolute : {L"C:\\Runs", L"c:", L"\\\\server\\share"}) {
    EXPECT_TRUE(is_absolute_folder(absolute)) << absolute;
  }
  for (const wchar_t* relative : {L"Runs", L"C:Runs", L"\\Runs", L"\\\\", L".\\Runs", L""}) {
    EXPECT_FALSE(is_absolute_folder(relative)) << relative;
  }
}

}  // namespace
