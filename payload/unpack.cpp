#include "payload/unpack.h"

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cwchar>

#include "diag/diag.h"
#include "diag/messages.h"
#include "paths/bounded.h"
#include "paths/spec.h"
#include "payload/entry_stream.h"
#include "payload/format.h"
#include "payload/reader.h"

namespace {

// The seed ("{HOME}") and 1,023 created directories.
constexpr int directory_memo_capacity = 1024;
constexpr size_t home_capacity = 4096;
constexpr const wchar_t separator_text[] = L"\\";

// Buffers of the entry loop; they live as long as the process, like the memo. The payload
// layer keeps them itself rather than in the launcher state, which it cannot see.
wchar_t entry_name[entry_name_capacity];
wchar_t entry_path[entry_path_capacity];
unsigned char write_buffer[write_piece_size];
// Heap copies of directories known to exist; appended to, never changed or freed.
wchar_t* directory_memo[directory_memo_capacity];
int directory_memo_count = 0;

DirectoryCallObserver directory_call_observer = nullptr;

// A copy that cannot be allocated only costs a later CreateDirectoryW call that reports
// the directory as existing, so the directory is then simply not remembered.
void remember_directory(const wchar_t* directory) {
  if (directory_memo_count >= directory_memo_capacity) return;
  wchar_t* copy = _wcsdup(directory);
  if (copy == nullptr) return;
  directory_memo[directory_memo_count++] = copy;
}

// The user's profile directory exists without a call; it seeds the memo on first use.
void seed_directory_memo() {
  wchar_t home[home_capacity];
  if (!expand_spec(home, home_spec, home_capacity)) abort_with_spec_error(home_spec);
  remember_directory(home);
}

bool is_remembered(const wchar_t* directory) {
  for (int i = 0; i < directory_memo_count; ++i) {
    if (wcscmp(directory_memo[i], directory) == 0) return true;
  }
  return false;
}

// A drive designator such as "C:" is never handed to CreateDirectoryW.
bool is_drive_designator(const wchar_t* directory) {
  return wcslen(directory) == 2 && directory[1] == L':';
}

// The last backslash at index 1 or above; index 0 is never a cut point.
wchar_t* find_cut_point(wchar_t* path) {
  for (size_t i = wcslen(path); i > 1; --i) {
    if (path[i - 1] == L'\\') return path + i - 1;
  }
  return nullptr;
}

// Undoes the latest cut: the terminator at the end of the shorter path becomes a
// backslash again, so path names the directory one level further down.
void restore_cut_point(wchar_t* path) {
  path[wcslen(path)] = L'\\';
}

// Records the first entry's path for the child role. A path too long for the buffer
// cannot be loaded by the child, which says so; the parent writes the files anyway.
void record_main_library(wchar_t* main_library_path, UnpackMode mode) {
  if (wcslen(entry_path) < main_library_path_capacity) {
    copy_bounded(main_library_path, entry_path, main_library_path_capacity);
  } else if (mode == UnpackMode::first_name_only) {
    exit_with_system_error(message_load_failed, ERROR_FILENAME_EXCED_RANGE);
  }
}

void build_entry_path(const wchar_t* target_directory) {
  copy_bounded(entry_path, target_directory, entry_path_capacity);
  append_bounded(entry_path, separator_text, entry_path_capacity);
  append_bounded(entry_path, entry_name, entry_path_capacity);
}

// Writes one entry's data to entry_path, piece by piece, each piece read right before it
// is written; an existing file is replaced. security is handed on explicitly rather than
// left to inheritance, so that the file carries it on every system (wine does not apply
// inherited entries).
void write_entry_file(PayloadReader& reader, uint64_t size, const UnpackTree& tree) {
  SECURITY_ATTRIBUTES* security = tree.security;
  HANDLE file = CreateFileW(entry_path, GENERIC_WRITE, FILE_SHARE_WRITE, security, CREATE_ALWAYS,
                            0 /* flags and attributes */, nullptr /* template */);
  if (file == INVALID_HANDLE_VALUE) exit_with_open_error(entry_path);
  uint64_t remaining = size;
  while (remaining > 0) {
    const size_t piece = remaining < write_piece_size ? static_cast<size_t>(remaining) : write_piece_size;
    reader.read_exact(write_buffer, piece);
    DWORD written = 0;
    if (!WriteFile(file, write_buffer, static_cast<DWORD>(piece), &written, nullptr /* not overlapped */)) {
      const DWORD error = GetLastError();
      exit_with_system_error(message_write_failed, error);
    }
    remaining -= piece;
  }
  if (tree.finish_file != nullptr) {
    tree.finish_file(file);
  } else {
    CloseHandle(file);
  }
}

}  // namespace

