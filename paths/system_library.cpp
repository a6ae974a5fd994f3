#include "paths/system_library.h"

HMODULE load_system_library(const wchar_t* name) {
  HMODULE module = LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
    // Systems without the search flags (Windows 7 before its loader update).
    module = LoadLibraryW(name);
  }
  return module;
}
