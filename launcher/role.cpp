// rand_s, the C runtime's entry to the system's random number generator, is declared only
// on request, before the first include that may bring in stdlib.h.
#define _CRT_RAND_S
#include "launcher/role.h"

#include <psapi.h>
#include <winternl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

#include "diag/diag.h"
#include "diag/messages.h"
#include "paths/bounded.h"
#include "paths/env.h"
#include "paths/normalize.h"
#include "paths/system_library.h"

namespace {

constexpr size_t foreign_path_capacity = 2048;
constexpr size_t process_id_text_capacity = 128;
// The mark a waiting parent gives its child: 128 random bits as hex digits, in the child's
// environment and in the name of an event the parent holds until it ends.
constexpr size_t child_mark_words = 4;
constexpr size_t child_mark_units = child_mark_words * 8;
constexpr size_t mark_name_capacity = 64;
constexpr const wchar_t child_mark_event_format[] = L"Local\\tavrin-onefile-child-%ls";
constexpr DWORD parent_query_access = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;  // 0x410
// What is left to ask for when security software strips the rights above from an open of
// another process: enough for the image path and the creation time.
constexpr DWORD parent_limited_access = PROCESS_QUERY_LIMITED_INFORMATION;

HANDLE open_process_of_system(DWORD access, DWORD id) {
  return OpenProcess(access, FALSE /* not inherited */, id);
}

ParentOpener parent_opener = open_process_of_system;

// The decimal process ID in value, or false when it is not a plain 32-bit number.
bool parse_process_id(const wchar_t* value, DWORD* id) {
  wchar_t* end = nullptr;
  errno = 0;
  const unsigned long number = wcstoul(value, &end, 10);
  if (errno != 0 || end == value || *end != L'\0') return false;
  *id = static_cast<DWORD>(number);
  return true;
}

void fill_own_path_normalised() {
  wchar_t* own = launcher_state.own_path_normalised;
  if (own[0] != L'\0') return;
  fill_own_module_path(own, own_path_normalised_capacity);
  normalize_path(own, own, own_path_normalised_capacity);
  shorten_directory(own, own_path_normalised_capacity);
}

// A process's image path, as the system gave it, brought into canonical form in place. A
// path that no longer opens (a renamed folder, a removed drive) fails the check instead of
// ending the process: a stale variable must never keep the launcher from starting.
bool canonicalise_foreign_path(wchar_t* path) {
  if (!try_normalize_path(path, path, foreign_path_capacity)) return false;
  shorten_directory(path, foreign_path_capacity);
  return true;
}

bool read_foreign_image_path(HANDLE process, wchar_t* path) {
  if (K32GetModuleFileNameExW(process, nullptr, path, static_cast<DWORD>(foreign_path_capacity)) == 0) {
    return false;
  }
  return canonicalise_foreign_path(path);
}

using QueryProcessFunction = NTSTATUS(NTAPI*)(HANDLE, PROCESSINFOCLASS, PVOID, ULONG, PULONG);

// The ID of the process that created this one, as the system recorded it at the creation
// (it stays the same after that process has ended); false when it cannot be read.
bool read_own_creator_id(DWORD* id) {
  const QueryProcessFunction query =
      find_library_function<QueryProcessFunction>(GetModuleHandleA("ntdll.dll"), "NtQueryInformationProcess");
  if (query == nullptr) return false;
  PROCESS_BASIC_INFORMATION basic{};
  ULONG written = 0;
  if (query(GetCurrentProcess(), ProcessBasicInformation, &basic, sizeof basic, &written) < 0) return false;
  *id = static_cast<DWORD>(basic.InheritedFromUniqueProcessId);
  return true;
}

// False only when process was plainly created after this one: then its ID was reused
// after the process that created this one had ended, and it cannot be that creator. Times
// that cannot be read prove nothing and pass, since failing them would make every real
// child a parent of its own.
bool created_no_later_than_self(HANDLE process) {
  FILETIME other_created{}, own_created{}, unused_exit{}, unused_kernel{}, unused_user{};
  if (!GetProcessTimes(process, &other_created, &unused_exit, &unused_kernel, &unused_user)) return true;
  if (!GetProcessTimes(GetCurrentProcess(), &own_created, &unused_exit, &unused_kernel, &unused_user)) return true;
  return CompareFileTime(&other_created, &own_created) <= 0;
}

// True when the process was created no later than this process and is the one that
// created it. Where the creator cannot be read, this passes on the running copy alone: a
// real child must never take the parent role for want of that fact, or each child would
// start another child, without end.
bool is_own_creator(HANDLE process, DWORD id) {
  DWORD creator = 0;
  if (read_own_creator_id(&creator) && creator != id) return false;
  return created_no_later_than_self(process);
}

bool is_mark_text(const wchar_t* text) {
  size_t length = 0;
  for (; text[length] != L'\0'; ++length) {
    if (!iswxdigit(text[length]) || length == child_mark_units) return false;
  }
  return length == child_mark_units;
}

// True when this process carries the mark of a waiting parent that still holds its event.
// Nobody else can name that event beforehand, and a start that runs the application in its
// own process gives no mark, so a copy the application starts takes a start of its own.
bool carries_parent_mark() {
  wchar_t* mark = env_get(env_child_mark);
  if (mark == nullptr) return false;
  bool held = false;
  if (is_mark_text(mark)) {
    wchar_t name[mark_name_capacity];
    swprintf(name, mark_name_capacity, child_mark_event_format, mark);
    const HANDLE event = OpenEventW(SYNCHRONIZE, FALSE /* not inherited */, name);
    held = event != nullptr;
    if (held) CloseHandle(event);
  }
  free(mark);
  return held;
}

// The named process opened for the check, and its image path read. An open refused with
// the full rights is asked again with limited ones only when that process created this
// one: a real child whose parent security software shields must still find it. When that
// fails too, the start ends with a report: taking the parent role would unpack again and
// start another child, which meets the same refusal, without end. Another process that
// cannot be opened simply names no parent.
HANDLE open_named_parent(DWORD id, wchar_t* foreign, bool* readable) {
  HANDLE process = parent_opener(parent_query_access, id);
  if (process != nullptr) {
    *readable = read_foreign_image_path(process, foreign);
    return process;
  }
  // A process that no Windows process created (one started from outside, as wine's first
  // is) records creator 0, which names no process.
  DWORD creator = 0;
  if (!read_own_creator_id(&creator) || creator == 0 || creator != id) return nullptr;
  process = parent_opener(parent_limited_access, id);
  DWORD length = static_cast<DWORD>(foreign_path_capacity);
  if (process == nullptr || !QueryFullProcessImageNameW(process, 0 /* Win32 form */, foreign, &length)) {
    const DWORD error = GetLastError();
    exit_with_system_error(message_parent_unreadable, error);
  }
  *readable = canonicalise_foreign_path(foreign);
  return process;
}

// True when the process with ID value runs this same executable file, created this
// process and gave it its mark: only the parent's own child takes the child role. A copy
// that the application starts again, or that a script starts with the inherited variables,
// was created by another process, or by a start that runs the application in its own
// process and gives no mark, and so starts afresh.
bool names_own_parent(const wchar_t* value) {
  DWORD id = 0;
  if (!parse_process_id(value, &id)) return false;
  wchar_t foreign[foreign_path_capacity];
  bool readable = false;
  HANDLE process = open_named_parent(id, foreign, &readable);
  if (process == nullptr) return false;
  fill_own_path_normalised();
  const bool same_file = readable && wcscmp(foreign, launcher_state.own_path_normalised) == 0;
  const bool parent = same_file && is_own_creator(process, id) && carries_parent_mark();
  CloseHandle(process);
  return parent;
}

void publish_own_process_id() {
  char narrow_id[process_id_text_capacity];
  snprintf(narrow_id, sizeof narrow_id, "%ld", static_cast<long>(GetCurrentProcessId()));
  wchar_t wide_id[process_id_text_capacity];
  size_t length = 0;
  // Digits only: each byte widens to the unit of the same value.
  for (; narrow_id[length] != '\0'; ++length) wide_id[length] = static_cast<wchar_t>(narrow_id[length]);
  wide_id[length] = L'\0';
  env_set(env_parent, wide_id);
}

}  // namespace

