#include "launcher/temporary_tree.h"

#include <winternl.h>

#include "diag/diag.h"
#include "launcher/state.h"
#include "launcher/tree_security.h"
#include "launcher/unpack_folder.h"
#include "paths/system_library.h"
#include "payload/unpack.h"

namespace {

// A temporary tree belongs to one start alone: its guard shares no deletion, so a sweep's
// open for renaming fails on the sharing check (on Windows and under wine alike). Read
// access, since a handle without data access takes no part in that check.
constexpr DWORD guard_access = GENERIC_READ;
constexpr DWORD guard_share = FILE_SHARE_READ | FILE_SHARE_WRITE;

// The volume's flags for the volume a handle lies on; a test puts in a volume without
// access lists, which wine cannot show.
bool read_volume_flags(HANDLE handle, DWORD* flags) {
  return GetVolumeInformationByHandleW(handle, nullptr, 0, nullptr, nullptr, flags, nullptr, 0) != FALSE;
}
VolumeFlagsQuery volume_flags_query = read_volume_flags;

using NtCreateFileFunction = NTSTATUS(NTAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES, PIO_STATUS_BLOCK,
                                              PLARGE_INTEGER, ULONG, ULONG, ULONG, ULONG, PVOID, ULONG);
using DosPathToNtPathFunction = BOOLEAN(NTAPI*)(PCWSTR, PUNICODE_STRING, PWSTR*, PVOID);
using FreeUnicodeStringFunction = void(NTAPI*)(PUNICODE_STRING);

// Creates directory, which must not exist in any form, with the descriptor, and returns the
// handle of that creation: the guard (see guard_share), with nothing in between that
// another process could use to put a directory of its own in its place. Null on failure.
HANDLE create_guarded_directory(const wchar_t* directory, SECURITY_ATTRIBUTES* security) {
  const HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  const auto create = find_library_function<NtCreateFileFunction>(ntdll, "NtCreateFile");
  const auto to_nt_path = find_library_function<DosPathToNtPathFunction>(ntdll, "RtlDosPathNameToNtPathName_U");
  const auto free_string = find_library_function<FreeUnicodeStringFunction>(ntdll, "RtlFreeUnicodeString");
  UNICODE_STRING nt_path{};
  if (create == nullptr || to_nt_path == nullptr || free_string == nullptr ||
      !to_nt_path(directory, &nt_path, nullptr, nullptr)) {
    return nullptr;
  }
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &nt_path, OBJ_CASE_INSENSITIVE, nullptr, security->lpSecurityDescriptor);
  IO_STATUS_BLOCK io{};
  HANDLE guard = nullptr;
  const NTSTATUS status = create(&guard, guard_access | SYNCHRONIZE, &attributes, &io, nullptr /* allocation */,
                                 FILE_ATTRIBUTE_NORMAL, guard_share, FILE_CREATE,
                                 FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT,
                                 nullptr /* extended attributes */, 0);
  free_string(&nt_path);
  return status >= 0 ? guard : nullptr;
}

// FAT and exFAT keep no access lists and drop the descriptor without an error: the tree
// would be everyone's to change. An elevated start, whose tree the user's other programs
// must not change, ends there with a report that names the folder; a start without the
// label is no more exposed than the folder it unpacks into and goes on.
void require_access_lists(HANDLE guard, const wchar_t* directory) {
  if (!tree_carries_label(TreeKind::temporary)) return;
  DWORD flags = 0;
  if (volume_flags_query(guard, &flags) && (flags & FILE_PERSISTENT_ACLS) != 0) return;
  exit_with_open_error(directory);
}

}  // namespace

// The temporary tree's own directory, made right before its first file with the
// descriptor given at creation, so that it never exists unprotected, and held from that
// same call on. Anything already there under its name (a directory, a file, a link; made by
// someone who guessed the PID and the coarse start time) ends the start: nothing is written
// into it and, as this start did not create it, the clean-up never removes it. The levels
// above are the user's own folders, made as before when missing.
void create_temporary_tree() {
  LauncherState& state = launcher_state;
  SECURITY_ATTRIBUTES* security = tree_security(TreeKind::temporary);
  if (security == nullptr || !prepare_unpack_folder(state.target_directory, TreeKind::temporary)) {
    exit_with_open_error(state.target_directory);
  }
  const HANDLE guard = create_guarded_directory(state.target_directory, security);
  if (guard == nullptr) exit_with_open_error(state.target_directory);
  state.tree_created.store(1);
  state.tree_guard.store(guard);
  require_access_lists(guard, state.target_directory);
}

void set_volume_flags_query(VolumeFlagsQuery query) {
  volume_flags_query = query != nullptr ? query : read_volume_flags;
}

void release_temporary_tree_guard() {
  const HANDLE guard = launcher_state.tree_guard.exchange(nullptr);
  if (guard != nullptr) CloseHandle(guard);
}
