#include "launcher/role.h"

#include <psapi.h>
#include <winternl.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "diag/diag.h"
#include "launcher/in_process.h"
#include "paths/bounded.h"
#include "paths/env.h"
#include "paths/normalize.h"
#include "paths/system_library.h"

namespace {

constexpr size_t foreign_path_capacity = 2048;
constexpr size_t process_id_text_capacity = 128;
constexpr DWORD parent_query_access = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;  // 0x410

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

// The image path of another process in canonical form. A path that no longer opens (a
// renamed folder, a removed drive) fails the check instead of ending the process: a stale
// variable must never keep the launcher from starting.
bool read_foreign_image_path(HANDLE process, wchar_t* path) {
  if (K32GetModuleFileNameExW(process, nullptr, path, static_cast<DWORD>(foreign_path_capacity)) == 0) {
    return false;
  }
  if (!try_normalize_path(path, path, foreign_path_capacity)) return false;
  shorten_directory(path, foreign_path_capacity);
  return true;
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

// True when the process with ID value runs this same executable file, created this
// process and does not run the application itself: only the parent's own child takes the
// child role. A copy that the application starts again, or that a script starts with the
// inherited variables, was created by another process, or by a start that runs the
// application in its own process, and so starts afresh.
bool names_own_parent(const wchar_t* value) {
  DWORD id = 0;
  if (!parse_process_id(value, &id)) return false;
  HANDLE process = OpenProcess(parent_query_access, FALSE, id);
  if (process == nullptr) return false;
  wchar_t foreign[foreign_path_capacity];
  const bool readable = read_foreign_image_path(process, foreign);
  fill_own_path_normalised();
  const bool same_file = readable && wcscmp(foreign, launcher_state.own_path_normalised) == 0;
  const bool parent = same_file && is_own_creator(process, id) && !is_in_process_start(id);
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
  if (parent != nullptr) {
    const bool is_child = names_own_parent(parent);
    free(parent);
    if (is_child) return Role::child;
    env_unset(env_parent);
    env_unset(env_start);
  }
  // A parent looks up its own cache folder; only its child takes it from the environment.
  env_unset(env_cache_dir);
  publish_own_process_id();
  return Role::parent;
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