Role decide_role() {
  wchar_t* parent = env_get(env_parent);
  const bool named = parent != nullptr;
  const bool is_child = named && names_own_parent(parent);
  free(parent);
  // The mark has served: what the application or a parent starts never inherits it.
  env_unset(env_child_mark);
  if (is_child) return Role::child;
  if (named) {
    env_unset(env_parent);
    env_unset(env_start);
  }
  // A parent looks up its own cache folder; only its child takes it from the environment.
  env_unset(env_cache_dir);
  publish_own_process_id();
  return Role::parent;
}

void publish_child_mark() {
  wchar_t mark[child_mark_units + 1];
  for (size_t word = 0; word < child_mark_words; ++word) {
    unsigned int value = 0;
    const errno_t failed = rand_s(&value);
    if (failed != 0) exit_with_system_error(message_launch_failed, ERROR_INTERNAL_ERROR);
    swprintf(mark + word * 8, 9, L"%08x", value);
  }
  wchar_t name[mark_name_capacity];
  swprintf(name, mark_name_capacity, child_mark_event_format, mark);
  // Held until the process ends, as the child checks it while its parent waits.
  const HANDLE event = CreateEventW(nullptr /* security */, TRUE /* manual reset */, FALSE, name);
  if (event == nullptr) {
    const DWORD error = GetLastError();
    exit_with_system_error(message_launch_failed, error);
  }
  env_set(env_child_mark, mark);
}

void set_parent_opener(ParentOpener opener) {
  parent_opener = opener != nullptr ? opener : open_process_of_system;
}

void publish_child_environment(const wchar_t* original_argv0) {
  LauncherState& state = launcher_state;
  fill_own_module_path(state.own_path_for_directory, directory_value_capacity);
  copy_bounded(state.directory_value, state.own_path_for_directory, directory_value_capacity);
  wchar_t* last_separator = wcsrchr(state.directory_value, L'\\');
  if (last_separator != nullptr) *last_separator = L'\0';
  env_set(env_directory, state.directory_value);
  env_set(env_original_argv0, original_argv0 != nullptr ? original_argv0 : L"");
}
