// The joined path that a caller may refuse: the three parts fit with the terminator, or
// nothing is written.
#include <gtest/gtest.h>

#include <string>

#include "paths/bounded.h"

namespace {

TEST(JoinPath, FitsUpToTheCapacityAndRefusesBeyondLeavingTheOutputAlone) {
  // "dir" + "\" + name + terminator: capacity - 1 units of text fit, capacity do not.
  constexpr size_t capacity = 16;
  const std::wstring fitting_name(capacity - 1 - 4, L'n');
  wchar_t output[capacity + 1];
  output[capacity] = L'#';
  ASSERT_TRUE(join_path(output, capacity, L"dir", fitting_name.c_str()));
  EXPECT_EQ(std::wstring(output), L"dir\\" + fitting_name);
  EXPECT_EQ(output[capacity], L'#') << "written past the buffer";
  for (const size_t extra : {size_t{1}, size_t{50}}) {
    const std::wstring long_name = fitting_name + std::wstring(extra, L'n');
    wcscpy(output, L"kept");
    EXPECT_FALSE(join_path(output, capacity, L"dir", long_name.c_str()));
    EXPECT_EQ(std::wstring(output), L"kept");
  }
}

}  // namespace
