// Links inside the target directory, the target directory itself replaced by a link, and a
// link named like a tree that an earlier start left: the clean-up and the sweep remove links
// as links at most and never delete, list or change what they point at (a sentinel tree
// outside TEMP, compared byte for byte). On Windows the links are made
// with CreateSymbolicLinkW; under wine, which cannot make them, tests/e2e/links.sh makes
// them from the Linux side on request, and without it these tests are skipped.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "e2e/harness.h"
#include "launcher/cleanup.h"
#include "launcher/state.h"
#include "paths/bounded.h"
#include "paths/spec.h"
#include "support/files.h"
#include "support/payload_builder.h"

namespace {

constexpr const wchar_t* preset_start = L"2024";
constexpr DWORD request_wait_ms = 20000;
constexpr DWORD request_poll_ms = 10;
constexpr const char* wine_link_note =
    "wine resolves a Unix symbolic link even when asked not to, so the removal leaves the link (and the "
    "directories that hold it) where it is; on Windows the link itself is removed";

std::wstring variable(const wchar_t* name) {
  wchar_t value[MAX_PATH * 4];
  const DWORD length = GetEnvironmentVariableW(name, value, static_cast<DWORD>(std::size(value)));
  return length == 0 || length >= std::size(value) ? std::wstring() : std::wstring(value, length);
}

// wine's own name for a Windows path, as the Linux side needs it.
std::string unix_path(const std::wstring& path) {
  using Convert = char*(CDECL*)(const wchar_t*);
  const FARPROC found = GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
  if (found == nullptr) return {};
  char* text = reinterpret_cast<Convert>(reinterpret_cast<void (*)()>(found))(path.c_str());
  if (text == nullptr) return {};
  std::string result = text;
  HeapFree(GetProcessHeap(), 0, text);
  return result;
}

// One request to links.sh; true once the script reports it done.
bool ask_linux_side(const std::string& operation, const std::wstring& link, const std::wstring& target) {
  static int counter = 0;
  const std::wstring base = variable(L"E2E_LINK_REQUESTS") + L"\\" + std::to_wstring(++counter);
  const std::string text = operation + "\n" + unix_path(link) + "\n" + unix_path(target) + "\n";
  if (!write_file(base + L".tmp", text) || !MoveFileW((base + L".tmp").c_str(), (base + L".req").c_str())) {
    return false;
  }
  for (DWORD waited = 0; waited < request_wait_ms; waited += request_poll_ms) {
    if (file_exists(base + L".done")) return true;
    if (file_exists(base + L".failed")) return false;
    Sleep(request_poll_ms);
  }
  return false;
}

// Relative names of everything below root, root itself as "."; entries named in links are
// listed but not entered.
void collect_entries(const std::wstring& root, const std::wstring& relative, const std::vector<std::wstring>& links,
                     std::vector<std::wstring>* out) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((root + (relative.empty() ? L"" : L"\\" + relative) + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
    out->push_back(child);
    const bool link = std::find(links.begin(), links.end(), child) != links.end();
    if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 && !link) collect_entries(root, child, links, out);
  } while (FindNextFileW(search, &found));
  FindClose(search);
}

// Names and sizes, for a readable failure message.
std::string describe(const std::map<std::wstring, std::string>& tree) {
  std::string text;
  for (const auto& [name, content] : tree) text += narrow(name) + " (" + std::to_string(content.size()) + ") ";
  return text;
}

class Links : public StandardAppTest {
 protected:
  void SetUp() override {
    StandardAppTest::SetUp();
    if (HasFatalFailure()) return;
    if (running_under_wine() && variable(L"E2E_LINK_REQUESTS").empty()) {
      GTEST_SKIP() << "wine cannot make links: run through tests/e2e/links.sh, which makes them from the Linux side";
    }
    outside_ = workspace_.root + L"\\outside";  // not below the launcher's TEMP
    if (!running_under_wine() && !plant(workspace_.root + L"\\probe_link", workspace_.app, true)) {
      GTEST_SKIP() << "this account may not make symbolic links (needs elevation or developer mode)";
    }
    for (const wchar_t* directory : {L"", L"\\dir", L"\\dir\\sub", L"\\empty"}) {
      ASSERT_TRUE(CreateDirectoryW((outside_ + directory).c_str(), nullptr));
    }
    ASSERT_TRUE(write_file(outside_ + L"\\dir\\a.bin", pattern_bytes(70001, 1)));
    ASSERT_TRUE(write_file(outside_ + L"\\dir\\sub\\b.bin", pattern_bytes(3, 2)));
    ASSERT_TRUE(write_file(outside_ + L"\\file.bin", pattern_bytes(4096, 3)));
    sentinel_ = snapshot();
  }
  void TearDown() override {
    for (const std::wstring& link : planted_) {
      if (running_under_wine()) ask_linux_side("unlink", link, link);
    }
    StandardAppTest::TearDown();
  }

