// The resource rewriter on stubs built here byte by byte, and on the real Windows binaries
// of this build checked with independent readers (wrestool, objdump).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "tools/pack/commands.h"
#include "tools/pack/payload_writer.h"
#include "tools/pack/pe_resources.h"
#include "tools/pack/unpack_place.h"

namespace fs = std::filesystem;

namespace {

// ---- a hand-built PE32+ stub ------------------------------------------------------------

constexpr uint32_t pe_offset = 0x40;
constexpr uint32_t coff_offset = pe_offset + 4;
constexpr uint32_t optional_offset = coff_offset + 20;
constexpr uint32_t optional_size = 240;  // PE32+ with 16 data directories
constexpr uint32_t section_table = optional_offset + optional_size;
constexpr uint32_t file_alignment = 0x200;
constexpr uint32_t section_alignment = 0x1000;
constexpr uint32_t headers_size = 0x400;
constexpr uint32_t checksum_field = optional_offset + 64;
constexpr uint32_t resource_directory_field = optional_offset + 112 + 2 * 8;
constexpr uint32_t mingw_data_characteristics = 0xC0000040;

struct Leaf {
  ResourceKey type, name, language;
  std::string data;
  uint32_t code_page = 0;
};

ResourceKey id_key(uint16_t id) {
  ResourceKey key;
  key.id = id;
  return key;
}

ResourceKey name_key(const std::u16string& name) {
  ResourceKey key;
  key.is_name = true;
  key.name = name;
  return key;
}

void put16(Bytes* b, size_t at, uint32_t v) {
  (*b)[at] = static_cast<unsigned char>(v);
  (*b)[at + 1] = static_cast<unsigned char>(v >> 8);
}

void put32(Bytes* b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) (*b)[at + i] = static_cast<unsigned char>(v >> (8 * i));
}

uint32_t get32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

uint16_t get16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

const ResourceKey& level_key(const Leaf& leaf, int level) {
  return level == 0 ? leaf.type : level == 1 ? leaf.name : leaf.language;
}

// Depth first, with each name string and datum placed right where it is first needed: a
// layout unlike the rewriter's own, so that reading does not rely on one arrangement.
// Leaves must arrive grouped by type and name.
size_t emit_table(const std::vector<Leaf>& leaves, int level, uint32_t rva, Bytes* out) {
  std::vector<std::vector<const Leaf*>> groups;
  for (const Leaf& leaf : leaves) {
    if (groups.empty() || !same_key(level_key(*groups.back().front(), level), level_key(leaf, level))) {
      groups.push_back({});
    }
    groups.back().push_back(&leaf);
  }
  const size_t table = out->size();
  out->resize(table + 16 + 8 * groups.size(), 0);
  size_t named = 0;
  for (const auto& group : groups) named += level_key(*group.front(), level).is_name ? 1 : 0;
  put16(out, table + 12, static_cast<uint32_t>(named));
  put16(out, table + 14, static_cast<uint32_t>(groups.size() - named));
  for (size_t i = 0; i < groups.size(); ++i) {
    const ResourceKey& key = level_key(*groups[i].front(), level);
    uint32_t field = key.id;
    if (key.is_name) {
      field = 0x80000000u | static_cast<uint32_t>(out->size());
      const size_t at = out->size();
      out->resize(at + 2 + 2 * key.name.size());
      put16(out, at, static_cast<uint32_t>(key.name.size()));
      for (size_t u = 0; u < key.name.size(); ++u) put16(out, at + 2 + 2 * u, key.name[u]);
    }
    put32(out, table + 16 + 8 * i, field);
    if (level < 2) {
      std::vector<Leaf> subset;
      for (const Leaf* leaf : groups[i]) subset.push_back(*leaf);
      put32(out, table + 20 + 8 * i, 0x80000000u | static_cast<uint32_t>(emit_table(subset, level + 1, rva, out)));
      continue;
    }
    const Leaf& leaf = *groups[i].front();
    const size_t entry = out->size();
    out->resize(entry + 16 + leaf.data.size(), 0);
    put32(out, entry, rva + static_cast<uint32_t>(entry + 16));
    put32(out, entry + 4, static_cast<uint32_t>(leaf.data.size()));
    put32(out, entry + 8, leaf.code_page);
    memcpy(out->data() + entry + 16, leaf.data.data(), leaf.data.size());
    put32(out, table + 20 + 8 * i, static_cast<uint32_t>(entry));
  }
  return table;
}

struct StubShape {
  uint16_t machine = 0x8664;
  uint16_t magic = 0x20B;
  std::vector<Leaf> leaves;
  size_t filler_sections = 0;  // extra sections to use up header room
  std::string overlay;         // bytes after the last section, pointed at as a symbol table
};

uint32_t align(uint32_t value, uint32_t to) { return (value + to - 1) / to * to; }

struct SectionShape {
  const char* name;
  std::string bytes;
  uint32_t characteristics;
};

