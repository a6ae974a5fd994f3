// The folder below which a start's tree lies, chosen at pack time or by TAVRIN_UNPACK_ROOT:
// the tree is made, protected, removed and swept there, and a chosen folder that cannot be
// used ends the start instead of sending the tree to %TEMP%.
#include <gtest/gtest.h>

#include <set>

#include "e2e/harness.h"
#include "paths/spec.h"
#include "support/files.h"
#include "support/security.h"
#include "tools/pack/unpack_place.h"

namespace {

constexpr uint64_t one_day = 864000000000ull;  // FILETIME units
constexpr int sweep_poll_limit = 200;
constexpr DWORD sweep_poll_ms = 50;
const std::set<std::wstring> system_and_administrators = {L"S-1-5-18", L"S-1-5-32-544"};

class UnpackFolder : public WorkspaceTest {
 protected:
  // The standard app packed with folder as the temporary trees' folder (empty: none).
  void pack(const std::u16string& folder) {
    ASSERT_TRUE(copy_helper(L"e2e_app.dll", workspace_.app, L"app.dll"));
    ByteVector payload;
    ASSERT_EQ(pack_directory(workspace_.app, L"app.dll", exe(), &payload), "");
    ASSERT_EQ(pack_payload(payload, exe(),
                           make_place_resources(UnpackPlace::temp, PlaceIdentity{}, payload.data(), payload.size(), folder)),
              "");
  }
  std::wstring exe() const { return workspace_.bin + L"\\APP.exe"; }
  std::wstring packed_folder() const { return workspace_.bin + L"\\.files"; }
  std::string open_failure(const std::wstring& path) const {
    return "Error, failed to open '" + narrow(path) + "' for writing.\r\n";
  }
  // The directory of the main library, as the app reported it from a run that ended.
  std::wstring tree_of(const ProcessResult& result) const {
    const std::vector<AppReport> reports = parse_reports(result.out);
    return reports.size() == 1 ? reports[0].module_directory() : std::wstring();
  }
};

// Read back as the security test does: under wine only the user and no one outside the
// user, SYSTEM and the Administrators can be seen (wine keeps no given list).
void expect_own_access(const std::wstring& path) {
  SCOPED_TRACE(narrow(path));
  const ReadDescriptor found = read_file_access(path);
  ASSERT_TRUE(found.read);
  std::set<std::wstring> sids;
  for (const AccessEntry& entry : found.entries) sids.insert(entry.sid);
  EXPECT_EQ(sids.count(own_user_sid()), 1u);
  for (const std::wstring& sid : sids) {
    EXPECT_TRUE(sid == own_user_sid() || system_and_administrators.count(sid) == 1) << narrow(sid);
  }
  if (!running_under_wine()) {
    EXPECT_TRUE(found.protected_list);
  }
}

TEST_F(UnpackFolder, TreeBesideTheExeIsProtectedRemovedAndItsStaleNeighboursSwept) {
  pack(u"{PROGRAM_DIR}\\.files");
  DWORD ended = 0;
  // Started with a bare name, as from a shell in the exe's folder: the folder still lies
  // beside the exe, in the parent and in the child alike.
  LaunchOptions from_bin;
  from_bin.current_directory = workspace_.bin;
  ProcessResult first;
  {
    Launch run;
    ASSERT_TRUE(run.start(workspace_, exe(), L"APP", {}, from_bin)) << run.start_failure();
    ended = run.pid();
    first = run.wait();
  }
  ASSERT_EQ(first.exit_code, 0u) << first.err;
  const std::wstring first_tree = tree_of(first);
  EXPECT_EQ(first_tree.rfind(packed_folder() + L"\\onefile_" + std::to_wstring(ended) + L"_", 0), 0u)
      << narrow(first_tree);
  expect_own_access(packed_folder());
  EXPECT_TRUE(directory_names(packed_folder()).empty()) << "the tree is removed at the end";
  EXPECT_TRUE(temp_entries(workspace_).empty()) << "nothing in %TEMP%";

  const std::wstring stale = packed_folder() + L"\\onefile_" + std::to_wstring(ended) + L"_" +
                             std::to_wstring(current_file_time() - one_day);
  ASSERT_TRUE(CreateDirectoryW(stale.c_str(), nullptr));
  ASSERT_TRUE(write_file(stale + L"\\app.dll", "main"));
  EventPair events;
  LaunchOptions waiting;
  const std::wstring report = workspace_.root + L"\\report.txt";
  waiting.set_variables = {{L"E2E_ACTION", L"wait"}, {L"E2E_REPORT", report}};
  events.add_to(&waiting);
  Launch run;
  ASSERT_TRUE(run.start(workspace_, exe(), quote_argument(exe()), {}, waiting)) << run.start_failure();
  ASSERT_TRUE(events.wait_ready());
  const std::vector<AppReport> reports = parse_reports(read_file(report));
  ASSERT_EQ(reports.size(), 1u);
  const std::wstring tree = reports[0].module_directory();
  EXPECT_EQ(tree.rfind(packed_folder() + L"\\onefile_", 0), 0u) << narrow(tree);
  expect_own_access(tree);
  expect_own_access(tree + L"\\app.dll");
  // The sweep begins once the app has run a second; a run that ends sooner cuts it short.
  for (int poll = 0; poll < sweep_poll_limit && directory_names(packed_folder()).size() != 1; ++poll) {
    Sleep(sweep_poll_ms);
  }
  events.release();
  EXPECT_EQ(run.wait().exit_code, 0u);
  EXPECT_TRUE(directory_names(packed_folder()).empty()) << "own tree removed, stale one swept";
}

TEST_F(UnpackFolder, VariableWinsOverThePackedFolder) {
  pack(u"{PROGRAM_DIR}\\.files");
  const std::wstring root = workspace_.root + L"\\machine\\runs";
  LaunchOptions options;
  options.set_variables = {{L"TAVRIN_UNPACK_ROOT", root + L"\\"}};
  const ProcessResult packed = launch(workspace_, exe(), {}, options);
  ASSERT_EQ(packed.exit_code, 0u) << packed.err;
  EXPECT_EQ(tree_of(packed).rfind(root + L"\\onefile_", 0), 0u) << narrow(tree_of(packed));
  expect_own_access(root);
  EXPECT_FALSE(directory_exists(packed_folder()));
  EXPECT_TRUE(directory_names(root).empty()) << "the tree is removed there";
  EXPECT_TRUE(temp_entries(workspace_).empty()) << "nothing in %TEMP%";
}

TEST_F(UnpackFolder, ChosenFolderThatCannotBeMadeEndsTheStartNamingItAndNothingGoesToTemp) {
  pack(u"{PROGRAM_DIR}\\.files");
  ASSERT_TRUE(write_file(packed_folder(), "a file where the folder goes"));
  const ProcessResult packed = launch(workspace_, exe(), {});
  EXPECT_EQ(packed.exit_code, 2u);
  EXPECT_EQ(packed.out, "");
  EXPECT_EQ(packed.err, open_failure(packed_folder()));

  const std::wstring blocked = workspace_.root + L"\\blocker\\runs";
  ASSERT_TRUE(write_file(workspace_.root + L"\\blocker", "a file where a level goes"));
  LaunchOptions options;
  options.set_variables = {{L"TAVRIN_UNPACK_ROOT", blocked}};
  const ProcessResult variable = launch(workspace_, exe(), {}, options);
  EXPECT_EQ(variable.exit_code, 2u);
  EXPECT_EQ(variable.err, open_failure(blocked));
  EXPECT_TRUE(temp_entries(workspace_).empty()) << "%TEMP% never stands in for a chosen folder";
}

}  // namespace
