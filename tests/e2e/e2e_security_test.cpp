// The unpacked tree belongs to its start alone: every level of it is created with a
// protected access list for the user, SYSTEM and the Administrators (read back here through
// the test's own calls), and a target directory that something else made first is never
// used. Wine stores a given access list but checks no access against it, so the protection
// is shown by what is stored, never by a refused access.
#include <gtest/gtest.h>

#include <set>

#include "e2e/harness.h"
#include "support/files.h"
#include "support/security.h"

namespace {

constexpr const wchar_t* preset_start = L"8086";
constexpr const wchar_t* deep_file = L"one\\two\\deep.bin";
const std::set<std::wstring> system_and_administrators = {L"S-1-5-18", L"S-1-5-32-544"};

class TreeSecurity : public WorkspaceTest {
 protected:
  std::wstring exe() const { return workspace_.bin + L"\\APP.exe"; }
  std::string open_failure(const std::wstring& target) const {
    return "Error, failed to open '" + narrow(target) + "' for writing.\r\n";
  }
};

constexpr const char* wine_list_note =
    "wine does not store a given access list: it sets the Unix mode from it and reads back a list made "
    "from that mode (the user and SYSTEM, and read for Everyone only when the list granted it)";

// The access list read back: the user, SYSTEM and the Administrators alone, protected, handed
// on below by a directory. Under wine only what the mode keeps can be seen: the user, and no
// one outside the three (the default would add read for Everyone).
void expect_tree_access(const std::wstring& path, bool directory) {
  SCOPED_TRACE(narrow(path));
  const ReadDescriptor found = read_file_access(path);
  ASSERT_TRUE(found.read);
  std::set<std::wstring> expected = system_and_administrators;
  expected.insert(own_user_sid());
  std::set<std::wstring> sids;
  for (const AccessEntry& entry : found.entries) {
    EXPECT_EQ(entry.type, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(expected.count(entry.sid), 1u) << "access for " << narrow(entry.sid);
    sids.insert(entry.sid);
  }
  EXPECT_EQ(sids.count(own_user_sid()), 1u);
  if (running_under_wine()) return;
  EXPECT_TRUE(found.protected_list) << "not inherited from the folder above";
  EXPECT_EQ(sids, expected);
  EXPECT_EQ(found.entries.size(), 3u);
  constexpr BYTE handed_on = OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE;
  for (const AccessEntry& entry : found.entries) {
    EXPECT_EQ(entry.mask, static_cast<ACCESS_MASK>(FILE_ALL_ACCESS));
    if (directory) {
      EXPECT_EQ(entry.flags & handed_on, handed_on);
    }
  }
}

TEST_F(TreeSecurity, RunningTreeIsTheUsersSystemsAndAdministratorsDownToItsDeepestFile) {
  ASSERT_TRUE(copy_helper(L"e2e_app.dll", workspace_.app, L"app.dll"));
  ASSERT_TRUE(CreateDirectoryW((workspace_.app + L"\\one").c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((workspace_.app + L"\\one\\two").c_str(), nullptr));
  ASSERT_TRUE(write_file(workspace_.app + L"\\" + deep_file, "deep"));
  ASSERT_EQ(pack_directory(workspace_.app, L"app.dll", exe()), "");
  EventPair events;
  LaunchOptions options;
  const std::wstring report = workspace_.root + L"\\report.txt";
  options.set_variables = {{L"E2E_ACTION", L"wait"}, {L"E2E_REPORT", report}, {L"E2E_EXIT", L"5"}};
  events.add_to(&options);
  Launch run;
  ASSERT_TRUE(run.start(workspace_, exe(), quote_argument(exe()), {}, options)) << run.start_failure();
  ASSERT_TRUE(events.wait_ready());
  const std::vector<AppReport> reports = parse_reports(read_file(report));
  ASSERT_EQ(reports.size(), 1u);
  const std::wstring target = reports[0].module_directory();
  expect_tree_access(target, true);
  expect_tree_access(target + L"\\one\\two", true);
  expect_tree_access(target + L"\\" + deep_file, false);
  expect_tree_access(target + L"\\app.dll", false);
  events.release();
  const ProcessResult result = run.wait();
  EXPECT_EQ(result.exit_code, 5u) << result.err;
  EXPECT_TRUE(temp_entries(workspace_).empty()) << "the clean-up removes the protected tree";
  if (running_under_wine()) GTEST_SKIP() << "the whole list and its protection are not checked: " << wine_list_note;
}

// A file already at the target directory's path: the start ends with the open-failure line
// naming it and leaves the file as it was. (A directory made there beforehand, with a file
// and a link in it, or a link in its place: e2e_links_test.)
TEST_F(TreeSecurity, TargetThatExistsBeforeTheStartAsAFileIsNeverUsed) {
  std::wstring standard;
  ASSERT_EQ(prepare_standard_app(workspace_, &standard), "");
  std::wstring target;
  const ProcessResult result = launch_after_preparing(workspace_, standard, preset_start, [&](const std::wstring& path) {
    target = path;
    ASSERT_TRUE(write_file(path, "planted"));
  });
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, open_failure(target));
  EXPECT_EQ(read_file(target), "planted");
  EXPECT_EQ(temp_entries(workspace_).size(), 1u);
  DeleteFileW(target.c_str());
}

}  // namespace