// .text, then .rsrc (when there are leaves), then .data: like a mingw build, the resource
// section is not the last one.
Bytes build_stub(const StubShape& shape) {
  std::vector<SectionShape> sections = {{".text", std::string(0x30, '\xC3'), 0x60000020}};
  const uint32_t resource_rva = section_alignment * 2;
  if (!shape.leaves.empty()) {
    Bytes tree;
    emit_table(shape.leaves, 0, resource_rva, &tree);
    sections.push_back({".rsrc", std::string(tree.begin(), tree.end()), mingw_data_characteristics});
  }
  sections.push_back({".data", "data section", mingw_data_characteristics});
  for (size_t i = 0; i < shape.filler_sections; ++i) sections.push_back({".fill", "x", mingw_data_characteristics});
  Bytes image(headers_size, 0);
  put16(&image, 0, 0x5A4D);
  put32(&image, 0x3C, pe_offset);
  put32(&image, pe_offset, 0x4550);
  put16(&image, coff_offset, shape.machine);
  put16(&image, coff_offset + 2, static_cast<uint32_t>(sections.size()));
  put16(&image, coff_offset + 16, optional_size);
  put16(&image, coff_offset + 18, 0x22);
  put16(&image, optional_offset, shape.magic);
  put32(&image, optional_offset + 32, section_alignment);
  put32(&image, optional_offset + 36, file_alignment);
  put32(&image, optional_offset + 60, headers_size);
  put32(&image, optional_offset + 108, 16);
  uint32_t initialized = 0;
  for (size_t i = 0; i < sections.size(); ++i) {
    const size_t header = section_table + 40 * i;
    const uint32_t raw = align(static_cast<uint32_t>(sections[i].bytes.size()), file_alignment);
    const uint32_t rva = section_alignment * static_cast<uint32_t>(i + 1);
    memcpy(image.data() + header, sections[i].name, strlen(sections[i].name));
    put32(&image, header + 8, static_cast<uint32_t>(sections[i].bytes.size()));
    put32(&image, header + 12, rva);
    put32(&image, header + 16, raw);
    put32(&image, header + 20, static_cast<uint32_t>(image.size()));
    put32(&image, header + 36, sections[i].characteristics);
    if (strcmp(sections[i].name, ".rsrc") == 0) {
      put32(&image, resource_directory_field, rva);
      put32(&image, resource_directory_field + 4, static_cast<uint32_t>(sections[i].bytes.size()));
    }
    if (i > 0) initialized += raw;
    const size_t at = image.size();
    image.resize(at + raw, 0);
    memcpy(image.data() + at, sections[i].bytes.data(), sections[i].bytes.size());
  }
  put32(&image, optional_offset + 8, initialized);
  put32(&image, optional_offset + 56, section_alignment * static_cast<uint32_t>(sections.size() + 1));
  if (!shape.overlay.empty()) {
    put32(&image, coff_offset + 8, static_cast<uint32_t>(image.size()));
    image.insert(image.end(), shape.overlay.begin(), shape.overlay.end());
  }
  return image;
}

std::vector<Leaf> typical_leaves() {
  return {
      {name_key(u"PNG"), name_key(u"LOGO"), id_key(1033), "png bytes", 0},
      {id_key(3), id_key(1), id_key(1033), std::string("icon\0image", 10), 0},
      {id_key(10), id_key(5), id_key(0), "other rcdata, kept", 1252},
      {id_key(14), id_key(1), id_key(1033), "group icon", 0},
      {id_key(16), id_key(1), id_key(1033), "version block", 0},
      {id_key(24), id_key(1), id_key(1033), "<assembly/>", 0},
  };
}

Bytes text_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes attach_or_fail(const Bytes& stub, const Bytes& payload) {
  Bytes exe;
  std::string error;
  EXPECT_TRUE(attach_payload(stub, payload.data(), payload.size(), &exe, &error)) << error;
  return exe;
}

std::vector<ResourceItem> read_or_fail(const Bytes& image) {
  std::vector<ResourceItem> items;
  std::string error;
  EXPECT_TRUE(read_resources(image, &items, &error)) << error;
  return items;
}

bool is_payload(const ResourceItem& item) {
  return !item.type.is_name && item.type.id == 10 && !item.name.is_name && item.name.id == 27;
}

std::string describe(const ResourceKey& key) {
  if (!key.is_name) return std::to_string(key.id);
  return "\"" + std::string(key.name.begin(), key.name.end()) + "\"";
}

std::string describe(const ResourceItem& item) {
  return describe(item.type) + "/" + describe(item.name) + "/" + describe(item.language);
}

