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
