#include "launcher/quoting.h"

#include <cwchar>

namespace {

bool needs_quotes(const wchar_t* argument) {
  if (argument[0] == L'\0') return true;
  return wcspbrk(argument, L" \t\n\v\"") != nullptr;
}

// Appends units one at a time, refusing the first one that would leave no room for the
// terminator; the caller restores the terminator at the old length on failure.
struct LineWriter {
  wchar_t* line;
  size_t capacity;
  size_t length;
  bool ok;

  void put(wchar_t unit) {
    if (!ok) return;
    if (length + 1 >= capacity) {
      ok = false;
      return;
    }
    line[length++] = unit;
  }
  void put_repeated(wchar_t unit, size_t count) {
    for (size_t i = 0; i < count && ok; ++i) put(unit);
  }
};

void write_quoted(LineWriter& writer, const wchar_t* argument) {
  writer.put(L'"');
  const wchar_t* p = argument;
  for (;;) {
    size_t backslashes = 0;
    while (*p == L'\\') {
      ++backslashes;
      ++p;
    }
    if (*p == L'\0') {
      // Doubled so that the closing quote is not taken as escaped.
      writer.put_repeated(L'\\', backslashes * 2);
      writer.put(L'"');
      return;
    }
    if (*p == L'"') {
      writer.put_repeated(L'\\', backslashes * 2 + 1);
    } else {
      writer.put_repeated(L'\\', backslashes);
    }
    writer.put(*p);
    ++p;
  }
}

// Appends argument at length, a known end of line: the line is never scanned again.
// Returns false, with the terminator back at length, when it does not fit.
bool append_at(wchar_t* line, size_t capacity, size_t* length, const wchar_t* argument) {
  LineWriter writer{line, capacity, *length, true};
  if (needs_quotes(argument)) {
    write_quoted(writer, argument);
  } else {
    for (const wchar_t* p = argument; *p != L'\0'; ++p) writer.put(*p);
  }
  if (writer.ok) *length = writer.length;
  line[*length] = L'\0';
  return writer.ok;
}

}  // namespace

bool append_quoted_argument(wchar_t* line, size_t capacity, const wchar_t* argument) {
  size_t length = 0;
  while (length < capacity && line[length] != L'\0') ++length;
  if (length >= capacity) return false;
  return append_at(line, capacity, &length, argument);
}

bool join_command_line(wchar_t* line, size_t capacity, const wchar_t* const* arguments, size_t count) {
  if (capacity == 0) return false;
  line[0] = L'\0';
  size_t length = 0;
  for (size_t i = 0; i < count; ++i) {
    if (i > 0) {
      if (length + 2 > capacity) break;
      line[length++] = L' ';
      line[length] = L'\0';
    }
    if (!append_at(line, capacity, &length, arguments[i])) break;
    if (i + 1 == count) return true;
  }
  if (count == 0) return true;
  // No child is ever started with a cut line.
  line[0] = L'\0';
  return false;
}
