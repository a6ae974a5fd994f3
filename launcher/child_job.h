// The job that ties the child to its parent, so that a parent ended from outside (a task
// manager, a time-out, a crash) takes its child with it.
#pragma once

#include <windows.h>

// Puts the child, created suspended, into a job of the parent's own that ends its processes
// when the job's last handle closes: the parent holds the only one until it exits. Processes
// that the child starts break away from the job by themselves and may outlive it. False,
// with nothing changed for the child, when the job cannot be made or the child cannot join
// it (the launcher already runs in a job that forbids it): the child then runs as before.
bool place_child_in_job(HANDLE child);

// Where the system takes it (Windows 10 on), the attribute list that creates the child
// inside that job, so that it is there from its first moment: a parent ended between the
// child's creation and its joining cannot leave it suspended and alone. Made once and kept
// for the process's life; null when the job or the list cannot be made, or the system does
// not know the attribute: the child is then placed in the job after its creation.
LPPROC_THREAD_ATTRIBUTE_LIST child_job_attribute();

// True when process is in the job that ties the child to its parent.
bool is_in_child_job(HANDLE process);

// The limits the system holds for the job, read back; false when there is no job or it
// cannot be queried.
bool read_child_job_limits(DWORD* flags);
