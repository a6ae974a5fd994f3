#include "tools/pack/pe_resources.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "payload/format.h"

namespace {

// Headers of the file.
constexpr size_t dos_header_size = 64;
constexpr uint16_t dos_magic = 0x5A4D;  // "MZ"
constexpr size_t dos_pe_offset_field = 0x3C;
constexpr uint32_t pe_signature = 0x00004550;  // "PE\0\0"
constexpr size_t pe_signature_size = 4;
constexpr size_t coff_header_size = 20;
constexpr uint16_t machine_amd64 = 0x8664;
constexpr size_t coff_section_count_field = 2;
constexpr size_t coff_symbol_table_field = 8;
constexpr size_t coff_optional_size_field = 16;
constexpr uint16_t optional_magic_pe32plus = 0x20B;
constexpr size_t optional_initialized_data_field = 8;
constexpr size_t optional_section_alignment_field = 32;
constexpr size_t optional_file_alignment_field = 36;
constexpr size_t optional_image_size_field = 56;
constexpr size_t optional_headers_size_field = 60;
constexpr size_t optional_checksum_field = 64;
constexpr size_t optional_subsystem_field = 68;
constexpr size_t optional_directory_count_field = 108;
constexpr size_t optional_directories_field = 112;
constexpr size_t data_directory_size = 8;
constexpr uint32_t resource_directory_index = 2;
constexpr uint32_t certificate_directory_index = 4;
constexpr size_t section_header_size = 40;
constexpr size_t section_name_size = 8;
constexpr uint16_t max_section_count = 96;  // the loader's own limit
constexpr uint32_t max_file_alignment = 65536;
// The resource section's file data starts on a page boundary. Wine maps a section from the
// file only when its file offset is page-aligned and otherwise copies the whole section
// into memory at every process start: for a 47 MB payload that was about 0.05 s in each of
// a start's two processes, even when nothing is unpacked. Windows loads either on demand;
// the padding costs less than a page.
constexpr uint64_t mapped_section_alignment = 4096;
constexpr char packed_section_name[section_name_size] = {'.', 'r', 's', 'r', 'c', 0, 0, 0};

// The resource tree: three levels (type, name, language) of tables, then data entries.
constexpr size_t resource_table_header_size = 16;
constexpr size_t resource_table_named_count_field = 12;
constexpr size_t resource_entry_size = 8;
constexpr size_t resource_data_entry_size = 16;
constexpr uint32_t resource_high_bit = 0x80000000;
constexpr int resource_tree_depth = 3;
constexpr size_t resource_data_alignment = 8;
// A hostile tree can point many entries at one table; these bound the work and the copies.
constexpr size_t max_resource_entries = 1 << 16;
constexpr uint64_t max_kept_resource_bytes = uint64_t{256} << 20;
constexpr uint64_t max_image_size = 0xFFFFFFFF;

struct Section {
  char name[section_name_size];
  uint32_t virtual_size;
  uint32_t virtual_address;
  uint32_t raw_size;
  uint32_t raw_pointer;
  uint32_t characteristics;
};

struct PeLayout {
  size_t coff_offset = 0;
  size_t optional_offset = 0;
  size_t section_table_offset = 0;
  uint32_t section_alignment = 0;
  uint32_t file_alignment = 0;
  uint32_t headers_size = 0;
  uint32_t resource_rva = 0;
  uint32_t resource_size = 0;
  bool has_certificate = false;  // a signature is appended: readable, never rewritten
  std::vector<Section> sections;
};

uint16_t load_u16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t load_u32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void store_u16(unsigned char* p, uint16_t value) {
  p[0] = static_cast<unsigned char>(value);
  p[1] = static_cast<unsigned char>(value >> 8);
}

void store_u32(unsigned char* p, uint32_t value) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<unsigned char>(value >> (8 * i));
}

// True when [offset, offset + length) lies inside a buffer of size bytes.
bool fits(size_t size, uint64_t offset, uint64_t length) {
  return offset <= size && length <= size - offset;
}

