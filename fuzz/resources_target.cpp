// Fuzz target: what the packer reads from files a user hands it. Byte 0 chooses the reader,
// the rest is its input:
//   0  a .ico file: parse_icon_file, and its images made into an icon group;
//   1  a whole PE image: read_resources, then the tree written back and read again;
//   2  a resource section alone, placed into a minimal PE image, then as 1: so that the
//      fuzzer works on the tree itself rather than on finding a valid PE header;
//   3  a version resource: parsed, written, parsed and written again to the same bytes;
//   4  a manifest: the execution level set, and set back and forth to the same bytes.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.h"
#include "payload/format.h"
#include "tools/pack/icon_group.h"
#include "tools/pack/identity.h"
#include "tools/pack/pe_resources.h"
#include "tools/pack/version_resource.h"

namespace {

enum Mode : uint8_t { mode_icon, mode_image, mode_section, mode_version, mode_manifest, mode_count };

// The minimal image around a fuzzed resource section: headers, then the section.
constexpr size_t pe_offset = 0x40;
constexpr size_t optional_offset = pe_offset + 4 + 20;
constexpr size_t optional_size = 240;
constexpr size_t section_table_offset = optional_offset + optional_size;
constexpr uint32_t file_alignment = 0x200;
constexpr uint32_t section_alignment = 0x1000;
constexpr uint32_t section_rva = 0x1000;
constexpr uint32_t data_directories = 16;
constexpr uint32_t resource_section_flags = 0x40000040;
// The round trip copies the tree a few times; a hostile tree that points many entries at
// one large datum would make each execution slow without reaching new code.
constexpr size_t max_round_trip_bytes = size_t{1} << 20;

FuzzOutcome outcome = FuzzOutcome::rejected;

void put16(unsigned char* b, size_t at, uint32_t v) {
  b[at] = static_cast<unsigned char>(v);
  b[at + 1] = static_cast<unsigned char>(v >> 8);
}

void put32(unsigned char* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

Bytes wrap_section(const uint8_t* data, size_t size) {
  const uint32_t raw_size = static_cast<uint32_t>((size + file_alignment - 1) / file_alignment * file_alignment);
  unsigned char head[file_alignment] = {'M', 'Z'};
  put32(head, 0x3C, pe_offset);
  put32(head, pe_offset, 0x00004550);
  put16(head, pe_offset + 4, 0x8664);
  put16(head, pe_offset + 4 + 2, 1);
  put16(head, pe_offset + 4 + 16, optional_size);
  put16(head, optional_offset, 0x20B);
  put32(head, optional_offset + 32, section_alignment);
  put32(head, optional_offset + 36, file_alignment);
  put32(head, optional_offset + 56, section_rva + (raw_size + section_alignment - 1) / section_alignment * section_alignment);
  put32(head, optional_offset + 60, file_alignment);
  put32(head, optional_offset + 108, data_directories);
  put32(head, optional_offset + 112 + 2 * 8, section_rva);
  put32(head, optional_offset + 112 + 2 * 8 + 4, static_cast<uint32_t>(size));
  memcpy(head + section_table_offset, ".rsrc", 5);
  put32(head, section_table_offset + 8, static_cast<uint32_t>(size));
  put32(head, section_table_offset + 12, section_rva);
  put32(head, section_table_offset + 16, raw_size);
  put32(head, section_table_offset + 20, file_alignment);
  put32(head, section_table_offset + 36, resource_section_flags);
  Bytes image(file_alignment + raw_size);
  std::copy(std::begin(head), std::end(head), image.begin());
  std::copy(data, data + size, image.begin() + file_alignment);
  return image;
}

// Order-free form of a resource list, for comparing two reads of the same tree.
std::vector<std::string> describe_items(const std::vector<ResourceItem>& items) {
  std::vector<std::string> texts;
  for (const ResourceItem& item : items) {
    std::string text;
    for (const ResourceKey* key : {&item.type, &item.name, &item.language}) {
      text += key->is_name ? "n" + std::string(key->name.begin(), key->name.end()) : "i" + std::to_string(key->id);
      text += '/';
    }
    text += std::to_string(item.code_page) + ":" + std::string(item.data.begin(), item.data.end());
    texts.push_back(std::move(text));
  }
  std::sort(texts.begin(), texts.end());
  return texts;
}

void check_tree(const Bytes& image) {
  std::vector<ResourceItem> items;
  std::string error;
  size_t offset = 0;
  size_t size = 0;
  locate_resource(image, payload_resource_type, payload_resource_id, &offset, &size, &error);
  if (!read_resources(image, &items, &error)) return;
  outcome = FuzzOutcome::completed;
  size_t total = 0;
  for (const ResourceItem& item : items) total += item.data.size();
  if (total > max_round_trip_bytes) return;
  // The identity edits run over whatever the tree holds; refusing is fine, crashing is not.
  AppIdentity identity;
  identity.company = "ACME";
  identity.file_version = VersionQuad{1, 2, 3, 4};
  identity.execution_level = "asInvoker";
  std::vector<ResourceItem> edited = items;
  apply_identity(identity, &edited, &error);
  Bytes rewritten;
  if (!write_resources(image, items, &rewritten, &error)) return;
  std::vector<ResourceItem> again;
  if (!read_resources(rewritten, &again, &error)) report_finding("a written tree cannot be read back");
  if (describe_items(again) != describe_items(items)) report_finding("a written tree reads back differently");
}

void check_icon(const uint8_t* data, size_t size) {
  std::vector<IconImage> images;
  std::string error;
  if (!parse_icon_file(data, size, &images, &error)) return;
  outcome = FuzzOutcome::completed;
  std::vector<ResourceItem> items;
  if (!replace_icon_group(&items, application_icon_group, images, &error)) report_finding("valid icon not placed");
  if (items.size() != images.size() + 1) report_finding("icon group and images do not match");
}

void check_version(const uint8_t* data, size_t size) {
  const Bytes input(data, data + size);
  VersionNode root;
  std::string error;
  if (!parse_version_resource(input, &root, &error)) return;
  outcome = FuzzOutcome::completed;
  Bytes first;
  if (!write_version_resource(root, &first, &error)) return;
  VersionNode reread;
  Bytes second;
  if (!parse_version_resource(first, &reread, &error)) report_finding("a written version resource cannot be read");
  if (!write_version_resource(reread, &second, &error) || second != first) {
    report_finding("a version resource does not survive a second round trip");
  }
  VersionEdit edit;
  edit.product_version = VersionQuad{9, 8, 7, 6};
  edit.strings.emplace_back(u"ProductName", u"Fuzz");
  edit_version_resource(input, edit, &first, &error);
}

void check_manifest(const uint8_t* data, size_t size) {
  const Bytes input(data, data + size);
  Bytes invoker;
  std::string error;
  if (!set_execution_level(input, "asInvoker", &invoker, &error)) return;
  outcome = FuzzOutcome::completed;
  Bytes administrator;
  Bytes back;
  if (!set_execution_level(invoker, "requireAdministrator", &administrator, &error) ||
      !set_execution_level(administrator, "asInvoker", &back, &error) || back != invoker) {
    report_finding("the execution level does not change back and forth");
  }
}

}  // namespace

FuzzOutcome last_fuzz_outcome() {
  return outcome;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  outcome = FuzzOutcome::rejected;
  if (size < 1) return 0;
  const uint8_t* body = data + 1;
  const size_t length = size - 1;
  switch (data[0] % mode_count) {
    case mode_icon: check_icon(body, length); break;
    case mode_image: check_tree(Bytes(body, body + length)); break;
    case mode_section: check_tree(wrap_section(body, length)); break;
    case mode_version: check_version(body, length); break;
    default: check_manifest(body, length); break;
  }
  return 0;
}
