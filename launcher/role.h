// Which role this start plays, and the environment a parent leaves for its child.
#pragma once

#include "launcher/state.h"

// Child role when TAVRIN_ONEFILE_PARENT names the process that created this one and that
// process runs this same executable file; the variables are then left alone. Otherwise parent role: a present but failing
// TAVRIN_ONEFILE_PARENT is removed together with TAVRIN_ONEFILE_START, and
// TAVRIN_ONEFILE_PARENT is set to the own process ID.
Role decide_role();

// Sets TAVRIN_ONEFILE_DIRECTORY to the directory that holds the launcher executable (as the
// system names it, long form) and TAVRIN_ORIGINAL_ARGV0 to original_argv0. A null
// original_argv0 publishes an empty value, so that no stale inherited one survives.
void publish_child_environment(const wchar_t* original_argv0);