uint64_t align_up(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

bool is_power_of_two(uint32_t value) { return value != 0 && (value & (value - 1)) == 0; }

bool fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

bool parse_file_headers(const Bytes& image, PeLayout* layout, std::string* error) {
  if (image.size() < dos_header_size || load_u16(image.data()) != dos_magic) {
    return fail(error, "not a Windows executable (no MZ header)");
  }
  const uint32_t pe_offset = load_u32(image.data() + dos_pe_offset_field);
  if (!fits(image.size(), pe_offset, pe_signature_size + coff_header_size) ||
      load_u32(image.data() + pe_offset) != pe_signature) {
    return fail(error, "not a PE executable (no PE signature)");
  }
  layout->coff_offset = pe_offset + pe_signature_size;
  const unsigned char* coff = image.data() + layout->coff_offset;
  if (load_u16(coff) != machine_amd64) {
    return fail(error, "not a 64-bit x86-64 executable (machine type is not AMD64)");
  }
  const size_t optional_size = load_u16(coff + coff_optional_size_field);
  layout->optional_offset = layout->coff_offset + coff_header_size;
  if (optional_size < sizeof(uint16_t) || !fits(image.size(), layout->optional_offset, optional_size) ||
      load_u16(image.data() + layout->optional_offset) != optional_magic_pe32plus) {
    return fail(error, "not a PE32+ image (the optional header is not the 64-bit form)");
  }
  if (optional_size < optional_directories_field) return fail(error, "optional header too short");
  layout->section_table_offset = layout->optional_offset + optional_size;
  return true;
}

bool parse_optional_header(const Bytes& image, PeLayout* layout, std::string* error) {
  const unsigned char* optional = image.data() + layout->optional_offset;
  const size_t optional_size = layout->section_table_offset - layout->optional_offset;
  layout->section_alignment = load_u32(optional + optional_section_alignment_field);
  layout->file_alignment = load_u32(optional + optional_file_alignment_field);
  layout->headers_size = load_u32(optional + optional_headers_size_field);
  if (layout->headers_size > image.size()) return fail(error, "SizeOfHeaders lies past the end of the file");
  if (!is_power_of_two(layout->file_alignment) || !is_power_of_two(layout->section_alignment) ||
      layout->file_alignment > max_file_alignment || layout->file_alignment > layout->section_alignment) {
    return fail(error, "invalid file or section alignment in the optional header");
  }
  const uint32_t directory_count = load_u32(optional + optional_directory_count_field);
  if (directory_count <= resource_directory_index ||
      optional_directories_field + uint64_t{directory_count} * data_directory_size > optional_size) {
    return fail(error, "the optional header has no resource data directory");
  }
  const unsigned char* resource = optional + optional_directories_field +
                                  resource_directory_index * data_directory_size;
  layout->resource_rva = load_u32(resource);
  layout->resource_size = load_u32(resource + 4);
  layout->has_certificate = directory_count > certificate_directory_index &&
                            load_u32(optional + optional_directories_field +
                                     certificate_directory_index * data_directory_size + 4) != 0;
  return true;
}

bool parse_section_table(const Bytes& image, PeLayout* layout, std::string* error) {
  const uint16_t count = load_u16(image.data() + layout->coff_offset + coff_section_count_field);
  if (count > max_section_count) return fail(error, "too many sections");
  if (!fits(image.size(), layout->section_table_offset, uint64_t{count} * section_header_size)) {
    return fail(error, "the section table extends past the end of the file");
  }
  for (uint16_t i = 0; i < count; ++i) {
    const unsigned char* header = image.data() + layout->section_table_offset + i * section_header_size;
    Section section;
    memcpy(section.name, header, section_name_size);
    section.virtual_size = load_u32(header + 8);
    section.virtual_address = load_u32(header + 12);
    section.raw_size = load_u32(header + 16);
    section.raw_pointer = load_u32(header + 20);
    section.characteristics = load_u32(header + 36);
    if (section.raw_size != 0 && !fits(image.size(), section.raw_pointer, section.raw_size)) {
      return fail(error, "section " + std::to_string(i + 1) + " extends past the end of the file (truncated?)");
    }
    layout->sections.push_back(section);
  }
  return true;
}

bool parse_pe_layout(const Bytes& image, PeLayout* layout, std::string* error) {
  return parse_file_headers(image, layout, error) && parse_optional_header(image, layout, error) &&
         parse_section_table(image, layout, error);
}

// The file offset of [rva, rva + length), which must lie in the file data of one section
// (the part that the loader maps).
bool rva_to_offset(const PeLayout& layout, uint64_t rva, uint64_t length, size_t* offset) {
  for (const Section& section : layout.sections) {
    const uint64_t mapped = section.virtual_size == 0 ? section.raw_size
                                                      : std::min(section.raw_size, section.virtual_size);
    if (rva >= section.virtual_address && rva - section.virtual_address <= mapped &&
        length <= mapped - (rva - section.virtual_address)) {
      *offset = static_cast<size_t>(section.raw_pointer + (rva - section.virtual_address));
      return true;
    }
  }
  return false;
}

// Called for each data entry with the keys above it and where its data lies in the file.
using DataVisitor = std::function<bool(const ResourceItem& keys, size_t data_offset, uint32_t size,
                                       std::string* error)>;

struct TreeReader {
  const Bytes& image;
  const PeLayout& layout;
  const DataVisitor& visit;
  size_t entries_seen = 0;
};

bool read_entry_key(TreeReader& reader, uint32_t field, ResourceKey* key, std::string* error) {
  if ((field & resource_high_bit) == 0) {
    if (field > 0xFFFF) return fail(error, "resource id out of range");
    key->is_name = false;
    key->id = static_cast<uint16_t>(field);
    return true;
  }
  const uint64_t rva = uint64_t{reader.layout.resource_rva} + (field & ~resource_high_bit);
  size_t offset = 0;
  if (!rva_to_offset(reader.layout, rva, sizeof(uint16_t), &offset)) {
    return fail(error, "resource name outside the image");
  }
  const uint16_t length = load_u16(reader.image.data() + offset);
  if (!rva_to_offset(reader.layout, rva, sizeof(uint16_t) * (uint64_t{length} + 1), &offset)) {
    return fail(error, "resource name outside the image");
  }
  key->is_name = true;
  key->name.clear();
  for (uint16_t i = 0; i < length; ++i) {
    key->name.push_back(static_cast<char16_t>(load_u16(reader.image.data() + offset + 2 + 2 * i)));
  }
  return true;
}

bool is_payload_key(const ResourceKey& type, const ResourceKey& name) {
  return !type.is_name && type.id == payload_resource_type && !name.is_name && name.id == payload_resource_id;
}

bool read_data_entry(TreeReader& reader, uint32_t field, ResourceItem& item, std::string* error) {
  size_t offset = 0;
  if (!rva_to_offset(reader.layout, uint64_t{reader.layout.resource_rva} + field, resource_data_entry_size,
                     &offset)) {
    return fail(error, "resource data entry outside the image");
  }
  const unsigned char* entry = reader.image.data() + offset;
  const uint32_t data_rva = load_u32(entry);
  const uint32_t size = load_u32(entry + 4);
  item.code_page = load_u32(entry + 8);
  size_t data_offset = 0;
  if (!rva_to_offset(reader.layout, data_rva, size, &data_offset)) {
    return fail(error, "resource data outside the file");
  }
  return reader.visit(item, data_offset, size, error);
}

// Reads the table at table_field (an offset from the root) at depth 0 (types), 1 (names)
// or 2 (languages). item holds the keys of the levels above.
bool read_resource_table(TreeReader& reader, uint32_t table_field, int depth, ResourceItem& item,
                         std::string* error) {
  const uint64_t rva = uint64_t{reader.layout.resource_rva} + table_field;
  size_t offset = 0;
  if (!rva_to_offset(reader.layout, rva, resource_table_header_size, &offset)) {
    return fail(error, "resource table outside the image");
  }
  const unsigned char* header = reader.image.data() + offset;
  const size_t count = size_t{load_u16(header + resource_table_named_count_field)} +
                       load_u16(header + resource_table_named_count_field + 2);
  if (!rva_to_offset(reader.layout, rva, resource_table_header_size + count * resource_entry_size, &offset)) {
    return fail(error, "resource table outside the image");
  }
  for (size_t i = 0; i < count; ++i) {
    if (++reader.entries_seen > max_resource_entries) return fail(error, "too many resource entries");
    const unsigned char* entry = reader.image.data() + offset + resource_table_header_size + i * resource_entry_size;
    ResourceKey* key = depth == 0 ? &item.type : depth == 1 ? &item.name : &item.language;
    if (!read_entry_key(reader, load_u32(entry), key, error)) return false;
    const uint32_t target = load_u32(entry + 4);
    const bool is_table = (target & resource_high_bit) != 0;
    if (is_table != (depth + 1 < resource_tree_depth)) {
      return fail(error, "resource tree is not three levels deep");
    }
    const bool ok = is_table ? read_resource_table(reader, target & ~resource_high_bit, depth + 1, item, error)
                             : read_data_entry(reader, target, item, error);
    if (!ok) return false;
  }
  return true;
}

bool walk_resources(const Bytes& image, const PeLayout& layout, const DataVisitor& visit, std::string* error) {
  if (layout.resource_rva == 0 && layout.resource_size == 0) return true;
  TreeReader reader{image, layout, visit};
  ResourceItem item;
  return read_resource_table(reader, 0, 0, item, error);
}

// Copies every resource but the payload (of any language), whose bytes are neither copied
// nor counted when skip_payload is set: a packed exe packed again drops its old payload.
bool collect_resources(const Bytes& image, const PeLayout& layout, bool skip_payload,
                       std::vector<ResourceItem>* items, std::string* error) {
  items->clear();
  uint64_t bytes_kept = 0;
  const DataVisitor copy = [&](const ResourceItem& keys, size_t data_offset, uint32_t size, std::string* fault) {
    if (skip_payload && is_payload_key(keys.type, keys.name)) return true;
    bytes_kept += size;
    if (bytes_kept > max_kept_resource_bytes) return fail(fault, "resources too large to carry over");
    items->push_back(keys);
    items->back().data.assign(image.begin() + static_cast<std::ptrdiff_t>(data_offset),
                              image.begin() + static_cast<std::ptrdiff_t>(data_offset + size));
    return true;
  };
  return walk_resources(image, layout, copy, error);
}

}  // namespace