bool contains(const Bytes& haystack, const std::string& needle) {
  return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// ---- rewriting hand-built stubs ---------------------------------------------------------

TEST(AttachPayload, KeepsEveryOtherResourceWithItsCodePageAndAddsThePayload) {
  const Bytes stub = build_stub(StubShape{0x8664, 0x20B, typical_leaves(), 0, ""});
  const std::vector<ResourceItem> before = read_or_fail(stub);
  ASSERT_EQ(before.size(), typical_leaves().size());
  const Bytes payload = text_bytes("VZY the payload");
  const std::vector<ResourceItem> after = read_or_fail(attach_or_fail(stub, payload));
  ASSERT_EQ(after.size(), before.size() + 1);
  for (const ResourceItem& old : before) {
    const auto match = std::find_if(after.begin(), after.end(), [&](const ResourceItem& item) {
      return same_key(item.type, old.type) && same_key(item.name, old.name) && same_key(item.language, old.language);
    });
    ASSERT_NE(match, after.end()) << describe(old) << " lost";
    EXPECT_EQ(match->data, old.data) << describe(old);
    EXPECT_EQ(match->code_page, old.code_page) << describe(old);
  }
  const auto found = std::find_if(after.begin(), after.end(), is_payload);
  ASSERT_NE(found, after.end());
  EXPECT_FALSE(found->language.is_name);
  EXPECT_EQ(found->language.id, 0);
  EXPECT_EQ(found->data, payload);
}

TEST(AttachPayload, ReplacesAnEarlierPayloadOfAnyLanguage) {
  std::vector<Leaf> leaves = typical_leaves();
  leaves.insert(leaves.begin() + 3, {id_key(10), id_key(27), id_key(1031), "old payload (German)", 0});
  leaves.insert(leaves.begin() + 3, {id_key(10), id_key(27), id_key(0), "old payload (neutral)", 0});
  std::swap(leaves[3], leaves[4]);  // keep the languages ascending within the table
  const Bytes stub = build_stub(StubShape{0x8664, 0x20B, leaves, 0, ""});
  ASSERT_EQ(read_or_fail(stub).size(), leaves.size());
  const std::vector<ResourceItem> after = read_or_fail(attach_or_fail(stub, text_bytes("VZY new")));
  EXPECT_EQ(std::count_if(after.begin(), after.end(), is_payload), 1);
  EXPECT_EQ(after.size(), typical_leaves().size() + 1);
  const auto found = std::find_if(after.begin(), after.end(), is_payload);
  ASSERT_NE(found, after.end());
  EXPECT_EQ(found->data, text_bytes("VZY new"));
}

TEST(AttachPayload, WritesTablesInTheRequiredOrderNamesFirstByCodeUnitThenIds) {
  std::vector<Leaf> leaves = {
      {id_key(24), id_key(1), id_key(1033), "m", 0},
      {name_key(u"b"), id_key(7), id_key(0), "b", 0},
      {id_key(3), id_key(2), id_key(1033), "i2", 0},
      {name_key(u"B"), id_key(1), id_key(0), "B", 0},
      {id_key(3), name_key(u"zz"), id_key(1033), "izz", 0},
      {name_key(u"ab"), id_key(1), id_key(0), "ab", 0},
      {id_key(3), id_key(1), id_key(1049), "i1r", 0},
      {name_key(u"a"), id_key(1), id_key(0), "a", 0},
      {id_key(3), id_key(1), id_key(1033), "i1e", 0},
  };
  // The emitter wants leaves grouped; the rewriter gets them in this deliberately odd order.
  std::vector<Leaf> grouped = leaves;
  std::stable_sort(grouped.begin(), grouped.end(), [](const Leaf& x, const Leaf& y) {
    return describe(x.type) + describe(x.name) < describe(y.type) + describe(y.name);
  });
  const Bytes stub = build_stub(StubShape{0x8664, 0x20B, grouped, 0, ""});
  std::vector<std::string> order;
  for (const ResourceItem& item : read_or_fail(attach_or_fail(stub, text_bytes("VZY")))) {
    order.push_back(describe(item) + "=" + std::string(item.data.begin(), item.data.end()));
  }
  const std::vector<std::string> expected = {
      "\"B\"/1/0=B",           "\"a\"/1/0=a",     "\"ab\"/1/0=ab",   "\"b\"/7/0=b",
      "3/\"zz\"/1033=izz",     "3/1/1033=i1e",    "3/1/1049=i1r",    "3/2/1033=i2",
      "10/27/0=VZY",           "24/1/1033=m",
  };
  EXPECT_EQ(order, expected);
}

TEST(AttachPayload, AddsALastSectionAndKeepsTheHeadersConsistent) {
  const Bytes stub = build_stub(StubShape{0x8664, 0x20B, typical_leaves(), 0, ""});
  const Bytes payload(5000, 0x5A);
  const Bytes exe = attach_or_fail(stub, payload);
  const uint16_t count = get16(exe, coff_offset + 2);
  ASSERT_EQ(count, get16(stub, coff_offset + 2) + 1);
  const size_t last = section_table + 40 * (count - 1);
  const size_t before_last = last - 40;
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(exe.data() + last), 6), std::string(".rsrc\0", 6));
  EXPECT_EQ(get32(exe, last + 36), packed_section_characteristics);
  const uint32_t virtual_size = get32(exe, last + 8), rva = get32(exe, last + 12);
  const uint32_t raw_size = get32(exe, last + 16), raw_pointer = get32(exe, last + 20);
  EXPECT_EQ(rva % section_alignment, 0u);
  EXPECT_GE(rva, get32(exe, before_last + 12) + get32(exe, before_last + 8));
  EXPECT_EQ(raw_pointer % file_alignment, 0u);
  EXPECT_EQ(raw_size % file_alignment, 0u);
  EXPECT_GE(raw_size, virtual_size);
  EXPECT_GT(virtual_size, payload.size());
  EXPECT_EQ(uint64_t{raw_pointer} + raw_size, exe.size());
  EXPECT_EQ(get32(exe, resource_directory_field), rva);
  EXPECT_EQ(get32(exe, resource_directory_field + 4), virtual_size);
  EXPECT_EQ(get32(exe, optional_offset + 56), align(rva + virtual_size, section_alignment));
  EXPECT_EQ(get32(exe, optional_offset + 8), get32(stub, optional_offset + 8) + raw_size);
  EXPECT_EQ(get32(exe, checksum_field), compute_pe_checksum(exe.data(), exe.size(), checksum_field));
  // Everything in front of the new section's data is the stub's, apart from the headers.
  EXPECT_TRUE(std::equal(stub.begin() + headers_size, stub.end(), exe.begin() + headers_size));
}

