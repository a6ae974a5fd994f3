#include "tools/pack/icon_group.h"

#include <algorithm>
#include <cstring>
#include <set>

namespace {

// .ico file: a 6-byte header (reserved 0, type 1, count), 16-byte directory entries.
constexpr size_t icon_header_size = 6;
constexpr size_t icon_entry_size = 16;
constexpr uint16_t icon_file_type = 1;
constexpr uint16_t cursor_file_type = 2;
// The resource form of the directory: the same header, 14-byte entries that end in an id.
constexpr size_t group_entry_size = 14;
constexpr uint16_t neutral_language = 0;

constexpr unsigned char png_signature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr size_t png_signature_size = sizeof png_signature;
// Signature, the IHDR chunk's length and type, then width, height, bit depth, colour type.
constexpr size_t png_ihdr_type_offset = 12;
constexpr size_t png_width_offset = 16;
constexpr size_t png_height_offset = 20;
constexpr size_t png_depth_offset = 24;
constexpr size_t png_colour_type_offset = 25;
constexpr size_t png_min_size = 33;  // signature and the whole IHDR chunk with its CRC
constexpr uint32_t max_icon_side = 256;

// BITMAPINFOHEADER fields of a DIB image.
constexpr uint32_t dib_min_header_size = 40;
constexpr size_t dib_width_offset = 4;
constexpr size_t dib_height_offset = 8;
constexpr size_t dib_planes_offset = 12;
constexpr size_t dib_bit_count_offset = 14;
constexpr size_t dib_compression_offset = 16;
constexpr size_t dib_colours_used_offset = 32;
constexpr uint32_t dib_uncompressed = 0;
constexpr uint32_t palette_entry_size = 4;
constexpr uint32_t max_palette_bit_count = 8;

uint16_t load_le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }

