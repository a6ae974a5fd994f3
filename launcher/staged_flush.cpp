#include "launcher/staged_flush.h"

namespace {

// A flush runs a few calls; no deep stack is needed.
constexpr SIZE_T flush_stack_bytes = 64 * 1024;

struct FlushPool {
  SRWLOCK lock = SRWLOCK_INIT;
  CONDITION_VARIABLE task_ready = CONDITION_VARIABLE_INIT;
  HANDLE queue[staged_flush_queue_capacity] = {};
  size_t head = 0;
  size_t count = 0;
  bool closing = false;
  bool failed = false;
  bool started = false;
  HANDLE threads[staged_flush_helpers] = {};
  size_t thread_count = 0;
};

FlushPool pool;

// Called without the lock.
void flush_and_close(HANDLE file) {
  const bool flushed = FlushFileBuffers(file) != FALSE;
  CloseHandle(file);
  if (flushed) return;
  AcquireSRWLockExclusive(&pool.lock);
  pool.failed = true;
  ReleaseSRWLockExclusive(&pool.lock);
}

// Called with the lock held and a file in the queue.
HANDLE take_file() {
  const HANDLE file = pool.queue[pool.head];
  pool.head = (pool.head + 1) % staged_flush_queue_capacity;
  --pool.count;
  return file;
}

DWORD WINAPI run_flush_helper(void*) {
  AcquireSRWLockExclusive(&pool.lock);
  for (;;) {
    while (pool.count == 0 && !pool.closing) SleepConditionVariableSRW(&pool.task_ready, &pool.lock, INFINITE, 0);
    if (pool.count == 0) break;
    const HANDLE file = take_file();
    ReleaseSRWLockExclusive(&pool.lock);
    flush_and_close(file);
    AcquireSRWLockExclusive(&pool.lock);
  }
  ReleaseSRWLockExclusive(&pool.lock);
  return 0;
}

void start_flush_helpers() {
  pool.started = true;
  while (pool.thread_count < staged_flush_helpers) {
    const HANDLE thread = CreateThread(nullptr /* security */, flush_stack_bytes, run_flush_helper, nullptr,
                                       STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr /* id */);
    if (thread == nullptr) break;
    pool.threads[pool.thread_count++] = thread;
  }
}

}  // namespace

void flush_staged_file(HANDLE file) {
  if (!pool.started) start_flush_helpers();
  if (pool.thread_count == 0) {
    flush_and_close(file);
    return;
  }
  AcquireSRWLockExclusive(&pool.lock);
  while (pool.count == staged_flush_queue_capacity) {
    const HANDLE waiting = take_file();
    ReleaseSRWLockExclusive(&pool.lock);
    flush_and_close(waiting);
    AcquireSRWLockExclusive(&pool.lock);
  }
  pool.queue[(pool.head + pool.count) % staged_flush_queue_capacity] = file;
  ++pool.count;
  ReleaseSRWLockExclusive(&pool.lock);
  WakeConditionVariable(&pool.task_ready);
}

bool finish_staged_flushes() {
  AcquireSRWLockExclusive(&pool.lock);
  pool.closing = true;
  ReleaseSRWLockExclusive(&pool.lock);
  WakeAllConditionVariable(&pool.task_ready);
  WaitForMultipleObjects(static_cast<DWORD>(pool.thread_count), pool.threads, TRUE, INFINITE);
  for (size_t i = 0; i < pool.thread_count; ++i) CloseHandle(pool.threads[i]);
  pool.thread_count = 0;
  // Helpers are gone: the pool is as at the start for any later staging.
  const bool flushed = !pool.failed;
  pool.failed = false;
  pool.closing = false;
  pool.started = false;
  return flushed;
}
