#include "tools/pack/version_resource.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr size_t node_header_size = 6;  // length, value length, type
constexpr size_t node_alignment = 4;
constexpr uint16_t text_type = 1;
constexpr uint16_t binary_type = 0;
constexpr size_t max_node_length = 0xFFFF;

// VS_FIXEDFILEINFO: its signature and where the two versions sit in it.
constexpr size_t fixed_info_size = 52;
constexpr uint32_t fixed_info_signature = 0xFEEF04BD;
constexpr size_t fixed_file_version_offset = 8;
constexpr size_t fixed_product_version_offset = 16;
constexpr size_t translation_pair_size = 4;
constexpr uint16_t us_english_language = 0x0409;
constexpr uint16_t unicode_code_page = 1200;

const std::u16string root_key = u"VS_VERSION_INFO";
const std::u16string string_file_info_key = u"StringFileInfo";
const std::u16string var_file_info_key = u"VarFileInfo";
const std::u16string translation_key = u"Translation";

uint16_t load_le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

void store_le16(unsigned char* p, uint16_t value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
}

void store_le32(unsigned char* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

size_t align_node(size_t offset) { return (offset + node_alignment - 1) / node_alignment * node_alignment; }

bool fail(std::string* error, const std::string& text) {
  *error = "version resource: " + text;
  return false;
}

// One node at offset, which must end by end; *next is the node's end.
bool parse_node(const Bytes& data, size_t offset, size_t end, int depth, VersionNode* node, size_t* next,
                std::string* error) {
  if (depth > max_version_depth) return fail(error, "nested too deep");
  if (offset > end || end - offset < node_header_size) return fail(error, "a node runs past its parent");
  const size_t length = load_le16(data.data() + offset);
  if (length < node_header_size || length > end - offset) return fail(error, "a node's length is out of range");
  const size_t node_end = offset + length;
  node->value_length = load_le16(data.data() + offset + 2);
  node->type = load_le16(data.data() + offset + 4);
  size_t at = offset + node_header_size;
  for (;; at += 2) {
    if (at + 2 > node_end) return fail(error, "a key runs past its node");
    const uint16_t unit = load_le16(data.data() + at);
    if (unit == 0) break;
    node->key.push_back(static_cast<char16_t>(unit));
  }
  const size_t value_offset = align_node(at + 2);
  const size_t value_size = node->type == text_type ? 2 * size_t{node->value_length} : node->value_length;
  if (value_offset > node_end ? value_size != 0 : value_size > node_end - value_offset) {
    return fail(error, "a value runs past its node");
  }
  if (value_size != 0) node->value.assign(data.begin() + value_offset, data.begin() + value_offset + value_size);
  for (size_t child = align_node(value_offset + value_size); child < node_end;) {
    node->children.emplace_back();
    size_t child_end = 0;
    if (!parse_node(data, child, node_end, depth + 1, &node->children.back(), &child_end, error)) return false;
    child = align_node(child_end);
  }
  *next = node_end;
  return true;
}

void pad_to_alignment(Bytes* out) {
  while (out->size() % node_alignment != 0) out->push_back(0);
}

bool write_node(const VersionNode& node, Bytes* out, std::string* error) {
  const size_t start = out->size();
  out->resize(start + node_header_size, 0);
  store_le16(out->data() + start + 2, node.value_length);
  store_le16(out->data() + start + 4, node.type);
  for (char16_t unit : node.key) {
    out->push_back(static_cast<unsigned char>(unit));
    out->push_back(static_cast<unsigned char>(unit >> 8));
  }
  out->push_back(0);
  out->push_back(0);
  pad_to_alignment(out);
  out->insert(out->end(), node.value.begin(), node.value.end());
  for (const VersionNode& child : node.children) {
    pad_to_alignment(out);
    if (!write_node(child, out, error)) return false;
  }
  const size_t length = out->size() - start;
  if (length > max_node_length) return fail(error, "a node would exceed 65,535 bytes");
  store_le16(out->data() + start, static_cast<uint16_t>(length));
  return true;
}

VersionNode make_text_node(const std::u16string& key, const std::u16string& text) {
  VersionNode node;
  node.key = key;
  node.type = text_type;
  node.value_length = static_cast<uint16_t>(text.size() + 1);
  for (char16_t unit : text) {
    node.value.push_back(static_cast<unsigned char>(unit));
    node.value.push_back(static_cast<unsigned char>(unit >> 8));
  }
  node.value.push_back(0);
  node.value.push_back(0);
  return node;
}

VersionNode* find_child(VersionNode* parent, const std::u16string& key) {
  for (VersionNode& child : parent->children) {
    if (child.key == key) return &child;
  }
  return nullptr;
}

// The string table key ("040904b0") from the first Translation pair, or US English, Unicode.
std::u16string default_table_key(VersionNode* root) {
  uint16_t language = us_english_language;
  uint16_t code_page = unicode_code_page;
  VersionNode* vars = find_child(root, var_file_info_key);
  VersionNode* translation = vars == nullptr ? nullptr : find_child(vars, translation_key);
  if (translation != nullptr && translation->value.size() >= translation_pair_size) {
    language = load_le16(translation->value.data());
    code_page = load_le16(translation->value.data() + 2);
  }
  char text[16];
  snprintf(text, sizeof text, "%04x%04x", language, code_page);
  return std::u16string(text, text + 8);
}

void set_table_strings(VersionNode* root, const VersionEdit& edit) {
  VersionNode* string_info = find_child(root, string_file_info_key);
  if (string_info == nullptr) {
    VersionNode created;
    created.key = string_file_info_key;
    created.type = text_type;
    VersionNode table;
    table.key = default_table_key(root);
    table.type = text_type;
    created.children.push_back(table);
    // StringFileInfo comes before VarFileInfo, as resource compilers write them.
    root->children.insert(root->children.begin(), created);
    string_info = &root->children.front();
  }
  for (VersionNode& table : string_info->children) {
    for (const auto& [key, text] : edit.strings) {
      VersionNode* entry = find_child(&table, key);
      if (entry != nullptr) {
        *entry = make_text_node(key, text);
      } else {
        table.children.push_back(make_text_node(key, text));
      }
    }
  }
}

void store_quad(Bytes* fixed, size_t offset, const VersionQuad& quad) {
  store_le32(fixed->data() + offset, static_cast<uint32_t>(quad[0]) << 16 | quad[1]);
  store_le32(fixed->data() + offset + 4, static_cast<uint32_t>(quad[2]) << 16 | quad[3]);
}

}  // namespace