TEST(AttachPayload, RepackingReplacesItsOwnSectionInsteadOfGrowing) {
  const Bytes stub = build_stub(StubShape{0x8664, 0x20B, typical_leaves(), 0, ""});
  const Bytes first = attach_or_fail(stub, text_bytes("VZY first payload, unique-marker-1111"));
  const Bytes second = attach_or_fail(first, text_bytes("VZY second"));
  EXPECT_EQ(get16(second, coff_offset + 2), get16(first, coff_offset + 2));
  EXPECT_FALSE(contains(second, "unique-marker-1111"));
  EXPECT_LE(second.size(), first.size());
  const std::vector<ResourceItem> items = read_or_fail(second);
  EXPECT_EQ(items.size(), typical_leaves().size() + 1);
  // Packing the same payload again gives the same bytes: nothing accumulates.
  const Bytes fresh = attach_or_fail(stub, text_bytes("VZY second"));
  EXPECT_EQ(second, fresh);
  EXPECT_EQ(attach_or_fail(second, text_bytes("VZY second")), fresh);
}

// Wine copies a section whose file data is not page-aligned into memory at every start.
TEST(AttachPayload, PutsTheSectionOnAPageBoundaryAlsoWhenRepackingAnUnalignedOne) {
  constexpr uint32_t page = 4096;
  const Bytes stub = build_stub(StubShape{0x8664, 0x20B, typical_leaves(), 0, ""});
  ASSERT_NE(stub.size() % page, 0u);  // else the stub's end would be aligned by chance
  const Bytes payload = text_bytes("VZY aligned");
  const Bytes fresh = attach_or_fail(stub, payload);
  const size_t last = section_table + 40 * (get16(fresh, coff_offset + 2) - 1);
  const uint32_t raw_pointer = get32(fresh, last + 20);
  EXPECT_EQ(raw_pointer % page, 0u);
  EXPECT_TRUE(std::all_of(fresh.begin() + stub.size(), fresh.begin() + raw_pointer, [](unsigned char b) { return b == 0; }));
  // The same exe as an earlier packer laid it out: the section right at the stub's end.
  Bytes unaligned(fresh.begin(), fresh.begin() + stub.size());
  unaligned.insert(unaligned.end(), fresh.begin() + raw_pointer, fresh.end());
  put32(&unaligned, last + 20, static_cast<uint32_t>(stub.size()));
  ASSERT_EQ(read_or_fail(unaligned).size(), typical_leaves().size() + 1);
  EXPECT_EQ(attach_or_fail(unaligned, payload), fresh);
}

TEST(AttachPayload, StubWithoutResourcesGetsOnlyThePayload) {
  const Bytes stub = build_stub(StubShape{});
  ASSERT_TRUE(read_or_fail(stub).empty());
  const std::vector<ResourceItem> items = read_or_fail(attach_or_fail(stub, text_bytes("VZY")));
  ASSERT_EQ(items.size(), 1u);
  EXPECT_TRUE(is_payload(items[0]));
}

TEST(AttachPayload, OverlayAfterTheLastSectionMovesWithItsSymbolTablePointer) {
  const std::string symbols = "SYMBOL-TABLE-AND-STRINGS";
  const Bytes stub = build_stub(StubShape{0x8664, 0x20B, typical_leaves(), 0, symbols});
  for (const Bytes& exe : {attach_or_fail(stub, text_bytes("VZY one")),
                           attach_or_fail(attach_or_fail(stub, text_bytes("VZY one")), text_bytes("VZY two!!"))}) {
    const uint32_t pointer = get32(exe, coff_offset + 8);
    ASSERT_LE(pointer + symbols.size(), exe.size());
    EXPECT_EQ(std::string(exe.begin() + pointer, exe.begin() + pointer + symbols.size()), symbols);
    EXPECT_EQ(pointer + symbols.size(), exe.size());
  }
}

TEST(PeChecksum, MatchesHandComputedSums) {
  const unsigned char three[] = {0x01, 0x02, 0x03};  // 0x0201 + 0x0003, plus length 3
  EXPECT_EQ(compute_pe_checksum(three, sizeof three, 100), 0x0204u + 3);
  const unsigned char carry[] = {0xFF, 0xFF, 0x02, 0x00};  // 0xFFFF + 0x0002 folds to 0x0002
  EXPECT_EQ(compute_pe_checksum(carry, sizeof carry, 100), 0x0002u + 4);
  const unsigned char field[] = {0xAA, 0xBB, 0xCC, 0xDD, 0x01, 0x00};  // the field counts as zero
  EXPECT_EQ(compute_pe_checksum(field, sizeof field, 0), 0x0001u + 6);
}

// ---- refusing bad stubs -----------------------------------------------------------------

void expect_refused(const Bytes& stub, const std::string& expected_words) {
  Bytes exe;
  std::string error;
  const Bytes payload = text_bytes("VZY");
  EXPECT_FALSE(attach_payload(stub, payload.data(), payload.size(), &exe, &error));
  EXPECT_NE(error.find(expected_words), std::string::npos) << "error was: " << error;
}

TEST(AttachPayloadRefuses, FilesThatAreNotSixtyFourBitPeImages) {
  expect_refused(text_bytes("just some text, long enough to look past a DOS header ... ... ... ..."), "MZ");
  Bytes no_signature = build_stub(StubShape{});
  put32(&no_signature, pe_offset, 0x12345678);
  expect_refused(no_signature, "PE signature");
  expect_refused(build_stub(StubShape{0x014C, 0x10B, {}, 0, ""}), "64-bit");
  expect_refused(build_stub(StubShape{0x8664, 0x10B, {}, 0, ""}), "PE32+");
  Bytes far_header = build_stub(StubShape{});
  put32(&far_header, 0x3C, 0xFFFFFFF0);
  expect_refused(far_header, "PE signature");
}