bool read_resources(const Bytes& image, std::vector<ResourceItem>* items, std::string* error) {
  PeLayout layout;
  return parse_pe_layout(image, &layout, error) && collect_resources(image, layout, false, items, error);
}

bool locate_resource(const Bytes& image, uint16_t type, uint16_t name, size_t* offset, size_t* size,
                     std::string* error) {
  PeLayout layout;
  bool found = false;
  const DataVisitor find = [&](const ResourceItem& keys, size_t data_offset, uint32_t data_size, std::string*) {
    if (!found && !keys.type.is_name && keys.type.id == type && !keys.name.is_name && keys.name.id == name) {
      found = true;
      *offset = data_offset;
      *size = data_size;
    }
    return true;
  };
  if (!parse_pe_layout(image, &layout, error) || !walk_resources(image, layout, find, error)) return false;
  if (!found) return fail(error, "no resource " + std::to_string(type) + "/" + std::to_string(name));
  return true;
}

bool same_key(const ResourceKey& a, const ResourceKey& b) {
  return a.is_name == b.is_name && (a.is_name ? a.name == b.name : a.id == b.id);
}

bool key_less(const ResourceKey& a, const ResourceKey& b) {
  if (a.is_name != b.is_name) return a.is_name;
  return a.is_name ? a.name < b.name : a.id < b.id;
}

