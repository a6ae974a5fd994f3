// Removal of the target directory with its retries (counted through the pause seam, so
// nothing waits), the console handler's events, the grace period and termination of a child.
#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "launcher/cleanup.h"
#include "launcher/console.h"
#include "launcher/remove_tree.h"
#include "launcher/state.h"
#include "paths/bounded.h"
#include "support/files.h"
#include "support/process.h"

namespace {

std::vector<DWORD> pauses;
HANDLE file_to_release = INVALID_HANDLE_VALUE;
size_t release_at_pause = 0;

void record_pause(DWORD milliseconds) {
  pauses.push_back(milliseconds);
  if (pauses.size() == release_at_pause && file_to_release != INVALID_HANDLE_VALUE) {
    CloseHandle(file_to_release);
    file_to_release = INVALID_HANDLE_VALUE;
  }
}

// As on a RAM disk or a file system in user mode, which the mount manager does not know:
// no final path with a drive letter, only the system's own device form.
DWORD WINAPI final_path_without_drive(HANDLE handle, LPWSTR path, DWORD capacity, DWORD flags) {
  if ((flags & (VOLUME_NAME_GUID | VOLUME_NAME_NT | VOLUME_NAME_NONE)) == 0) {
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  return GetFinalPathNameByHandleW(handle, path, capacity, flags);
}

DWORD WINAPI no_final_path(HANDLE, LPWSTR, DWORD, DWORD) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return 0;
}

bool running_under_wine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

constexpr size_t longest_name_units = 1023;  // the longest entry name a payload may hold
constexpr size_t longest_component_units = 255;
constexpr int deep_tree_levels = 500;

// A target directory with a small tree in it, registered as the launcher's, and a sentinel
// tree beside it that no removal may touch. The sentinel is also the current directory: a
// removal that loses its path (as the shell's did under wine past MAX_PATH) works there.
class CleanUp : public ::testing::Test {
 protected:
  void SetUp() override {
    sentinel_ = make_temp_directory(L"tavrin_sentinel");
    ASSERT_TRUE(write_file(sentinel_ + L"\\keep.bin", std::string(4097, 'k')));
    GetCurrentDirectoryW(MAX_PATH, previous_directory_);
    ASSERT_TRUE(SetCurrentDirectoryW(sentinel_.c_str()));
    pauses.clear();
    release_at_pause = 0;
    file_to_release = INVALID_HANDLE_VALUE;
    set_cleanup_sleep(record_pause);
    target_ = make_temp_directory(L"tavrin_cleanup");
    ASSERT_FALSE(target_.empty());
    ASSERT_TRUE(CreateDirectoryW((target_ + L"\\sub").c_str(), nullptr));
    ASSERT_TRUE(write_file(target_ + L"\\app.dll", "main"));
    ASSERT_TRUE(write_file(target_ + L"\\sub\\data.bin", std::string(70000, 'd')));
    copy_bounded(launcher_state.target_directory, target_.c_str(), path_capacity);
    launcher_state.unpacking_started.store(1);
    launcher_state.tree_created.store(1);
    launcher_state.child_process.store(nullptr);
  }
  void TearDown() override {
    if (file_to_release != INVALID_HANDLE_VALUE) CloseHandle(file_to_release);
    set_cleanup_sleep(nullptr);
    set_child_grace_period(child_grace_period_ms);
    launcher_state.unpacking_started.store(0);
    launcher_state.tree_created.store(0);
    remove_tree(target_);
    EXPECT_EQ(read_file(sentinel_ + L"\\keep.bin"), std::string(4097, 'k'));
    SetCurrentDirectoryW(previous_directory_);
    remove_tree(sentinel_);
  }

  // Creates target_\name (a file, with its directories) through the "\\?\" form.
  bool create_long(const std::wstring& name) {
    const std::wstring path = L"\\\\?\\" + target_ + L"\\" + name;
    for (size_t at = path.find(L'\\', target_.size() + 5); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
      CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
    }
    return write_file(path, "deep");
  }

