// The cached unpacking place, seen through packed launchers: the first start unpacks and
// publishes one tree, later starts use it untouched, concurrent and killed starts never
// leave a tree that a start uses half-written, a rebuilt payload gets a tree of its own
// and old trees go only when no process uses them.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>

#include "e2e/harness.h"
#include "launcher/sweep.h"
#include "paths/spec.h"
#include "payload/format.h"
#include "support/files.h"
#include "tools/pack/payload_writer.h"
#include "tools/pack/unpack_place.h"

namespace {

constexpr size_t many_files = 600;  // enough that unpacking takes a visible while
constexpr DWORD poll_pause_ms = 1;
constexpr DWORD staging_wait_ms = 60000;

struct FileIdentity {
  DWORD volume = 0, index_high = 0, index_low = 0;
  FILETIME written{};
  bool operator==(const FileIdentity& other) const {
    return volume == other.volume && index_high == other.index_high && index_low == other.index_low &&
           CompareFileTime(&written, &other.written) == 0;
  }
};

FileIdentity identity_of(const std::wstring& path) {
  FileIdentity identity;
  HANDLE file = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  BY_HANDLE_FILE_INFORMATION information{};
  if (file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &information)) {
    identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow,
                information.ftLastWriteTime};
  }
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return identity;
}

// Contents of extra\data.bin, one per build.
std::string data_of(char fill) {
  return std::string(70001, fill);
}

// Processes that pid created and that still run.
size_t children_of(DWORD pid) {
  size_t count = 0;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    count += entry.th32ParentProcessID == pid ? 1 : 0;
  }
  CloseHandle(snapshot);
  return count;
}

std::string windows_of(DWORD pid) {
  const std::wstring helper = sibling_path(L"e2e_end_session.exe");
  return report_value(run_process(helper, quote_argument(helper) + L" " + std::to_wstring(pid) + L" count", {}).out,
                      "windows");
}

class CachedPlace : public WorkspaceTest {
 protected:
  void SetUp() override {
    WorkspaceTest::SetUp();
    wchar_t cache_dir[MAX_PATH * 4];
    ASSERT_TRUE(expand_spec(cache_dir, L"{CACHE_DIR}", MAX_PATH * 4));
    // A product of its own per test and run: the cache folder is the user's, not the workspace's.
    product_ = "tavrin-e2e-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()).substr(0, 24) +
               "-" + std::to_string(GetCurrentProcessId());
    product_dir_ = std::wstring(cache_dir) + L"\\" + widen(place_cache_folder) + L"\\" + widen(product_);
    ASSERT_TRUE(copy_helper(L"e2e_app.dll", workspace_.app, L"app.dll"));
    CreateDirectoryW((workspace_.app + L"\\extra").c_str(), nullptr);
  }
  void TearDown() override {
    remove_tree(product_dir_);
    WorkspaceTest::TearDown();
  }

  // The app with data as extra\data.bin (and count more small files), packed for the cache
  // as version 1.0 into bin\name. Returns the tree that its starts must use.
  // root: the cache root it is packed with (empty: the default one).
  std::wstring pack_cached(const std::string& data, const std::wstring& name, size_t count = 0,
                           const std::u16string& root = u"") {
    EXPECT_TRUE(write_file(workspace_.app + L"\\extra\\data.bin", data));
    for (size_t i = 0; i < count; ++i) {
      write_file(workspace_.app + L"\\extra\\f" + std::to_wstring(i) + L".txt", std::to_string(i));
    }
    PackRequest request;
    request.directory = std::filesystem::path(workspace_.app);
    request.main_library = "app.dll";
    request.level = 3;
    ByteVector payload;
    std::string error;
    EXPECT_TRUE(build_payload_bytes(request, &payload, &error)) << error;
    const PlaceIdentity identity{product_, "1.0"};
    const std::wstring exe = workspace_.bin + L"\\" + name;
    EXPECT_EQ(pack_payload(payload, exe, make_place_resources(UnpackPlace::cache, identity, payload.data(),
                                                              payload.size(), root)), "");
    exe_ = exe;
    const std::wstring product_dir =
        root.empty() ? product_dir_ : std::wstring(root.begin(), root.end()) + L"\\" + widen(product_);
    return product_dir + L"\\1.0_" + widen(payload_digest_text(payload.data(), payload.size()));
  }