uint32_t compute_pe_checksum(const unsigned char* data, size_t size, size_t checksum_offset) {
  uint64_t sum = 0;
  // The field's own bytes count as zero, so the sum does not depend on the old value.
  auto byte_at = [&](size_t i) -> uint32_t {
    if (i >= size || (i >= checksum_offset && i - checksum_offset < 4)) return 0;
    return data[i];
  };
  for (size_t i = 0; i < size; i += 2) {
    sum += byte_at(i) | (byte_at(i + 1) << 8);
    sum = (sum & 0xFFFF) + (sum >> 16);
  }
  sum = (sum & 0xFFFF) + (sum >> 16);
  return static_cast<uint32_t>((sum & 0xFFFF) + size);
}

bool find_checksum_offset(const Bytes& image, size_t* offset, std::string* error) {
  PeLayout layout;
  if (!parse_file_headers(image, &layout, error)) return false;
  *offset = layout.optional_offset + optional_checksum_field;
  return true;
}

bool read_subsystem(const Bytes& image, uint16_t* subsystem, std::string* error) {
  PeLayout layout;
  if (!parse_file_headers(image, &layout, error)) return false;
  *subsystem = load_u16(image.data() + layout.optional_offset + optional_subsystem_field);
  return true;
}

bool write_subsystem(Bytes* image, uint16_t subsystem, std::string* error) {
  PeLayout layout;
  if (!parse_file_headers(*image, &layout, error) || !parse_optional_header(*image, &layout, error)) return false;
  // The signature covers the header too.
  if (layout.has_certificate) return fail(error, "the image is signed; a changed header would break its signature");
  store_u16(image->data() + layout.optional_offset + optional_subsystem_field, subsystem);
  // A zero checksum means none was computed, which the loader accepts for an exe; any
  // other value is one the file must still match.
  const size_t checksum_offset = layout.optional_offset + optional_checksum_field;
  if (load_u32(image->data() + checksum_offset) != 0) {
    store_u32(image->data() + checksum_offset, compute_pe_checksum(image->data(), image->size(), checksum_offset));
  }
  return true;
}

