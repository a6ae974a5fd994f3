// TEMPORARY stand-in on the cache branch: the handle-bound remove_tree of the remove-tree
// branch replaces this file when both meet on main. It keeps the same promise in the
// plain way: a link (reparse point) is removed as an entry and never descended into.
#include "launcher/remove_tree.h"

#include <windows.h>

#include <cwchar>
#include <string>

namespace {

bool is_dot_name(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

void remove_entry(const std::wstring& path, DWORD attributes) {
  if (attributes & FILE_ATTRIBUTE_READONLY) SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    DeleteFileW(path.c_str());
  } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
    RemoveDirectoryW(path.c_str());
  } else {
    remove_tree(path.c_str());
  }
}

}  // namespace

bool remove_tree(const wchar_t* directory) {
  const std::wstring root = directory;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((root + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      if (!is_dot_name(found.cFileName)) remove_entry(root + L"\\" + found.cFileName, found.dwFileAttributes);
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(directory);
  return GetFileAttributesW(directory) == INVALID_FILE_ATTRIBUTES;
}
