#include "launcher/child_job.h"

#include <cstdlib>

namespace {

// Kill on close: the parent's exit, however it comes, closes the job. Silent breakaway: what
// the application starts (a relaunch of itself, an updater, a document's viewer) is never
// held in the job, and the application need not ask for it. Breakaway allowed: a process
// created with CREATE_BREAKAWAY_FROM_JOB (updaters and browsers pass it) is refused with
// access denied by a job that lacks this flag, whatever the silent one says.
constexpr DWORD child_job_limits =
    JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK | JOB_OBJECT_LIMIT_BREAKAWAY_OK;
// PROC_THREAD_ATTRIBUTE_JOB_LIST (Windows 10 on); the launcher's headers target an older
// system.
constexpr DWORD_PTR job_list_attribute = 0x2000D;

// Made once per process and never closed: its handle is the parent's tie to the child. Not
// inheritable, so no process that the child starts can keep the job open.
HANDLE create_child_job() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = child_job_limits;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

// The list refers to the handle's storage until the process is created, so it is static.
const HANDLE& child_job() {
  static const HANDLE job = create_child_job();
  return job;
}

LPPROC_THREAD_ATTRIBUTE_LIST create_job_attribute() {
  if (child_job() == nullptr) return nullptr;
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  auto list = static_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(malloc(size));
  if (list == nullptr) return nullptr;
  if (!InitializeProcThreadAttributeList(list, 1, 0, &size)) {
    free(list);
    return nullptr;
  }
  if (!UpdateProcThreadAttribute(list, 0, job_list_attribute, const_cast<HANDLE*>(&child_job()), sizeof(HANDLE),
                                 nullptr, nullptr)) {
    DeleteProcThreadAttributeList(list);
    free(list);
    return nullptr;
  }
  return list;
}

}  // namespace

LPPROC_THREAD_ATTRIBUTE_LIST child_job_attribute() {
  static const LPPROC_THREAD_ATTRIBUTE_LIST list = create_job_attribute();
  return list;
}

bool place_child_in_job(HANDLE child) {
  return child_job() != nullptr && AssignProcessToJobObject(child_job(), child) != FALSE;
}

bool is_in_child_job(HANDLE process) {
  BOOL in_job = FALSE;
  return child_job() != nullptr && IsProcessInJob(process, child_job(), &in_job) && in_job;
}

bool read_child_job_limits(DWORD* flags) {
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  if (child_job() == nullptr || !QueryInformationJobObject(child_job(), JobObjectExtendedLimitInformation, &limits,
                                                           sizeof limits, nullptr /* returned length */)) {
    return false;
  }
  *flags = limits.BasicLimitInformation.LimitFlags;
  return true;
}
