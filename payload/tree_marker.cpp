#include "payload/tree_marker.h"

#include <cstdlib>
#include <cstring>

#include "payload/format.h"

namespace {

constexpr size_t marker_initial_capacity = 65536;

void append_bytes(TreeMarkerBuilder& builder, const void* bytes, size_t count) {
  if (builder.failed) return;
  if (builder.size + count > builder.capacity) {
    size_t capacity = builder.capacity == 0 ? marker_initial_capacity : builder.capacity;
    while (capacity < builder.size + count) capacity *= 2;
    auto* grown = static_cast<unsigned char*>(realloc(builder.data, capacity));
    if (grown == nullptr) {
      builder.failed = true;
      return;
    }
    builder.data = grown;
    builder.capacity = capacity;
  }
  memcpy(builder.data + builder.size, bytes, count);
  builder.size += count;
}

// UTF-16LE units and the terminating 0x0000.
void append_text(TreeMarkerBuilder& builder, const wchar_t* text) {
  for (const wchar_t* unit = text;; ++unit) {
    const unsigned char bytes[entry_unit_bytes] = {static_cast<unsigned char>(*unit & 0xFF),
                                                   static_cast<unsigned char>((*unit >> 8) & 0xFF)};
    append_bytes(builder, bytes, sizeof bytes);
    if (*unit == L'\0') return;
  }
}

// A cursor over a record or resource held in memory; every read checks the bytes left.
struct ByteCursor {
  const unsigned char* data;
  size_t size;
  size_t position;
};

// Reads one terminated UTF-16LE text into text (capacity units). False when the bytes
// end first or it does not fit.
bool read_text(ByteCursor& cursor, wchar_t* text, size_t capacity) {
  for (size_t length = 0;; ++length) {
    if (length >= capacity || cursor.size - cursor.position < entry_unit_bytes) return false;
    const unsigned char* unit = cursor.data + cursor.position;
    cursor.position += entry_unit_bytes;
    text[length] = static_cast<wchar_t>(unit[0] | (unit[1] << 8));
    if (text[length] == L'\0') return true;
  }
}

bool read_size(ByteCursor& cursor, uint64_t* size) {
  if (cursor.size - cursor.position < entry_size_bytes) return false;
  uint64_t value = 0;
  for (size_t i = entry_size_bytes; i-- > 0;) value = (value << 8) | cursor.data[cursor.position + i];
  cursor.position += entry_size_bytes;
  *size = value;
  return true;
}

bool is_hex_digit(wchar_t unit) {
  return (unit >= L'0' && unit <= L'9') || (unit >= L'a' && unit <= L'f');
}

size_t text_length(const wchar_t* text) {
  size_t length = 0;
  while (text[length] != L'\0') ++length;
  return length;
}

}  // namespace

bool is_digest_text(const wchar_t* text, size_t length) {
  if (length != place_digest_units) return false;
  for (size_t i = 0; i < length; ++i) {
    if (!is_hex_digit(text[i])) return false;
  }
  return true;
}

void begin_tree_marker(TreeMarkerBuilder& builder, const wchar_t* digest) {
  append_bytes(builder, tree_marker_magic, sizeof tree_marker_magic);
  append_text(builder, digest);
}

void add_marker_entry(TreeMarkerBuilder& builder, const wchar_t* name, uint64_t size) {
  append_text(builder, name);
  unsigned char bytes[entry_size_bytes];
  for (size_t i = 0; i < entry_size_bytes; ++i) bytes[i] = static_cast<unsigned char>(size >> (8 * i));
  append_bytes(builder, bytes, sizeof bytes);
}

void end_tree_marker(TreeMarkerBuilder& builder) {
  append_text(builder, L"");
}

void release_tree_marker(TreeMarkerBuilder& builder) {
  free(builder.data);
  builder = TreeMarkerBuilder{};
}

bool walk_tree_marker(const unsigned char* data, size_t size, const wchar_t* digest, MarkerEntryVisitor visit,
                      void* context) {
  if (data == nullptr || size < sizeof tree_marker_magic ||
      memcmp(data, tree_marker_magic, sizeof tree_marker_magic) != 0) {
    return false;
  }
  ByteCursor cursor{data, size, sizeof tree_marker_magic};
  wchar_t recorded[place_digest_units + 1];
  if (!read_text(cursor, recorded, place_digest_units + 1)) return false;
  if (!is_digest_text(recorded, text_length(recorded))) return false;
  for (size_t i = 0; i <= place_digest_units; ++i) {
    if (recorded[i] != digest[i]) return false;
  }
  wchar_t name[entry_name_capacity];
  for (;;) {
    if (!read_text(cursor, name, entry_name_capacity)) return false;
    // The end: an empty name with nothing after it.
    if (name[0] == L'\0') return cursor.position == cursor.size;
    uint64_t entry_size = 0;
    if (!read_size(cursor, &entry_size) || !visit(name, entry_size, context)) return false;
  }
}

bool parse_place_resource(const unsigned char* data, size_t size, wchar_t* spec, wchar_t* digest, wchar_t* folder) {
  if (data == nullptr) return false;
  ByteCursor cursor{data, size, 0};
  folder[0] = L'\0';
  if (!read_text(cursor, spec, place_spec_capacity)) return false;
  if (!read_text(cursor, digest, place_digest_units + 1)) return false;
  // A cached tree has its digest; a folder alone has an empty one.
  const bool cached = spec[0] != L'\0';
  if (cached ? !is_digest_text(digest, text_length(digest)) : digest[0] != L'\0') return false;
  // The folder is a later addition: a resource that ends after the digest has none.
  if (cursor.position == cursor.size) return cached;
  if (!read_text(cursor, folder, place_spec_capacity) || cursor.position != cursor.size) return false;
  return cached || folder[0] != L'\0';
}