namespace {

struct NameGroup {
  size_t first;  // index of the first item (sorted) with this type and name
  size_t count;
};

struct TypeGroup {
  std::vector<NameGroup> names;
};

void write_table_header(Bytes* out, size_t offset, const std::vector<const ResourceKey*>& keys) {
  uint16_t named = 0;
  for (const ResourceKey* key : keys) named = static_cast<uint16_t>(named + (key->is_name ? 1 : 0));
  store_u16(out->data() + offset + resource_table_named_count_field, named);
  store_u16(out->data() + offset + resource_table_named_count_field + 2,
            static_cast<uint16_t>(keys.size() - named));
}

// Writes the entries of one table; names go to the string area, whose next free offset
// is *string_offset.
void write_table_entries(Bytes* out, size_t offset, const std::vector<const ResourceKey*>& keys,
                         const std::vector<uint32_t>& targets, size_t* string_offset) {
  write_table_header(out, offset, keys);
  for (size_t i = 0; i < keys.size(); ++i) {
    unsigned char* entry = out->data() + offset + resource_table_header_size + i * resource_entry_size;
    uint32_t field = keys[i]->id;
    if (keys[i]->is_name) {
      field = resource_high_bit | static_cast<uint32_t>(*string_offset);
      store_u16(out->data() + *string_offset, static_cast<uint16_t>(keys[i]->name.size()));
      for (size_t u = 0; u < keys[i]->name.size(); ++u) {
        store_u16(out->data() + *string_offset + 2 + 2 * u, static_cast<uint16_t>(keys[i]->name[u]));
      }
      *string_offset += 2 * (keys[i]->name.size() + 1);
    }
    store_u32(entry, field);
    store_u32(entry + 4, targets[i]);
  }
}

bool item_less(const ResourceItem& a, const ResourceItem& b) {
  if (!same_key(a.type, b.type)) return key_less(a.type, b.type);
  if (!same_key(a.name, b.name)) return key_less(a.name, b.name);
  return key_less(a.language, b.language);
}

std::vector<TypeGroup> group_items(const std::vector<ResourceItem>& items) {
  std::vector<TypeGroup> types;
  for (size_t i = 0; i < items.size(); ++i) {
    if (i == 0 || !same_key(items[i].type, items[i - 1].type)) types.push_back(TypeGroup{});
    if (types.back().names.empty() || !same_key(items[i].name, items[i - 1].name)) {
      types.back().names.push_back(NameGroup{i, 0});
    }
    ++types.back().names.back().count;
  }
  return types;
}

// Bytes of every name string in the tree (length unit plus code units), as written once
// per table entry that uses it.
uint64_t measure_strings(const std::vector<ResourceItem>& items, const std::vector<TypeGroup>& types) {
  uint64_t total = 0;
  auto add = [&](const ResourceKey& key) {
    if (key.is_name) total += 2 * (uint64_t{key.name.size()} + 1);
  };
  for (const TypeGroup& type : types) {
    add(items[type.names.front().first].type);
    for (const NameGroup& name : type.names) {
      add(items[name.first].name);
      for (size_t i = 0; i < name.count; ++i) add(items[name.first + i].language);
    }
  }
  return total;
}

// The three levels of tables, breadth first from offset 0, pointing at the data entries
// that start at entries_offset; name strings go from strings_offset on.
void write_resource_tables(const std::vector<ResourceItem>& items, const std::vector<TypeGroup>& types,
                           size_t name_count, uint64_t entries_offset, uint64_t strings_offset, Bytes* section) {
  size_t string_offset = static_cast<size_t>(strings_offset);
  size_t table_offset = resource_table_header_size + resource_entry_size * types.size();
  size_t language_table_offset = static_cast<size_t>(
      table_offset + resource_table_header_size * types.size() + resource_entry_size * name_count);
  std::vector<const ResourceKey*> root_keys;
  std::vector<uint32_t> root_targets;
  for (const TypeGroup& type : types) {
    root_keys.push_back(&items[type.names.front().first].type);
    root_targets.push_back(resource_high_bit | static_cast<uint32_t>(table_offset));
    std::vector<const ResourceKey*> name_keys;
    std::vector<uint32_t> name_targets;
    for (const NameGroup& name : type.names) {
      name_keys.push_back(&items[name.first].name);
      name_targets.push_back(resource_high_bit | static_cast<uint32_t>(language_table_offset));
      std::vector<const ResourceKey*> language_keys;
      std::vector<uint32_t> language_targets;
      for (size_t i = name.first; i < name.first + name.count; ++i) {
        language_keys.push_back(&items[i].language);
        language_targets.push_back(static_cast<uint32_t>(entries_offset + resource_data_entry_size * i));
      }
      write_table_entries(section, language_table_offset, language_keys, language_targets, &string_offset);
      language_table_offset += resource_table_header_size + resource_entry_size * name.count;
    }
    write_table_entries(section, table_offset, name_keys, name_targets, &string_offset);
    table_offset += resource_table_header_size + resource_entry_size * type.names.size();
  }
  write_table_entries(section, 0, root_keys, root_targets, &string_offset);
}

}  // namespace

