// The record of a complete cached tree and the place resource: what the launcher accepts
// and what it refuses, built and read natively.
#include <gtest/gtest.h>

#include <cwchar>
#include <string>
#include <vector>

#include "payload/format.h"
#include "payload/tree_marker.h"

namespace {

constexpr wchar_t digest[] = L"0123456789abcdef";

struct Seen {
  std::vector<std::pair<std::wstring, uint64_t>> entries;
  size_t refuse_at = SIZE_MAX;  // the visitor turns down the entry with this index
};

bool remember(const wchar_t* name, uint64_t size, void* context) {
  auto* seen = static_cast<Seen*>(context);
  if (seen->entries.size() == seen->refuse_at) return false;
  seen->entries.push_back({name, size});
  return true;
}

std::vector<unsigned char> build(const std::vector<std::pair<std::wstring, uint64_t>>& entries,
                                 const wchar_t* for_digest = digest) {
  TreeMarkerBuilder builder;
  begin_tree_marker(builder, for_digest);
  for (const auto& [name, size] : entries) add_marker_entry(builder, name.c_str(), size);
  end_tree_marker(builder);
  EXPECT_FALSE(builder.failed);
  std::vector<unsigned char> bytes(builder.data, builder.data + builder.size);
  release_tree_marker(builder);
  return bytes;
}

bool walk(const std::vector<unsigned char>& bytes, Seen* seen) {
  return walk_tree_marker(bytes.data(), bytes.size(), digest, remember, seen);
}

std::vector<unsigned char> utf16(const std::wstring& text) {
  std::vector<unsigned char> bytes;
  for (const wchar_t unit : text) {
    bytes.push_back(static_cast<unsigned char>(unit & 0xFF));
    bytes.push_back(static_cast<unsigned char>((unit >> 8) & 0xFF));
  }
  bytes.push_back(0);
  bytes.push_back(0);
  return bytes;
}

TEST(TreeMarker, RecordsEveryEntryInOrderWithSizesUpTo64Bits) {
  const std::vector<std::pair<std::wstring, uint64_t>> entries = {
      {L"app.dll", 124422656}, {L"a\\b\\empty", 0}, {L"big", 0xFFFFFFFFFFFFFFFFull}, {L"x\u00e9\u4e2d", 5}};
  Seen seen;
  EXPECT_TRUE(walk(build(entries), &seen));
  EXPECT_EQ(seen.entries, entries);
  Seen none;
  EXPECT_TRUE(walk(build({}), &none)) << "a payload without entries has an empty record";
  EXPECT_TRUE(none.entries.empty());
}

TEST(TreeMarker, RefusesRecordsThatAreCutExtendedForeignOrTurnedDown) {
  const std::vector<unsigned char> whole = build({{L"app.dll", 10}, {L"data\\x", 20}});
  for (size_t length = 0; length < whole.size(); ++length) {
    Seen seen;
    EXPECT_FALSE(walk_tree_marker(whole.data(), length, digest, remember, &seen)) << "cut at " << length;
  }
  std::vector<unsigned char> extended = whole;
  extended.push_back(0);
  Seen seen;
  EXPECT_FALSE(walk(extended, &seen)) << "bytes after the end";
  EXPECT_FALSE(walk(build({{L"app.dll", 10}}, L"fedcba9876543210"), &seen)) << "another payload's record";
  std::vector<unsigned char> wrong_magic = whole;
  wrong_magic[0] = 'X';
  EXPECT_FALSE(walk(wrong_magic, &seen));
  Seen refusing;
  refusing.refuse_at = 1;
  EXPECT_FALSE(walk(whole, &refusing)) << "a file that does not match fails the whole record";
  EXPECT_FALSE(walk_tree_marker(nullptr, 0, digest, remember, &seen));
}

TEST(TreeMarker, NamesUpToTheEntryNameCapacityOnly) {
  for (const size_t length : {entry_name_capacity - 2, entry_name_capacity - 1, entry_name_capacity}) {
    Seen seen;
    const bool fits = length < entry_name_capacity;
    EXPECT_EQ(walk(build({{std::wstring(length, L'n'), 1}}), &seen), fits) << length << " units";
  }
}

TEST(PlaceResource, GivesSpecAndDigestAndRefusesAnythingElse) {
  std::vector<unsigned char> data = utf16(L"{CACHE_DIR}\\tavrin\\P\\1.0_0123456789abcdef");
  const std::vector<unsigned char> digest_bytes = utf16(digest);
  data.insert(data.end(), digest_bytes.begin(), digest_bytes.end());
  wchar_t spec[place_spec_capacity];
  wchar_t found[place_digest_units + 1];
  wchar_t folder[place_spec_capacity];
  ASSERT_TRUE(parse_place_resource(data.data(), data.size(), spec, found, folder));
  EXPECT_EQ(std::wstring(spec), L"{CACHE_DIR}\\tavrin\\P\\1.0_0123456789abcdef");
  EXPECT_EQ(std::wstring(found), digest);
  for (size_t length = 0; length < data.size(); ++length) {
    EXPECT_FALSE(parse_place_resource(data.data(), length, spec, found, folder)) << "cut at " << length;
  }
  for (const wchar_t* bad : {L"0123456789ABCDEF", L"0123456789abcde", L"0123456789abcdef0"}) {
    std::vector<unsigned char> other = utf16(L"{CACHE_DIR}\\x");
    const std::vector<unsigned char> bad_bytes = utf16(bad);
    other.insert(other.end(), bad_bytes.begin(), bad_bytes.end());
    EXPECT_FALSE(parse_place_resource(other.data(), other.size(), spec, found, folder)) << "digest " << bad[0];
  }
  // The spec buffer's boundary: 1,023 units and the terminator fit, 1,024 do not.
  for (const size_t length : {place_spec_capacity - 1, place_spec_capacity}) {
    std::vector<unsigned char> sized = utf16(std::wstring(length, L's'));
    sized.insert(sized.end(), digest_bytes.begin(), digest_bytes.end());
    EXPECT_EQ(parse_place_resource(sized.data(), sized.size(), spec, found, folder), length < place_spec_capacity) << length;
  }
  const std::vector<unsigned char> empty_spec = utf16(L"");
  EXPECT_FALSE(parse_place_resource(empty_spec.data(), empty_spec.size(), spec, found, folder));
}

// The folder came later as an optional third text: older resources end after the digest.
TEST(PlaceResource, FolderFollowsTheDigestOrStandsAloneWithEmptySpecAndDigest) {
  const auto resource = [](std::initializer_list<std::wstring> texts) {
    std::vector<unsigned char> data;
    for (const std::wstring& text : texts) {
      const std::vector<unsigned char> bytes = utf16(text);
      data.insert(data.end(), bytes.begin(), bytes.end());
    }
    return data;
  };
  wchar_t spec[place_spec_capacity];
  wchar_t found[place_digest_units + 1];
  wchar_t folder[place_spec_capacity];
  const std::vector<unsigned char> cached = resource({L"{HOME}\\r\\P\\1_" + std::wstring(digest), digest, L"{HOME}\\r"});
  ASSERT_TRUE(parse_place_resource(cached.data(), cached.size(), spec, found, folder));
  EXPECT_EQ(std::wstring(folder), L"{HOME}\\r");
  const std::vector<unsigned char> alone = resource({L"", L"", L"{PROGRAM_DIR}\\.files"});
  ASSERT_TRUE(parse_place_resource(alone.data(), alone.size(), spec, found, folder));
  EXPECT_EQ(std::wstring(spec), L"");
  EXPECT_EQ(std::wstring(folder), L"{PROGRAM_DIR}\\.files");
  for (const std::vector<unsigned char>& bad :
       {resource({L"", L""}), resource({L"", L"", L""}), resource({L"", digest, L"{TEMP}\\x"}),
        resource({L"", L"", L"{TEMP}\\x", L"more"})}) {
    EXPECT_FALSE(parse_place_resource(bad.data(), bad.size(), spec, found, folder));
  }
}

}  // namespace
