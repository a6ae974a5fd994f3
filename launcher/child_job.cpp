#include "launcher/child_job.h"

namespace {

// Kill on close: the parent's exit, however it comes, closes the job. Silent breakaway: what
// the application starts (a relaunch of itself, an updater, a document's viewer) is never
// held in the job, and the application need not ask for it.
constexpr DWORD child_job_limits = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;

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

}  // namespace

bool place_child_in_job(HANDLE child) {
  static const HANDLE job = create_child_job();
  return job != nullptr && AssignProcessToJobObject(job, child) != FALSE;
}