  // Every entry of the sentinel tree with its content (directories as "<dir>").
  std::map<std::wstring, std::string> snapshot() const {
    std::vector<std::wstring> names;
    collect_entries(outside_, L"", {}, &names);
    std::map<std::wstring, std::string> contents;
    for (const std::wstring& name : names) {
      const std::wstring path = outside_ + L"\\" + name;
      contents[name] = directory_exists(path) ? "<dir>" : read_file(path);
    }
    return contents;
  }

  bool plant(const std::wstring& link, const std::wstring& target, bool directory) {
    planted_.push_back(link);
    if (running_under_wine()) return ask_linux_side("link", link, target);
    return CreateSymbolicLinkW(link.c_str(), target.c_str(),
                               (directory ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2 /* unprivileged */) != FALSE;
  }

  std::wstring outside_;
  std::map<std::wstring, std::string> sentinel_;
  std::vector<std::wstring> planted_;
};

TEST_F(Links, LinksPlantedWhileTheAppRunsAreRemovedAsLinksOnly) {
  EventPair events;
  LaunchOptions options;
  options.set_variables = {{L"E2E_ACTION", L"wait"}, {L"TAVRIN_ONEFILE_START", preset_start}};
  events.add_to(&options);
  Launch run;
  ASSERT_TRUE(run.start(workspace_, exe_, quote_argument(exe_), {}, options)) << run.start_failure();
  ASSERT_TRUE(events.wait_ready());
  const std::wstring target = expected_target(workspace_, run.pid(), preset_start);
  ASSERT_TRUE(CreateDirectoryW((target + L"\\extra\\deeper").c_str(), nullptr));
  const std::vector<std::wstring> links = {L"dir_link", L"empty_link", L"file_link", L"extra\\deeper\\deep_link"};
  const std::vector<std::wstring> pointed_at = {L"dir", L"empty", L"file.bin", L"dir"};
  for (size_t i = 0; i < links.size(); ++i) {
    ASSERT_TRUE(plant(target + L"\\" + links[i], outside_ + L"\\" + pointed_at[i], pointed_at[i] != L"file.bin"))
        << narrow(links[i]);
  }
  events.release();
  const ProcessResult result = run.wait();
  EXPECT_EQ(result.exit_code, 0u) << result.err;
  EXPECT_TRUE(snapshot() == sentinel_) << describe(snapshot());
  std::vector<std::wstring> left;
  if (directory_exists(target)) left.push_back(L".");
  collect_entries(target, L"", links, &left);
  // Only the links and the directories that hold them may stay; nothing else of the tree.
  const std::vector<std::wstring> may_stay = {L".", L"dir_link", L"empty_link", L"file_link", L"extra",
                                              L"extra\\deeper", L"extra\\deeper\\deep_link"};
  for (const std::wstring& name : left) {
    EXPECT_NE(std::find(may_stay.begin(), may_stay.end(), name), may_stay.end()) << narrow(name);
  }
  if (running_under_wine()) GTEST_SKIP() << wine_link_note;
  EXPECT_TRUE(left.empty());
}

// Made before the launcher creates it (the PID is known once the process exists, the time
// is steered here): a target directory with a file and a link in it, or the target itself
// a link. The start ends with the open-failure line naming it; nothing is written there,
// nothing of it is removed, and what the links point at stays as it was.
TEST_F(Links, TargetMadeBeforeTheStartWithALinkInItOrAsALinkIsNeverUsed) {
  for (const bool target_is_link : {false, true}) {
    SCOPED_TRACE(target_is_link ? "target is a link" : "link inside");
    std::wstring target;
    const ProcessResult result = launch_after_preparing(workspace_, exe_, preset_start, [&](const std::wstring& path) {
      target = path;
      if (target_is_link) {
        ASSERT_TRUE(plant(path, outside_ + L"\\dir", true));
        return;
      }
      ASSERT_TRUE(CreateDirectoryW(path.c_str(), nullptr));
      ASSERT_TRUE(write_file(path + L"\\planted.txt", "planted"));
      ASSERT_TRUE(plant(path + L"\\extra", outside_ + L"\\dir", true));
    });
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.err, "Error, failed to open '" + narrow(target) + "' for writing.\r\n");
    EXPECT_TRUE(snapshot() == sentinel_) << describe(snapshot());
    if (!target_is_link) {
      EXPECT_EQ(read_file(target + L"\\planted.txt"), "planted");
      EXPECT_EQ(directory_names(target), (std::vector<std::wstring>{L"extra", L"planted.txt"})) << "nothing written";
    }
    for (const std::wstring& link : planted_) {
      if (running_under_wine()) ask_linux_side("unlink", link, link);
    }
    planted_.clear();
    DeleteFileW((target + L"\\planted.txt").c_str());
    RemoveDirectoryW(target.c_str());
  }
}

