// Every entry of the tree is opened relative to the handle of the directory that lists it,
// without following a reparse point, and is listed or deleted only through that handle,
// after the handle itself has shown that it is the entry in its place: its final path must
// be the verified path of its directory followed by its own name. A link swapped in between
// the listing and the open therefore cannot redirect a deletion. Where the system opens the
// link itself, the link is what gets deleted; where it resolves the link although asked not
// to (wine resolves a Unix symbolic link), the handle's final path is the link's target, the
// check fails, and the entry and the directories that hold it stay.
#include "launcher/remove_tree.h"

#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "launcher/removal_helpers.h"
#include "paths/system_library.h"

namespace {

// The longest path the system handles, with its terminator.
constexpr size_t long_path_capacity = 32768;
// One listing request: several records even with names of 255 units (a record is 104
// bytes and the name). Allocated per directory level, so it stays small.
constexpr DWORD listing_bytes = 8192;
constexpr size_t first_level_count = 16;
// Files deleted by the walk itself before helpers are started: a thread's start costs
// several milliseconds under wine, more than a small tree's whole removal gains from it.
constexpr size_t files_before_helpers = 64;

constexpr wchar_t extended_prefix[] = L"\\\\?\\";
constexpr size_t extended_prefix_length = 4;
constexpr wchar_t device_prefix[] = L"\\\\.\\";
constexpr wchar_t extended_unc_prefix[] = L"\\\\?\\UNC\\";
constexpr size_t extended_unc_prefix_length = 8;
// "\\?\C:": a parent that is a drive keeps its root backslash.
constexpr size_t extended_drive_length = 6;

// FileDispositionInfoEx (Windows 10 1607 on) and its flags; the launcher's headers target
// an older system.
constexpr int file_disposition_info_ex = 21;
constexpr DWORD disposition_delete = 0x1;
constexpr DWORD disposition_posix_semantics = 0x2;
constexpr DWORD disposition_ignore_read_only = 0x10;
struct DispositionInfoEx {
  DWORD flags;
};

// Attributes that FileBasicInfo may set; the rest describe the entry and are not ours to set.
constexpr DWORD settable_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM |
                                      FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                      FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

constexpr NTSTATUS status_success = 0;
constexpr NTSTATUS status_object_name_not_found = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS status_object_path_not_found = static_cast<NTSTATUS>(0xC000003A);
constexpr NTSTATUS status_delete_pending = static_cast<NTSTATUS>(0xC0000056);
constexpr NTSTATUS status_file_deleted = static_cast<NTSTATUS>(0xC0000123);

constexpr ACCESS_MASK entry_access = DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES | SYNCHRONIZE;
constexpr ULONG share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr ULONG entry_options = FILE_OPEN_REPARSE_POINT | FILE_OPEN_FOR_BACKUP_INTENT | FILE_SYNCHRONOUS_IO_NONALERT;

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using NtQueryObjectFunction = NTSTATUS(NTAPI*)(HANDLE, OBJECT_INFORMATION_CLASS, PVOID, ULONG, PULONG);
constexpr wchar_t nt_prefix[] = L"\\??\\";  // "\??\", the object manager's name for "\\?\"
constexpr size_t nt_drive_length = 6;        // "\??\C:"
constexpr size_t device_name_capacity = 512;

std::atomic<FinalPathQuery> final_path_query{GetFinalPathNameByHandleW};
// Found at run time: the launcher imports kernel32 and the C runtime only. Both threads
// would find the same address, so a plain atomic store suffices.
std::atomic<NtCreateFileFunction> nt_create_file{nullptr};
std::atomic<NtQueryObjectFunction> nt_query_object{nullptr};
// Set once a system has refused FileDispositionInfoEx with ERROR_INVALID_PARAMETER (an
// unknown class, or a flag its version lacks: ignoring read-only came after POSIX
// semantics), so that every later entry goes straight to the older class. Either class keeps the link rule; the
// older one only lacks the immediate disappearance of the name.
std::atomic<bool> disposition_ex_unknown{false};

template <typename Function>
Function find_ntdll_function(std::atomic<Function>* cache, const char* name) {
  Function function = cache->load();
  if (function != nullptr) return function;
  function = find_library_function<Function>(GetModuleHandleA("ntdll.dll"), name);
  if (function != nullptr) cache->store(function);
  return function;
}

// wine's GetFinalPathNameByHandleW asks for the handle's name into a buffer of MAX_PATH
// units of its own and fails with ERROR_MORE_DATA for any longer path, whatever the
// caller's buffer. Only then is the name asked of the object manager directly, as that
// function does itself: "\??\C:\..." is the same final path as "\\?\C:\..." (form
// VOLUME_NAME_DOS), and in the device form the drive is replaced by the device it names.
DWORD query_object_name(HANDLE handle, wchar_t* output, size_t capacity, DWORD form) {
  const NtQueryObjectFunction query = find_ntdll_function(&nt_query_object, "NtQueryObject");
  if (query == nullptr) return 0;
  ULONG returned = 0;
  const ULONG bytes = static_cast<ULONG>(capacity * sizeof(wchar_t));
  if (query(handle, static_cast<OBJECT_INFORMATION_CLASS>(1) /* ObjectNameInformation */, output, bytes,
            &returned) != status_success) {
    return 0;
  }
  const UNICODE_STRING name = *reinterpret_cast<const UNICODE_STRING*>(output);
  const size_t length = name.Length / sizeof(wchar_t);
  if (length < nt_drive_length || length >= capacity || wcsncmp(name.Buffer, nt_prefix, extended_prefix_length) != 0 ||
      name.Buffer[nt_drive_length - 1] != L':') {
    return 0;
  }
  wchar_t device[device_name_capacity];
  const wchar_t drive[] = {name.Buffer[extended_prefix_length], L':', L'\0'};
  if (form == VOLUME_NAME_DOS) {
    wcscpy(device, extended_prefix);
    wcscat(device, drive);
  } else if (QueryDosDeviceW(drive, device, device_name_capacity) == 0) {
    return 0;
  }
  const size_t device_length = wcslen(device);
  const size_t rest = length - nt_drive_length;
  if (device_length + rest >= capacity) return 0;
  memmove(output + device_length, name.Buffer + nt_drive_length, rest * sizeof(wchar_t));
  memcpy(output, device, device_length * sizeof(wchar_t));
  output[device_length + rest] = L'\0';
  return static_cast<DWORD>(device_length + rest);
}

// The handle's final path in the given form; 0 when it cannot be had whole.
DWORD query_final_path(HANDLE handle, wchar_t* output, DWORD form) {
  const DWORD length = final_path_query.load()(handle, output, long_path_capacity, FILE_NAME_NORMALIZED | form);
  if (length != 0) return length < long_path_capacity ? length : 0;
  const DWORD error = GetLastError();
  return error == ERROR_MORE_DATA ? query_object_name(handle, output, long_path_capacity, form) : 0;
}

// The final path of the directory a walk starts from, which fixes the form of every final
// path the walk compares: "\\?\C:\..." where the volume has a drive-letter form, else the
// system's own "\Device\<volume>\..." form, which every volume has, also those the mount
// manager gives no drive letter or volume name (RAM disks, file systems in user mode). 0
// when neither can be had.
DWORD query_root_path(HANDLE handle, wchar_t* output) {
  const DWORD length = query_final_path(handle, output, VOLUME_NAME_DOS);
  return length != 0 ? length : query_final_path(handle, output, VOLUME_NAME_NT);
}

// One directory being emptied: its handle (opened for listing and deletion), the length of
// its verified path in Walk::path, and its listing.
struct Level {
  HANDLE directory;
  size_t path_length;
  unsigned char* listing;
  const FILE_FULL_DIR_INFO* next;  // next record of the listing, or none: ask for more
  bool exhausted;
};

// The state of one removal. path holds the verified path of the directory being emptied
// and, while an entry is visited, a backslash and the entry's name after it.
struct Walk {
  NtCreateFileFunction create;
  wchar_t* path;
  size_t path_length;
  size_t base_length;  // the verified path of the target's parent
  wchar_t* final_path; // scratch: the final path of an entry's handle
  Level* levels;
  size_t depth;
  size_t level_count;
  bool root_removed;
  size_t helpers_wanted;
  size_t files_without_helpers;
  const std::atomic<bool>* stop;  // when set, the walk leaves what is left of the tree