  // Opens a file in the tree without FILE_SHARE_DELETE, so that it cannot be removed.
  HANDLE hold_file_open() {
    return CreateFileW((target_ + L"\\sub\\data.bin").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  }

  std::wstring target_;
  std::wstring sentinel_;
  wchar_t previous_directory_[MAX_PATH] = {};
};

TEST_F(CleanUp, DirectoryTreeIsRemovedWithOneRequestAfterANormalEnd) {
  clean_up();
  EXPECT_FALSE(directory_exists(target_));
  EXPECT_TRUE(pauses.empty());
}

TEST_F(CleanUp, AlreadyGoneDirectoryTakesOneRequestAndNoPause) {
  ASSERT_TRUE(remove_tree(target_));
  clean_up();
  EXPECT_TRUE(pauses.empty());
  EXPECT_FALSE(directory_exists(target_));
}

// Before unpacking, and for a target directory that this start did not create (one found
// in its place, which the start refused), nothing is removed.
TEST_F(CleanUp, NothingIsRemovedBeforeUnpackingOrThatThisStartDidNotCreate) {
  for (const bool started : {false, true}) {
    launcher_state.unpacking_started.store(started ? 1 : 0);
    launcher_state.tree_created.store(started ? 0 : 1);
    clean_up();
    EXPECT_TRUE(directory_exists(target_));
    EXPECT_TRUE(file_exists(target_ + L"\\sub\\data.bin"));
    EXPECT_TRUE(pauses.empty());
  }
}

TEST_F(CleanUp, DirectoryHeldOpenIsTriedTwentyOneTimesThenLeftSilently) {
  HANDLE held = hold_file_open();
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  clean_up();
  const bool still_there = directory_exists(target_);
  CloseHandle(held);
  if (!still_there && running_under_wine()) {
    GTEST_SKIP() << "this wine removed a file that is open without delete sharing; Windows refuses that";
  }
  EXPECT_TRUE(still_there);
  EXPECT_EQ(pauses, std::vector<DWORD>(20, removal_pause_ms));
}

TEST_F(CleanUp, RetriesStopAsSoonAsTheDirectoryIsGone) {
  file_to_release = hold_file_open();
  ASSERT_NE(file_to_release, INVALID_HANDLE_VALUE);
  release_at_pause = 3;  // the holder lets go during the third pause
  clean_up();
  if (pauses.empty() && running_under_wine()) {
    GTEST_SKIP() << "this wine removed a file that is open without delete sharing; Windows refuses that";
  }
  EXPECT_FALSE(directory_exists(target_));
  EXPECT_EQ(pauses, std::vector<DWORD>(3, removal_pause_ms));
}

// Two clean-ups meet (the main thread's after its wait, the session-end window's or a
// console event's): the second waits for the first one's removal and its further attempts,
// then finds the tree gone and makes no attempts of its own.
std::vector<DWORD> pausing_threads;
std::thread second_clean_up;
std::atomic<bool> second_done{false};
bool second_done_before_release = true;

void pause_and_meet(DWORD milliseconds) {
  pausing_threads.push_back(GetCurrentThreadId());
  if (pausing_threads.size() == 1) {
    second_clean_up = std::thread([] {
      clean_up();
      second_done.store(true);
    });
    Sleep(200);  // time enough for the second to overtake the first, if it could
  }
  if (pausing_threads.size() == release_at_pause) second_done_before_release = second_done.load();
  record_pause(milliseconds);
}

TEST_F(CleanUp, MeetingCleanUpsRemoveTheTreeInTurns) {
  file_to_release = hold_file_open();
  ASSERT_NE(file_to_release, INVALID_HANDLE_VALUE);
  release_at_pause = 3;
  set_cleanup_sleep(pause_and_meet);
  clean_up();
  if (second_clean_up.joinable()) second_clean_up.join();
  if (pausing_threads.empty() && running_under_wine()) {
    GTEST_SKIP() << "this wine removed a file that is open without delete sharing; Windows refuses that";
  }
  EXPECT_FALSE(directory_exists(target_));
  EXPECT_FALSE(second_done_before_release) << "the second clean-up returned while the first still removed";
  EXPECT_TRUE(second_done.load());
  EXPECT_EQ(pausing_threads, std::vector<DWORD>(3, GetCurrentThreadId())) << "only the first one retried";
}

// Trees the shell's removal could not take (paths past MAX_PATH) and a read-only file: each
// goes with the first attempt, without a pause.
TEST_F(CleanUp, LongPathsAndReadOnlyFilesGoInTheFirstAttempt) {
  std::wstring longest;
  while (longest.size() + 1 + longest_component_units < longest_name_units) {
    longest += std::wstring(longest_component_units, L'n') + L"\\";
  }
  longest += std::wstring(longest_name_units - longest.size(), L'f');
  std::wstring deep;
  for (int level = 0; level < deep_tree_levels; ++level) deep += L"d\\";
  const std::pair<std::wstring, bool> cases[] = {{longest, false}, {deep + L"f", false}, {L"sub\\locked.txt", true}};
  for (const auto& [name, read_only] : cases) {
    CreateDirectoryW(target_.c_str(), nullptr);
    ASSERT_TRUE(create_long(name)) << name.size();
    if (read_only) {
      ASSERT_TRUE(SetFileAttributesW((target_ + L"\\" + name).c_str(), FILE_ATTRIBUTE_READONLY));
    }
    clean_up();
    EXPECT_FALSE(directory_exists(target_)) << name.size();
    EXPECT_TRUE(pauses.empty()) << name.size();
  }
  EXPECT_EQ(longest.size(), longest_name_units);
}

// A volume that has no drive-letter form of its final paths, and one that gives no final
// path at all: the tree goes in the first attempt either way, instead of taking all of
// them and staying.
TEST_F(CleanUp, VolumesWithoutDriveFormsOrFinalPathsAreRemovedAtOnce) {
  for (const FinalPathQuery query : {final_path_without_drive, no_final_path}) {
    CreateDirectoryW(target_.c_str(), nullptr);
    ASSERT_TRUE(create_long(L"sub\\deeper\\file.bin"));
    set_final_path_query(query);
    clean_up();
    set_final_path_query(nullptr);
    EXPECT_FALSE(directory_exists(target_));
    EXPECT_TRUE(pauses.empty());
  }
}

// A removal from the handle the tree was judged on: a directory put in its place by name
// afterwards is never touched, and a removal told to stop leaves the tree.
TEST_F(CleanUp, RemovalFromAHandleTakesTheJudgedTreeAndStopsWhenAsked) {
  const std::wstring moved = target_ + L"_moved";
  const auto open_tree = [](const std::wstring& path) {
    return CreateFileW(path.c_str(), DELETE | FILE_LIST_DIRECTORY | SYNCHRONIZE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  };
  const std::atomic<bool> stop{true};
  EXPECT_FALSE(remove_tree_at(open_tree(target_), &stop));
  EXPECT_TRUE(file_exists(target_ + L"\\sub\\data.bin"));

  HANDLE tree = open_tree(target_);
  ASSERT_NE(tree, INVALID_HANDLE_VALUE);
  if (running_under_wine()) {
    EXPECT_TRUE(remove_tree_at(tree));
    EXPECT_FALSE(directory_exists(target_));
    GTEST_SKIP() << "wine keeps the old name of an open directory renamed by another handle, and acts on names";
  }
  ASSERT_TRUE(MoveFileW(target_.c_str(), moved.c_str()));
  ASSERT_TRUE(CreateDirectoryW(target_.c_str(), nullptr));
  ASSERT_TRUE(write_file(target_ + L"\\swapped.bin", "swapped"));
  EXPECT_TRUE(remove_tree_at(tree));
  EXPECT_FALSE(directory_exists(moved));
  EXPECT_EQ(read_file(target_ + L"\\swapped.bin"), "swapped");
}

// The console handler's thread and the main thread may both remove the tree at once:
// entries that vanish under one of them are no error, and the tree goes.
// A read-only file with a second name inside the tree: the attribute belongs to the file,
// not to the name, so clearing it for the removal would change the file outside too. The
// name inside stays instead (and with it the tree); the file outside keeps its attribute.
TEST_F(CleanUp, ReadOnlyFileWithANameOutsideKeepsItsAttribute) {
  const std::wstring outside = sentinel_ + L"\\shared.bin";
  ASSERT_TRUE(write_file(outside, "shared"));
  ASSERT_TRUE(SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_READONLY));
  ASSERT_TRUE(CreateHardLinkW((target_ + L"\\sub\\link.bin").c_str(), outside.c_str(), nullptr));
  clean_up();
  const DWORD attributes = GetFileAttributesW(outside.c_str());
  SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_NORMAL);
  SetFileAttributesW((target_ + L"\\sub\\link.bin").c_str(), FILE_ATTRIBUTE_NORMAL);
  ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
  EXPECT_NE(attributes & FILE_ATTRIBUTE_READONLY, 0u) << "the file outside lost its read-only attribute";
  EXPECT_EQ(read_file(outside), "shared");
}

TEST_F(CleanUp, TwoThreadsRemovingTheSameTreeBothFinishAndNothingStays) {
  for (int directory = 0; directory < 8; ++directory) {
    for (int file = 0; file < 16; ++file) {
      ASSERT_TRUE(create_long(L"d" + std::to_wstring(directory) + L"\\e\\f" + std::to_wstring(file)));
    }
  }
  bool results[2] = {false, false};
  std::thread other([&] { results[1] = remove_tree(target_.c_str(), end_of_run_removal_helpers); });
  results[0] = remove_tree(target_.c_str());
  other.join();
  EXPECT_FALSE(directory_exists(target_));
  EXPECT_TRUE(results[0] || results[1]);
  EXPECT_TRUE(remove_tree(target_.c_str())) << "a tree that is gone counts as removed";
}

// With helper threads (none, one, the end of a run's, the most, and more than that), in
// directories whose files fill the helpers' queue to one less, exactly and past it: the
// tree goes (a directory is deleted only once its queued files are), except a file held
// without delete sharing and the directories holding it, which go with the next removal
// once the file is let go.
TEST_F(CleanUp, HelperThreadsRemoveEverythingButAHeldFileAndWaitForTheirFiles) {
  const size_t helper_counts[] = {0, 1, end_of_run_removal_helpers, max_removal_helpers, max_removal_helpers + 5};
  const size_t widths[] = {removal_queue_capacity - 1, removal_queue_capacity, removal_queue_capacity + 1};
  for (const size_t helpers : helper_counts) {
    CreateDirectoryW(target_.c_str(), nullptr);
    for (const size_t width : widths) {
      const std::wstring directory = L"w" + std::to_wstring(width) + L"\\";
      for (size_t file = 0; file < width; ++file) ASSERT_TRUE(create_long(directory + L"f" + std::to_wstring(file)));
      ASSERT_TRUE(create_long(directory + L"inner\\g"));
    }
    ASSERT_TRUE(create_long(L"sub\\data.bin"));
    // This wine deletes a file open without delete sharing once its holder lets go, and
    // reports the removal done before that; only Windows refuses it while it is held.
    const bool hold = !running_under_wine();
    const HANDLE held = hold ? hold_file_open() : INVALID_HANDLE_VALUE;
    ASSERT_EQ(held != INVALID_HANDLE_VALUE, hold);
    EXPECT_EQ(remove_tree(target_.c_str(), helpers), !hold) << helpers;
    EXPECT_EQ(file_exists(target_ + L"\\sub\\data.bin"), hold) << helpers;
    for (const size_t width : widths) {
      EXPECT_FALSE(directory_exists(target_ + L"\\w" + std::to_wstring(width))) << helpers << " " << width;
    }
    if (hold) CloseHandle(held);
    EXPECT_TRUE(remove_tree(target_.c_str(), helpers)) << helpers;
    EXPECT_FALSE(directory_exists(target_)) << helpers;
  }
}

TEST_F(CleanUp, HandlerCleansUpForItsFiveEventsAndAlwaysReturnsFalse) {
  for (DWORD event : {CTRL_C_EVENT, CTRL_BREAK_EVENT, CTRL_CLOSE_EVENT, CTRL_LOGOFF_EVENT, CTRL_SHUTDOWN_EVENT}) {
    CreateDirectoryW(target_.c_str(), nullptr);
    ASSERT_TRUE(write_file(target_ + L"\\app.dll", "main"));
    EXPECT_EQ(console_event_handler(event), FALSE) << event;
    EXPECT_FALSE(directory_exists(target_)) << event;
  }
}

TEST_F(CleanUp, HandlerIgnoresOtherEvents) {
  for (DWORD event : {3u, 4u, 7u, 0x7FFFFFFFu}) {
    EXPECT_EQ(console_event_handler(event), FALSE) << event;
    EXPECT_TRUE(directory_exists(target_)) << event;
  }
}

// A child of the test: the probe, with its standard output on a pipe of ours. A hanging
// child is taken only once it reports that it is up.
PROCESS_INFORMATION start_probe(const wchar_t* scenario, const std::wstring& argument = L"") {
  const std::wstring probe = sibling_path(L"tavrin_probe.exe");
  bool ready = false;
  return start_and_await_first_line(probe, L"\"" + probe + L"\" " + scenario + L" " + argument, &ready);
}

HANDLE duplicate(HANDLE handle) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
  return copy;
}

