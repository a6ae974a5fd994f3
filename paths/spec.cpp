#include "paths/spec.h"

#include <windows.h>
#include <shlobj.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <cwctype>

#include "diag/diag.h"
#include "paths/bounded.h"
#include "paths/env.h"
#include "paths/shell.h"

namespace {

constexpr size_t keyword_capacity = 1024;       // units, terminator included
constexpr size_t pid_text_capacity = 128;       // bytes of the formatted process id
constexpr size_t time_text_capacity = 1024;     // units of the formatted start time
constexpr size_t widened_byte_capacity = 2;     // one widened byte and its terminator
constexpr size_t folder_path_capacity = MAX_PATH;  // what SHGetFolderPathW requires
constexpr size_t exe_suffix_length = 4;
constexpr const wchar_t exe_suffix[] = L".exe";
constexpr const wchar_t program_spec[] = L"{PROGRAM}";

// The output as expand_spec builds it: text from the start of the array, always terminated.
struct Output {
  wchar_t* text;
  size_t capacity;
  size_t length;
};

size_t remaining_room(const Output& out) {
  return out.capacity - out.length;
}

// Keyword text that does not fit is a broken limit (append_bounded ends the process).
void append_text(Output& out, const wchar_t* text) {
  append_bounded(out.text + out.length, text, remaining_room(out));
  out.length += wcslen(out.text + out.length);
}

// Folder paths come with or without a final backslash; the spec supplies its own.
void remove_trailing_backslashes(Output& out) {
  while (out.length > 0 && out.text[out.length - 1] == L'\\') {
    out.text[--out.length] = L'\0';
  }
}

// GetTempPathW writes straight into the output. A path that fails or does not fit adds
// nothing: whatever the call may have left in the room is cut off again.
void append_temp_path(Output& out) {
  wchar_t* end = out.text + out.length;
  const size_t room = remaining_room(out);
  const DWORD room_for_call = room > MAXDWORD ? MAXDWORD : static_cast<DWORD>(room);
  const DWORD length = GetTempPathW(room_for_call, end);
  if (length == 0 || length >= room_for_call || end[length] != L'\0') {
    end[0] = L'\0';
    return;
  }
  out.length += length;
}

// The C runtime's wide argument vector, as it split the command line.
wchar_t* first_argument() {
  wchar_t** arguments = __wargv;
  if (arguments == nullptr || arguments[0] == nullptr) abort_on_broken_limit();
  return arguments[0];
}

// PROGRAM_BASE and PROGRAM_DIR start from the PROGRAM text, expanded right at the end of
// the output, and then cut it. False when that nested expansion fails.
bool append_program_part(Output& out, bool keep_directory_only) {
  wchar_t* appended = out.text + out.length;
  if (!expand_spec(appended, program_spec, remaining_room(out))) return false;
  const size_t length = wcslen(appended);
  if (keep_directory_only) {
    wchar_t* last_backslash = wcsrchr(appended, L'\\');
    if (last_backslash != nullptr) *last_backslash = L'\0';
  } else if (length >= exe_suffix_length && _wcsicmp(appended + length - exe_suffix_length, exe_suffix) == 0) {
    appended[length - exe_suffix_length] = L'\0';
  }
  out.length += wcslen(appended);
  return true;
}

// An inherited parent id must be all decimal digits; anything else is a broken limit.
void append_pid(Output& out) {
  wchar_t* inherited = env_get(env_parent);
  if (inherited != nullptr) {
    for (const wchar_t* unit = inherited; *unit != L'\0'; ++unit) {
      if (!iswctype(static_cast<wint_t>(*unit), _DIGIT)) abort_on_broken_limit();
    }
    append_text(out, inherited);
    free(inherited);
    return;
  }
  char narrow_pid[pid_text_capacity];
  snprintf(narrow_pid, sizeof narrow_pid, "%ld", static_cast<long>(GetCurrentProcessId()));
  wchar_t wide_pid[pid_text_capacity];
  size_t length = 0;
  for (const char* byte = narrow_pid; *byte != '\0'; ++byte) {
    const char single[widened_byte_capacity] = {*byte, '\0'};
    wchar_t unit[widened_byte_capacity] = {};
    if (mbstowcs(unit, single, widened_byte_capacity) != 1) abort_on_broken_limit();
    wide_pid[length++] = unit[0];
  }
  wide_pid[length] = L'\0';
  append_text(out, wide_pid);
}

// An inherited start time becomes part of the target directory's name. One that could
// steer that path (a separator, or a colon for a drive or a stream) is not trusted: it
// counts as absent and is replaced by the current time.
bool is_usable_start_time(const wchar_t* value) {
  return wcspbrk(value, L"\\/:") == nullptr;
}

void append_time(Output& out) {
  wchar_t* inherited = env_get(env_start);
  if (inherited != nullptr && is_usable_start_time(inherited)) {
    append_text(out, inherited);
    free(inherited);
    return;
  }
  free(inherited);
  const uint64_t count = current_file_time();
  wchar_t text[time_text_capacity];
  swprintf(text, time_text_capacity, L"%lld", static_cast<long long>(count));
  // The first expansion fixes the time for every later one, here and in the child.
  env_set(env_start, text);
  append_text(out, text);
}

bool append_folder_keyword(Output& out, int folder_id) {
  if (!append_folder_path(out.text + out.length, folder_id, remaining_room(out))) return false;
  out.length += wcslen(out.text + out.length);
  remove_trailing_backslashes(out);
  return true;
}

// The local application data folder costs a load of shell32 (tens of milliseconds under
// wine). The parent looks it up once and keeps it in the environment, like TIME; its
// child, which expands the same spec, reads the inherited value. A parent never inherits
// it: the role decision removes it.
bool append_cache_dir(Output& out) {
  wchar_t* inherited = env_get(env_cache_dir);
  if (inherited != nullptr) {
    append_text(out, inherited);
    free(inherited);
    remove_trailing_backslashes(out);
    return true;
  }
  const size_t start = out.length;
  if (!append_folder_keyword(out, CSIDL_LOCAL_APPDATA)) return false;
  env_set(env_cache_dir, out.text + start);
  return true;
}

// Appends the text of one keyword. False for a name outside the table and for a failed
// folder lookup.
bool expand_keyword(Output& out, const wchar_t* name) {
  if (_wcsicmp(name, L"TEMP") == 0) {
    append_temp_path(out);
    remove_trailing_backslashes(out);
  } else if (_wcsicmp(name, L"PROGRAM") == 0) {
    append_text(out, first_argument());
  } else if (_wcsicmp(name, L"PROGRAM_BASE") == 0) {
    return append_program_part(out, false);
  } else if (_wcsicmp(name, L"PROGRAM_DIR") == 0) {
    return append_program_part(out, true);
  } else if (_wcsicmp(name, L"PID") == 0) {
    append_pid(out);
  } else if (_wcsicmp(name, L"HOME") == 0) {
    return append_folder_keyword(out, CSIDL_PROFILE);
  } else if (_wcsicmp(name, L"CACHE_DIR") == 0) {
    return append_cache_dir(out);
  } else if (_wcsicmp(name, L"PRODUCT") == 0) {
    append_text(out, product_name);
  } else if (_wcsicmp(name, L"VERSION") == 0) {
    append_text(out, product_version);
  } else if (_wcsicmp(name, L"TIME") == 0) {
    append_time(out);
  } else {
    return false;
  }
  return true;
}

}  // namespace

