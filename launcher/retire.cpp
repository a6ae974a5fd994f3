#include "launcher/retire.h"

#include <cwchar>

#include "launcher/remove_tree.h"
#include "launcher/state.h"

namespace {

// Never replaces anything. Windows refuses the rename while a file in the tree is open or
// mapped, so a tree some surviving process uses is never touched; wine renames it anyway.
bool rename_tree_on_handle(HANDLE tree, const wchar_t* new_path) {
  const size_t length = wcslen(new_path);
  if (length >= path_capacity) return false;
  alignas(FILE_RENAME_INFO) unsigned char buffer[sizeof(FILE_RENAME_INFO) + path_capacity * sizeof(wchar_t)] = {};
  FILE_RENAME_INFO* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer);
  rename->ReplaceIfExists = FALSE;
  rename->RootDirectory = nullptr;  // the new name is a whole path
  rename->FileNameLength = static_cast<DWORD>(length * sizeof(wchar_t));
  wmemcpy(rename->FileName, new_path, length + 1);
  const DWORD bytes = static_cast<DWORD>(sizeof(FILE_RENAME_INFO) + length * sizeof(wchar_t));
  return SetFileInformationByHandle(tree, FileRenameInfo, rename, bytes) != FALSE;
}

}  // namespace

bool retire_tree(HANDLE tree, const wchar_t* new_path, const std::atomic<bool>* stop) {
  if (!rename_tree_on_handle(tree, new_path)) {
    CloseHandle(tree);
    return false;
  }
  remove_tree_at(tree, stop);
  return true;
}
