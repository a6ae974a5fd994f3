#include "launcher/child.h"

#include <shellapi.h>

#include "diag/diag.h"
#include "diag/messages.h"
#include "launcher/child_job.h"
#include "launcher/cleanup.h"
#include "launcher/console.h"
#include "launcher/progress_window.h"
#include "launcher/quoting.h"
#include "launcher/state.h"
#include "launcher/sweep.h"
#include "launcher/trace.h"
#include "paths/shell.h"

namespace {

constexpr DWORD exit_code_unreadable = 1;
// Suspended, so that a child that could not be created inside its job joins it before it
// runs a single instruction of its own. No console flag: the child inherits the parent's
// console, if any (child_console_flags adds the one case that needs a flag).
constexpr DWORD child_creation_flags = NORMAL_PRIORITY_CLASS | CREATE_SUSPENDED;
constexpr DWORD resume_failed = static_cast<DWORD>(-1);

STARTUPINFOW prepare_startup_information() {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  return startup;
}

// Hands the console handler a duplicate of the child's handle through child_process; the
// main thread keeps the original for its own wait. Each side closes only its own handle,
// and the duplicate goes to whichever thread takes it out of the slot first (an atomic
// exchange), so no handle is closed twice or used after its close, and the main thread's
// wait cannot lose its handle. Without a duplicate the handler cannot end the child, but
// the wait still returns when the child ends.
void share_child_handle(HANDLE child) {
  HANDLE shared = nullptr;
  const HANDLE self = GetCurrentProcess();
  if (!DuplicateHandle(self, child, self, &shared, 0, FALSE, DUPLICATE_SAME_ACCESS)) shared = nullptr;
  launcher_state.child_process.store(shared);
}

// The child joins the parent's job where it can (unless it was created in it), and runs in
// any case. A child that cannot be resumed is ended at once: a suspended copy must never
// outlive the failed launch.
void release_child(const PROCESS_INFORMATION& child, bool in_job) {
  if (!in_job) place_child_in_job(child.hProcess);
  if (ResumeThread(child.hThread) == resume_failed) {
    const DWORD error = GetLastError();
    TerminateProcess(child.hProcess, terminated_child_exit_code);
    exit_with_system_error(message_launch_failed, error);
  }
  CloseHandle(child.hThread);
}

void withdraw_child_handle() {
  HANDLE shared = launcher_state.child_process.exchange(nullptr);
  if (shared != nullptr) CloseHandle(shared);
}

bool create_process(wchar_t* line, DWORD flags, STARTUPINFOW* startup, PROCESS_INFORMATION* child) {
  return CreateProcessW(launcher_state.own_path, line, nullptr, nullptr, TRUE /* inherit handles */, flags,
                        nullptr /* own environment */, nullptr /* own current directory */, startup, child) != FALSE;
}

}  // namespace

// A creation inside the job that fails, for whatever reason, is tried once more without it.
bool create_child(wchar_t* line, PROCESS_INFORMATION* child) {
  const DWORD flags = child_creation_flags | child_console_flags();
  STARTUPINFOEXW startup{};
  startup.StartupInfo = prepare_startup_information();
  startup.lpAttributeList = child_job_attribute();
  if (startup.lpAttributeList != nullptr) {
    startup.StartupInfo.cb = sizeof startup;
    if (create_process(line, flags | EXTENDED_STARTUPINFO_PRESENT, &startup.StartupInfo, child)) {
      return true;
    }
  }
  startup.StartupInfo.cb = sizeof startup.StartupInfo;
  if (!create_process(line, flags, &startup.StartupInfo, child)) {
    const DWORD error = GetLastError();
    exit_with_system_error(message_launch_failed, error);
  }
  return false;
}

wchar_t* build_child_command_line() {
  LauncherState& state = launcher_state;
  state.child_command_line[0] = L'\0';
  int count = 0;
  wchar_t** arguments = shell_split_command_line(GetCommandLineW(), &count);
  if (arguments == nullptr) {
    const DWORD error = GetLastError();
    exit_with_system_error(message_launch_failed, error);
  }
  fill_own_module_path(state.own_path, own_path_capacity);
  if (count <= 0) return state.child_command_line;
  arguments[0] = state.own_path;
  // The argument array is never released: the process ends soon after the child.
  if (!join_command_line(state.child_command_line, command_line_capacity, arguments,
                         static_cast<size_t>(count))) {
    exit_with_system_error(message_launch_failed, ERROR_FILENAME_EXCED_RANGE);
  }
  return state.child_command_line;
}

DWORD launch_and_wait() {
  LauncherState& state = launcher_state;
  fill_own_module_path(state.own_path, own_path_capacity);
  wchar_t* line = build_child_command_line();
  PROCESS_INFORMATION child{};
  const bool in_job = create_child(line, &child);
  note_child_created();
  release_child(child, in_job);
  hand_child_to_progress_window(child.hProcess);
  share_child_handle(child.hProcess);
  // On a thread of its own, which waits until the child has run a while (or ended), so
  // that it neither competes with the child's own start nor delays the end of the run.
  start_sweep(child.hProcess);
  DWORD exit_code = 0;
  WaitForSingleObject(child.hProcess, INFINITE);
  trace_step("parent-woke");
  if (!GetExitCodeProcess(child.hProcess, &exit_code)) exit_code = exit_code_unreadable;
  withdraw_child_handle();
  CloseHandle(child.hProcess);
  clean_up();
  trace_step("clean-up-done");
  finish_sweep();
  trace_step("sweep-finished");
  return exit_code;
}