void set_directory_call_observer(DirectoryCallObserver observer) {
  directory_call_observer = observer;
}

bool create_directory_cached(const wchar_t* directory, SECURITY_ATTRIBUTES* security) {
  if (directory == nullptr) abort_on_broken_limit();
  if (directory_memo_count == 0) seed_directory_memo();
  if (is_remembered(directory)) return true;
  if (is_drive_designator(directory)) return true;
  const BOOL created = CreateDirectoryW(directory, security);
  const DWORD error = created ? 0 : GetLastError();
  if (directory_call_observer != nullptr) directory_call_observer(directory, created != FALSE, error);
  // A file of that name also reports ERROR_ALREADY_EXISTS; the open of the entry fails then.
  if (!created && error != ERROR_ALREADY_EXISTS) return false;
  remember_directory(directory);
  return true;
}

// The directory that directly holds the path is tried first. Each failure moves one level
// up, until a level exists or there is nothing above; then the failed levels are tried
// again from the top down, and the nearest one's result is the answer. One buffer holds
// every level: going up cuts the path at a backslash, coming down puts it back.
bool ensure_parent_directory(const wchar_t* path, SECURITY_ATTRIBUTES* security) {
  wchar_t walk[entry_path_capacity];
  copy_bounded(walk, path, entry_path_capacity);
  size_t failed_levels = 0;
  bool stopped_on_existing = false;
  for (;;) {
    wchar_t* cut = find_cut_point(walk);
    if (cut == nullptr) break;
    *cut = L'\0';
    if (create_directory_cached(walk, security)) {
      stopped_on_existing = true;
      break;
    }
    ++failed_levels;
  }
  if (failed_levels == 0) return true;
  // walk names the level that exists (one above the last failure) or the last failure itself.
  if (stopped_on_existing) restore_cut_point(walk);
  bool exists = true;
  for (size_t level = failed_levels; level > 0; --level) {
    exists = create_directory_cached(walk, security);
    if (level > 1) restore_cut_point(walk);
  }
  return exists;
}

void unpack_entries(PayloadReader& reader, const wchar_t* target_directory, wchar_t* main_library_path,
                    UnpackMode mode, EntryRecorder recorder, const UnpackTree& tree) {
  // Kept apart from main_library_path, which a first path too long for it leaves empty.
  bool first_entry_seen = false;
  bool root_created = tree.create_root == nullptr;
  // A name of 1,024 units or more ends the process in read_entry_name as a damaged payload.
  while (read_entry_name(reader, entry_name, entry_name_capacity)) {
    // Refused before anything is created for the entry.
    if (!is_safe_entry_name(entry_name)) exit_decode_failed();
    build_entry_path(target_directory);
    if (!first_entry_seen) {
      first_entry_seen = true;
      record_main_library(main_library_path, mode);
      if (mode == UnpackMode::first_name_only) return;
    }
    const uint64_t size = read_entry_size(reader);
    if (recorder != nullptr) recorder(entry_name, size);
    if (!root_created) {
      tree.create_root();
      root_created = true;
    }
    ensure_parent_directory(entry_path, tree.security);
    write_entry_file(reader, size, tree);
  }
}
