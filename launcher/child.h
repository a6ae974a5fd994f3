// Starting the launcher's own executable a second time as the child, and waiting for it.
#pragma once

#include <windows.h>

// Rebuilds the process's command line with argument 0 replaced by the launcher's full
// module path, into launcher_state.child_command_line. A line that cannot be split or does
// not fit is reported as a launch failure: no child ever starts with a guessed or cut line.
wchar_t* build_child_command_line();

// Creates the child from launcher_state.own_path and line, suspended, with the own standard
// handles, inside the parent's job where the system takes that (child_job_attribute); true
// then. Otherwise created once more without it, false; a child that cannot be created at
// all ends the process with the launch failure.
bool create_child(wchar_t* line, PROCESS_INFORMATION* child);

// Starts the child with the rebuilt line, the own standard handles and environment, in the
// parent's job where it can (place_child_in_job), waits for it without a time limit, runs
// clean_up and returns the child's exit code (1 when it cannot be read).
DWORD launch_and_wait();
