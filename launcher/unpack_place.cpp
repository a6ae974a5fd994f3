#include "launcher/unpack_place.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "diag/diag.h"
#include "launcher/remove_tree.h"
#include "launcher/retire.h"
#include "launcher/staged_flush.h"
#include "launcher/state.h"
#include "launcher/temporary_tree.h"
#include "launcher/sweep.h"
#include "launcher/tree_security.h"
#include "launcher/unpack_folder.h"
#include "paths/bounded.h"
#include "paths/spec.h"
#include "payload/container.h"
#include "payload/entry_stream.h"
#include "payload/format.h"
#include "payload/tree_marker.h"
#include "payload/unpack.h"

namespace {

// Siblings of the cached tree: a start's own unpacking directory, and the name an old tree
// is moved to before it is removed. Both carry the start's PID and TIME, so no two starts
// ever pick the same name, and the child can find its parent's staging directory.
constexpr const wchar_t staging_suffix_spec[] = L"~new_{PID}_{TIME}";
constexpr const wchar_t tomb_suffix_spec[] = L"~old_{PID}_{TIME}_";
constexpr wchar_t place_suffix_mark = L'~';
// The fixed part of those two suffixes, before the PID.
constexpr wchar_t staging_mark[] = L"~new_";
constexpr wchar_t tomb_mark[] = L"~old_";
constexpr size_t suffix_mark_length = 5;
// An inherited TIME may be long; a suffix that makes the path too long is refused, not fatal.
constexpr size_t suffix_capacity = path_capacity;
constexpr size_t counter_text_capacity = 32;
// A rename of a freshly written directory may meet a scanner that still reads a file in it.
constexpr int publish_attempts = 5;
constexpr DWORD publish_pause_ms = 50;
// Sharing modes keep a directory that some process uses from being retired, on Windows and
// under wine alike. Every process that runs from a tree, and a start while it fills its
// staging directory, holds the directory open for reading, sharing read and delete but not
// write. A start that retires a directory first opens it for adding files, which fails
// while any holder is there and keeps new holders out until it is done; reading the
// directory (listing it, opening files in it) is never hindered, and the holder's own
// rename of its staging directory (MoveFileExW, which opens for delete) still works.
// Windows also refuses to rename a directory with an open or mapped file in it, which
// covers processes that the application starts from its tree and that outlive it; wine
// renames such a directory, so there only the holders protect a tree.
constexpr DWORD holder_access = GENERIC_READ;
constexpr DWORD holder_share = FILE_SHARE_READ | FILE_SHARE_DELETE;
// Adding files keeps holders out (see above); the rest is what the rename and the removal
// through this handle need.
constexpr DWORD retire_access = FILE_ADD_FILE | DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD retire_share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// A start's removal of its own staging copy, beside its holder: what the rename and the
// removal need, and no writing, so shared as the holder is.
constexpr DWORD remover_access = DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
constexpr DWORD directory_flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// Held until the process ends: the directory this start fills or runs from. A holder of
// the staging directory goes on holding it under the tree's name once it is moved there.
HANDLE tree_holder = INVALID_HANDLE_VALUE;
HANDLE staged_marker = INVALID_HANDLE_VALUE;
TreeMarkerBuilder staged_record;
wchar_t staging_directory[path_capacity];
wchar_t temporary_directory[path_capacity];
wchar_t check_path[entry_path_capacity];
unsigned tomb_counter = 0;
// Set when this start published a new tree: old trees are retired after its run.
bool sweep_due = false;

// base followed by the expansion of suffix_spec, into output (path_capacity units). False
// when it does not fit.
bool append_expanded_suffix(wchar_t* output, const wchar_t* base, const wchar_t* suffix_spec) {
  wchar_t suffix[suffix_capacity];
  if (!expand_spec(suffix, suffix_spec, suffix_capacity)) return false;
  if (wcslen(base) + wcslen(suffix) >= path_capacity) return false;
  copy_bounded(output, base, path_capacity);
  append_bounded(output, suffix, path_capacity);
  return true;
}

// True when the part of name before any place suffix ends in the separator and a digest:
// the shape of every tree, staging directory and old tree the launcher makes.
bool is_tree_name(const wchar_t* name) {
  const wchar_t* mark = wcschr(name, place_suffix_mark);
  const size_t length = mark != nullptr ? static_cast<size_t>(mark - name) : wcslen(name);
  if (length <= place_digest_units) return false;
  const wchar_t* digest = name + length - place_digest_units;
  return digest[-1] == place_digest_separator && is_digest_text(digest, place_digest_units);
}

// The place resource read and its spec expanded into cache_tree. False when there is no
// usable resource: the temporary place then serves, exactly as without one.
bool load_cache_tree() {
  LauncherState& state = launcher_state;
  const PayloadLocation place = locate_own_resource(place_resource_id);
  if (place.data == nullptr) return false;
  wchar_t spec[place_spec_capacity];
  wchar_t folder[place_spec_capacity];
  if (!parse_place_resource(place.data, place.size, spec, state.place_digest, folder) || spec[0] == L'\0') {
    return false;
  }
  if (!compute_cache_tree(state.cache_tree, spec, folder)) {
    state.cache_tree[0] = L'\0';
    return false;
  }
  const wchar_t* last = wcsrchr(state.cache_tree, L'\\');
  if (last == nullptr || last == state.cache_tree || !is_tree_name(last + 1) || wcschr(last, place_suffix_mark)) {
    state.cache_tree[0] = L'\0';
    return false;
  }
  return true;
}

// A handle on directory that keeps every other start from retiring it; invalid when it is
// not a plain directory (a link is never used as a tree) or cannot be opened.
HANDLE open_plain_directory(const wchar_t* directory, DWORD access, DWORD share) {
  HANDLE handle = CreateFileW(directory, access, share, nullptr /* security */, OPEN_EXISTING, directory_flags,
                              nullptr /* template */);
  if (handle == INVALID_HANDLE_VALUE) return handle;
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    CloseHandle(handle);
    return INVALID_HANDLE_VALUE;
  }
  return handle;
}

