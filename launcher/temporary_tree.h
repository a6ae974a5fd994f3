// The start's own temporary tree: its directory is created, protected and held in one call,
// and the hold is let go right before the clean-up removes the tree.
#pragma once

#include <windows.h>

// Creates target_directory (the levels above as the user's own folders when missing) with
// the temporary tree's descriptor, keeping the creating handle as the tree's guard
// (tree_guard), and marks the tree as created by this start. Anything already there under
// that name, a guard that cannot be had, and an elevated start on a volume without access
// lists end the start with the open-failure line naming the directory.
void create_temporary_tree();

// Takes the guard out of the launcher state and closes it: it would refuse the removal of
// the tree's own directory.
void release_temporary_tree_guard();

// Reads the flags of the volume a handle lies on (GetVolumeInformationByHandleW); a test
// puts in one that answers for a volume without access lists.
using VolumeFlagsQuery = bool (*)(HANDLE handle, DWORD* flags);
void set_volume_flags_query(VolumeFlagsQuery query);
