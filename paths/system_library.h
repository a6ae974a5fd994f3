// Loading a DLL of the system directory at run time, for the libraries that only one role
// (or only a late step) needs, so that a start that does not need them does not pay for
// their loading.
#pragma once

#include <windows.h>

// The named DLL from the system directory only, never one found beside the executable or
// in the current directory; nullptr when it cannot be loaded.
HMODULE load_system_library(const wchar_t* name);

// GetProcAddress typed as the function it finds; nullptr when module or name is missing.
// Also for functions of modules every process has loaded (kernel32, ntdll) that an older
// system may lack, so that the launcher still starts there.
template <typename Function>
Function find_library_function(HMODULE module, const char* name) {
  if (module == nullptr) return nullptr;
  const FARPROC found = GetProcAddress(module, name);
  if (found == nullptr) return nullptr;
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
}