bool build_resource_section(std::vector<ResourceItem> items, uint32_t section_rva, Bytes* section,
                            std::string* error) {
  std::stable_sort(items.begin(), items.end(), item_less);
  const std::vector<TypeGroup> types = group_items(items);
  size_t name_count = 0;
  for (const TypeGroup& type : types) name_count += type.names.size();
  // Tables breadth first: the root, the name tables of each type, the language tables.
  const uint64_t tables_size = resource_table_header_size * (1 + types.size() + name_count) +
                               resource_entry_size * (types.size() + name_count + items.size());
  const uint64_t entries_offset = tables_size;
  const uint64_t strings_offset = entries_offset + resource_data_entry_size * items.size();
  uint64_t data_offset = align_up(strings_offset + measure_strings(items, types), resource_data_alignment);
  std::vector<uint64_t> data_offsets;
  for (const ResourceItem& item : items) {
    data_offsets.push_back(data_offset);
    data_offset = align_up(data_offset + item.data.size(), resource_data_alignment);
  }
  if (data_offset > max_image_size - section_rva) return fail(error, "resources too large for one image");
  section->assign(static_cast<size_t>(data_offset), 0);

  write_resource_tables(items, types, name_count, entries_offset, strings_offset, section);

  for (size_t i = 0; i < items.size(); ++i) {
    unsigned char* entry = section->data() + entries_offset + resource_data_entry_size * i;
    store_u32(entry, static_cast<uint32_t>(section_rva + data_offsets[i]));
    store_u32(entry + 4, static_cast<uint32_t>(items[i].data.size()));
    store_u32(entry + 8, items[i].code_page);
    if (!items[i].data.empty()) {
      memcpy(section->data() + data_offsets[i], items[i].data.data(), items[i].data.size());
    }
  }
  return true;
}

