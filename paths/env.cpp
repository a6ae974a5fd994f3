#include "paths/env.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "diag/diag.h"

namespace {

// Names are ASCII and at most 24 characters today; 39 leaves room without a heap buffer.
constexpr size_t env_name_capacity = 40;
// The longest value the system allows (32,767 units) and its terminator.
constexpr size_t env_value_capacity = 32768;
// One widened byte and the terminator mbstowcs writes after it.
constexpr size_t widened_byte_capacity = 2;

// Widens a narrow name byte by byte. The runtime's locale is never changed, so each ASCII
// byte becomes the unit of the same value; anything that does not give exactly one unit,
// and a name too long for the buffer, is a broken limit.
void widen_name(const char* name, wchar_t* wide) {
  size_t length = 0;
  wide[0] = L'\0';
  for (const char* byte = name; *byte != '\0'; ++byte) {
    const char single[widened_byte_capacity] = {*byte, '\0'};
    wchar_t unit[widened_byte_capacity] = {};
    if (mbstowcs(unit, single, widened_byte_capacity) != 1) abort_on_broken_limit();
    if (length + 2 > env_name_capacity) abort_on_broken_limit();
    wide[length++] = unit[0];
    wide[length] = L'\0';
  }
}

}  // namespace

wchar_t* env_get(const char* name) {
  wchar_t wide_name[env_name_capacity];
  widen_name(name, wide_name);
  wchar_t value[env_value_capacity];
  const DWORD length = GetEnvironmentVariableW(wide_name, value, env_value_capacity);
  // 0: unset or empty. A result as large as the buffer is the size it would need.
  if (length == 0 || length >= env_value_capacity) return nullptr;
  return _wcsdup(value);
}

bool env_set(const char* name, const wchar_t* value) {
  wchar_t wide_name[env_name_capacity];
  widen_name(name, wide_name);
  return SetEnvironmentVariableW(wide_name, value) != FALSE;
}

bool env_unset(const char* name) {
  wchar_t wide_name[env_name_capacity];
  widen_name(name, wide_name);
  return SetEnvironmentVariableW(wide_name, nullptr /* remove */) != FALSE;
}
