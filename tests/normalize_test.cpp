// Path normalisation: the prefix rules, one text for every spelling of one file, the short
// directory part with the long last component, and the failures that end the process.
#include <gtest/gtest.h>
#include <windows.h>

#include <cwctype>
#include <string>

#include "paths/normalize.h"
#include "support/files.h"
#include "support/process.h"

namespace {

constexpr size_t test_capacity = 4097;

std::wstring normalised(const std::wstring& input, size_t capacity = test_capacity) {
  std::wstring buffer(capacity, L'\0');
  buffer.replace(0, input.size(), input);
  normalize_path(buffer.data(), buffer.data(), capacity);
  return buffer.c_str();
}

std::wstring shortened(const std::wstring& input, size_t capacity = test_capacity) {
  std::wstring buffer(capacity, L'\0');
  buffer.replace(0, input.size(), input);
  shorten_directory(buffer.data(), capacity);
  return buffer.c_str();
}

std::wstring canonical(const std::wstring& input) {
  return shortened(normalised(input));
}

std::wstring prefix_removed(std::wstring path) {
  path.push_back(L'\0');
  remove_extended_prefix(path.data());
  return path.c_str();
}

std::wstring system_short_form(const std::wstring& path) {
  wchar_t buffer[test_capacity];
  const DWORD length = GetShortPathNameW(path.c_str(), buffer, test_capacity);
  return length == 0 || length >= test_capacity ? std::wstring() : std::wstring(buffer, length);
}

std::wstring upper(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(towupper(c));
  return text;
}

// A file "a long file name.dat" in a directory "a long directory name" below a fresh
// temporary directory.
class NormalizeFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = make_temp_directory(L"tavrin_normalize");
    ASSERT_FALSE(root_.empty());
    directory_ = root_ + L"\\a long directory name";
    ASSERT_TRUE(CreateDirectoryW(directory_.c_str(), nullptr));
    file_ = directory_ + L"\\a long file name.dat";
    ASSERT_TRUE(write_file(file_, "x"));
  }
  void TearDown() override { remove_tree(root_); }

  std::wstring root_, directory_, file_;
};

TEST(PrefixRules, DriveFormLosesItsPrefix) {
  EXPECT_EQ(prefix_removed(L"\\\\?\\C:\\Apps\\Tool\\tool.exe"), L"C:\\Apps\\Tool\\tool.exe");
  EXPECT_EQ(prefix_removed(L"\\\\?\\C:"), L"C:");
}

TEST(PrefixRules, NetworkFormBecomesTwoBackslashes) {
  EXPECT_EQ(prefix_removed(L"\\\\?\\UNC\\srv\\share\\x.exe"), L"\\\\srv\\share\\x.exe");
  EXPECT_EQ(prefix_removed(L"\\\\?\\UNC\\"), L"\\\\");
}

TEST(PrefixRules, OtherPathsKeepWhatTheyHave) {
  for (const wchar_t* path : {L"\\\\?\\Volume{0a1b}\\x.exe", L"\\\\?\\", L"\\\\?\\C", L"\\\\?\\unc\\srv\\x",
                              L"\\\\?\\UNC", L"\\\\srv\\share\\x.exe", L"C:\\x.exe", L"", L"\\\\.\\C:\\x",
                              L"\\\\?\\CC:\\x"}) {
    EXPECT_EQ(prefix_removed(path), path);
  }
}

TEST_F(NormalizeFiles, FinalPathComesWithoutTheExtendedPrefix) {
  const std::wstring result = normalised(file_);
  EXPECT_NE(result.compare(0, 4, L"\\\\?\\"), 0) << narrow(result);
  EXPECT_EQ(result.size() > 2 ? result[1] : L'\0', L':') << narrow(result);
  EXPECT_EQ(result.substr(result.rfind(L'\\')), L"\\a long file name.dat");
  // The result names the same file, and is stable.
  EXPECT_TRUE(file_exists(result));
  EXPECT_EQ(normalised(result), result);
}

TEST_F(NormalizeFiles, InputCarryingThePrefixAlreadyReachesTheSameText) {
  EXPECT_EQ(normalised(L"\\\\?\\" + file_), normalised(file_));
}

