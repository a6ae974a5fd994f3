// The packer's name rules, its walk of a real directory and the order of entries.
#include "tools/pack/tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "payload/format.h"
#include "tests/host/payload_test_helpers.h"

namespace {

using namespace test_payload;

std::vector<std::u16string> names_of(const std::vector<TreeFile>& files) {
  std::vector<std::u16string> names;
  for (const TreeFile& file : files) names.push_back(file.name);
  return names;
}

std::vector<TreeFile> files_named(const std::vector<std::u16string>& names) {
  std::vector<TreeFile> files;
  for (const std::u16string& name : names) files.push_back(TreeFile{name, fs::path(), 0});
  return files;
}

TEST(NameRules, RefusesWhatWindowsCannotHoldAndAcceptsTheRest) {
  std::string error;
  for (const char16_t* bad : {u"a\\b", u"a:b", u"a<b", u"a>b", u"a\"b", u"a|b", u"a?b",
                              u"a*b", u"tab\there", u"new\nline", u"x\x1f", u"dot.", u"space ",
                              u"..", u"NUL", u"nul.txt", u"Com1", u"lpt9.log", u"aux .x"}) {
    error.clear();
    EXPECT_FALSE(check_name_component(bad, &error)) << describe_name(bad);
    EXPECT_FALSE(error.empty());
  }
  for (const char16_t* good : {u"a.dll", u".hidden", u"com0", u"com10", u"nullify", u"con-x",
                               u"lpt", u"\u00e9t\u00e9", u"\U0001F600", u"a b", u"a%b"}) {
    EXPECT_TRUE(check_name_component(good, &error)) << describe_name(good) << ": " << error;
  }
}

TEST(NameRules, WholeNameLengthAndStayingBelowTheTarget) {
  std::string error;
  const std::u16string longest(entry_name_capacity - 1, u'a');
  EXPECT_TRUE(check_entry_name(longest, &error)) << error;
  EXPECT_FALSE(check_entry_name(longest + u"a", &error));
  EXPECT_NE(error.find("1023"), std::string::npos) << error;
  // Surrogate pairs count as two units.
  std::u16string pairs;
  while (pairs.size() < entry_name_capacity - 1) pairs += u"\U0001F600";
  EXPECT_FALSE(check_entry_name(pairs, &error));
  for (const char16_t* unsafe : {u"\\a", u"a\\..\\b", u"a/../b", u"c:x", u"a\\. .\\b"}) {
    EXPECT_FALSE(check_entry_name(unsafe, &error)) << describe_name(unsafe);
  }
  EXPECT_TRUE(check_entry_name(u"a\\b\\c.txt", &error)) << error;
}

TEST(NameRules, DescribedNamesAreUtf8WithVisibleControls) {
  EXPECT_EQ(describe_name(u"a\u00e9\U0001F600"), "a\xc3\xa9\xf0\x9f\x98\x80");
  EXPECT_EQ(describe_name(u"x\ty"), "x\\x09y");
}

TEST(EntryOrder, MainFirstThenFilesOfOneDirectoryTogether) {
  std::vector<TreeFile> files =
      files_named({u"b\\a", u"a_x", u"sub\\main.dll", u"a\\b", u"a.txt", u"a\\c\\d", u"Z",
                   u"a\\z", u"b\\c\\d"});
  std::string error;
  ASSERT_TRUE(order_entries(&files, u"sub\\main.dll", &error)) << error;
  // Directory first ("" < "a" < "a\c" < "b" < "b\c"), then file name, in code-unit order:
  // a plain sort of whole names would put "a_x" between the files of "a".
  const std::vector<std::u16string> expected = {u"sub\\main.dll", u"Z",      u"a.txt",
                                                u"a_x",           u"a\\b",   u"a\\z",
                                                u"a\\c\\d",       u"b\\a",   u"b\\c\\d"};
  EXPECT_EQ(names_of(files), expected);

  std::vector<TreeFile> shuffled = files_named(expected);
  std::reverse(shuffled.begin(), shuffled.end());
  ASSERT_TRUE(order_entries(&shuffled, u"sub\\main.dll", &error)) << error;
  EXPECT_EQ(names_of(shuffled), expected);
}

TEST(EntryOrder, MissingMainAndCaseTwinsAreRefused) {
  std::string error;
  std::vector<TreeFile> files = files_named({u"a.dll", u"b.dll"});
  EXPECT_FALSE(order_entries(&files, u"c.dll", &error));
  EXPECT_NE(error.find("c.dll"), std::string::npos) << error;
  files = files_named({u"app.dll", u"Lib\\x", u"lib\\x"});
  EXPECT_FALSE(order_entries(&files, u"app.dll", &error));
  EXPECT_NE(error.find("letter case"), std::string::npos) << error;
}

TEST(MainName, RelativeAbsoluteAndOutside) {
  const fs::path root = make_temp_dir();
  std::u16string name;
  std::string error;
  EXPECT_TRUE(resolve_main_name(root, "sub/./app.dll", &name, &error)) << error;
  EXPECT_EQ(name, u"sub\\app.dll");
  EXPECT_TRUE(resolve_main_name(root, root / "app.dll", &name, &error)) << error;
  EXPECT_EQ(name, u"app.dll");
  EXPECT_FALSE(resolve_main_name(root, "../app.dll", &name, &error));
  EXPECT_FALSE(resolve_main_name(root, root.parent_path() / "app.dll", &name, &error));
  EXPECT_FALSE(resolve_main_name(root, ".", &name, &error));
  fs::remove_all(root);
}

class TreeWalk : public testing::Test {
 protected:
  void SetUp() override { root_ = make_temp_dir(); }
  void TearDown() override {
    fs::permissions(root_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(root_);
  }
  fs::path root_;
};

TEST_F(TreeWalk, FindsEveryRegularFileWithItsNameAndSize) {
  write_file(root_ / "app.dll", "12345");
  write_file(root_ / "a" / "b" / "c.bin", std::string(70001, 'x'));
  write_file(root_ / "a" / "empty", "");
  fs::create_directories(root_ / "empty-dir");
  std::vector<TreeFile> files;
  std::string error;
  ASSERT_TRUE(collect_tree(root_, &files, &error)) << error;
  ASSERT_TRUE(order_entries(&files, u"app.dll", &error)) << error;
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].size, 5u);
  EXPECT_EQ(files[1].name, u"a\\empty");
  EXPECT_EQ(files[1].size, 0u);
  EXPECT_EQ(files[2].name, u"a\\b\\c.bin");
  EXPECT_EQ(files[2].size, 70001u);
  EXPECT_EQ(files[2].path, root_ / "a" / "b" / "c.bin");
}

