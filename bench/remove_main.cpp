// Part of the clean-up breakdown: removes a directory tree under wine in one of three ways,
// so that the script can set the launcher's removal beside the file system's floor.
// usage: bench_remove tree|loop|shell DIR [HELPER_THREADS]
//   tree:  the launcher's remove_tree (handle-bound, never through a link), with the end of
//          a run's helper threads unless HELPER_THREADS says otherwise
//   loop:  FindFirstFileW / DeleteFileW / RemoveDirectoryW, depth first: wine's floor
//   shell: one SHFileOperationW FO_DELETE with the flags the launcher once used
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cwchar>

#include "launcher/remove_tree.h"
#include "payload/format.h"

namespace {

constexpr int exit_code_failed = 3;
// FOF_SILENT | FOF_NOCONFIRMATION | FOF_NOERRORUI.
constexpr FILEOP_FLAGS removal_flags = 0x414;

bool remove_with_shell(const wchar_t* directory) {
  static wchar_t list[entry_path_capacity + 1];
  if (swprintf(list, entry_path_capacity, L"%ls", directory) < 0) return false;
  list[wcslen(list) + 1] = L'\0';
  SHFILEOPSTRUCTW request{};
  request.wFunc = FO_DELETE;
  request.pFrom = list;
  request.fFlags = removal_flags;
  return SHFileOperationW(&request) == 0;
}

// path holds the directory on entry and again on return; it is extended in place.
bool remove_with_loop(wchar_t* path) {
  const size_t length = wcslen(path);
  if (swprintf(path + length, entry_path_capacity - length, L"\\*") < 0) return false;
  WIN32_FIND_DATAW found;
  const HANDLE search = FindFirstFileW(path, &found);
  bool ok = search != INVALID_HANDLE_VALUE;
  while (ok) {
    const bool dots = wcscmp(found.cFileName, L".") == 0 || wcscmp(found.cFileName, L"..") == 0;
    if (!dots) {
      if (swprintf(path + length, entry_path_capacity - length, L"\\%ls", found.cFileName) < 0) {
        ok = false;
        break;
      }
      ok = (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? remove_with_loop(path)
                                                                : DeleteFileW(path) != 0;
    }
    if (ok && !FindNextFileW(search, &found)) break;
  }
  if (search != INVALID_HANDLE_VALUE) FindClose(search);
  path[length] = L'\0';
  return ok && RemoveDirectoryW(path) != 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  static wchar_t path[entry_path_capacity];
  if ((argc != 3 && argc != 4) || swprintf(path, entry_path_capacity, L"%ls", argv[2]) < 0) {
    fprintf(stderr, "usage: bench_remove tree|loop|shell DIR [HELPER_THREADS]\n");
    return exit_code_failed;
  }
  bool removed = false;
  if (wcscmp(argv[1], L"tree") == 0) {
    // As the end of a run removes its tree, unless told otherwise.
    removed = remove_tree(path, argc == 4 ? wcstoul(argv[3], nullptr, 10) : end_of_run_removal_helpers);
  } else {
    removed = wcscmp(argv[1], L"shell") == 0 ? remove_with_shell(path) : remove_with_loop(path);
  }
  if (!removed || GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES) {
    fprintf(stderr, "bench_remove: %ls is still there\n", path);
    return exit_code_failed;
  }
  return 0;
}