TEST(AttachPayloadRefuses, EveryTruncationOfAValidStub) {
  const Bytes stub = build_stub(StubShape{0x8664, 0x20B, typical_leaves(), 0, ""});
  for (size_t size = 0; size < stub.size(); size += 7) {
    const Bytes cut(stub.begin(), stub.begin() + static_cast<std::ptrdiff_t>(size));
    Bytes exe;
    std::string error;
    EXPECT_FALSE(attach_payload(cut, stub.data(), 3, &exe, &error)) << "accepted a stub cut at " << size;
    EXPECT_FALSE(error.empty());
  }
}

TEST(AttachPayloadRefuses, StubsWithoutRoomOrWithASignature) {
  const size_t room = (headers_size - section_table) / 40;
  expect_refused(build_stub(StubShape{0x8664, 0x20B, typical_leaves(), room - 3, ""}), "no room");
  Bytes signed_stub = build_stub(StubShape{});
  put32(&signed_stub, optional_offset + 112 + 4 * 8, 0x600);
  put32(&signed_stub, optional_offset + 112 + 4 * 8 + 4, 0x100);
  expect_refused(signed_stub, "signed");
  // One header fewer leaves exactly the room that is needed.
  Bytes exe;
  std::string error;
  const Bytes fits = build_stub(StubShape{0x8664, 0x20B, typical_leaves(), room - 4, ""});
  EXPECT_TRUE(attach_payload(fits, fits.data(), 3, &exe, &error)) << error;
}

// The console exe's own header change: the field, a checksum kept right only where there is
// one (pefile checks the packed exe's in tests/e2e/console.sh), a signed image left alone.
TEST(WriteSubsystem, SetsTheFieldKeepsANonZeroChecksumRightAndRefusesASignedImage) {
  const size_t subsystem_field = optional_offset + 68;
  Bytes unsummed = build_stub(StubShape{});
  put16(&unsummed, subsystem_field, subsystem_windows);
  Bytes summed = unsummed;
  put32(&summed, checksum_field, 1);
  std::string error;
  for (Bytes* image : {&unsummed, &summed}) {
    ASSERT_TRUE(write_subsystem(image, subsystem_console, &error)) << error;
    uint16_t read = 0;
    ASSERT_TRUE(read_subsystem(*image, &read, &error)) << error;
    EXPECT_EQ(read, subsystem_console);
  }
  EXPECT_EQ(get32(unsummed, checksum_field), 0u);
  EXPECT_EQ(get32(summed, checksum_field), compute_pe_checksum(summed.data(), summed.size(), checksum_field));
  Bytes signed_image = summed;
  put32(&signed_image, optional_offset + 112 + 4 * 8 + 4, 0x100);
  EXPECT_FALSE(write_subsystem(&signed_image, subsystem_windows, &error));
  EXPECT_EQ(get16(signed_image, subsystem_field), subsystem_console);
}

// A stub whose resource tree is damaged at one place, found by its offset in .rsrc.
Bytes stub_with_tree_patch(size_t offset_in_tree, uint32_t value) {
  Bytes stub = build_stub(StubShape{0x8664, 0x20B, typical_leaves(), 0, ""});
  const size_t rsrc_raw = get32(stub, section_table + 40 + 20);
  put32(&stub, rsrc_raw + offset_in_tree, value);
  return stub;
}

TEST(AttachPayloadRefuses, HostileResourceTrees) {
  // Root entry 0 (the named type "PNG"): its name field, then its target.
  expect_refused(stub_with_tree_patch(16, 0x80FFFFF0), "name outside");
  expect_refused(stub_with_tree_patch(20, 0x80FFFFF0), "table outside");
  expect_refused(stub_with_tree_patch(20, 0x00000000), "three levels");  // data where a table belongs
  expect_refused(stub_with_tree_patch(20, 0x80000000), "three levels");  // a table that holds itself
  expect_refused(stub_with_tree_patch(12, 0xFFFFFFFF), "table outside");  // 131070 entries claimed
  // The first data entry follows "PNG"'s name table, its string, its language table:
  // find it by walking the tree as the loader would.
  const Bytes stub = build_stub(StubShape{0x8664, 0x20B, typical_leaves(), 0, ""});
  const size_t tree = get32(stub, section_table + 40 + 20);
  const size_t names = get32(stub, tree + 20) & 0x7FFFFFFF;
  const size_t languages = get32(stub, tree + names + 20) & 0x7FFFFFFF;
  const size_t entry = get32(stub, tree + languages + 20);
  expect_refused(stub_with_tree_patch(entry, 0x7FFFFF00), "outside the file");      // data RVA
  expect_refused(stub_with_tree_patch(entry + 4, 0x00100000), "outside the file");  // data size
  expect_refused(stub_with_tree_patch(languages + 16, 0x00012345), "id out of range");
}

// ---- the exe subcommand on files --------------------------------------------------------