namespace {

// Where the new resource section goes and what it replaces.
struct SectionPlan {
  bool replace_last = false;  // the last section is a resource section of ours: reuse its slot
  uint32_t virtual_address = 0;
  uint32_t raw_pointer = 0;
  uint64_t old_raw_end = 0;   // end of the last section's file data; the overlay starts here
  uint64_t kept_end = 0;      // the input's bytes before this are kept; zeros up to raw_pointer
  uint32_t headers_size = 0;  // SizeOfHeaders after the change
};

uint64_t section_table_end(const PeLayout& layout) {
  return layout.section_table_offset + section_header_size * layout.sections.size();
}

// Where the file data of the image ends: the last section's, or the headers' (as far as
// the section table reaches, whatever SizeOfHeaders claims).
uint64_t raw_end_of(const PeLayout& layout) {
  uint64_t end = std::max<uint64_t>(layout.headers_size, section_table_end(layout));
  for (const Section& section : layout.sections) {
    if (section.raw_size != 0) end = std::max<uint64_t>(end, uint64_t{section.raw_pointer} + section.raw_size);
  }
  return end;
}

// A section that an earlier run wrote: last in the table and in the file, after the
// headers and the section table (a hostile one that starts inside them would have its
// rewrite overwrite them), named and marked as ours, and the one the resource directory
// points at.
bool is_packed_section(const PeLayout& layout, uint64_t raw_end) {
  if (layout.sections.empty()) return false;
  const Section& last = layout.sections.back();
  const uint64_t table_end = section_table_end(layout);
  return memcmp(last.name, packed_section_name, section_name_size) == 0 &&
         last.characteristics == packed_section_characteristics &&
         last.virtual_address == layout.resource_rva && last.raw_size != 0 &&
         last.raw_pointer >= std::max<uint64_t>(layout.headers_size, table_end) &&
         uint64_t{last.raw_pointer} + last.raw_size == raw_end;
}

// Room for one more section header: free (zero) bytes before the first section's data, and
// SizeOfHeaders grown to cover it when needed.
bool plan_header_room(const Bytes& image, const PeLayout& layout, SectionPlan* plan, std::string* error) {
  const uint64_t table_end = section_table_end(layout);
  const uint64_t new_end = table_end + section_header_size;
  uint64_t first_raw = image.size();
  uint64_t first_virtual = max_image_size;
  for (const Section& section : layout.sections) {
    if (section.raw_size != 0) first_raw = std::min<uint64_t>(first_raw, section.raw_pointer);
    first_virtual = std::min<uint64_t>(first_virtual, section.virtual_address);
  }
  const uint64_t headers_size = std::max<uint64_t>(layout.headers_size, align_up(new_end, layout.file_alignment));
  bool free = new_end <= first_raw && headers_size <= first_raw && headers_size <= first_virtual;
  for (uint64_t i = table_end; free && i < new_end; ++i) free = image[static_cast<size_t>(i)] == 0;
  if (!free) return fail(error, "no room for another section header before the first section's data");
  plan->headers_size = static_cast<uint32_t>(headers_size);
  return true;
}

bool plan_new_section(const Bytes& image, const PeLayout& layout, SectionPlan* plan, std::string* error) {
  plan->old_raw_end = raw_end_of(layout);
  plan->replace_last = is_packed_section(layout, plan->old_raw_end);
  plan->headers_size = layout.headers_size;
  plan->kept_end = plan->old_raw_end;
  const uint64_t raw_alignment = std::max<uint64_t>(layout.file_alignment, mapped_section_alignment);
  if (plan->replace_last) {
    // An exe packed before the section was page-aligned gets the aligned place too.
    const uint64_t raw_pointer = align_up(layout.sections.back().raw_pointer, raw_alignment);
    if (raw_pointer >= max_image_size) return fail(error, "the image is too large for another section");
    plan->virtual_address = layout.sections.back().virtual_address;
    plan->raw_pointer = static_cast<uint32_t>(raw_pointer);
    plan->kept_end = layout.sections.back().raw_pointer;
    return true;
  }
  if (layout.sections.size() >= max_section_count) return fail(error, "too many sections");
  if (!plan_header_room(image, layout, plan, error)) return false;
  uint64_t virtual_end = plan->headers_size;
  for (const Section& section : layout.sections) {
    const uint64_t extent = std::max(section.virtual_size, section.raw_size);
    virtual_end = std::max(virtual_end, uint64_t{section.virtual_address} + extent);
  }
  const uint64_t virtual_address = align_up(virtual_end, layout.section_alignment);
  const uint64_t raw_pointer = align_up(std::max<uint64_t>(plan->old_raw_end, plan->headers_size), raw_alignment);
  if (virtual_address >= max_image_size || raw_pointer >= max_image_size) {
    return fail(error, "the image is too large for another section");
  }
  plan->virtual_address = static_cast<uint32_t>(virtual_address);
  plan->raw_pointer = static_cast<uint32_t>(raw_pointer);
  return true;
}

void write_section_header(unsigned char* header, uint32_t virtual_size, uint32_t virtual_address,
                          uint32_t raw_size, uint32_t raw_pointer) {
  memset(header, 0, section_header_size);
  memcpy(header, packed_section_name, section_name_size);
  store_u32(header + 8, virtual_size);
  store_u32(header + 12, virtual_address);
  store_u32(header + 16, raw_size);
  store_u32(header + 20, raw_pointer);
  store_u32(header + 36, packed_section_characteristics);
}

// Lays out the new file: everything before the section's slot, the section padded to the
// file alignment, then whatever followed the last section (a symbol table, an overlay).
bool assemble_image(const Bytes& image, const SectionPlan& plan, const Bytes& section, uint32_t raw_size,
                    Bytes* exe, std::string* error) {
  const uint64_t overlay = image.size() - plan.old_raw_end;
  const uint64_t total = uint64_t{plan.raw_pointer} + raw_size + overlay;
  if (total > max_image_size) return fail(error, "the packed executable would exceed 4 GiB");
  exe->assign(static_cast<size_t>(total), 0);
  const size_t kept = static_cast<size_t>(std::min<uint64_t>(plan.raw_pointer, plan.kept_end));
  memcpy(exe->data(), image.data(), kept);
  memcpy(exe->data() + plan.raw_pointer, section.data(), section.size());
  if (overlay != 0) {
    memcpy(exe->data() + plan.raw_pointer + raw_size, image.data() + plan.old_raw_end,
           static_cast<size_t>(overlay));
  }
  return true;
}

bool update_headers(const PeLayout& layout, const SectionPlan& plan, uint32_t virtual_size, uint32_t raw_size,
                    Bytes* exe, std::string* error) {
  unsigned char* coff = exe->data() + layout.coff_offset;
  unsigned char* optional = exe->data() + layout.optional_offset;
  const size_t index = plan.replace_last ? layout.sections.size() - 1 : layout.sections.size();
  write_section_header(exe->data() + layout.section_table_offset + index * section_header_size, virtual_size,
                       plan.virtual_address, raw_size, plan.raw_pointer);
  store_u16(coff + coff_section_count_field, static_cast<uint16_t>(index + 1));
  // The symbol table of an unstripped stub travels with the overlay that holds it.
  const uint32_t symbols = load_u32(coff + coff_symbol_table_field);
  if (symbols != 0 && symbols >= plan.old_raw_end) {
    const uint64_t moved = symbols - plan.old_raw_end + plan.raw_pointer + raw_size;
    if (moved > max_image_size) return fail(error, "the packed executable would exceed 4 GiB");
    store_u32(coff + coff_symbol_table_field, static_cast<uint32_t>(moved));
  }
  const uint64_t image_size = align_up(uint64_t{plan.virtual_address} + virtual_size, layout.section_alignment);
  if (image_size > max_image_size) return fail(error, "the packed image would exceed 4 GiB");
  store_u32(optional + optional_image_size_field, static_cast<uint32_t>(image_size));
  store_u32(optional + optional_headers_size_field, plan.headers_size);
  uint64_t initialized = load_u32(optional + optional_initialized_data_field);
  if (plan.replace_last) initialized -= std::min<uint64_t>(initialized, layout.sections.back().raw_size);
  store_u32(optional + optional_initialized_data_field,
            static_cast<uint32_t>(std::min(initialized + raw_size, max_image_size)));
  unsigned char* directory = optional + optional_directories_field + resource_directory_index * data_directory_size;
  store_u32(directory, plan.virtual_address);
  store_u32(directory + 4, virtual_size);
  const size_t checksum_offset = layout.optional_offset + optional_checksum_field;
  store_u32(exe->data() + checksum_offset, compute_pe_checksum(exe->data(), exe->size(), checksum_offset));
  return true;
}

}  // namespace

