// A later start of a cached application runs it in the launcher's own process: the tree is
// never removed, so a second process would only wait and pass the exit code on. Such a
// start gives no child mark (launcher/role), so a copy the application starts of its own
// executable takes a start of its own.
#pragma once

#include <windows.h>

// Argument 0 becomes the executable's full path, as a child's command line carries it.
void point_argument0_at_own_path();