bool handle_is_open(HANDLE handle) {
  DWORD flags = 0;
  return GetHandleInformation(handle, &flags) != FALSE;
}

TEST_F(CleanUp, HangingChildIsTerminatedWithANonZeroCodeAndItsHandleClosed) {
  set_child_grace_period(50);
  const PROCESS_INFORMATION child = start_probe(L"sleep_forever");
  ASSERT_NE(child.hProcess, nullptr);
  const HANDLE shared = duplicate(child.hProcess);
  launcher_state.child_process.store(shared);
  EXPECT_EQ(console_event_handler(CTRL_C_EVENT), FALSE);
  EXPECT_EQ(launcher_state.child_process.load(), nullptr);
  EXPECT_FALSE(handle_is_open(shared));
  EXPECT_EQ(WaitForSingleObject(child.hProcess, 10000), WAIT_OBJECT_0);
  DWORD code = 0;
  ASSERT_TRUE(GetExitCodeProcess(child.hProcess, &code));
  EXPECT_EQ(code, terminated_child_exit_code);
  EXPECT_NE(code, 0u);
  EXPECT_FALSE(directory_exists(target_));
  CloseHandle(child.hProcess);
}

TEST_F(CleanUp, ChildThatHasEndedKeepsItsOwnExitCode) {
  const PROCESS_INFORMATION child = start_probe(L"print_arguments", L"a b c");
  ASSERT_NE(child.hProcess, nullptr);
  ASSERT_EQ(WaitForSingleObject(child.hProcess, 60000), WAIT_OBJECT_0);
  const HANDLE shared = duplicate(child.hProcess);
  launcher_state.child_process.store(shared);
  clean_up();
  EXPECT_EQ(launcher_state.child_process.load(), nullptr);
  EXPECT_FALSE(handle_is_open(shared));
  DWORD code = 1;
  ASSERT_TRUE(GetExitCodeProcess(child.hProcess, &code));
  EXPECT_EQ(code, 0u);  // print_arguments ends with 0; a termination would have set the other code
  CloseHandle(child.hProcess);
}

