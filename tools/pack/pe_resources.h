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
#include <functional>
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

// Where the data of resource type/name (the first language in table order) lies in image,
// found without copying it; false with *error when image is damaged or has no such resource.
bool locate_resource(const Bytes& image, uint16_t type, uint16_t name, size_t* offset, size_t* size,
                     std::string* error);

// A copy of image whose resources are exactly items, laid out in a fresh resource section
// (the one an earlier run wrote is reused); code and every other byte stay as they are.
bool write_resources(const Bytes& image, std::vector<ResourceItem> items, Bytes* exe, std::string* error);

// A change to the list of resources, made above this layer (the application's identity).
using ResourceEdit = std::function<bool(std::vector<ResourceItem>* items, std::string* error)>;

// A copy of stub with payload as resource type 10, id 27, neutral language; an earlier
// payload (any language) is replaced, every other resource is kept, after edit (when given)
// has changed the list of the stub's other resources.
bool attach_payload(const Bytes& stub, const unsigned char* payload, size_t payload_size, Bytes* exe,
                    std::string* error, const ResourceEdit& edit = nullptr);

// The image checksum: 16-bit one's-complement sum of the file with the four bytes at
// checksum_offset taken as zero, plus the file length.
uint32_t compute_pe_checksum(const unsigned char* data, size_t size, size_t checksum_offset);

// Where the checksum field of a PE image lives; false when image is not a PE32+ file.
bool find_checksum_offset(const Bytes& image, size_t* offset, std::string* error);

// The optional header's Subsystem field: what the loader prepares for the process. A
// console program gets its creator's console (or a new one); a windowed program gets none.
constexpr uint16_t subsystem_windows = 2;  // IMAGE_SUBSYSTEM_WINDOWS_GUI
constexpr uint16_t subsystem_console = 3;  // IMAGE_SUBSYSTEM_WINDOWS_CUI

// The Subsystem field of a PE32+ image; false with *error when image is not one.
bool read_subsystem(const Bytes& image, uint16_t* subsystem, std::string* error);

// Sets the Subsystem field in place; a non-zero checksum is computed afresh so that it
// stays right, a zero one stays zero. A signed image is refused.
bool write_subsystem(Bytes* image, uint16_t subsystem, std::string* error);