class ExeCommand : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = fs::temp_directory_path() /
                 ("tavrin_exe_" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(directory_);
    fs::create_directories(directory_);
  }
  void TearDown() override { fs::remove_all(directory_); }

  fs::path write(const std::string& name, const Bytes& bytes) {
    const fs::path path = directory_ / name;
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  static int run(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "exe");
    std::vector<char*> pointers;
    for (std::string& argument : arguments) pointers.push_back(argument.data());
    return run_exe_command(static_cast<int>(pointers.size()), pointers.data());
  }

  std::vector<std::string> leftovers() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(directory_)) {
      if (entry.path().filename().string().find(".tmp-") != std::string::npos) {
        names.push_back(entry.path().filename().string());
      }
    }
    return names;
  }

  fs::path directory_;
};

Bytes read_bytes(const fs::path& path) {
  std::ifstream stream(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
}

TEST_F(ExeCommand, WritesTheExeAndReplacesAnExistingOne) {
  const Bytes stub_bytes = build_stub(StubShape{0x8664, 0x20B, typical_leaves(), 0, ""});
  const fs::path stub = write("stub.exe", stub_bytes);
  const fs::path payload = write("app.payload", text_bytes("VZY payload bytes"));
  const fs::path out = write("App.exe", text_bytes("an older file"));
  ASSERT_EQ(run({"--launcher", stub.string(), "--payload", payload.string(), "-o", out.string()}), 0);
  EXPECT_EQ(read_bytes(out), attach_or_fail(stub_bytes, text_bytes("VZY payload bytes")));
  EXPECT_EQ(read_bytes(stub), stub_bytes);
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(ExeCommand, PacksADirectoryIntoTheSamePayloadThePayloadWriterBuilds) {
  const fs::path tree = directory_ / "app";
  fs::create_directories(tree / "data");
  std::ofstream(tree / "app.dll", std::ios::binary) << "MZ main library";
  std::ofstream(tree / "data" / "notes.txt", std::ios::binary) << "some data";
  const Bytes stub_bytes = build_stub(StubShape{0x8664, 0x20B, typical_leaves(), 0, ""});
  const fs::path stub = write("stub.exe", stub_bytes);
  const fs::path out = directory_ / "App.exe";
  ASSERT_EQ(run({"--launcher", stub.string(), "--main", "app.dll", "--level", "3", "-o", out.string(), tree.string()}),
            0);
  PackRequest request;
  request.directory = tree;
  request.main_library = "app.dll";
  request.level = 3;
  Bytes expected;
  std::string error;
  ASSERT_TRUE(build_payload_bytes(request, &expected, &error)) << error;
  const std::vector<ResourceItem> items = read_or_fail(read_bytes(out));
  const auto found = std::find_if(items.begin(), items.end(), is_payload);
  ASSERT_NE(found, items.end());
  EXPECT_EQ(found->data, expected);
  EXPECT_EQ(items.size(), typical_leaves().size() + 1);
  // A directory that cannot be packed leaves no exe behind.
  fs::remove(out);
  EXPECT_EQ(run({"--launcher", stub.string(), "--main", "missing.dll", "-o", out.string(), tree.string()}), 1);
  EXPECT_FALSE(fs::exists(out));
  EXPECT_TRUE(leftovers().empty());
}

bool is_place(const ResourceItem& item) {
  return !item.type.is_name && item.type.id == 10 && !item.name.is_name && item.name.id == 28;
}

// --unpack-to cache adds the place beside the payload; temp (the default) stores none and
// drops one that the stub already carries, as when a packed exe is packed again.
TEST_F(ExeCommand, UnpackToCacheStoresThePlaceAndTempDropsIt) {
  const fs::path stub = write("stub.exe", build_stub(StubShape{0x8664, 0x20B, typical_leaves(), 0, ""}));
  // A real payload: the cached place decodes it to check its names.
  const fs::path tree = directory_ / "app";
  fs::create_directories(tree);
  std::ofstream(tree / "app.dll", std::ios::binary) << "MZ main library";
  PackRequest request;
  request.directory = tree;
  request.main_library = "app.dll";
  request.level = 1;
  Bytes payload_bytes;
  std::string error;
  ASSERT_TRUE(build_payload_bytes(request, &payload_bytes, &error)) << error;
  const fs::path payload = write("app.payload", payload_bytes);
  const fs::path cached = directory_ / "Cached.exe";
  ASSERT_EQ(run({"--launcher", stub.string(), "--payload", payload.string(), "-o", cached.string(), "--unpack-to",
                 "cache"}),
            0);
  const std::vector<ResourceItem> items = read_or_fail(read_bytes(cached));
  const auto place = std::find_if(items.begin(), items.end(), is_place);
  ASSERT_NE(place, items.end());
  const std::vector<ResourceItem> expected =
      make_place_resources(UnpackPlace::cache, PlaceIdentity{"Cached", ""}, payload_bytes.data(), payload_bytes.size());
  ASSERT_EQ(expected.size(), 1u);
  EXPECT_EQ(place->data, expected[0].data);
  EXPECT_EQ(items.size(), typical_leaves().size() + 2);
  for (const std::vector<std::string>& place_option : {std::vector<std::string>{"--unpack-to", "temp"},
                                                      std::vector<std::string>{}}) {
    const fs::path again = directory_ / "Again.exe";
    std::vector<std::string> line = {"--launcher", cached.string(), "--payload", payload.string(), "-o",
                                     again.string()};
    line.insert(line.end(), place_option.begin(), place_option.end());
    ASSERT_EQ(run(line), 0);
    const std::vector<ResourceItem> repacked = read_or_fail(read_bytes(again));
    EXPECT_EQ(std::count_if(repacked.begin(), repacked.end(), is_place), 0);
    EXPECT_EQ(repacked.size(), typical_leaves().size() + 1);
  }
  EXPECT_EQ(run({"--launcher", stub.string(), "--payload", payload.string(), "-o", cached.string(), "--unpack-to",
                 "disk"}),
            2);
  EXPECT_EQ(run({"--launcher", stub.string(), "--payload", payload.string(), "-o", cached.string(), "--unpack-to"}), 2);

  // A cached tree may be changed by any program of the user's: an exe that asks for
  // elevation is refused the cached place, unless it is packed to run as its caller.
  std::vector<Leaf> elevated = typical_leaves();
  elevated.back().data =
      "<assembly><trustInfo><security><requestedPrivileges><requestedExecutionLevel level=\"requireAdministrator\" "
      "uiAccess=\"false\"/></requestedPrivileges></security></trustInfo></assembly>";
  const fs::path elevated_stub = write("elevated.exe", build_stub(StubShape{0x8664, 0x20B, elevated, 0, ""}));
  const fs::path refused = directory_ / "Refused.exe";
  const std::vector<std::string> cached_line = {"--launcher", elevated_stub.string(), "--payload", payload.string(),
                                                "-o", refused.string(), "--unpack-to", "cache"};
  EXPECT_EQ(run(cached_line), 1);
  EXPECT_FALSE(fs::exists(refused));
  std::vector<std::string> as_invoker = cached_line;
  as_invoker.insert(as_invoker.end(), {"--execution-level", "asInvoker"});
  EXPECT_EQ(run(as_invoker), 0);
}

// A folder spec is checked before anything is packed: an unknown keyword is a wrong
// command line, with the packer's message, and no exe is written.
TEST_F(ExeCommand, UnpackToFolderStoresItAndAnUnknownKeywordWritesNothing) {
  const fs::path stub = write("stub.exe", build_stub(StubShape{0x8664, 0x20B, typical_leaves(), 0, ""}));
  const fs::path payload = write("app.payload", text_bytes("VZY payload bytes"));
  const fs::path out = directory_ / "Folder.exe";
  ASSERT_EQ(run({"--launcher", stub.string(), "--payload", payload.string(), "-o", out.string(), "--unpack-to",
                 "{PROGRAM_DIR}\\{PRODUCT}.files"}),
            0);
  const std::vector<ResourceItem> items = read_or_fail(read_bytes(out));
  const auto place = std::find_if(items.begin(), items.end(), is_place);
  ASSERT_NE(place, items.end());
  // {PRODUCT} names the exe's own product: without a product name, the exe's file name.
  const Bytes payload_bytes = read_bytes(payload);
  EXPECT_EQ(place->data, make_place_resources(UnpackPlace::temp, PlaceIdentity{}, payload_bytes.data(),
                                              payload_bytes.size(), u"{PROGRAM_DIR}\\Folder.files")[0]
                             .data);
  fs::remove(out);
  testing::internal::CaptureStderr();
  EXPECT_EQ(run({"--launcher", stub.string(), "--payload", payload.string(), "-o", out.string(), "--unpack-to",
                 "{PROGRAM_DIR}\\{NOPE}"}),
            2);
  const std::string message = testing::internal::GetCapturedStderr();
  EXPECT_NE(message.find("tavrin-pack: error: folder spec '{PROGRAM_DIR}\\{NOPE}': unknown keyword {NOPE}"),
            std::string::npos)
      << message;
  EXPECT_EQ(run({"--launcher", stub.string(), "--payload", payload.string(), "-o", out.string(), "--cache-root",
                 "D:\\Cache"}),
            2)
      << "--cache-root goes with --unpack-to cache";
  EXPECT_FALSE(fs::exists(out));
  EXPECT_TRUE(leftovers().empty());
}

TEST_F(ExeCommand, FailuresLeaveNoExeAndNoTemporaryFile) {
  const Bytes stub_bytes = build_stub(StubShape{});
  const fs::path stub = write("stub.exe", stub_bytes);
  const fs::path payload = write("app.payload", text_bytes("VZY payload bytes"));
  const fs::path text = write("notes.txt", text_bytes("plain text"));
  const std::string out = (directory_ / "App.exe").string();
  EXPECT_EQ(run({"--launcher", text.string(), "--payload", payload.string(), "-o", out}), 1);
  EXPECT_EQ(run({"--launcher", stub.string(), "--payload", text.string(), "-o", out}), 1);  // no VZY
  EXPECT_EQ(run({"--launcher", (directory_ / "missing.exe").string(), "--payload", payload.string(), "-o", out}), 1);
  EXPECT_FALSE(fs::exists(out));
  const fs::path occupied = directory_ / "occupied";
  fs::create_directory(occupied);
  EXPECT_EQ(run({"--launcher", stub.string(), "--payload", payload.string(), "-o", occupied.string()}), 1);
  EXPECT_EQ(run({"--launcher", stub.string(), "--payload", payload.string(), "-o",
                 (directory_ / "no" / "such" / "App.exe").string()}),
            1);
  EXPECT_TRUE(fs::is_directory(occupied));
  EXPECT_TRUE(leftovers().empty());
  EXPECT_EQ(read_bytes(stub), stub_bytes);
}

TEST_F(ExeCommand, IncompleteCommandLinesAreUsageErrors) {
  // No --launcher and no stub installed beside the test program: a failure, not a usage error.
  EXPECT_EQ(run({"--payload", "p", "-o", "o"}), 1);
  EXPECT_EQ(run({"--launcher", "s", "--payload", "p"}), 2);
  EXPECT_EQ(run({"--launcher", "s", "--payload", "p", "-o"}), 2);
  EXPECT_EQ(run({"--launcher", "s", "--payload", "p", "-o", "o", "--bogus"}), 2);
  EXPECT_EQ(run({"--launcher", "s", "--payload", "p", "-o", "o", "DIR"}), 2);  // one source only
  EXPECT_EQ(run({"--launcher", "s", "-o", "o", "DIR"}), 2);                    // DIR needs --main
  EXPECT_EQ(run({"--launcher"}), 2);
}

// ---- real binaries of the Windows build, read back by other tools -----------------------

struct Tool {
  int status;
  std::string out;
};

Tool run_tool(const std::string& command) {
  Tool result{-1, ""};
  FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return result;
  char buffer[4096];
  size_t n = 0;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) result.out.append(buffer, n);
  result.status = pclose(pipe);
  return result;
}

bool have_tool(const std::string& name) { return run_tool("command -v " + name).status == 0; }

std::string quote(const fs::path& path) { return "'" + path.string() + "'"; }

// "--type=.. --name=.. --language=.." of every resource wrestool lists.
std::vector<std::string> listed_resources(const fs::path& exe) {
  std::vector<std::string> keys;
  const Tool tool = run_tool("wrestool -l " + quote(exe));
  size_t start = 0;
  while (start < tool.out.size()) {
    const size_t end = tool.out.find('\n', start);
    const std::string line = tool.out.substr(start, end == std::string::npos ? std::string::npos : end - start);
    const size_t bracket = line.find(" [");
    if (line.rfind("--type=", 0) == 0 && bracket != std::string::npos) keys.push_back(line.substr(0, bracket));
    start = end == std::string::npos ? tool.out.size() : end + 1;
  }
  return keys;
}

class RealStub : public ExeCommand {
 protected:
  void check_stub(const std::string& file_name) {
    const char* bin = getenv("TAVRIN_WIN_BIN_DIR");
    if (bin == nullptr || *bin == '\0') GTEST_SKIP() << "TAVRIN_WIN_BIN_DIR is not set (source scripts/env.sh)";
    if (!have_tool("wrestool") || !have_tool("x86_64-w64-mingw32-objdump")) {
      GTEST_SKIP() << "wrestool (icoutils) or x86_64-w64-mingw32-objdump missing";
    }
    const fs::path stub = fs::path(bin) / file_name;
    if (!fs::exists(stub)) GTEST_SKIP() << stub << " not built";
    Bytes payload = text_bytes("VZY");
    for (uint32_t i = 0; i < 300000; ++i) payload.push_back(static_cast<unsigned char>((i * 7919u) >> 3));
    const fs::path payload_file = write("app.payload", payload);
    const fs::path out = directory_ / "packed.exe";
    ASSERT_EQ(run({"--launcher", stub.string(), "--payload", payload_file.string(), "-o", out.string()}), 0);
    EXPECT_EQ(run_tool("wrestool -x --raw -t 10 -n 27 " + quote(out) + " | cmp - " + quote(payload_file)).status, 0)
        << "wrestool does not give back the payload byte for byte";
    const Tool objdump = run_tool("x86_64-w64-mingw32-objdump -p " + quote(out));
    EXPECT_EQ(objdump.status, 0) << objdump.out;
    EXPECT_NE(objdump.out.find("Resource Directory [.rsrc]"), std::string::npos);
    EXPECT_NE(objdump.out.find("The .rsrc Resource Directory section"), std::string::npos);
    std::vector<std::string> expected = listed_resources(stub);
    expected.push_back("--type=10 --name=27 --language=0");
    std::vector<std::string> listed = listed_resources(out);
    std::sort(expected.begin(), expected.end());
    std::sort(listed.begin(), listed.end());
    EXPECT_EQ(listed, expected);
    // Packing the packed exe again swaps the payload and does not grow the file.
    const fs::path small_payload = write("small.payload", text_bytes("VZY small"));
    const fs::path again = directory_ / "again.exe";
    ASSERT_EQ(run({"--launcher", out.string(), "--payload", small_payload.string(), "-o", again.string()}), 0);
    EXPECT_EQ(run_tool("wrestool -x --raw -t 10 -n 27 " + quote(again) + " | cmp - " + quote(small_payload)).status, 0);
    EXPECT_LT(fs::file_size(again), fs::file_size(out));
    EXPECT_EQ(run_tool("x86_64-w64-mingw32-objdump -p " + quote(again)).status, 0);
    // The kept resources are copied once into the new section; nothing more accumulates.
    uint64_t kept = 0;
    for (const ResourceItem& item : read_or_fail(read_bytes(stub))) kept += item.data.size();
    const uint64_t room_for_tables_and_alignment = 8192;
    EXPECT_LT(fs::file_size(again), fs::file_size(stub) + kept + room_for_tables_and_alignment);
    const fs::path third = directory_ / "third.exe";
    ASSERT_EQ(run({"--launcher", again.string(), "--payload", small_payload.string(), "-o", third.string()}), 0);
    EXPECT_EQ(read_bytes(third), read_bytes(again));
  }
};

TEST_F(RealStub, ProbeRoundTripsThroughIndependentReaders) { check_stub("tavrin_probe.exe"); }

TEST_F(RealStub, LauncherKeepsIconVersionAndManifest) { check_stub("tavrin-launcher.exe"); }

}  // namespace