  RemovalHelpers* helpers;  // started after files_before_helpers files, when helpers are wanted
};

bool is_gone(NTSTATUS status) {
  return status == status_object_name_not_found || status == status_object_path_not_found ||
         status == status_delete_pending || status == status_file_deleted;
}

NTSTATUS open_entry(NtCreateFileFunction create, HANDLE directory, const wchar_t* name, size_t length,
                    bool for_listing, HANDLE* entry) {
  UNICODE_STRING unicode_name;
  unicode_name.Buffer = const_cast<wchar_t*>(name);
  unicode_name.Length = static_cast<USHORT>(length * sizeof(wchar_t));
  unicode_name.MaximumLength = unicode_name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &unicode_name, OBJ_CASE_INSENSITIVE, directory, nullptr);
  IO_STATUS_BLOCK io{};
  *entry = nullptr;
  const NTSTATUS status =
      create(entry, entry_access | (for_listing ? FILE_LIST_DIRECTORY : 0), &attributes, &io,
                  nullptr /* allocation size */, 0, share_all, FILE_OPEN, entry_options, nullptr, 0);
  if (status != status_success) *entry = nullptr;
  return status;
}

// Appends a backslash (unless the path ends in one, as a drive root does) and the name.
bool append_name(Walk* walk, const wchar_t* name, size_t length) {
  const bool separator = walk->path_length == 0 || walk->path[walk->path_length - 1] != L'\\';
  const size_t needed = walk->path_length + (separator ? 1 : 0) + length;
  if (length == 0 || needed >= long_path_capacity) return false;
  if (separator) walk->path[walk->path_length++] = L'\\';
  memmove(walk->path + walk->path_length, name, length * sizeof(wchar_t));
  walk->path_length = needed;
  walk->path[needed] = L'\0';
  return true;
}

