// The packer's side of the unpacking place: the names made fit for a path, the spec, the
// resource it stores and the payloads it refuses.
#include <gtest/gtest.h>

#include <string>

#include "payload/format.h"
#include "payload/tree_marker.h"
#include "tests/host/payload_test_helpers.h"
#include "tools/pack/payload_writer.h"
#include "tools/pack/unpack_place.h"

namespace {

// A payload packed from files (relative path with '/', content) in a fresh directory.
std::vector<unsigned char> payload_with(const std::vector<std::pair<std::string, std::string>>& files) {
  const test_payload::fs::path directory = test_payload::make_temp_dir();
  for (const auto& [name, data] : files) test_payload::write_file(directory / name, data);
  PackRequest request;
  request.directory = directory;
  request.main_library = files.front().first;
  request.level = 1;
  std::vector<unsigned char> payload;
  std::string error;
  EXPECT_TRUE(build_payload_bytes(request, &payload, &error)) << error;
  test_payload::fs::remove_all(directory);
  return payload;
}

std::u16string sanitized(const std::string& text) {
  return sanitize_place_component(text);
}

TEST(PlaceComponent, ReplacesWhatAPathCannotHoldAndKeepsTheRest) {
  EXPECT_EQ(sanitized("Zandoria"), u"Zandoria");
  EXPECT_EQ(sanitized("My App 2.0-beta_1"), u"My App 2.0-beta_1");
  EXPECT_EQ(sanitized("a<b>c:d\"e/f\\g|h?i*j"), u"a_b_c_d_e_f_g_h_i_j");
  EXPECT_EQ(sanitized("{PRODUCT}~x"), u"_PRODUCT__x") << "no keyword and no place suffix can be smuggled in";
  EXPECT_EQ(sanitized("tab\there"), u"tab_here");
  EXPECT_EQ(sanitized("Zandor\xc3\xa1" "a"), u"Zandor\u00e1a") << "letters beyond ASCII stay";
  EXPECT_EQ(sanitized("  trailing. . "), u"trailing");
  EXPECT_EQ(sanitized(""), u"app");
  EXPECT_EQ(sanitized(" ..."), u"app");
  for (const char* device : {"CON", "con", "Nul.txt", "COM1", "lpt9", "AUX "}) {
    EXPECT_EQ(sanitized(device)[0], u'_') << device;
  }
  EXPECT_EQ(sanitized("COM0"), u"COM0");
  EXPECT_EQ(sanitized("CONSOLE"), u"CONSOLE");
}

TEST(PlaceComponent, BoundedAtSixtyFourUnits) {
  for (const size_t length : {63u, 64u, 65u, 300u}) {
    EXPECT_EQ(sanitized(std::string(length, 'p')).size(), std::min<size_t>(length, 64)) << length;
  }
}

TEST(PlaceSpec, LiteralIdentityOrTheStubsKeywordsThenTheDigest) {
  EXPECT_EQ(build_place_spec(PlaceIdentity{"My:App", "2.1"}, "0123456789abcdef"),
            u"{CACHE_DIR}\\tavrin\\My_App\\2.1_0123456789abcdef");
  EXPECT_EQ(build_place_spec(PlaceIdentity{}, "0123456789abcdef"),
            u"{CACHE_DIR}\\tavrin\\{PRODUCT}\\{VERSION}_0123456789abcdef");
}

TEST(PlaceSpec, NamedByTheIdentityOptionsWhenGiven) {
  AppIdentity identity;
  EXPECT_EQ(place_identity_of(identity).product, "");
  EXPECT_EQ(place_identity_of(identity).version, "");
  identity.product_name = "Hello";
  identity.product_version = VersionQuad{2, 1, 0, 65535};
  EXPECT_EQ(place_identity_of(identity).product, "Hello");
  EXPECT_EQ(place_identity_of(identity).version, "2.1.0.65535");
}

TEST(PlaceResources, NoneForTempAndOneParsableResourceForCache) {
  const std::string payload = "VZY payload";
  const auto* bytes = reinterpret_cast<const unsigned char*>(payload.data());
  EXPECT_TRUE(make_place_resources(UnpackPlace::temp, PlaceIdentity{"P", "1"}, bytes, payload.size()).empty());
  const std::vector<ResourceItem> items = make_place_resources(UnpackPlace::cache, PlaceIdentity{"P", "1"}, bytes,
                                                                payload.size());
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0].type.id, payload_resource_type);
  EXPECT_EQ(items[0].name.id, place_resource_id);
  EXPECT_EQ(items[0].language.id, payload_resource_language);
  wchar_t spec[place_spec_capacity];
  wchar_t digest[place_digest_units + 1];
  wchar_t folder[place_spec_capacity];
  ASSERT_TRUE(parse_place_resource(items[0].data.data(), items[0].data.size(), spec, digest, folder));
  EXPECT_EQ(std::wstring(folder), L"") << "no folder stored for the default cache root";
  const std::string expected_digest = payload_digest_text(bytes, payload.size());
  EXPECT_EQ(std::wstring(digest), std::wstring(expected_digest.begin(), expected_digest.end()));
  EXPECT_EQ(std::wstring(spec), L"{CACHE_DIR}\\tavrin\\P\\1_" + std::wstring(digest));
}

