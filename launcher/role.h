// Which role this start plays, and the environment a parent leaves for its child.
#pragma once

#include "launcher/state.h"

// Child role when TAVRIN_ONEFILE_PARENT names the process that created this one and that
// process runs this same executable file; the variables are then left alone. When that
// creator refuses to be opened even for limited queries, the start ends with a report.
// The creator must also have given this process its mark (publish_child_mark), which is
// removed once read.
// Otherwise parent role: a present but failing TAVRIN_ONEFILE_PARENT is removed together
// with TAVRIN_ONEFILE_START, and TAVRIN_ONEFILE_PARENT is set to the own process ID.
Role decide_role();

// A waiting parent, right before it starts its child: a fresh random mark in
// TAVRIN_ONEFILE_CHILD_MARK and an event named after it, held until the process ends. The
// child takes its role only with that mark; a failure to make it ends the start with the
// launch failure's report, since its child would otherwise start a child of its own.
void publish_child_mark();

// Opens another process for the role decision (the system's OpenProcess, handle not
// inherited); a test puts one in that refuses, as security software does.
using ParentOpener = HANDLE (*)(DWORD access, DWORD process_id);
void set_parent_opener(ParentOpener opener);

// Sets TAVRIN_ONEFILE_DIRECTORY to the directory that holds the launcher executable (as the
// system names it, long form) and TAVRIN_ORIGINAL_ARGV0 to original_argv0. A null
// original_argv0 publishes an empty value, so that no stale inherited one survives.
void publish_child_environment(const wchar_t* original_argv0);
