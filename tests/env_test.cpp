// Environment access: values through the process environment, absent values, name limits.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>

#include "paths/env.h"
#include "support/process.h"

namespace {

constexpr const char test_variable[] = "TAVRIN_TEST_ENV_VALUE";
constexpr size_t longest_value = 32767;

std::wstring take(wchar_t* value) {
  std::wstring text = value != nullptr ? value : L"(absent)";
  free(value);
  return text;
}

bool running_under_wine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// The test variable's value as the environment block holds it, read without any buffer
// limit; empty when the variable is not there.
std::wstring stored_value() {
  const std::wstring prefix = L"TAVRIN_TEST_ENV_VALUE=";
  std::wstring value;
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* entry = block; *entry != L'\0'; entry += wcslen(entry) + 1) {
    if (wcsncmp(entry, prefix.c_str(), prefix.size()) == 0) value = entry + prefix.size();
  }
  FreeEnvironmentStringsW(block);
  return value;
}

class Environment : public ::testing::Test {
 protected:
  void TearDown() override { SetEnvironmentVariableW(L"TAVRIN_TEST_ENV_VALUE", nullptr); }
};

TEST_F(Environment, SetGetAndUnsetGoThroughTheProcessEnvironment) {
  EXPECT_TRUE(env_set(test_variable, L"C:\\some where\\\u00e9t\u00e9"));
  EXPECT_EQ(take(env_get(test_variable)), L"C:\\some where\\\u00e9t\u00e9");
  wchar_t seen[64] = {};
  EXPECT_GT(GetEnvironmentVariableW(L"TAVRIN_TEST_ENV_VALUE", seen, 64), 0u);
  EXPECT_EQ(std::wstring(seen), L"C:\\some where\\\u00e9t\u00e9");
  EXPECT_TRUE(env_unset(test_variable));
  EXPECT_EQ(env_get(test_variable), nullptr);
  EXPECT_EQ(GetEnvironmentVariableW(L"TAVRIN_TEST_ENV_VALUE", seen, 64), 0u);
}

TEST_F(Environment, EmptyValueReadsAsAbsent) {
  ASSERT_TRUE(env_set(test_variable, L""));
  EXPECT_EQ(env_get(test_variable), nullptr);
  EXPECT_EQ(env_get("TAVRIN_TEST_NEVER_SET_ANYWHERE"), nullptr);
}

TEST_F(Environment, LongestValueComesBackWhole) {
  std::wstring value(longest_value, L'v');
  value[0] = L'<';
  value[longest_value - 1] = L'>';
  ASSERT_TRUE(env_set(test_variable, value.c_str()));
  const std::wstring stored = stored_value();
  if (running_under_wine()) {
    // Wine keeps at most 32,766 units of a value; what it keeps must come back whole.
    ASSERT_GE(stored.size(), longest_value - 1);
  } else {
    ASSERT_EQ(stored, value);
  }
  const std::wstring read = take(env_get(test_variable));
  EXPECT_EQ(read.size(), stored.size());
  EXPECT_EQ(read, stored);
}

TEST_F(Environment, ValueTooLongForTheReadBufferReadsAsAbsent) {
  const std::wstring value(longest_value + 100, L'w');
  // Systems refuse or shorten such a value; only one longer than the read buffer is absent.
  env_set(test_variable, value.c_str());
  const std::wstring stored = stored_value();
  wchar_t* read = env_get(test_variable);
  if (stored.empty() || stored.size() > longest_value) {
    EXPECT_EQ(read, nullptr);
  } else {
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(std::wstring(read), stored);
  }
  free(read);
}

TEST_F(Environment, ReturnedCopyKeepsItsValueWhenTheVariableChanges) {
  env_set(test_variable, L"first");
  wchar_t* copy = env_get(test_variable);
  ASSERT_NE(copy, nullptr);
  env_set(test_variable, L"second, longer");
  EXPECT_EQ(std::wstring(copy), L"first");
  env_unset(test_variable);
  EXPECT_EQ(std::wstring(copy), L"first");
  free(copy);
}

TEST_F(Environment, NamesUpToThirtyNineCharactersWork) {
  const ProcessResult fits = run_probe(L"env_name_length", {L"39"});
  EXPECT_EQ(fits.exit_code, 0u);
  EXPECT_EQ(fits.out, "value set\r\n");
  const ProcessResult too_long = run_probe(L"env_name_length", {L"40"});
  EXPECT_EQ(too_long.exit_code, abort_exit_code);
  EXPECT_EQ(too_long.out, "");
  EXPECT_EQ(run_probe(L"env_name_length", {L"200"}).exit_code, abort_exit_code);
}

}  // namespace
