#include "payload/entry_stream.h"

#include "diag/diag.h"
#include "payload/format.h"
#include "payload/reader.h"

namespace {

// Units are assembled from stream bytes: names may begin at odd offsets.
wchar_t read_unit(PayloadReader& reader) {
  unsigned char bytes[entry_unit_bytes];
  reader.read_exact(bytes, sizeof bytes);
  return static_cast<wchar_t>(bytes[0] | (bytes[1] << 8));
}

bool is_separator(wchar_t unit) {
  return unit == L'\\' || unit == L'/';
}

// A component of dots and spaces with at least two dots: Win32 strips trailing dots and
// spaces, so such a component may act as "..".
bool is_parent_like(const wchar_t* begin, const wchar_t* end) {
  size_t dots = 0;
  for (const wchar_t* p = begin; p != end; ++p) {
    if (*p == L'.') {
      ++dots;
    } else if (*p != L' ') {
      return false;
    }
  }
  return dots >= 2;
}

}  // namespace

bool read_entry_name(PayloadReader& reader, wchar_t* name, size_t capacity) {
  size_t length = 0;
  for (;;) {
    const wchar_t unit = read_unit(reader);
    if (length + 1 >= capacity && unit != L'\0') exit_decode_failed();
    name[length] = unit;
    if (unit == L'\0') return length != 0;
    ++length;
  }
}

uint64_t read_entry_size(PayloadReader& reader) {
  unsigned char bytes[entry_size_bytes];
  reader.read_exact(bytes, sizeof bytes);
  uint64_t size = 0;
  for (size_t i = entry_size_bytes; i-- > 0;) size = (size << 8) | bytes[i];
  return size;
}

bool is_safe_entry_name(const wchar_t* name) {
  if (name[0] == L'\0' || is_separator(name[0])) return false;
  const wchar_t* component = name;
  for (const wchar_t* p = name;; ++p) {
    if (*p == L':') return false;
    if (*p == L'\0' || is_separator(*p)) {
      if (is_parent_like(component, p)) return false;
      if (*p == L'\0') return true;
      component = p + 1;
    }
  }
}