HANDLE hold_directory(const wchar_t* directory) {
  return open_plain_directory(directory, holder_access, holder_share);
}

// The walk over a tree's marker: the tree, and the full path of the first entry, which is
// the main library (the marker names the payload's entries in the payload's order).
struct TreeCheck {
  const wchar_t* tree;
  bool first_path_seen;
  wchar_t first_path[main_library_path_capacity];
};

// Every file the marker names is there as a file of the recorded size.
bool check_entry_file(const wchar_t* name, uint64_t size, void* context) {
  TreeCheck* check = static_cast<TreeCheck*>(context);
  if (!is_safe_entry_name(name) || !join_path(check_path, entry_path_capacity, check->tree, name)) return false;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(check_path, GetFileExInfoStandard, &data)) return false;
  if ((data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return false;
  const uint64_t found = (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  // A first path too long to load stays unrecorded; the stream then ends the start as a
  // child would.
  if (!check->first_path_seen) {
    check->first_path_seen = true;
    if (wcslen(check_path) < main_library_path_capacity) {
      copy_bounded(check->first_path, check_path, main_library_path_capacity);
    }
  }
  return found == size;
}

// The marker's bytes, read whole; nullptr when it is missing, unreadable or too large.
unsigned char* read_marker(const wchar_t* tree, size_t* size) {
  wchar_t path[path_capacity];
  if (!join_path(path, path_capacity, tree, tree_marker_name)) return nullptr;
  HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr /* security */, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr /* template */);
  if (file == INVALID_HANDLE_VALUE) return nullptr;
  LARGE_INTEGER length;
  unsigned char* data = nullptr;
  DWORD read = 0;
  if (GetFileSizeEx(file, &length) && length.QuadPart > 0 &&
      static_cast<uint64_t>(length.QuadPart) <= tree_marker_max_size) {
    data = static_cast<unsigned char*>(malloc(static_cast<size_t>(length.QuadPart)));
  }
  if (data != nullptr && (!ReadFile(file, data, static_cast<DWORD>(length.QuadPart), &read, nullptr /* not overlapped */) ||
                          read != static_cast<DWORD>(length.QuadPart))) {
    free(data);
    data = nullptr;
  }
  CloseHandle(file);
  *size = read;
  return data;
}

// A tree is complete when its marker names this payload and every entry's file has the
// recorded size. One attribute query per file, no decompression. The main library's full
// path goes into main_library_path (empty when the tree is not complete or the path is
// too long to load).
bool is_complete_tree(const wchar_t* tree, wchar_t* main_library_path) {
  main_library_path[0] = L'\0';
  size_t size = 0;
  unsigned char* marker = read_marker(tree, &size);
  if (marker == nullptr) return false;
  static TreeCheck check;
  check.tree = tree;
  check.first_path_seen = false;
  check.first_path[0] = L'\0';
  const bool complete = walk_tree_marker(marker, size, launcher_state.place_digest, check_entry_file, &check);
  free(marker);
  if (complete) copy_bounded(main_library_path, check.first_path, main_library_path_capacity);
  return complete;
}

// A unique old-tree name beside directory: its name up to any place suffix, then the
// start's PID, TIME and a counter.
bool make_tomb_name(wchar_t* tomb, const wchar_t* directory) {
  wchar_t base[path_capacity];
  copy_bounded(base, directory, path_capacity);
  wchar_t* last = wcsrchr(base, L'\\');
  wchar_t* mark = last != nullptr ? wcschr(last, place_suffix_mark) : nullptr;
  if (mark != nullptr) *mark = L'\0';
  wchar_t counter[counter_text_capacity];
  swprintf(counter, counter_text_capacity, L"%u", tomb_counter++);
  if (!append_expanded_suffix(tomb, base, tomb_suffix_spec)) return false;
  if (wcslen(tomb) + wcslen(counter) >= path_capacity) return false;
  append_bounded(tomb, counter, path_capacity);
  return true;
}

// Moves directory out of the way and removes it, unless a process uses it: then the open
// or the rename fails and the directory stays as it is. Judged, renamed and removed on one
// handle, so a directory swapped in under either name is never touched.
// access and share are those of that handle: another start's tree is opened as any
// retiring start opens it, a start's own staging copy beside its holder (remover_access).
bool retire_directory(const wchar_t* directory, DWORD access = retire_access, DWORD share = retire_share) {
  HANDLE guard = open_plain_directory(directory, access, share);
  if (guard == INVALID_HANDLE_VALUE) return false;
  wchar_t tomb[path_capacity];
  if (!make_tomb_name(tomb, directory)) {
    CloseHandle(guard);
    return false;
  }
  return retire_tree(guard, tomb);
}

// "~new_<PID>_<TIME>" or "~old_<PID>_<TIME>_<N>" at suffix, the start it records in *stamp.
bool parse_place_suffix(const wchar_t* suffix, TreeStamp* stamp) {
  const bool staging = wcsncmp(suffix, staging_mark, suffix_mark_length) == 0;
  if (!staging && wcsncmp(suffix, tomb_mark, suffix_mark_length) != 0) return false;
  const wchar_t* rest = parse_tree_stamp(suffix + suffix_mark_length, stamp);
  if (rest == nullptr) return false;
  if (staging) return *rest == L'\0';
  if (*rest++ != L'_' || *rest == L'\0') return false;
  while (*rest >= L'0' && *rest <= L'9') ++rest;
  return *rest == L'\0';
}

// A staging directory or old tree whose start is over: a start killed before it published,
// or while it removed an old tree.
bool is_stale_sibling(const wchar_t* name, uint64_t now) {
  const wchar_t* mark = wcschr(name, place_suffix_mark);
  TreeStamp stamp{};
  return mark != nullptr && parse_place_suffix(mark, &stamp) && judge_start(stamp, now) == StartVerdict::over;
}

// Every plain directory beside the cached tree with a tree's name, other than the tree:
// old trees, dead starts' staging directories and left-over old trees of the same product.
// all_unused: every one that no process holds (after this start published a new tree).
// Otherwise, within one sweep's bound: old complete trees that no process holds (their own
// start's sweep may never have come: an application that ended the process itself, a
// killed start), and staging and retired directories only when their start is over, since
// a start that has just made its staging directory holds it a moment later.
void sweep_old_trees(bool all_unused) {
  wchar_t folder[path_capacity];
  copy_bounded(folder, launcher_state.cache_tree, path_capacity);
  wchar_t* last = wcsrchr(folder, L'\\');
  const wchar_t* own_name = launcher_state.cache_tree + (last - folder) + 1;
  *last = L'\0';
  // Nothing is removed through a link: a product folder that is one is left alone.
  const DWORD folder_attributes = GetFileAttributesW(folder);
  if (folder_attributes == INVALID_FILE_ATTRIBUTES || (folder_attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return;
  wchar_t pattern[path_capacity];
  if (!join_path(pattern, path_capacity, folder, L"*")) return;
  SweepBudget budget = begin_sweep();
  const uint64_t now = current_file_time();
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(pattern, &found);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const DWORD attributes = found.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) continue;
    if (wcscmp(found.cFileName, own_name) == 0 || !is_tree_name(found.cFileName)) continue;
    const bool suffixed = wcschr(found.cFileName, place_suffix_mark) != nullptr;
    if (!all_unused && suffixed && !is_stale_sibling(found.cFileName, now)) continue;
    wchar_t sibling[path_capacity];
    if (join_path(sibling, path_capacity, folder, found.cFileName) && retire_directory(sibling)) ++budget.removed;
  } while ((all_unused || budget_left(budget)) && FindNextFileW(search, &found));
  FindClose(search);
}

// The cached tree as it is, when complete; a damaged one is retired if nobody uses it.
bool use_complete_tree() {
  LauncherState& state = launcher_state;
  tree_holder = hold_directory(state.cache_tree);
  if (tree_holder == INVALID_HANDLE_VALUE) return false;
  if (is_complete_tree(state.cache_tree, state.main_library_path)) return true;
  CloseHandle(tree_holder);
  tree_holder = INVALID_HANDLE_VALUE;
  retire_directory(state.cache_tree);
  return false;
}

// A fresh sibling of the cached tree, held, with the marker file already created in it:
// proof that the cache folder can be written before anything is unpacked there.
// The directory is created with the cached trees' descriptor, and only when nothing is
// there yet: a directory of that name that someone else made is never filled.
bool create_staging_directory() {
  LauncherState& state = launcher_state;
  SECURITY_ATTRIBUTES* security = tree_security(TreeKind::cached);
  if (security == nullptr) return false;
  if (!append_expanded_suffix(staging_directory, state.cache_tree, staging_suffix_spec)) return false;
  if (!prepare_unpack_folder(staging_directory, TreeKind::cached)) return false;
  if (!CreateDirectoryW(staging_directory, security)) return false;
  tree_holder = hold_directory(staging_directory);
  wchar_t marker_path[path_capacity];
  if (tree_holder != INVALID_HANDLE_VALUE && join_path(marker_path, path_capacity, staging_directory, tree_marker_name)) {
    staged_marker = CreateFileW(marker_path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, security, CREATE_NEW,
                                0 /* flags and attributes */, nullptr /* template */);
  }
  if (staged_marker != INVALID_HANDLE_VALUE) {
    begin_tree_marker(staged_record, state.place_digest);
    state.tree_created.store(1);
    return true;
  }
  if (tree_holder != INVALID_HANDLE_VALUE) CloseHandle(tree_holder);
  tree_holder = INVALID_HANDLE_VALUE;
  remove_tree(staging_directory);
  return false;
}

// Every file is on the disk before the record that vouches for it, and the record before
// the rename that publishes the tree.
bool write_staged_marker() {
  end_tree_marker(staged_record);
  DWORD written = 0;
  const bool files_flushed = finish_staged_flushes();
  const bool complete = files_flushed && !staged_record.failed && staged_record.size <= tree_marker_max_size &&
                        WriteFile(staged_marker, staged_record.data, static_cast<DWORD>(staged_record.size), &written,
                                  nullptr /* not overlapped */) &&
                        written == staged_record.size && FlushFileBuffers(staged_marker);
  // Closed before the rename: Windows does not rename a directory with an open file in it.
  CloseHandle(staged_marker);
  staged_marker = INVALID_HANDLE_VALUE;
  release_tree_marker(staged_record);
  return complete;
}

// Moves the staging directory into the cached tree's place; false when a tree of that
// name is there already or the rename keeps failing.
bool move_staging_into_place() {
  for (int attempt = 0; attempt < publish_attempts; ++attempt) {
    if (MoveFileExW(staging_directory, launcher_state.cache_tree, 0 /* never replace */)) return true;
    const DWORD error = GetLastError();
    if (error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS) return false;
    Sleep(publish_pause_ms);
  }
  return false;
}

}  // namespace