// The target directory replaced by a link after the child has ended, right before the
// removal: driven through clean_up with the pause seam, as the parent would run it.
TEST_F(Links, TargetReplacedByALinkBeforeTheRemovalLeavesWhatItPointsAt) {
  const std::wstring target = workspace_.temp + L"\\onefile_1_" + preset_start;
  ASSERT_TRUE(plant(target, outside_ + L"\\dir", true));
  static int pauses = 0;
  pauses = 0;
  set_cleanup_sleep([](DWORD) { ++pauses; });
  copy_bounded(launcher_state.target_directory, target.c_str(), path_capacity);
  launcher_state.unpacking_started.store(1);
  launcher_state.tree_created.store(1);
  clean_up();
  launcher_state.unpacking_started.store(0);
  launcher_state.tree_created.store(0);
  set_cleanup_sleep(nullptr);
  EXPECT_TRUE(snapshot() == sentinel_) << describe(snapshot());
  if (running_under_wine()) GTEST_SKIP() << wine_link_note;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(target.c_str(), &found);
  EXPECT_EQ(search, INVALID_HANDLE_VALUE) << "the link itself is removed";
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  EXPECT_EQ(pauses, 0);
}

// Files below root with their contents, for a byte-for-byte comparison.
std::map<std::wstring, std::string> tree_contents(const std::wstring& root) {
  std::map<std::wstring, std::string> contents;
  for (const std::wstring& file : list_files(root)) contents[file] = read_file(root + L"\\" + file);
  return contents;
}

constexpr int sweep_poll_limit = 200;
constexpr DWORD sweep_poll_ms = 50;

// One start's sweep of one TEMP: trees whose start is provably over go (the PID of no
// process; a live PID whose process began after the recorded time); a running launcher's
// tree, a young tree, a link named like a tree (and what it points at) and a name that only
// looks like a tree stay byte for byte.
TEST_F(Links, StartRemovesOnlyTreesWhoseStartIsOver) {
  DWORD ended = 0;
  ASSERT_EQ(launch(workspace_, exe_, {}, {}, &ended).exit_code, 0u);
  FILETIME created{}, exited{}, kernel{}, user{};
  ASSERT_TRUE(GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user));
  const uint64_t day_before = ((static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime) -
                              864000000000ull;
  const auto name = [](DWORD pid, uint64_t time) { return L"onefile_" + std::to_wstring(pid) + L"_" + std::to_wstring(time); };
  const std::wstring dead = name(ended, day_before), reused = name(GetCurrentProcessId(), day_before);
  const std::wstring young = name(ended, current_file_time()), link = name(ended, day_before - 1);
  EventPair events;
  LaunchOptions options;
  options.set_variables = {{L"E2E_ACTION", L"wait"}};
  events.add_to(&options);
  Launch running;
  ASSERT_TRUE(running.start(workspace_, exe_, quote_argument(exe_), {}, options)) << running.start_failure();
  ASSERT_TRUE(events.wait_ready());
  std::vector<std::wstring> expected = temp_entries(workspace_);  // the running launcher's tree
  ASSERT_EQ(expected.size(), 1u);
  // Planted once the running launcher is past its own sweep, so that the next start is the one judged.
  const std::wstring temp = workspace_.temp + L"\\";
  for (const std::wstring& tree : {dead, reused, young, std::wstring(L"onefile_12_x")}) {
    ASSERT_TRUE(CreateDirectoryW((temp + tree).c_str(), nullptr));
    ASSERT_TRUE(write_file(temp + tree + L"\\data.bin", pattern_bytes(9000, 4)));
  }
  ASSERT_TRUE(plant(temp + link, outside_ + L"\\dir", true));
  expected.insert(expected.end(), {young, link, L"onefile_12_x"});
  std::sort(expected.begin(), expected.end());
  std::map<std::wstring, std::map<std::wstring, std::string>> kept;
  for (const std::wstring& tree : expected) kept[tree] = tree_contents(temp + tree);

  // The judged start's application runs until the sweep is seen to be over (its own tree
  // beside the expected ones): a run that ends sooner cuts its sweep short.
  EventPair judged_events;
  LaunchOptions judged_options;
  judged_options.set_variables = {{L"E2E_ACTION", L"wait"}};
  judged_events.add_to(&judged_options);
  Launch judged;
  ASSERT_TRUE(judged.start(workspace_, exe_, quote_argument(exe_), {}, judged_options)) << judged.start_failure();
  ASSERT_TRUE(judged_events.wait_ready());
  for (int poll = 0; poll < sweep_poll_limit && temp_entries(workspace_).size() != expected.size() + 1; ++poll) {
    Sleep(sweep_poll_ms);
  }
  judged_events.release();
  ASSERT_EQ(judged.wait().exit_code, 0u);
  EXPECT_EQ(temp_entries(workspace_), expected);
  for (const auto& [tree, contents] : kept) EXPECT_TRUE(tree_contents(temp + tree) == contents) << narrow(tree);
  EXPECT_TRUE(snapshot() == sentinel_) << describe(snapshot());
  events.release();
  EXPECT_EQ(running.wait().exit_code, 0u);
}

}  // namespace
