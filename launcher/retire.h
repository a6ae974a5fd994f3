// Retiring a tree that another start left or no longer uses: the sweep of stale temporary
// trees and the cached place's old trees both judge a tree on a handle, then move it out of
// its name and remove it through that same handle, so a directory swapped in under either
// name is never touched.
#pragma once

#include <windows.h>

#include <atomic>

// Renames the directory open on tree to new_path, a whole path on the same volume (never
// replacing anything; Windows refuses it while a file in the tree is open or mapped), and
// removes it through the handle (see remove_tree_at for the access it needs), stopping when
// stop is set; a tree cut short keeps the new name. The handle is closed in every case.
// False when the rename was refused and the tree stays as it was.
bool retire_tree(HANDLE tree, const wchar_t* new_path, const std::atomic<bool>* stop = nullptr);