bool write_resources(const Bytes& image, std::vector<ResourceItem> items, Bytes* exe, std::string* error) {
  PeLayout layout;
  SectionPlan plan;
  if (!parse_pe_layout(image, &layout, error)) return false;
  // A rewrite would break the signature, which covers the whole image: a signed packed exe
  // can be listed and extracted, but packing starts from the unsigned stub.
  if (layout.has_certificate) return fail(error, "the stub is signed; sign the packed executable instead of the stub");
  if (!plan_new_section(image, layout, &plan, error)) return false;
  Bytes section;
  if (!build_resource_section(std::move(items), plan.virtual_address, &section, error)) return false;
  const uint64_t raw_size = align_up(section.size(), layout.file_alignment);
  if (raw_size > max_image_size) return fail(error, "the resource section would exceed 4 GiB");
  return assemble_image(image, plan, section, static_cast<uint32_t>(raw_size), exe, error) &&
         update_headers(layout, plan, static_cast<uint32_t>(section.size()), static_cast<uint32_t>(raw_size),
                        exe, error);
}

bool attach_payload(const Bytes& stub, const unsigned char* payload, size_t payload_size, Bytes* exe,
                    std::string* error, const ResourceEdit& edit) {
  if (payload_size > max_image_size) return fail(error, "the payload is 4 GiB or larger");
  PeLayout layout;
  std::vector<ResourceItem> items;
  if (!parse_pe_layout(stub, &layout, error) || !collect_resources(stub, layout, true, &items, error)) {
    return false;
  }
  if (edit && !edit(&items, error)) return false;
  ResourceItem item;
  item.type.id = payload_resource_type;
  item.name.id = payload_resource_id;
  item.language.id = payload_resource_language;
  item.data.assign(payload, payload + payload_size);
  items.push_back(std::move(item));
  return write_resources(stub, std::move(items), exe, error);
}