void cut_path(Walk* walk, size_t length) {
  walk->path_length = length;
  walk->path[length] = L'\0';
}

bool read_volume_serial(HANDLE handle, DWORD* serial) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information)) return false;
  *serial = information.dwVolumeSerialNumber;
  return true;
}

// The decision that keeps the removal inside the tree, taken on the handle that will act:
// its final path must be exactly the path the walk expects for it. final_path is scratch
// of the longest path. Where the system gives no final path at all, the open relative to
// the listing directory, which never follows a link, is what keeps the entry in the tree
// (as on Windows it does), and the entry must lie on the volume of that directory.
bool is_entry_in_place(HANDLE entry, HANDLE directory, const wchar_t* expected, size_t expected_length,
                       wchar_t* final_path) {
  const DWORD form = wcsncmp(expected, extended_prefix, extended_prefix_length) == 0 ? VOLUME_NAME_DOS : VOLUME_NAME_NT;
  const DWORD length = query_final_path(entry, final_path, form);
  if (length == 0) {
    DWORD entry_volume = 0, directory_volume = 0;
    return read_volume_serial(entry, &entry_volume) && read_volume_serial(directory, &directory_volume) &&
           entry_volume == directory_volume;
  }
  return CompareStringOrdinal(final_path, static_cast<int>(length), expected, static_cast<int>(expected_length),
                              TRUE /* ignore case */) == CSTR_EQUAL;
}

bool read_attributes(HANDLE entry, DWORD* attributes) {
  FILE_ATTRIBUTE_TAG_INFO info{};
  if (!GetFileInformationByHandleEx(entry, FileAttributeTagInfo, &info, sizeof info)) return false;
  *attributes = info.FileAttributes;
  return true;
}

