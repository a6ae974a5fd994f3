// A later start of a cached application runs it in the launcher's own process: the tree is
// never removed, so a second process would only wait and pass the exit code on.
#pragma once

#include <windows.h>

// Marks this process as one that runs the application itself, for as long as it lives, so
// that a copy the application starts of its own executable (created by this process and
// named by TAVRIN_ONEFILE_PARENT) still takes a start of its own. False when the mark
// cannot be made: the start then keeps its two processes.
bool mark_in_process_start();

// True when the process with this ID carries the mark.
bool is_in_process_start(DWORD process_id);

// Argument 0 becomes the executable's full path, as a child's command line carries it.
void point_argument0_at_own_path();
