// The launcher's own removal of a directory tree, which never acts through a link: a
// junction, a symbolic link or any other reparse point inside the tree is removed as the
// link itself, and what it points at is never opened for deletion, listed or changed.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstddef>

// The threads that help the end of a run, when the user waits for the tree to go.
constexpr size_t end_of_run_removal_helpers = 2;
constexpr size_t max_removal_helpers = 4;
// Files listed and waiting for a helper; when it is full the listing thread deletes one.
constexpr size_t removal_queue_capacity = 64;

// Removes directory and everything below it. Paths up to the system's 32,767 units, with
// or without the "\\?\" form. Safe to call from two threads at once on the same tree:
// entries that vanish under it are no error. Reports nothing; returns true when the
// directory no longer exists afterwards (also when it did not exist to begin with).
// helper_threads (at most max_removal_helpers) delete the listed files beside the calling
// thread, which lists, deletes the directories and waits for them before it returns. They
// start only once the tree has shown more than a few dozen files; without them, or when
// none can be started, the calling thread does everything.
bool remove_tree(const wchar_t* directory, size_t helper_threads = 0);

// The same for the directory that handle is open on, which the caller has judged (a plain
// directory, in its place): the tree is removed through that very handle, so a directory
// swapped in under its name is never touched. The handle needs DELETE, FILE_LIST_DIRECTORY
// and SYNCHRONIZE access; it is closed before the call returns. When stop is set, the walk
// leaves what is left of the tree as it is, after at most the entry at hand. True when the
// directory is gone.
bool remove_tree_at(HANDLE directory, const std::atomic<bool>* stop = nullptr);

// The call that gives a handle's final path (GetFinalPathNameByHandleW); a test puts one in
// that fails as it does on volumes the mount manager does not know.
using FinalPathQuery = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);
void set_final_path_query(FinalPathQuery query);
