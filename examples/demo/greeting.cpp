#include "greeting.h"

#include <cwchar>

extern "C" GREETING_API int compose_greeting(const wchar_t* name, wchar_t* output, size_t capacity) {
  const int written = std::swprintf(output, capacity, L"Hello, %ls, from greeting.dll!", name);
  // swprintf reports a truncation as a negative count; the caller gets -1 either way.
  return written < 0 ? -1 : written;
}