bool parse_version_resource(const Bytes& data, VersionNode* root, std::string* error) {
  *root = VersionNode{};
  size_t end = 0;
  return parse_node(data, 0, data.size(), 0, root, &end, error);
}

bool write_version_resource(const VersionNode& root, Bytes* data, std::string* error) {
  data->clear();
  return write_node(root, data, error);
}

bool edit_version_resource(const Bytes& data, const VersionEdit& edit, Bytes* out, std::string* error) {
  VersionNode root;
  if (!parse_version_resource(data, &root, error)) return false;
  if (root.key != root_key || root.type != binary_type || root.value.size() < fixed_info_size ||
      (root.value[0] | root.value[1] << 8 | root.value[2] << 16 | static_cast<uint32_t>(root.value[3]) << 24) !=
          fixed_info_signature) {
    return fail(error, "no VS_VERSION_INFO with a fixed part at its root");
  }
  if (edit.file_version) store_quad(&root.value, fixed_file_version_offset, *edit.file_version);
  if (edit.product_version) store_quad(&root.value, fixed_product_version_offset, *edit.product_version);
  if (!edit.strings.empty()) set_table_strings(&root, edit);
  return write_version_resource(root, out, error);
}

std::u16string format_version_quad(const VersionQuad& quad) {
  char text[32];
  snprintf(text, sizeof text, "%u.%u.%u.%u", unsigned{quad[0]}, unsigned{quad[1]}, unsigned{quad[2]},
           unsigned{quad[3]});
  return std::u16string(text, text + strlen(text));
}