  // Starts exe with the app waiting for events; returns once the app is up.
  void start_waiting(Launch* run, const EventPair& events, const std::wstring& exe) {
    LaunchOptions options;
    events.add_to(&options);
    options.set_variables.push_back({L"E2E_ACTION", L"wait"});
    ASSERT_TRUE(run->start(workspace_, exe, exe, {}, options)) << run->start_failure();
    ASSERT_TRUE(events.wait_ready());
  }

  AppReport run_once(const std::wstring& exe, const LaunchOptions& options = {}) {
    const ProcessResult result = launch(workspace_, exe, {}, options);
    EXPECT_EQ(result.exit_code, 0u) << printable(result.out) << printable(result.err);
    const std::vector<AppReport> reports = parse_reports(result.out);
    EXPECT_EQ(reports.size(), 1u) << printable(result.out) << printable(result.err);
    return reports.empty() ? AppReport() : reports[0];
  }

  // Every file of the app and the marker, nothing else; data as extra\data.bin.
  void expect_complete_tree(const std::wstring& tree, const std::string& data) {
    std::vector<std::wstring> expected = list_files(workspace_.app);
    expected.push_back(tree_marker_name);
    std::sort(expected.begin(), expected.end());
    std::string siblings;
    for (const std::wstring& name : directory_names(product_dir_)) siblings += " " + narrow(name);
    EXPECT_EQ(list_files(tree), expected) << narrow(tree) << "; beside it:" << siblings;
    EXPECT_TRUE(read_file(tree + L"\\extra\\data.bin") == data) << "the data file's content";
  }

  // Kills the start as soon as its staging directory holds a few files; returns that
  // directory, or "" when none showed.
  std::wstring kill_while_staging(Launch& start) {
    std::wstring staging;
    const ULONGLONG deadline = GetTickCount64() + staging_wait_ms;
    while (staging.empty() && GetTickCount64() < deadline) {
      for (const std::wstring& name : directory_names(product_dir_)) {
        const std::wstring path = product_dir_ + L"\\" + name;
        if (name.find(L"~new_") != std::wstring::npos && directory_names(path + L"\\extra").size() > 10) staging = path;
      }
      if (staging.empty()) Sleep(poll_pause_ms);
    }
    TerminateProcess(start.process(), 1);
    start.wait();
    return staging;
  }

  std::string product_;
  std::wstring product_dir_;
  std::wstring exe_;
};

