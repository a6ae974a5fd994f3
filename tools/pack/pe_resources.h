// Reading and rewriting the resources of a 64-bit Windows executable without any Windows
// call, so that the packer writes the payload into a copy of the launcher on any host.
//
// The rewrite reads every resource of the existing tree, drops any earlier payload, adds
// the new one, lays out a fresh resource directory in a section of its own at the end of
// the image and fixes the headers and the checksum. Every offset is checked before use: a
// damaged or hostile stub gives an error, never a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// One level of a resource's path: an integer id or a UTF-16 name.
struct ResourceKey {
  bool is_name = false;
  uint16_t id = 0;
  std::u16string name;
};

struct ResourceItem {
  ResourceKey type;
  ResourceKey name;
  ResourceKey language;
  uint32_t code_page = 0;
  Bytes data;
};

// Section characteristics of the resource section that attach_payload writes.
constexpr uint32_t section_initialized_data = 0x00000040;
constexpr uint32_t section_memory_read = 0x40000000;
constexpr uint32_t packed_section_characteristics = section_initialized_data | section_memory_read;

// Every resource of image in the order of its tree (type, name, language). An image
// without a resource directory gives an empty list.
bool read_resources(const Bytes& image, std::vector<ResourceItem>* items, std::string* error);

// True when a and b name the same level entry.
bool same_key(const ResourceKey& a, const ResourceKey& b);

// Orders keys as a resource table must: names first, in UTF-16 code-unit order
// (case-sensitive), then ids ascending.
bool key_less(const ResourceKey& a, const ResourceKey& b);

// The resource section bytes for items placed at section_rva: directory tables, data
// entries, name strings, then the data, each datum 8-byte aligned. Items need not be sorted.
bool build_resource_section(std::vector<ResourceItem> items, uint32_t section_rva, Bytes* section,
                            std::string* error);

// A copy of stub with payload as resource type 10, id 27, neutral language, and the
// companions (resources that belong to this payload, such as its unpacking place); an
// earlier payload and place (type 10, ids 27 and 28, any language) are dropped, every
// other resource is kept.
bool attach_payload(const Bytes& stub, const unsigned char* payload, size_t payload_size, Bytes* exe,
                    std::string* error, const std::vector<ResourceItem>& companions = {});

// The image checksum: 16-bit one's-complement sum of the file with the four bytes at
// checksum_offset taken as zero, plus the file length.
uint32_t compute_pe_checksum(const unsigned char* data, size_t size, size_t checksum_offset);

// Where the checksum field of a PE image lives; false when image is not a PE32+ file.
bool find_checksum_offset(const Bytes& image, size_t* offset, std::string* error);