UnpackTree unpack_tree_for(ParentPlace place) {
  UnpackTree tree;
  if (place == ParentPlace::temporary) {
    tree.create_root = create_temporary_tree;
    tree.security = tree_security(TreeKind::temporary);
  } else {
    // The staging directory exists already, made with this descriptor.
    tree.security = tree_security(TreeKind::cached);
    tree.finish_file = flush_staged_file;
  }
  return tree;
}

bool choose_parent_place(ParentPlace* place) {
  LauncherState& state = launcher_state;
  // Expanded in every case: it fixes TIME for this start and its child.
  if (!compute_temporary_tree(temporary_directory)) return false;
  *place = ParentPlace::temporary;
  if (load_cache_tree()) {
    if (use_complete_tree()) {
      *place = ParentPlace::cached;
      state.tree_kept.store(1);
      copy_bounded(state.target_directory, state.cache_tree, path_capacity);
      return true;
    }
    if (create_staging_directory()) {
      *place = ParentPlace::staging;
      copy_bounded(state.target_directory, staging_directory, path_capacity);
      return true;
    }
    refuse_fallback_from_chosen_cache();
  }
  copy_bounded(state.target_directory, temporary_directory, path_capacity);
  return true;
}

bool choose_child_place() {
  LauncherState& state = launcher_state;
  if (!compute_temporary_tree(temporary_directory)) return false;
  copy_bounded(state.target_directory, temporary_directory, path_capacity);
  if (!load_cache_tree()) return true;
  // The parent ran from its own staging or temporary tree only when it could not use the
  // cached one; both names are unique to the parent, so their presence decides.
  if (append_expanded_suffix(staging_directory, state.cache_tree, staging_suffix_spec) &&
      GetFileAttributesW(staging_directory) != INVALID_FILE_ATTRIBUTES) {
    copy_bounded(state.target_directory, staging_directory, path_capacity);
    return true;
  }
  if (GetFileAttributesW(temporary_directory) != INVALID_FILE_ATTRIBUTES) return true;
  copy_bounded(state.target_directory, state.cache_tree, path_capacity);
  tree_holder = hold_directory(state.cache_tree);
  return true;
}