uint64_t current_file_time() {
  FILETIME now{};
  GetSystemTimeAsFileTime(&now);
  return (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

bool expand_spec(wchar_t* output, const wchar_t* spec, size_t capacity) {
  if (capacity == 0) abort_on_broken_limit();
  Output out{output, capacity, 0};
  output[0] = L'\0';
  wchar_t keyword[keyword_capacity];
  size_t keyword_length = 0;
  bool keyword_open = false;
  // A name longer than the keyword buffer holds: never stored, rejected at its '}'.
  bool keyword_overlong = false;
  for (const wchar_t* unit = spec; *unit != L'\0'; ++unit) {
    if (*unit == L'{') {
      keyword_open = true;
      keyword_overlong = false;
      keyword_length = 0;
    } else if (*unit == L'}') {
      // A '}' with nothing open can only be a mistake in the spec: rejecting it makes the
      // caller name the spec, instead of quietly creating a path with a brace in it.
      if (!keyword_open || keyword_overlong) return false;
      keyword[keyword_length] = L'\0';
      keyword_open = false;
      if (!expand_keyword(out, keyword)) return false;
    } else if (keyword_open) {
      if (keyword_length + 1 < keyword_capacity) {
        keyword[keyword_length++] = *unit;
      } else {
        keyword_overlong = true;
      }
    } else {
      if (remaining_room(out) < 2) return false;  // the unit and the terminator
      output[out.length++] = *unit;
      output[out.length] = L'\0';
    }
  }
  return true;
}

bool append_folder_path(wchar_t* output, int folder_id, size_t capacity) {
  wchar_t folder[folder_path_capacity];
  const HRESULT result = shell_get_folder_path(folder_id, folder);
  if (result != S_OK) return false;
  append_bounded(output, folder, capacity);
  return true;
}
