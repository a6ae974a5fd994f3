#include "launcher/removal_helpers.h"

#include <cstdlib>

#include "launcher/remove_tree.h"

namespace {

// A helper runs the same few calls per file; no deep stack is needed.
constexpr SIZE_T helper_stack_bytes = 64 * 1024;

}  // namespace

struct RemovalHelpers {
  SRWLOCK lock;
  CONDITION_VARIABLE task_ready;
  CONDITION_VARIABLE all_done;
  FileTask queue[removal_queue_capacity];
  size_t head;
  size_t count;
  size_t running;  // tasks taken from the queue and not yet finished
  bool closing;
  FileTaskRunner runner;
  size_t scratch_units;
  HANDLE threads[max_removal_helpers];
  size_t thread_count;
};

namespace {

// Called with the lock held and a task in the queue.
FileTask take_task(RemovalHelpers* helpers) {
  const FileTask task = helpers->queue[helpers->head];
  helpers->head = (helpers->head + 1) % removal_queue_capacity;
  --helpers->count;
  return task;
}

// Runs a queued task on the calling thread, with the lock held on entry and on return.
void run_task_here(RemovalHelpers* helpers, wchar_t* final_path) {
  const FileTask task = take_task(helpers);
  ReleaseSRWLockExclusive(&helpers->lock);
  helpers->runner(task, final_path);
  AcquireSRWLockExclusive(&helpers->lock);
}

DWORD WINAPI run_helper(void* context) {
  RemovalHelpers* helpers = static_cast<RemovalHelpers*>(context);
  wchar_t* final_path = static_cast<wchar_t*>(malloc(helpers->scratch_units * sizeof(wchar_t)));
  if (final_path == nullptr) return 0;  // the walk deletes the queued files itself
  AcquireSRWLockExclusive(&helpers->lock);
  for (;;) {
    while (helpers->count == 0 && !helpers->closing) {
      SleepConditionVariableSRW(&helpers->task_ready, &helpers->lock, INFINITE, 0);
    }
    if (helpers->count == 0) break;
    const FileTask task = take_task(helpers);
    ++helpers->running;
    ReleaseSRWLockExclusive(&helpers->lock);
    helpers->runner(task, final_path);
    AcquireSRWLockExclusive(&helpers->lock);
    if (--helpers->running == 0) WakeAllConditionVariable(&helpers->all_done);
  }
  ReleaseSRWLockExclusive(&helpers->lock);
  free(final_path);
  return 0;
}

}  // namespace

RemovalHelpers* start_removal_helpers(size_t count, FileTaskRunner runner, size_t scratch_units) {
  RemovalHelpers* helpers = static_cast<RemovalHelpers*>(calloc(1, sizeof(RemovalHelpers)));
  if (helpers == nullptr) return nullptr;
  InitializeSRWLock(&helpers->lock);
  InitializeConditionVariable(&helpers->task_ready);
  InitializeConditionVariable(&helpers->all_done);
  helpers->runner = runner;
  helpers->scratch_units = scratch_units;
  const size_t wanted = count < max_removal_helpers ? count : max_removal_helpers;
  while (helpers->thread_count < wanted) {
    const HANDLE thread = CreateThread(nullptr /* security */, helper_stack_bytes, run_helper, helpers,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr /* id */);
    if (thread == nullptr) break;
    helpers->threads[helpers->thread_count++] = thread;
  }
  if (helpers->thread_count == 0) {
    free(helpers);
    return nullptr;
  }
  return helpers;
}

void queue_file_task(RemovalHelpers* helpers, const FileTask& task, wchar_t* final_path) {
  AcquireSRWLockExclusive(&helpers->lock);
  while (helpers->count == removal_queue_capacity) run_task_here(helpers, final_path);
  helpers->queue[(helpers->head + helpers->count) % removal_queue_capacity] = task;
  ++helpers->count;
  ReleaseSRWLockExclusive(&helpers->lock);
  WakeConditionVariable(&helpers->task_ready);
}

void finish_file_tasks(RemovalHelpers* helpers, wchar_t* final_path) {
  AcquireSRWLockExclusive(&helpers->lock);
  while (helpers->count > 0) run_task_here(helpers, final_path);
  while (helpers->running > 0) SleepConditionVariableSRW(&helpers->all_done, &helpers->lock, INFINITE, 0);
  ReleaseSRWLockExclusive(&helpers->lock);
}

void stop_removal_helpers(RemovalHelpers* helpers, wchar_t* final_path) {
  finish_file_tasks(helpers, final_path);
  AcquireSRWLockExclusive(&helpers->lock);
  helpers->closing = true;
  ReleaseSRWLockExclusive(&helpers->lock);
  WakeAllConditionVariable(&helpers->task_ready);
  WaitForMultipleObjects(static_cast<DWORD>(helpers->thread_count), helpers->threads, TRUE, INFINITE);
  for (size_t i = 0; i < helpers->thread_count; ++i) CloseHandle(helpers->threads[i]);
  free(helpers);
}