TEST_F(CachedPlace, FirstStartUnpacksOnceAndLaterStartsUseTheTreeUntouched) {
  const std::wstring tree = pack_cached(data_of('a'), L"APP.exe");
  const AppReport first = run_once(exe_);
  EXPECT_EQ(first.module_directory(), tree);
  EXPECT_EQ(first.variable("TAVRIN_ONEFILE_DIRECTORY"), workspace_.bin);
  expect_complete_tree(tree, data_of('a'));
  EXPECT_EQ(directory_names(product_dir_), std::vector<std::wstring>{tree.substr(product_dir_.size() + 1)})
      << "one tree, no staging directory left";
  EXPECT_TRUE(temp_entries(workspace_).empty()) << "no temporary tree";

  std::vector<std::pair<std::wstring, FileIdentity>> before;
  for (const std::wstring& file : list_files(tree)) before.push_back({file, identity_of(tree + L"\\" + file)});
  // Slow file times would hide a rewrite within the same tick.
  Sleep(50);
  for (int start = 0; start < 2; ++start) {
    const AppReport later = run_once(exe_);
    EXPECT_EQ(later.module_directory(), tree);
    EXPECT_EQ(later.variable("TAVRIN_ONEFILE_DIRECTORY"), workspace_.bin);
  }
  for (const auto& [file, identity] : before) {
    EXPECT_TRUE(identity_of(tree + L"\\" + file) == identity) << narrow(file) << " was written again";
  }
  EXPECT_EQ(directory_names(product_dir_).size(), 1u);
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

// A later start runs the app in the launcher's own process, with what the first start's
// child got; a copy that app starts of its own exe is a start of its own.
TEST_F(CachedPlace, LaterStartIsOneProcessWithWhatAChildGets) {
  const std::wstring tree = pack_cached(data_of('i'), L"APP.exe");
  LaunchOptions options;
  options.set_variables.push_back({L"E2E_EXIT", L"0xC0000135"});
  const std::vector<std::wstring> arguments{L"one two", L"\"quoted\""};
  DWORD first_pid = 0;
  const ProcessResult first_run = launch(workspace_, exe_, arguments, options, &first_pid);
  EXPECT_EQ(first_run.exit_code, 0xC0000135u) << printable(first_run.err);
  const std::vector<AppReport> first = parse_reports(first_run.out);
  ASSERT_EQ(first.size(), 1u) << printable(first_run.out);
  EXPECT_NE(first[0].pid, first_pid) << "a first start keeps its child";

  const std::wstring copy_report = workspace_.root + L"\\copy-report.txt";
  EventPair events;
  events.add_to(&options);
  options.set_variables.push_back({L"E2E_ACTION", L"relaunch"});
  options.set_variables.push_back({L"E2E_SPAWN_ACTION", L"wait"});
  options.set_variables.push_back({L"E2E_SPAWN_REPORT", copy_report});
  Launch later_run;
  ASSERT_TRUE(later_run.start(workspace_, exe_, quote_argument(exe_), arguments, options));
  const DWORD pid = later_run.pid();
  const ProcessResult later_result = later_run.wait();
  EXPECT_EQ(later_result.exit_code, 0xC0000135u) << printable(later_result.err);
  const std::vector<AppReport> later = parse_reports(later_result.out);
  ASSERT_EQ(later.size(), 1u) << printable(later_result.out);
  EXPECT_EQ(later[0].pid, pid) << "the app runs in the launcher's process";
  EXPECT_EQ(later[0].module_directory(), tree);
  EXPECT_EQ(later[0].arguments, first[0].arguments);
  EXPECT_EQ(later[0].variable("TAVRIN_ONEFILE_PARENT"), std::to_wstring(pid));
  for (const char* name : {"TAVRIN_ONEFILE_DIRECTORY", "TAVRIN_ORIGINAL_ARGV0"}) {
    EXPECT_EQ(later[0].variable(name), first[0].variable(name)) << name;
  }
  EXPECT_TRUE(is_decimal(later[0].variable("TAVRIN_ONEFILE_START").value_or(L"")));

  const DWORD copy_pid = static_cast<DWORD>(std::stoul("0" + report_value(later_result.out, "relaunched_pid")));
  ASSERT_NE(copy_pid, 0u);
  // The copy waits in its app: a start of its own that is one process as well.
  ASSERT_TRUE(events.wait_ready());
  EXPECT_EQ(children_of(copy_pid), 0u) << "no child created";
  EXPECT_EQ(windows_of(copy_pid), "0") << "no session-end window";
  const std::vector<AppReport> copy = parse_reports(read_file(copy_report));
  ASSERT_EQ(copy.size(), 1u);
  EXPECT_EQ(copy[0].pid, copy_pid) << "the copy is a start of its own, one process too";
  EXPECT_EQ(copy[0].variable("TAVRIN_ONEFILE_PARENT"), std::to_wstring(copy_pid));
  events.release();
}

TEST_F(CachedPlace, TwoStartsAtOnceBothRunAndLeaveExactlyOneCompleteTree) {
  const std::wstring tree = pack_cached(data_of('b'), L"APP.exe", many_files);
  Launch first, second;
  ASSERT_TRUE(first.start(workspace_, exe_, exe_, {})) << first.start_failure();
  ASSERT_TRUE(second.start(workspace_, exe_, exe_, {})) << second.start_failure();
  for (Launch* launched : {&first, &second}) {
    const ProcessResult result = launched->wait();
    EXPECT_EQ(result.exit_code, 0u) << printable(result.err);
    const std::vector<AppReport> reports = parse_reports(result.out);
    ASSERT_EQ(reports.size(), 1u) << printable(result.out);
    EXPECT_EQ(reports[0].module_directory(), tree) << "the start that lost the race uses the winner's tree";
  }
  EXPECT_EQ(directory_names(product_dir_), std::vector<std::wstring>{tree.substr(product_dir_.size() + 1)});
  expect_complete_tree(tree, data_of('b'));
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

TEST_F(CachedPlace, StartKilledWhileUnpackingLeavesNoTreeThatALaterStartUses) {
  const std::wstring tree = pack_cached(data_of('c'), L"APP.exe", many_files);
  Launch killed;
  ASSERT_TRUE(killed.start(workspace_, exe_, exe_, {})) << killed.start_failure();
  const std::wstring staging = kill_while_staging(killed);
  ASSERT_FALSE(staging.empty()) << "the start never showed its staging directory";
  ASSERT_FALSE(directory_exists(tree)) << "killed before publishing: no tree under the final name";
  ASSERT_LT(list_files(staging).size(), many_files) << "the kill came after unpacking; nothing was tested";

  const AppReport later = run_once(exe_);
  EXPECT_EQ(later.module_directory(), tree);
  expect_complete_tree(tree, data_of('c'));
  EXPECT_FALSE(directory_exists(staging)) << "the dead start's directory is removed once nobody holds it";
  EXPECT_EQ(directory_names(product_dir_).size(), 1u);
}

TEST_F(CachedPlace, DamagedTreeIsNeverUsedAndIsReplaced) {
  const std::wstring tree = pack_cached(data_of('d'), L"APP.exe");
  run_once(exe_);
  const std::wstring data = tree + L"\\extra\\data.bin";
  // A file cut short, then a file missing: each is noticed and the tree unpacked again.
  for (const bool remove : {false, true}) {
    if (remove) {
      ASSERT_TRUE(DeleteFileW(data.c_str()));
    } else {
      ASSERT_TRUE(write_file(data, "short"));
    }
    DWORD pid = 0;
    const std::vector<AppReport> reports = parse_reports(launch(workspace_, exe_, {}, {}, &pid).out);
    ASSERT_EQ(reports.size(), 1u);
    const AppReport& report = reports[0];
    EXPECT_EQ(report.module_directory(), tree) << "removed: " << remove;
    EXPECT_NE(report.pid, pid) << "a start that unpacks again keeps its child";
    expect_complete_tree(tree, data_of('d'));
    EXPECT_EQ(directory_names(product_dir_).size(), 1u) << "the damaged tree is gone, not kept aside";
  }
}

TEST_F(CachedPlace, RebuiltPayloadWithTheSameVersionGetsANewTreeAndOldTreesGoUnlessInUse) {
  const std::wstring tree1 = pack_cached(data_of('e'), L"APP1.exe");
  const std::wstring exe1 = exe_;
  run_once(exe1);
  const std::wstring tree2 = pack_cached(data_of('f'), L"APP2.exe");
  const std::wstring exe2 = exe_;
  ASSERT_NE(tree1, tree2);
  EXPECT_EQ(run_once(exe2).module_directory(), tree2);
  EXPECT_FALSE(directory_exists(tree1)) << "an old tree that nobody uses goes";
  expect_complete_tree(tree2, data_of('f'));

  // While a start of the second build runs, a third build must leave its tree alone.
  EventPair events;
  Launch running;
  ASSERT_NO_FATAL_FAILURE(start_waiting(&running, events, exe2));
  const std::wstring tree3 = pack_cached(data_of('g'), L"APP3.exe");
  EXPECT_EQ(run_once(exe_).module_directory(), tree3);
  EXPECT_TRUE(directory_exists(tree2)) << "a tree in use stays";
  expect_complete_tree(tree2, data_of('f'));
  events.release();
  EXPECT_EQ(running.wait().exit_code, 0u);
}

TEST_F(CachedPlace, CacheFolderThatCannotBeCreatedFallsBackToTheTemporaryPlace) {
  pack_cached(data_of('h'), L"APP.exe");
  // A file where the product's folder belongs: no tree can be made below it.
  CreateDirectoryW(product_dir_.substr(0, product_dir_.rfind(L'\\')).c_str(), nullptr);
  ASSERT_TRUE(write_file(product_dir_, "in the way"));
  DWORD pid = 0;
  const ProcessResult result = launch(workspace_, exe_, {}, {}, &pid);
  EXPECT_EQ(result.exit_code, 0u) << printable(result.err);
  EXPECT_EQ(result.err, "") << "the fallback is silent";
  const std::vector<AppReport> reports = parse_reports(result.out);
  ASSERT_EQ(reports.size(), 1u);
  const std::wstring start = reports[0].variable("TAVRIN_ONEFILE_START").value_or(L"");
  EXPECT_EQ(reports[0].module_directory(), expected_target(workspace_, pid, start));
  EXPECT_TRUE(temp_entries(workspace_).empty()) << "the temporary tree is removed as always";
  DeleteFileW(product_dir_.c_str());
}

// Without publishing a tree of its own, a start removes the staging directory of a start
// killed while unpacking, and leaves one named by a start that runs.
TEST_F(CachedPlace, LaterStartRemovesAKilledStartsStagingDirectoryButNotARunningOnes) {
  const std::wstring tree = pack_cached(data_of('i'), L"APP1.exe");
  const std::wstring exe1 = exe_;
  run_once(exe1);
  const std::wstring tree2 = pack_cached(data_of('j'), L"APP2.exe", many_files);
  LaunchOptions day_old;  // a launch time clear of the young rule
  day_old.set_variables = {{L"TAVRIN_ONEFILE_START", std::to_wstring(current_file_time() - 864000000000ull)}};
  Launch killed;
  ASSERT_TRUE(killed.start(workspace_, exe_, exe_, {}, day_old)) << killed.start_failure();
  const std::wstring staging = kill_while_staging(killed);
  ASSERT_FALSE(staging.empty()) << "the start never showed its staging directory";

  EventPair events;
  Launch running;
  ASSERT_NO_FATAL_FAILURE(start_waiting(&running, events, exe1));
  const std::wstring running_staging =
      tree2 + L"~new_" + std::to_wstring(running.pid()) + L"_" + std::to_wstring(current_file_time());
  ASSERT_TRUE(CreateDirectoryW(running_staging.c_str(), nullptr));
  EXPECT_EQ(run_once(exe1).module_directory(), tree) << "the complete tree serves; nothing is published";
  EXPECT_FALSE(directory_exists(staging));
  EXPECT_TRUE(directory_exists(running_staging));
  events.release();
  EXPECT_EQ(running.wait().exit_code, 0u);
}

// The variable moves the cache too: the product's folder and the tree's own name go below
// it, and later starts use that tree. A cache root chosen at pack time that cannot be made
// ends the start, naming it, where the default root would fall back to %TEMP%.
TEST_F(CachedPlace, VariableMovesTheCachedTreeAndAChosenRootIsNeverReplacedByTemp) {
  const std::wstring tree = pack_cached(data_of('a'), L"APP.exe");
  const std::wstring root = workspace_.root + L"\\machine";
  LaunchOptions options;
  options.set_variables = {{L"TAVRIN_UNPACK_ROOT", root}};
  const std::wstring moved = root + L"\\" + widen(product_) + tree.substr(tree.rfind(L'\\'));
  EXPECT_EQ(run_once(exe_, options).module_directory(), moved);
  EXPECT_EQ(run_once(exe_, options).module_directory(), moved) << "a later start uses the moved tree";
  EXPECT_FALSE(directory_exists(tree)) << "nothing in the default cache";

  const std::wstring blocker = workspace_.root + L"\\blocker";
  ASSERT_TRUE(write_file(blocker, "a file where the cache root goes"));
  const std::wstring blocked_root = blocker + L"\\cache";
  pack_cached(data_of('b'), L"ROOTED.exe", 0, std::u16string(blocked_root.begin(), blocked_root.end()));
  const ProcessResult refused = launch(workspace_, exe_, {});
  EXPECT_EQ(refused.exit_code, 2u);
  EXPECT_EQ(refused.err, "Error, failed to open '" + narrow(blocked_root) + "' for writing.\r\n");
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

}  // namespace