TEST_F(TreeWalk, RefusesLinksSpecialFilesAndBadNamesWithThePath) {
  write_file(root_ / "app.dll", "x");
  std::vector<TreeFile> files;
  std::string error;
  fs::create_symlink(root_ / "app.dll", root_ / "link.dll");
  EXPECT_FALSE(collect_tree(root_, &files, &error));
  EXPECT_NE(error.find("link.dll"), std::string::npos) << error;
  fs::remove(root_ / "link.dll");

  fs::create_directory_symlink(root_, root_ / "loop");
  EXPECT_FALSE(collect_tree(root_, &files, &error));
  EXPECT_NE(error.find("loop"), std::string::npos) << error;
  fs::remove(root_ / "loop");

  ASSERT_EQ(mkfifo((root_ / "pipe").c_str(), 0600), 0);
  EXPECT_FALSE(collect_tree(root_, &files, &error));
  EXPECT_NE(error.find("pipe"), std::string::npos) << error;
  fs::remove(root_ / "pipe");

  write_file(root_ / "d" / "what?", "x");
  EXPECT_FALSE(collect_tree(root_, &files, &error));
  EXPECT_NE(error.find("d/what?"), std::string::npos) << error;
  fs::remove_all(root_ / "d");

  write_file(root_ / "bad\xff", "x");
  EXPECT_FALSE(collect_tree(root_, &files, &error));
  EXPECT_NE(error.find("Unicode"), std::string::npos) << error;
  fs::remove(root_ / "bad\xff");

  EXPECT_TRUE(collect_tree(root_, &files, &error)) << error;
}

TEST_F(TreeWalk, MissingOrUnreadableDirectoryIsReported) {
  std::vector<TreeFile> files;
  std::string error;
  EXPECT_FALSE(collect_tree(root_ / "missing", &files, &error));
  EXPECT_NE(error.find("missing"), std::string::npos) << error;
  write_file(root_ / "file", "x");
  EXPECT_FALSE(collect_tree(root_ / "file", &files, &error));

  if (geteuid() == 0) GTEST_SKIP() << "permissions do not stop root from reading";
  fs::create_directories(root_ / "locked");
  write_file(root_ / "locked" / "x", "x");
  fs::permissions(root_ / "locked", fs::perms::none);
  EXPECT_FALSE(collect_tree(root_, &files, &error));
  fs::permissions(root_ / "locked", fs::perms::owner_all);
}

}  // namespace