// A directory with entries, not a link: a link is deleted as itself and never refused as
// not empty, and the attributes on its handle say so as well.
bool is_plain_directory(HANDLE entry) {
  DWORD attributes = 0;
  return read_attributes(entry, &attributes) && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
         (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0;
}

// False when the entry is not read-only, so that its deletion is not tried again. A file
// with more than one name shares its attributes with names that may lie outside the tree:
// it is left read-only, and so left in place, rather than changed for all of them.
bool clear_read_only(HANDLE entry) {
  DWORD attributes = 0;
  if (!read_attributes(entry, &attributes) || (attributes & FILE_ATTRIBUTE_READONLY) == 0) return false;
  FILE_STANDARD_INFO standard{};
  if (!GetFileInformationByHandleEx(entry, FileStandardInfo, &standard, sizeof standard) ||
      standard.NumberOfLinks > 1) {
    return false;
  }
  FILE_BASIC_INFO basic{};  // times of zero stay as they are
  basic.FileAttributes = attributes & settable_attributes & ~FILE_ATTRIBUTE_READONLY;
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(entry, FileBasicInfo, &basic, sizeof basic) != FALSE;
}

bool mark_with_older_class(HANDLE entry) {
  FILE_DISPOSITION_INFO info{TRUE};
  return SetFileInformationByHandle(entry, FileDispositionInfo, &info, sizeof info) != FALSE;
}

// POSIX semantics take the name away as the handle closes, even while another process
// still holds the file open with delete sharing, and read-only entries need no change of
// their attribute. Systems without that class get the older one, which refuses a read-only
// entry until the attribute has been cleared on this same handle. The attributes are read
// only when a deletion is refused: most entries cost no query. *error says why it failed
// (ERROR_DIR_NOT_EMPTY for a directory with entries).
bool mark_for_deletion(HANDLE entry, DWORD* error) {
  if (!disposition_ex_unknown.load(std::memory_order_relaxed)) {
    DispositionInfoEx info{disposition_delete | disposition_posix_semantics | disposition_ignore_read_only};
    if (SetFileInformationByHandle(entry, static_cast<FILE_INFO_BY_HANDLE_CLASS>(file_disposition_info_ex), &info,
                                   sizeof info)) {
      return true;
    }
    *error = GetLastError();
    // Network redirectors and some file system drivers answer a class they do not know with
    // "invalid function" rather than "not supported"; such a volume still takes the older one.
    if (*error == ERROR_INVALID_PARAMETER) {
      disposition_ex_unknown.store(true, std::memory_order_relaxed);
    } else if (*error != ERROR_NOT_SUPPORTED && *error != ERROR_INVALID_FUNCTION) {
      return false;  // not empty, or held: the older class would fail the same way
    }
  }
  if (mark_with_older_class(entry)) return true;
  *error = GetLastError();
  if (*error != ERROR_ACCESS_DENIED || !clear_read_only(entry)) return false;
  if (mark_with_older_class(entry)) return true;
  *error = GetLastError();
  return false;
}

// Deletes one entry listed as a file, deciding on its own handle; an entry that is not in
// its place, or a directory that took the file's name, stays. True when the entry is gone.
bool delete_listed_file(NtCreateFileFunction create, const FileTask& task, wchar_t* final_path) {
  HANDLE entry = nullptr;
  const wchar_t* name = task.path + task.path_length - task.name_length;
  const NTSTATUS status = open_entry(create, task.directory, name, task.name_length, false, &entry);
  bool done = is_gone(status);
  if (status == status_success && is_entry_in_place(entry, task.directory, task.path, task.path_length, final_path)) {
    DWORD error = 0;
    done = mark_for_deletion(entry, &error);
  }
  if (entry != nullptr) CloseHandle(entry);
  return done;
}

// The helpers' work on one queued file.
void run_file_task(const FileTask& task, wchar_t* final_path) {
  delete_listed_file(nt_create_file.load(), task, final_path);
  free(task.path);
}

// Hands the entry at the end of walk->path (listed as a file in directory) to the helpers.
// False when it is to be deleted right here: no helpers are wanted, the tree has not shown
// enough files yet, none could start, or its path could not be copied.
bool queue_file(Walk* walk, HANDLE directory, size_t name_length) {
  if (walk->helpers == nullptr) {
    if (walk->helpers_wanted == 0 || ++walk->files_without_helpers <= files_before_helpers) return false;
    walk->helpers = start_removal_helpers(walk->helpers_wanted, run_file_task, long_path_capacity);
    if (walk->helpers == nullptr) {
      walk->helpers_wanted = 0;
      return false;
    }
  }
  wchar_t* path = static_cast<wchar_t*>(malloc((walk->path_length + 1) * sizeof(wchar_t)));
  if (path == nullptr) return false;
  memcpy(path, walk->path, (walk->path_length + 1) * sizeof(wchar_t));
  queue_file_task(walk->helpers, FileTask{directory, path, walk->path_length, name_length}, walk->final_path);
  return true;
}

// Returns once every queued file is done, the walk taking its share: before a directory is
// deleted, and before its handle, which queued files are opened relative to, is closed.
void finish_queued_files(Walk* walk) {
  if (walk->helpers != nullptr) finish_file_tasks(walk->helpers, walk->final_path);
}

void stop_helpers(Walk* walk) {
  if (walk->helpers == nullptr) return;
  stop_removal_helpers(walk->helpers, walk->final_path);
  walk->helpers = nullptr;
}

bool push_level(Walk* walk, HANDLE directory) {
  if (walk->depth == walk->level_count) {
    const size_t count = walk->level_count == 0 ? first_level_count : 2 * walk->level_count;
    Level* grown = static_cast<Level*>(realloc(walk->levels, count * sizeof(Level)));
    if (grown == nullptr) return false;
    walk->levels = grown;
    walk->level_count = count;
  }
  unsigned char* listing = static_cast<unsigned char*>(malloc(listing_bytes));
  if (listing == nullptr) return false;
  walk->levels[walk->depth++] = Level{directory, walk->path_length, listing, nullptr, false};
  return true;
}

// Called once the directory's listing is exhausted: deletes it (which fails while anything
// stayed in it) and goes back to its parent.
void pop_level(Walk* walk) {
  finish_queued_files(walk);
  Level* level = &walk->levels[walk->depth - 1];
  DWORD error = 0;
  const bool removed = mark_for_deletion(level->directory, &error);
  CloseHandle(level->directory);
  free(level->listing);
  --walk->depth;
  if (walk->depth == 0) walk->root_removed = removed;
  cut_path(walk, walk->depth > 0 ? walk->levels[walk->depth - 1].path_length : walk->base_length);
}

const FILE_FULL_DIR_INFO* next_record(Level* level) {
  if (level->next == nullptr) {
    // Ends with ERROR_NO_MORE_FILES; any other failure ends the listing as well, and the
    // directory's deletion then fails while entries remain.
    if (level->exhausted || !GetFileInformationByHandleEx(level->directory, FileFullDirectoryInfo, level->listing,
                                                          listing_bytes)) {
      level->exhausted = true;
      return nullptr;
    }
    level->next = reinterpret_cast<const FILE_FULL_DIR_INFO*>(level->listing);
  }
  const FILE_FULL_DIR_INFO* record = level->next;
  level->next = record->NextEntryOffset == 0
                    ? nullptr
                    : reinterpret_cast<const FILE_FULL_DIR_INFO*>(reinterpret_cast<const unsigned char*>(record) +
                                                                     record->NextEntryOffset);
  return record;
}

bool is_dot_entry(const FILE_FULL_DIR_INFO* record) {
  const size_t length = record->FileNameLength / sizeof(wchar_t);
  return record->FileName[0] == L'.' && (length == 1 || (length == 2 && record->FileName[1] == L'.'));
}

// Opens one entry of directory, checks it on its handle, and deletes it, or (a directory
// that is no link) enters it for the walk to empty. An entry listed as a file may go to a
// helper instead. listed_as_directory only decides whether the open asks for listing
// access; what happens is decided on the handle. Returns false when the entry stays.
bool visit_entry(Walk* walk, HANDLE directory, const wchar_t* name, size_t length, bool listed_as_directory) {
  const size_t directory_length = walk->path_length;
  if (!append_name(walk, name, length)) return false;
  if (!listed_as_directory) {
    const bool done = queue_file(walk, directory, length) ||
                      delete_listed_file(walk->create, FileTask{directory, walk->path, walk->path_length, length},
                                         walk->final_path);
    cut_path(walk, directory_length);
    return done;
  }
  const wchar_t* own_name = walk->path + walk->path_length - length;  // name may lie in final_path
  HANDLE entry = nullptr;
  const NTSTATUS status = open_entry(walk->create, directory, own_name, length, true, &entry);
  bool done = is_gone(status);
  if (status == status_success &&
      is_entry_in_place(entry, directory, walk->path, walk->path_length, walk->final_path)) {
    // A link of any kind goes as itself; a directory is refused while it has entries and
    // is then entered to be emptied.
    DWORD error = 0;
    done = mark_for_deletion(entry, &error);
    if (!done && error == ERROR_DIR_NOT_EMPTY && is_plain_directory(entry) && push_level(walk, entry)) {
      return true;
    }
  }
  if (entry != nullptr) CloseHandle(entry);
  cut_path(walk, directory_length);
  return done;
}

// directory in the "\\?\" form, into output; false when it does not fit or names no
// directory below another (a drive root is never removed).
size_t make_long_form(const wchar_t* directory, wchar_t* output, wchar_t* scratch) {
  size_t length = 0;
  if (wcsncmp(directory, extended_prefix, extended_prefix_length) == 0 ||
      wcsncmp(directory, device_prefix, extended_prefix_length) == 0) {
    // Taken as it stands, as the system takes these forms, with the device form's dot
    // read as the question mark that skips the same parsing.
    length = wcslen(directory);
    if (length >= long_path_capacity) return 0;
    memcpy(output, directory, (length + 1) * sizeof(wchar_t));
    output[2] = L'?';
  } else {
    const DWORD full = GetFullPathNameW(directory, long_path_capacity, scratch, nullptr);
    if (full == 0 || full >= long_path_capacity) return 0;
    const bool network = scratch[0] == L'\\' && scratch[1] == L'\\';
    const wchar_t* prefix = network ? extended_unc_prefix : extended_prefix;
    const size_t prefix_length = network ? extended_unc_prefix_length : extended_prefix_length;
    const wchar_t* rest = network ? scratch + 2 : scratch;
    length = prefix_length + (full - (rest - scratch));
    if (length >= long_path_capacity) return 0;
    memcpy(output, prefix, prefix_length * sizeof(wchar_t));
    memcpy(output + prefix_length, rest, (length - prefix_length + 1) * sizeof(wchar_t));
  }
  while (length > extended_prefix_length && output[length - 1] == L'\\') output[--length] = L'\0';
  return length;
}

// Opens the target's parent (following links: it lies outside the tree and is only the
// point the walk starts from) and puts its final path into walk->path. Returns the
// parent's handle, or nullptr with *missing telling whether it does not exist.
HANDLE open_parent(Walk* walk, wchar_t* target, size_t separator, bool* missing) {
  const size_t cut = separator == extended_drive_length ? separator + 1 : separator;
  const wchar_t kept = target[cut];
  target[cut] = L'\0';
  HANDLE parent = CreateFileW(target, FILE_LIST_DIRECTORY | SYNCHRONIZE, share_all, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const DWORD error = GetLastError();
  target[cut] = kept;
  *missing = parent == INVALID_HANDLE_VALUE && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND);
  if (parent == INVALID_HANDLE_VALUE) return nullptr;
  DWORD length = query_root_path(parent, walk->path);
  if (length == 0) {
    // No final path on this volume: the entries are judged by their volume alone, and the
    // path only names them.
    length = static_cast<DWORD>(cut);
    memcpy(walk->path, target, cut * sizeof(wchar_t));
    walk->path[cut] = L'\0';
  }
  walk->base_length = length;
  walk->path_length = length;
  return parent;
}

// Leaves every level as it is, once the queued files are done: a walk told to stop.
void abandon_levels(Walk* walk) {
  finish_queued_files(walk);
  for (; walk->depth > 0; --walk->depth) {
    CloseHandle(walk->levels[walk->depth - 1].directory);
    free(walk->levels[walk->depth - 1].listing);
  }
}

void empty_levels(Walk* walk) {
  while (walk->depth > 0) {
    if (walk->stop != nullptr && walk->stop->load(std::memory_order_relaxed)) {
      abandon_levels(walk);
      return;
    }
    Level* top = &walk->levels[walk->depth - 1];
    const FILE_FULL_DIR_INFO* record = next_record(top);
    if (record == nullptr) {
      pop_level(walk);
    } else if (!is_dot_entry(record)) {
      visit_entry(walk, top->directory, record->FileName, record->FileNameLength / sizeof(wchar_t),
                  (record->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                      (record->FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0);
    }
  }
}

// The walk proper, with its buffers in place: the target in the "\\?\" form in target.
bool remove_target(Walk* walk, wchar_t* target, size_t length) {
  size_t separator = length;
  while (separator > extended_prefix_length && target[separator - 1] != L'\\') --separator;
  if (separator <= extended_prefix_length || separator == length) return false;
  --separator;  // at the backslash before the target's own name
  bool missing = false;
  HANDLE parent = open_parent(walk, target, separator, &missing);
  if (parent == nullptr) return missing;
  const wchar_t* name = target + separator + 1;
  const size_t name_length = length - separator - 1;
  const bool removed = visit_entry(walk, parent, name, name_length, true);
  bool gone = removed && walk->depth == 0;
  if (walk->depth > 0) {
    empty_levels(walk);
    gone = walk->root_removed;
  }
  if (!gone) {
    // Another thread may have taken it away in the meantime.
    HANDLE entry = nullptr;
    const NTSTATUS status = open_entry(walk->create, parent, name, name_length, false, &entry);
    if (entry != nullptr) CloseHandle(entry);
    gone = is_gone(status);
  }
  CloseHandle(parent);
  return gone;
}

}  // namespace

void set_final_path_query(FinalPathQuery query) {
  final_path_query.store(query != nullptr ? query : GetFinalPathNameByHandleW);
}

bool remove_tree(const wchar_t* directory, size_t helper_threads) {
  Walk walk{};
  walk.helpers_wanted = helper_threads;
  walk.create = find_ntdll_function(&nt_create_file, "NtCreateFile");
  if (walk.create == nullptr || directory == nullptr || directory[0] == L'\0') return false;
  // Three path buffers of the longest path: the walk's path, the final path of a handle,
  // and the target itself.
  wchar_t* buffers = static_cast<wchar_t*>(malloc(3 * long_path_capacity * sizeof(wchar_t)));
  if (buffers == nullptr) return false;
  walk.path = buffers;
  walk.final_path = buffers + long_path_capacity;
  wchar_t* target = buffers + 2 * long_path_capacity;
  const size_t length = make_long_form(directory, target, walk.final_path);
  const bool gone = length > 0 && remove_target(&walk, target, length);
  stop_helpers(&walk);
  free(walk.levels);
  free(buffers);
  return gone;
}

bool remove_tree_at(HANDLE directory, const std::atomic<bool>* stop) {
  Walk walk{};
  walk.stop = stop;
  walk.create = find_ntdll_function(&nt_create_file, "NtCreateFile");
  // Two path buffers of the longest path: the walk's path and the final path of a handle.
  wchar_t* buffers = static_cast<wchar_t*>(malloc(2 * long_path_capacity * sizeof(wchar_t)));
  if (walk.create == nullptr || buffers == nullptr) {
    free(buffers);
    CloseHandle(directory);
    return false;
  }
  walk.path = buffers;
  walk.final_path = buffers + long_path_capacity;
  // Without a final path the entries are judged by their volume alone (is_entry_in_place).
  walk.path_length = query_root_path(directory, walk.path);
  walk.path[walk.path_length] = L'\0';
  walk.base_length = walk.path_length;
  bool gone = false;
  if (push_level(&walk, directory)) {
    empty_levels(&walk);
    gone = walk.root_removed;
  } else {
    CloseHandle(directory);
  }
  stop_helpers(&walk);
  free(walk.levels);
  free(buffers);
  return gone;
}