TEST(PlaceFit, APayloadWithAnEntryNamedLikeTheMarkerIsRefused) {
  for (const char* name : {".tavrin-tree", ".TAVRIN-Tree"}) {
    const std::vector<unsigned char> payload = payload_with({{"app.dll", "MZ"}, {name, "x"}});
    std::string error;
    EXPECT_FALSE(check_payload_fits_cache(payload.data(), payload.size(), &error)) << name;
    EXPECT_NE(error.find(".tavrin-tree"), std::string::npos) << error;
  }
  const std::vector<unsigned char> fine = payload_with({{"app.dll", "MZ"}, {"sub/.tavrin-tree", "x"}});
  std::string error;
  EXPECT_TRUE(check_payload_fits_cache(fine.data(), fine.size(), &error)) << error;
  const std::vector<unsigned char> broken = {'V', 'Z', 'Y', 0};
  EXPECT_FALSE(check_payload_fits_cache(broken.data(), broken.size(), &error));
}

TEST(FolderSpec, KnownKeywordsNamingAnAbsoluteFolderAndNothingElse) {
  std::string error;
  for (const char* fine : {"{PROGRAM_DIR}\\.files", "{program_base}.files", "D:\\Runs", "\\\\server\\share\\runs",
                           "{HOME}\\AppData\\Local\\{PRODUCT}\\{Version}", "{TEMP}", "{CACHE_DIR}\\x"}) {
    EXPECT_TRUE(check_folder_spec(fine, &error)) << fine << ": " << error;
  }
  const std::vector<std::pair<const char*, const char*>> refused = {
      {"{PROGRAM_DIR}\\{NOPE}", "unknown keyword {NOPE}"}, {"{TEMP}\\{}", "unknown keyword {}"},
      {"{TEMP}\\{PID}", "{PID} names one start"},         {"{TEMP}\\{time}", "{TIME} names one start"},
      {"{TEMP}\\a}", "no keyword open"},                  {"{TEMP\\{HOME}", "inside the keyword"},
      {"{TEMP}\\{HOME", "has no '}'"},                    {"runs\\here", "absolute"},
      {"{PRODUCT}\\x", "absolute"},                       {"C:runs", "absolute"},
      {"", "empty"}};
  for (const auto& [spec, reason] : refused) {
    EXPECT_FALSE(check_folder_spec(spec, &error)) << spec;
    EXPECT_NE(error.find(reason), std::string::npos) << spec << ": " << error;
  }
}

TEST(FolderSpec, StoredWithTheExesOwnProductAndVersionAndAsTheCacheRoot) {
  EXPECT_EQ(resolve_folder_spec("{PROGRAM_DIR}\\{product}-{VERSION}\\", PlaceIdentity{"My:App", "2.1"}),
            u"{PROGRAM_DIR}\\My_App-2.1");
  EXPECT_EQ(resolve_folder_spec("{HOME}\\{PRODUCT}", PlaceIdentity{}), u"{HOME}\\{PRODUCT}");
  EXPECT_EQ(build_place_spec(PlaceIdentity{"P", "1"}, "0123456789abcdef", u"{HOME}\\Example"),
            u"{HOME}\\Example\\P\\1_0123456789abcdef");
}

}  // namespace
