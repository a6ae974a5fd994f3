#include "paths/bounded.h"

#include <cstring>
#include <cwchar>

#include "diag/diag.h"

size_t bounded_length(const wchar_t* text, size_t capacity) {
  for (size_t i = 0; i < capacity; ++i) {
    if (text[i] == L'\0') return i;
  }
  abort_on_broken_limit();
}

void copy_bounded(wchar_t* destination, const wchar_t* source, size_t capacity) {
  const size_t length = wcslen(source);
  if (length >= capacity) abort_on_broken_limit();
  // memmove: the source may lie further along in the destination's own buffer.
  memmove(destination, source, (length + 1) * sizeof(wchar_t));
}

void append_bounded(wchar_t* destination, const wchar_t* source, size_t capacity) {
  const size_t used = bounded_length(destination, capacity);
  copy_bounded(destination + used, source, capacity - used);
}

bool join_path(wchar_t* output, size_t capacity, const wchar_t* directory, const wchar_t* name) {
  if (wcslen(directory) + 1 + wcslen(name) >= capacity) return false;
  copy_bounded(output, directory, capacity);
  append_bounded(output, L"\\", capacity);
  append_bounded(output, name, capacity);
  return true;
}