void record_staged_entry(const wchar_t* name, uint64_t size) {
  add_marker_entry(staged_record, name, size);
}

void publish_staged_tree() {
  LauncherState& state = launcher_state;
  const bool recorded = write_staged_marker();
  if (recorded && move_staging_into_place()) {
    state.tree_kept.store(1);
    sweep_due = true;
    return;
  }
  // Another start published first: its tree serves, the own copy goes.
  HANDLE staging = tree_holder;
  tree_holder = INVALID_HANDLE_VALUE;
  if (recorded && use_complete_tree()) {
    // Renamed and removed on a handle that, like the holder, does not share writing: the
    // sweep of the start that won keeps out of the tree until it is gone, rather than
    // renaming it under this removal and meeting its open directories, which leaves an
    // empty tree that neither removes.
    if (retire_directory(staging_directory, remover_access, holder_share)) {
      state.tree_kept.store(1);
      CloseHandle(staging);
      return;
    }
    // The own copy cannot be moved aside (a scanner may still read a file in it). Left where
    // it is, it would be what the child finds by name, and nothing would ever remove it: it
    // serves this start instead, like a temporary tree.
    CloseHandle(tree_holder);
    tree_holder = INVALID_HANDLE_VALUE;
  }
  // Neither tree can be shared: the staging directory serves this start alone, and the
  // clean-up removes it at the end like a temporary tree.
  tree_holder = staging;
}

void sweep_after_run() {
  if (launcher_state.cache_tree[0] != L'\0') sweep_old_trees(sweep_due);
}
