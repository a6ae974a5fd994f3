// The launcher state: one process-wide record of fixed buffers and flags, zero-filled at
// start. The console handler thread shares child_process, unpacking_started and
// target_directory with the main thread.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

#include "payload/container.h"
#include "payload/format.h"
#include "payload/reader.h"

constexpr size_t path_capacity = 4096;
constexpr size_t own_path_capacity = 4096;
constexpr size_t own_path_normalised_capacity = 4097;
constexpr size_t directory_value_capacity = 4097;
constexpr size_t command_line_capacity = 32768;

enum class Role { parent, child };

struct LauncherState {
  // A duplicate of the child's handle, kept for the console handler while the parent waits
  // on its own handle; null otherwise. Whoever takes it out with an exchange owns it and
  // closes it, so it is closed once and never used after its close (see launcher/child.cpp).
  std::atomic<HANDLE> child_process;
  // Set once to 1 right before the first read of the entry stream.
  std::atomic<uint8_t> unpacking_started;
  // Set once to 1 when this start has created the tree it unpacks into (its temporary tree
  // or its staging directory). Only such a tree is ever removed: a directory that was there
  // before (someone else's, made to be used) is never touched.
  std::atomic<uint8_t> tree_created;
  // The start's own temporary tree, held open without delete sharing from its creation to
  // the clean-up: no other start's sweep can rename it away, whatever PID and TIME its name
  // carries (an inherited TIME may be older than the process). Null when not held; taken
  // out with an exchange and closed by the clean-up right before the removal.
  std::atomic<HANDLE> tree_guard;
  // Set once to 1 when the process runs from a shared cached tree: the clean-up then
  // leaves the target directory alone, since the tree is the cache.
  std::atomic<uint8_t> tree_kept;
  wchar_t target_directory[path_capacity];
  // The cached tree named by the place resource, and the payload digest that names it;
  // both empty when the executable carries no place resource.
  wchar_t cache_tree[path_capacity];
  wchar_t place_digest[place_digest_units + 1];
  wchar_t main_library_path[main_library_path_capacity];
  wchar_t own_path_normalised[own_path_normalised_capacity];
  wchar_t own_path[own_path_capacity];
  wchar_t own_path_for_directory[directory_value_capacity];
  wchar_t directory_value[directory_value_capacity];
  wchar_t child_command_line[command_line_capacity];
  PayloadLocation payload;
  PayloadReader reader;
  // The C runtime's wide argument count and vector, read once at the start.
  int argument_count;
  wchar_t** argument_vector;
};

extern LauncherState launcher_state;

// Fills buffer (capacity units) with the launcher's module file name unless it already
// holds one. A name the system cannot give, or gives cut short, ends the process.
void fill_own_module_path(wchar_t* buffer, size_t capacity);
