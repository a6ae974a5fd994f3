#include "paths/product_name.h"

#include <cwchar>

#include "paths/system_library.h"

namespace {

constexpr size_t query_capacity = 64;

using VersionSizeFunction = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using VersionInfoFunction = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using VersionQueryFunction = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

// The ProductName in info, the resource as read, into name.
bool find_product_name(VersionQueryFunction query, const void* info, wchar_t* name, size_t capacity) {
  WORD* translation = nullptr;
  UINT length = 0;
  if (!query(info, L"\\VarFileInfo\\Translation", reinterpret_cast<LPVOID*>(&translation), &length) ||
      translation == nullptr || length < 2 * sizeof(WORD)) {
    return false;
  }
  wchar_t name_query[query_capacity];
  swprintf(name_query, query_capacity, L"\\StringFileInfo\\%04x%04x\\ProductName", translation[0], translation[1]);
  wchar_t* found = nullptr;
  if (!query(info, name_query, reinterpret_cast<LPVOID*>(&found), &length) || found == nullptr || length == 0 ||
      found[0] == L'\0') {
    return false;
  }
  size_t units = 0;
  for (; found[units] != L'\0' && units + 1 < capacity; ++units) name[units] = found[units];
  name[units] = L'\0';
  return true;
}

}  // namespace

bool read_product_name(const wchar_t* module_path, wchar_t* name, size_t capacity) {
  const HMODULE version = load_system_library(L"version.dll");
  const auto size_of = find_library_function<VersionSizeFunction>(version, "GetFileVersionInfoSizeW");
  const auto info_of = find_library_function<VersionInfoFunction>(version, "GetFileVersionInfoW");
  const auto query = find_library_function<VersionQueryFunction>(version, "VerQueryValueW");
  if (size_of == nullptr || info_of == nullptr || query == nullptr || capacity == 0) return false;
  DWORD ignored = 0;
  const DWORD size = size_of(module_path, &ignored);
  if (size == 0 || size > version_info_capacity) return false;
  void* info = HeapAlloc(GetProcessHeap(), 0, size);
  if (info == nullptr) return false;
  const bool found = info_of(module_path, 0, size, info) && find_product_name(query, info, name, capacity);
  HeapFree(GetProcessHeap(), 0, info);
  return found;
}
