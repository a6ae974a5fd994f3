// The application's icon: the images of a .ico file become RT_ICON resources, and the .ico
// directory becomes the RT_GROUP_ICON resource that names them. Portable: no Windows header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/pack/pe_resources.h"

constexpr uint16_t resource_type_icon = 3;
constexpr uint16_t resource_type_group_icon = 14;
// The group the shell shows for the executable: the lowest id, which the stub gives 1.
constexpr uint16_t application_icon_group = 1;
// The count field of a .ico is 16 bits wide; no real icon holds more than a few dozen images.
constexpr size_t max_icon_images = 256;

// One image of a .ico file, its directory entry with the gaps a writer may leave (planes
// and bit count of 0) filled from the image itself.
struct IconImage {
  uint8_t width = 0;   // 0 stands for 256, as in the .ico directory
  uint8_t height = 0;
  uint8_t color_count = 0;
  uint16_t planes = 0;
  uint16_t bit_count = 0;
  bool is_png = false;
  Bytes data;  // a PNG file or a DIB (header, palette, colour bits, AND mask), as stored
};

// The images of a .ico file. Refuses, with a one-line reason, a file that is not an icon
// (a cursor, no images, a bad header), a directory entry that points outside the file, and
// an image that is neither a PNG nor an uncompressed DIB of the size its entry announces.
bool parse_icon_file(const unsigned char* data, size_t size, std::vector<IconImage>* images,
                     std::string* error);

// Replaces icon group group_id (every language) and the RT_ICON images only it names with
// images. The new group keeps the old one's language and code page (neutral when the list
// had none); the images take the lowest RT_ICON ids not used by any other group.
bool replace_icon_group(std::vector<ResourceItem>* items, uint16_t group_id,
                        const std::vector<IconImage>& images, std::string* error);