uint32_t load_le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint32_t load_be32(const unsigned char* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void append_le16(Bytes* out, uint16_t value) {
  out->push_back(static_cast<unsigned char>(value));
  out->push_back(static_cast<unsigned char>(value >> 8));
}

void append_le32(Bytes* out, uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

bool fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

uint32_t side_of(uint8_t entry_value) { return entry_value == 0 ? max_icon_side : entry_value; }

bool is_dib_bit_count(uint16_t bits) {
  return bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Bits per pixel of a PNG from its IHDR: depth times the channels of its colour type.
uint16_t png_bits_per_pixel(unsigned depth, unsigned colour_type) {
  switch (colour_type) {
    case 0: return static_cast<uint16_t>(depth);      // grey
    case 2: return static_cast<uint16_t>(depth * 3);  // RGB
    case 3: return static_cast<uint16_t>(depth);      // palette
    case 4: return static_cast<uint16_t>(depth * 2);  // grey and alpha
    case 6: return static_cast<uint16_t>(depth * 4);  // RGBA
    default: return 0;
  }
}

bool check_png_image(IconImage* image, const std::string& which, std::string* error) {
  const unsigned char* p = image->data.data();
  if (image->data.size() < png_min_size || memcmp(p + png_ihdr_type_offset, "IHDR", 4) != 0) {
    return fail(error, which + " is a PNG without its IHDR header");
  }
  const uint32_t width = load_be32(p + png_width_offset);
  const uint32_t height = load_be32(p + png_height_offset);
  if (width != side_of(image->width) || height != side_of(image->height)) {
    return fail(error, which + " is a " + std::to_string(width) + "x" + std::to_string(height) +
                           " PNG where the directory says " + std::to_string(side_of(image->width)) + "x" +
                           std::to_string(side_of(image->height)));
  }
  const uint16_t bits = png_bits_per_pixel(p[png_depth_offset], p[png_colour_type_offset]);
  if (bits == 0) return fail(error, which + " is a PNG of an unknown colour type");
  if (image->planes == 0) image->planes = 1;
  if (image->bit_count == 0) image->bit_count = bits;
  return true;
}

// An uncompressed DIB: header, palette, colour bits and the AND mask, as big as its entry
// says; the height counts both bitmaps, so it is twice the icon's.
bool check_dib_image(IconImage* image, const std::string& which, std::string* error) {
  const unsigned char* p = image->data.data();
  const uint64_t size = image->data.size();
  if (size < dib_min_header_size || load_le32(p) < dib_min_header_size || load_le32(p) > size) {
    return fail(error, which + " is neither a PNG nor a bitmap with a valid header");
  }
  const uint32_t width = load_le32(p + dib_width_offset);
  const uint32_t height = load_le32(p + dib_height_offset);
  const uint16_t bits = load_le16(p + dib_bit_count_offset);
  if (width != side_of(image->width) || height != 2 * side_of(image->height)) {
    return fail(error, which + " is a bitmap whose size differs from its directory entry");
  }
  if (load_le16(p + dib_planes_offset) != 1 || !is_dib_bit_count(bits)) {
    return fail(error, which + " is a bitmap with an invalid plane count or bit depth");
  }
  if (load_le32(p + dib_compression_offset) != dib_uncompressed) {
    return fail(error, which + " is a compressed bitmap, which icons cannot hold");
  }
  uint64_t colours = load_le32(p + dib_colours_used_offset);
  if (colours == 0 && bits <= max_palette_bit_count) colours = uint64_t{1} << bits;
  const uint64_t colour_stride = (uint64_t{width} * bits + 31) / 32 * 4;
  const uint64_t mask_stride = (uint64_t{width} + 31) / 32 * 4;
  const uint64_t needed = load_le32(p) + colours * palette_entry_size +
                          (colour_stride + mask_stride) * side_of(image->height);
  if (needed > size) return fail(error, which + " is a bitmap shorter than its pixels and mask");
  if (image->planes == 0) image->planes = 1;
  if (image->bit_count == 0) image->bit_count = bits;
  return true;
}

bool read_icon_entry(const unsigned char* data, size_t size, size_t index, IconImage* image,
                     std::string* error) {
  const unsigned char* entry = data + icon_header_size + index * icon_entry_size;
  const std::string which = "image " + std::to_string(index + 1);
  image->width = entry[0];
  image->height = entry[1];
  image->color_count = entry[2];
  image->planes = load_le16(entry + 4);
  image->bit_count = load_le16(entry + 6);
  const uint32_t length = load_le32(entry + 8);
  const uint32_t offset = load_le32(entry + 12);
  const uint64_t directory_end = icon_header_size + uint64_t{icon_entry_size} * (index + 1);
  if (length == 0 || offset < directory_end || offset > size || length > size - offset) {
    return fail(error, which + " lies outside the file (truncated?)");
  }
  image->data.assign(data + offset, data + offset + length);
  image->is_png = length >= png_signature_size && memcmp(data + offset, png_signature, png_signature_size) == 0;
  return image->is_png ? check_png_image(image, which, error) : check_dib_image(image, which, error);
}

// The RT_ICON ids that a group resource names; false when the group is damaged.
bool read_group_ids(const Bytes& group, std::vector<uint16_t>* ids) {
  if (group.size() < icon_header_size || load_le16(group.data()) != 0 ||
      load_le16(group.data() + 2) != icon_file_type) {
    return false;
  }
  const size_t count = load_le16(group.data() + 4);
  if (group.size() < icon_header_size + count * group_entry_size) return false;
  for (size_t i = 0; i < count; ++i) {
    ids->push_back(load_le16(group.data() + icon_header_size + i * group_entry_size + group_entry_size - 2));
  }
  return true;
}

bool is_icon_group(const ResourceItem& item, uint16_t group_id) {
  return !item.type.is_name && item.type.id == resource_type_group_icon && !item.name.is_name &&
         item.name.id == group_id;
}

bool is_icon_image(const ResourceItem& item) {
  return !item.type.is_name && item.type.id == resource_type_icon && !item.name.is_name;
}

// Language and code page of the group being replaced (neutral when there is none).
struct GroupPlace {
  ResourceKey language;
  uint32_t code_page = 0;
};

// The RT_ICON ids named by group group_id and by no other group: they go with it. Images
// that another group shares, or that no group names, stay.
bool find_replaced_images(const std::vector<ResourceItem>& items, uint16_t group_id, GroupPlace* place,
                          std::set<uint16_t>* dropped, std::string* error) {
  place->language.id = neutral_language;
  bool group_seen = false;
  std::set<uint16_t> shared;
  for (const ResourceItem& item : items) {
    if (item.type.is_name || item.type.id != resource_type_group_icon) continue;
    const bool replaced = is_icon_group(item, group_id);
    std::vector<uint16_t> ids;
    if (!read_group_ids(item.data, &ids) && replaced) {
      return fail(error, "the stub's icon group " + std::to_string(group_id) + " is damaged");
    }
    if (replaced && !group_seen) {
      group_seen = true;
      place->language = item.language;
      place->code_page = item.code_page;
    }
    (replaced ? *dropped : shared).insert(ids.begin(), ids.end());
  }
  for (uint16_t id : shared) dropped->erase(id);
  return true;
}

// The lowest RT_ICON ids that no remaining image uses.
bool choose_icon_ids(const std::vector<ResourceItem>& items, size_t count, std::vector<uint16_t>* ids,
                     std::string* error) {
  std::set<uint16_t> used;
  for (const ResourceItem& item : items) {
    if (is_icon_image(item)) used.insert(item.name.id);
  }
  for (uint32_t id = 1; ids->size() < count; ++id) {
    if (id > UINT16_MAX) return fail(error, "no free RT_ICON ids left in the stub");
    if (used.count(static_cast<uint16_t>(id)) == 0) ids->push_back(static_cast<uint16_t>(id));
  }
  return true;
}

Bytes build_group(const std::vector<IconImage>& images, const std::vector<uint16_t>& ids) {
  Bytes group;
  append_le16(&group, 0);
  append_le16(&group, icon_file_type);
  append_le16(&group, static_cast<uint16_t>(images.size()));
  for (size_t i = 0; i < images.size(); ++i) {
    group.push_back(images[i].width);
    group.push_back(images[i].height);
    group.push_back(images[i].color_count);
    group.push_back(0);
    append_le16(&group, images[i].planes);
    append_le16(&group, images[i].bit_count);
    append_le32(&group, static_cast<uint32_t>(images[i].data.size()));
    append_le16(&group, ids[i]);
  }
  return group;
}

}  // namespace

bool parse_icon_file(const unsigned char* data, size_t size, std::vector<IconImage>* images,
                     std::string* error) {
  images->clear();
  if (size < icon_header_size || load_le16(data) != 0) return fail(error, "not an .ico file (bad header)");
  const uint16_t type = load_le16(data + 2);
  if (type == cursor_file_type) return fail(error, "a cursor file, not an icon");
  if (type != icon_file_type) return fail(error, "not an .ico file (bad header)");
  const size_t count = load_le16(data + 4);
  if (count == 0) return fail(error, "the icon holds no image");
  if (count > max_icon_images) {
    return fail(error, "the icon holds more than " + std::to_string(max_icon_images) + " images");
  }
  if (size < icon_header_size + count * icon_entry_size) return fail(error, "the icon directory is truncated");
  images->resize(count);
  for (size_t i = 0; i < count; ++i) {
    if (!read_icon_entry(data, size, i, &(*images)[i], error)) {
      images->clear();
      return false;
    }
  }
  return true;
}

bool replace_icon_group(std::vector<ResourceItem>* items, uint16_t group_id,
                        const std::vector<IconImage>& images, std::string* error) {
  if (images.empty() || images.size() > max_icon_images) return fail(error, "no icon images to write");
  GroupPlace place;
  std::set<uint16_t> dropped;
  if (!find_replaced_images(*items, group_id, &place, &dropped, error)) return false;
  items->erase(std::remove_if(items->begin(), items->end(),
                              [&](const ResourceItem& item) {
                                return is_icon_group(item, group_id) ||
                                       (is_icon_image(item) && dropped.count(item.name.id) != 0);
                              }),
               items->end());
  std::vector<uint16_t> ids;
  if (!choose_icon_ids(*items, images.size(), &ids, error)) return false;
  for (size_t i = 0; i < images.size(); ++i) {
    ResourceItem icon;
    icon.type.id = resource_type_icon;
    icon.name.id = ids[i];
    icon.language = place.language;
    icon.code_page = place.code_page;
    icon.data = images[i].data;
    items->push_back(std::move(icon));
  }
  ResourceItem group;
  group.type.id = resource_type_group_icon;
  group.name.id = group_id;
  group.language = place.language;
  group.code_page = place.code_page;
  group.data = build_group(images, ids);
  items->push_back(std::move(group));
  return true;
}
