#include "paths/shell.h"

#include <shlobj.h>

#include <atomic>

#include "paths/system_library.h"

namespace {

using ShellGetFolderPath = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, LPWSTR);
using ShellSplitCommandLine = LPWSTR*(WINAPI*)(LPCWSTR, int*);

// The console handler's thread may get here at the same time as the main thread; both
// would load the same module and find the same address, so a plain atomic store suffices.
// The module stays loaded for the life of the process.
template <typename Function>
Function find_shell_function(std::atomic<Function>* cache, const char* name) {
  Function function = cache->load();
  if (function != nullptr) return function;
  function = find_library_function<Function>(load_system_library(L"shell32.dll"), name);
  if (function == nullptr) return nullptr;
  cache->store(function);
  return function;
}

std::atomic<ShellGetFolderPath> get_folder_path{nullptr};
std::atomic<ShellSplitCommandLine> split_command_line{nullptr};

}  // namespace

HRESULT shell_get_folder_path(int folder_id, wchar_t* path) {
  const ShellGetFolderPath function = find_shell_function(&get_folder_path, "SHGetFolderPathW");
  if (function == nullptr) return E_FAIL;
  return function(nullptr /* owner */, folder_id, nullptr /* current user */, SHGFP_TYPE_CURRENT, path);
}

wchar_t** shell_split_command_line(const wchar_t* line, int* count) {
  const ShellSplitCommandLine function = find_shell_function(&split_command_line, "CommandLineToArgvW");
  if (function == nullptr) return nullptr;
  return function(line, count);
}
