// The child role's work: load the main library and hand it the process's arguments.
#pragma once

#include <tavrin/app.h>

// The exported entry point of every main library, as applications declare it.
using RunCode = tavrin_run_code_function;

// Loads launcher_state.main_library_path, calls its run_code with the C runtime's argument
// count and vector and returns the result. A library that cannot be loaded, or that lacks
// run_code, is reported and ends the process.
int run_main_library();
