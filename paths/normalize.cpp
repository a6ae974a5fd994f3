#include "paths/normalize.h"

#include <windows.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "diag/diag.h"
#include "paths/bounded.h"
#include "paths/system_library.h"

namespace {

constexpr wchar_t extended_prefix[] = L"\\\\?\\";
constexpr size_t extended_prefix_length = 4;
constexpr wchar_t unc_prefix[] = L"\\\\?\\UNC\\";
constexpr size_t unc_prefix_length = 8;
// "\\?\C:": the drive colon is the sixth unit.
constexpr size_t drive_colon_index = 5;
// What "\\?\UNC\" shrinks to: the two backslashes of an ordinary network path.
constexpr size_t network_prefix_length = 2;

using FinalPathFunction = DWORD(WINAPI*)(HANDLE, LPWSTR, DWORD, DWORD);

enum class Resolution { resolved, cannot_open, too_long };

// Looked up on every call rather than imported, so that the launcher starts on systems
// that lack the function; without it the input path is used as it stands.
DWORD query_final_path(HANDLE file, wchar_t* output, size_t capacity) {
  const auto function =
      find_library_function<FinalPathFunction>(GetModuleHandleA("Kernel32.dll"), "GetFinalPathNameByHandleW");
  if (function == nullptr) return 0;
  return function(file, output, static_cast<DWORD>(capacity), 0 /* normalised, drive-letter form */);
}

// The final path goes to a heap buffer first, so that a result that does not fit leaves
// output (which may be the input) as it was.
Resolution resolve_final_path(wchar_t* output, const wchar_t* input, size_t capacity) {
  HANDLE file = CreateFileW(input, 0, 7 /* share read, write, delete */, nullptr, OPEN_EXISTING,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return Resolution::cannot_open;
  wchar_t* final_path = static_cast<wchar_t*>(malloc(capacity * sizeof(wchar_t)));
  if (final_path == nullptr) abort_on_broken_limit();
  const DWORD length = query_final_path(file, final_path, capacity);
  CloseHandle(file);
  if (length >= capacity) {
    free(final_path);
    return Resolution::too_long;
  }
  copy_bounded(output, length == 0 ? input : final_path, capacity);
  free(final_path);
  return Resolution::resolved;
}

}  // namespace

void remove_extended_prefix(wchar_t* path) {
  const size_t length = wcslen(path);
  if (length > drive_colon_index && wcsncmp(path, extended_prefix, extended_prefix_length) == 0 &&
      path[drive_colon_index] == L':') {
    memmove(path, path + extended_prefix_length, (length - extended_prefix_length + 1) * sizeof(wchar_t));
    return;
  }
  if (wcsncmp(path, unc_prefix, unc_prefix_length) == 0) {
    // The two leading backslashes stay; the server name moves up behind them.
    memmove(path + network_prefix_length, path + unc_prefix_length,
            (length - unc_prefix_length + 1) * sizeof(wchar_t));
  }
}

void normalize_path(wchar_t* output, const wchar_t* input, size_t capacity) {
  if (resolve_final_path(output, input, capacity) != Resolution::resolved) abort_on_broken_limit();
  remove_extended_prefix(output);
}

bool try_normalize_path(wchar_t* output, const wchar_t* input, size_t capacity) {
  if (resolve_final_path(output, input, capacity) != Resolution::resolved) return false;
  remove_extended_prefix(output);
  return true;
}

namespace {

// Replaces directory (terminated in place) by its short form. A directory that has no short
// form, or that vanished between the size query and the lookup, stays in its long form.
void replace_by_short_form(wchar_t* directory, size_t capacity) {
  const DWORD needed = GetShortPathNameW(directory, nullptr, 0);
  if (needed == 0) return;
  wchar_t* short_form = static_cast<wchar_t*>(malloc((static_cast<size_t>(needed) + 1) * sizeof(wchar_t)));
  if (short_form == nullptr) abort_on_broken_limit();
  const DWORD length = GetShortPathNameW(directory, short_form, needed);
  if (length > needed) abort_on_broken_limit();
  if (length != 0) copy_bounded(directory, short_form, capacity);
  free(short_form);
}

}  // namespace

void shorten_directory(wchar_t* path, size_t capacity) {
  wchar_t* last_separator = wcsrchr(path, L'\\');
  wchar_t* last_component = nullptr;
  if (last_separator != nullptr) {
    last_component = _wcsdup(last_separator + 1);
    if (last_component == nullptr) abort_on_broken_limit();
    *last_separator = L'\0';
  }
  replace_by_short_form(path, capacity);
  if (last_component != nullptr) {
    append_bounded(path, L"\\", capacity);
    append_bounded(path, last_component, capacity);
    free(last_component);
  }
}
