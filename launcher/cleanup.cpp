#include "launcher/cleanup.h"

#include <atomic>

#include "launcher/remove_tree.h"
#include "launcher/state.h"
#include "launcher/temporary_tree.h"
#include "launcher/trace.h"

namespace {

void system_sleep(DWORD milliseconds) {
  Sleep(milliseconds);
}

std::atomic<CleanupSleep> cleanup_sleep{system_sleep};
std::atomic<DWORD> grace_period_ms{child_grace_period_ms};

// Takes the child's handle out of the shared slot; only the thread that got it uses and
// closes it. The main thread waits on a handle of its own, so this close never pulls a
// handle from under its wait.
void end_child() {
  HANDLE child = launcher_state.child_process.exchange(nullptr);
  if (child == nullptr) return;
  if (WaitForSingleObject(child, grace_period_ms.load()) != WAIT_OBJECT_0) {
    TerminateProcess(child, terminated_child_exit_code);
  }
  CloseHandle(child);
}

// The main thread, a console event's thread and the session-end window's thread can all
// reach the removal. They take turns: a later caller waits until the earlier one's removal
// and its further attempts are over, then finds the tree gone after one request, so two
// removals never race through one tree and none returns while the tree is still being
// removed (the main thread would exit under the other's feet). A lock rather than a
// once-guard: a run that follows a removal during unpacking still removes what was
// written after it.
SRWLOCK removal_lock = SRWLOCK_INIT;

bool target_directory_exists() {
  const DWORD attributes = GetFileAttributesW(launcher_state.target_directory);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

void clean_up() {
  end_child();
  if (launcher_state.unpacking_started.load() == 0) return;
  if (launcher_state.tree_created.load() == 0) return;
  if (launcher_state.tree_kept.load() != 0) return;
  AcquireSRWLockExclusive(&removal_lock);
  release_temporary_tree_guard();
  trace_step("removal-begins");
  remove_tree(launcher_state.target_directory, end_of_run_removal_helpers);
  trace_step("removal-returned");
  // A file still open elsewhere (a virus scanner, a straggling grandchild) may let go soon.
  for (int attempt = 0; attempt < further_removal_attempts && target_directory_exists(); ++attempt) {
    cleanup_sleep.load()(removal_pause_ms);
    remove_tree(launcher_state.target_directory, end_of_run_removal_helpers);
    trace_step("removal-retry-returned");
  }
  ReleaseSRWLockExclusive(&removal_lock);
}

void set_cleanup_sleep(CleanupSleep sleep) {
  cleanup_sleep.store(sleep != nullptr ? sleep : system_sleep);
}

void set_child_grace_period(DWORD milliseconds) {
  grace_period_ms.store(milliseconds);
}
