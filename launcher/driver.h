// The launcher's whole run, from the C runtime's arguments to the exit code.
#pragma once

// Decides the role, fixes the target directory and opens the payload; the parent unpacks,
// launches the child and returns its exit code, the child runs the main library and returns
// its result.
int run_launcher();