TEST_F(NormalizeFiles, OtherCaseAndShortDirectoryReachTheSameText) {
  const std::wstring expected = canonical(file_);
  EXPECT_EQ(canonical(upper(file_)), expected);
  const std::wstring short_directory = system_short_form(directory_);
  ASSERT_FALSE(short_directory.empty());
  EXPECT_EQ(canonical(short_directory + L"\\a long file name.dat"), expected);
  const std::wstring short_file = system_short_form(file_);
  ASSERT_FALSE(short_file.empty());
  EXPECT_EQ(canonical(short_file), expected);
}

TEST_F(NormalizeFiles, DirectoryPartShortenedLastComponentKeptLong) {
  const std::wstring result = shortened(file_);
  const std::wstring short_directory = system_short_form(directory_);
  ASSERT_FALSE(short_directory.empty());
  EXPECT_EQ(result, short_directory + L"\\a long file name.dat");
  if (short_directory != directory_) {
    EXPECT_EQ(result.find(L"a long directory name"), std::wstring::npos) << narrow(result);
  }
}

TEST_F(NormalizeFiles, TrailingBackslashIsKept) {
  const std::wstring result = shortened(directory_ + L"\\");
  EXPECT_EQ(result, system_short_form(directory_) + L"\\");
}

TEST_F(NormalizeFiles, PathWithoutBackslashIsShortenedAsAWhole) {
  wchar_t previous[test_capacity];
  GetCurrentDirectoryW(test_capacity, previous);
  ASSERT_TRUE(SetCurrentDirectoryW(directory_.c_str()));
  const std::wstring result = shortened(L"a long file name.dat");
  const std::wstring expected = system_short_form(L"a long file name.dat");
  SetCurrentDirectoryW(previous);
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(result, expected);
  EXPECT_EQ(result.find(L'\\'), std::wstring::npos);
}

TEST_F(NormalizeFiles, MissingDirectoryPartLeavesThePathUnchanged) {
  const std::wstring missing = root_ + L"\\no such directory\\a long file name.dat";
  EXPECT_EQ(shortened(missing), missing);
  EXPECT_EQ(shortened(L"no such file anywhere.dat"), L"no such file anywhere.dat");
}

TEST_F(NormalizeFiles, UnchangedTextFitsInItsLengthPlusOne) {
  // The capacity counts the terminator: the unchanged text of a missing directory fits
  // exactly in length + 1 units.
  const std::wstring missing = root_ + L"\\gone\\name.dat";
  EXPECT_EQ(shortened(missing, missing.size() + 1), missing);
}

TEST_F(NormalizeFiles, TryVariantRefusesWhatDoesNotOpenOrDoesNotFit) {
  wchar_t buffer[test_capacity] = L"unchanged";
  EXPECT_FALSE(try_normalize_path(buffer, (root_ + L"\\missing.exe").c_str(), test_capacity));
  EXPECT_STREQ(buffer, L"unchanged");
  // The final path (with its prefix) is longer than the input: a capacity that holds the input
  // but not the final path is refused, the buffer keeps the input.
  std::wstring same(file_);
  same.resize(file_.size() + 1, L'\0');
  EXPECT_FALSE(try_normalize_path(same.data(), same.data(), file_.size() + 1));
  EXPECT_EQ(std::wstring(same.c_str()), file_);
  wchar_t wide[test_capacity];
  ASSERT_TRUE(try_normalize_path(wide, file_.c_str(), test_capacity));
  EXPECT_EQ(std::wstring(wide), normalised(file_));
}

TEST_F(NormalizeFiles, MissingFileOrFinalPathTooLongEndsTheProcess) {
  const ProcessResult missing = run_probe(L"normalize_path", {root_ + L"\\missing.exe"});
  EXPECT_EQ(missing.exit_code, abort_exit_code);
  EXPECT_EQ(missing.out, "");
  EXPECT_EQ(missing.err, "");
  const ProcessResult fits = run_probe(L"normalize_path", {file_});
  EXPECT_EQ(fits.exit_code, 0u) << fits.err;
  EXPECT_EQ(fits.out, "normalised " + narrow(normalised(file_)) + "\r\n");
  const ProcessResult too_long = run_probe(L"normalize_path", {file_, std::to_wstring(file_.size() + 1)});
  EXPECT_EQ(too_long.exit_code, abort_exit_code);
  EXPECT_EQ(too_long.out, "");
}

}  // namespace
