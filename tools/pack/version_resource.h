// The version resource (RT_VERSION): a tree of nodes, each a length, a value length, a
// type, a UTF-16 key, a value and children, every part aligned to 4 bytes. It is read into
// VersionNode, changed there and written out again with every length computed afresh.
// Portable: no Windows header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tools/pack/pe_resources.h"

constexpr uint16_t resource_type_version = 16;
constexpr uint16_t application_version_id = 1;
// Deeper than any real resource (VS_VERSION_INFO, StringFileInfo, table, string: 4); bounds
// the recursion over a hostile one.
constexpr int max_version_depth = 8;

struct VersionNode {
  std::u16string key;
  uint16_t type = 0;          // 1: the value is text, 0: binary
  uint16_t value_length = 0;  // as stored: UTF-16 units for text, bytes for binary
  Bytes value;
  std::vector<VersionNode> children;
};

// Four numbers of 0 to 65535, most significant first.
using VersionQuad = std::array<uint16_t, 4>;

struct VersionEdit {
  std::optional<VersionQuad> file_version;
  std::optional<VersionQuad> product_version;
  // String table entries to set (key, UTF-16 text), in every table of StringFileInfo.
  std::vector<std::pair<std::u16string, std::u16string>> strings;
};

// The node tree of a version resource; false with *error when any length or key runs past
// its parent or the data.
bool parse_version_resource(const Bytes& data, VersionNode* root, std::string* error);

// The bytes of a node tree, lengths and padding computed; false when a node exceeds the
// 16-bit length field.
bool write_version_resource(const VersionNode& root, Bytes* data, std::string* error);

// Applies edit to the resource in data: the fixed part's version numbers, and each string
// in every string table (added at the table's end when missing). A resource without a
// StringFileInfo gets one, keyed by the language and code page of its Translation (US
// English, Unicode when that is missing too).
bool edit_version_resource(const Bytes& data, const VersionEdit& edit, Bytes* out, std::string* error);

// "A.B.C.D" as written in the string table.
std::u16string format_version_quad(const VersionQuad& quad);
