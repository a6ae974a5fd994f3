#include "launcher/run.h"

#include <windows.h>

#include "diag/diag.h"
#include "diag/messages.h"
#include "launcher/state.h"
#include "launcher/trace.h"
#include "paths/system_library.h"

namespace {

using AddDllDirectoryFunction = DLL_DIRECTORY_COOKIE(WINAPI*)(PCWSTR);

// Looked up at run time: Windows 7 without its loader update lacks the function, and the
// launcher must start there all the same. The load below does not depend on it.
void add_target_to_dll_directories() {
  const auto add_directory =
      find_library_function<AddDllDirectoryFunction>(GetModuleHandleA("Kernel32.dll"), "AddDllDirectory");
  if (add_directory == nullptr) return;
  add_directory(launcher_state.target_directory);
}

}  // namespace

int run_main_library() {
  add_target_to_dll_directories();
  HMODULE library = LoadLibraryExW(launcher_state.main_library_path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  if (library == nullptr) {
    const DWORD error = GetLastError();
    exit_with_system_error(message_load_failed, error);
  }
  trace_step("library-loaded");
  const FARPROC entry = GetProcAddress(library, "run_code");
  if (entry == nullptr) exit_with_message(message_entry_point_missing);
  const auto entry_point = reinterpret_cast<RunCode>(reinterpret_cast<void (*)()>(entry));
  const int result = entry_point(launcher_state.argument_count, launcher_state.argument_vector);
  trace_step("run-code-returned");
  return result;
}