// The handler racing with launch_and_wait's wait, in the probe: every wait returns, the
// slot is empty afterwards and no handle is left behind. A hanging child (even rounds) can
// only have ended through the handler.
TEST_F(CleanUp, HandlerRacingTheWaitNeverBlocksOrLeaksAHandle) {
  constexpr int rounds = 16;
  RunOptions options;
  options.timeout_ms = 60000;
  const ProcessResult result = run_probe(L"handler_race", {target_, std::to_wstring(rounds)}, options);
  ASSERT_FALSE(result.timed_out) << result.out;
  ASSERT_EQ(result.exit_code, 0u) << result.err;
  for (int round = 0; round < rounds; ++round) {
    const std::string terminated = "round " + std::to_string(round) + " code " +
                                   std::to_string(terminated_child_exit_code) + " slot empty\r\n";
    const std::string own = "round " + std::to_string(round) + " code " + std::to_string(round) + " slot empty\r\n";
    const bool seen = result.out.find(terminated) != std::string::npos ||
                      (round % 2 == 1 && result.out.find(own) != std::string::npos);
    EXPECT_TRUE(seen) << "round " << round << ":\n" << result.out;
  }
  EXPECT_NE(result.out.find("handle drift 0\r\n"), std::string::npos) << result.out;
  EXPECT_FALSE(directory_exists(target_));
}

}  // namespace
