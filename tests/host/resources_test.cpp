// Checks the resources of the built launcher stub with readers we did not write: wrestool
// and icotool (icoutils) for the icon group, the version resource and the manifest, objdump
// for the PE header. The stub comes from the Windows build tree ($TAVRIN_WIN_BIN_DIR).
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "paths/spec.h"

namespace {

constexpr const char launcher_file_name[] = "tavrin-launcher.exe";
constexpr const char objdump_program[] = "x86_64-w64-mingw32-objdump";
constexpr size_t read_chunk_size = 4096;
constexpr size_t icon_dir_header_size = 6;
constexpr size_t icon_dir_entry_size = 16;
constexpr uint32_t bitmap_info_header_size = 40;
constexpr uint32_t fixed_file_info_signature = 0xFEEF04BD;
constexpr uint16_t version_text_type = 1;
constexpr uint16_t english_us_language = 0x0409;
constexpr uint16_t unicode_code_page = 1200;
constexpr const char png_signature[] = "\x89PNG\r\n\x1a\n";

struct CommandResult {
  int status = -1;  // the command's exit status, -1 when it did not end normally
  std::string out;
};

// Runs a shell command and collects its standard output as bytes.
CommandResult run_command(const std::string& command) {
  CommandResult result;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return result;
  char chunk[read_chunk_size];
  size_t count = 0;
  while ((count = fread(chunk, 1, sizeof chunk, pipe)) > 0) result.out.append(chunk, count);
  const int wait_status = pclose(pipe);
  if (wait_status != -1 && WIFEXITED(wait_status)) result.status = WEXITSTATUS(wait_status);
  return result;
}

std::string quote_for_shell(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Output of a command that must succeed.
std::string capture_output(const std::string& command) {
  const CommandResult result = run_command(command + " 2>/dev/null");
  EXPECT_EQ(result.status, 0) << "failed: " << command;
  return result.out;
}

uint16_t read_u16(const std::string& data, size_t offset) {
  if (offset + 2 > data.size()) throw std::out_of_range("read past the end at " + std::to_string(offset));
  return static_cast<uint16_t>(static_cast<uint8_t>(data[offset]) | static_cast<uint8_t>(data[offset + 1]) << 8);
}

uint32_t read_u32(const std::string& data, size_t offset) {
  return read_u16(data, offset) | static_cast<uint32_t>(read_u16(data, offset + 2)) << 16;
}

// A UTF-16LE string of ASCII characters as narrow text; anything else becomes '?'.
std::string narrow_utf16(const std::string& data, size_t offset, size_t units) {
  std::string text;
  for (size_t i = 0; i < units; ++i) {
    const uint16_t unit = read_u16(data, offset + 2 * i);
    text += unit < 0x80 ? static_cast<char>(unit) : '?';
  }
  return text;
}

std::string narrow_wide(const wchar_t* text) {
  std::string narrow;
  for (; *text != L'\0'; ++text) narrow += *text < 0x80 ? static_cast<char>(*text) : '?';
  return narrow;
}

size_t align_to_4(size_t offset) { return (offset + 3) & ~static_cast<size_t>(3); }

// One image of an .ico file as its directory entry describes it.
struct IconImage {
  unsigned side = 0;
  unsigned bits = 0;
  std::string data;
};

std::vector<IconImage> parse_icon_file(const std::string& ico) {
  std::vector<IconImage> images;
  const uint16_t count = read_u16(ico, 4);
  for (uint16_t i = 0; i < count; ++i) {
    const size_t entry = icon_dir_header_size + i * icon_dir_entry_size;
    IconImage image;
    image.side = static_cast<uint8_t>(ico[entry]) == 0 ? 256u : static_cast<uint8_t>(ico[entry]);
    image.bits = read_u16(ico, entry + 6);
    const uint32_t size = read_u32(ico, entry + 8);
    const uint32_t offset = read_u32(ico, entry + 12);
    if (static_cast<size_t>(offset) + size > ico.size()) throw std::out_of_range("image past the end");
    image.data = ico.substr(offset, size);
    images.push_back(image);
  }
  return images;
}

// The version resource: its fixed part and every string of its string tables.
struct VersionInfo {
  std::string root_key;
  std::string fixed;  // VS_FIXEDFILEINFO bytes
  std::map<std::string, std::string> strings;
  std::vector<std::string> string_table_keys;
  std::string translation;  // the Var "Translation" bytes
};

// Walks one node (length, value length, type, key, value, children) and its children.
size_t parse_version_node(const std::string& data, size_t offset, int depth, const std::string& parent,
                          VersionInfo& info) {
  const uint16_t length = read_u16(data, offset);
  const uint16_t value_length = read_u16(data, offset + 2);
  const uint16_t type = read_u16(data, offset + 4);
  if (length < 6 || offset + length > data.size()) throw std::out_of_range("bad version node length");
  size_t key_end = offset + 6;
  while (read_u16(data, key_end) != 0) key_end += 2;
  const std::string key = narrow_utf16(data, offset + 6, (key_end - offset - 6) / 2);
  const size_t value_offset = align_to_4(key_end + 2);
  // A text value's length counts UTF-16 units, its terminator included; a binary one bytes.
  const size_t value_bytes = type == version_text_type ? value_length * 2u : value_length;
  if (depth == 0) {
    info.root_key = key;
    info.fixed = data.substr(value_offset, value_bytes);
  } else if (parent == "StringFileInfo") {
    info.string_table_keys.push_back(key);
  } else if (depth == 3 && type == version_text_type) {
    size_t units = 0;
    while (units < value_length && read_u16(data, value_offset + 2 * units) != 0) ++units;
    info.strings[key] = narrow_utf16(data, value_offset, units);
  } else if (key == "Translation") {
    info.translation = data.substr(value_offset, value_bytes);
  }
  size_t child = align_to_4(value_offset + value_bytes);
  while (child < offset + length) child = align_to_4(parse_version_node(data, child, depth + 1, key, info));
  return offset + length;
}

bool is_xml_space(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// The start tags <tag ...> of every element with this name in an XML text.
std::vector<std::string> find_start_tags(const std::string& xml, const std::string& tag) {
  std::vector<std::string> tags;
  const std::string opening = "<" + tag;
  for (size_t at = xml.find(opening); at != std::string::npos; at = xml.find(opening, at + 1)) {
    const char next = at + opening.size() < xml.size() ? xml[at + opening.size()] : '\0';
    if (!is_xml_space(next) && next != '>' && next != '/') continue;
    tags.push_back(xml.substr(at, xml.find('>', at) - at + 1));
  }
  return tags;
}

// The value of name="..." in a start tag, or "<none>".
std::string read_attribute(const std::string& start_tag, const std::string& name) {
  const std::string key = name + "=\"";
  for (size_t at = start_tag.find(key); at != std::string::npos; at = start_tag.find(key, at + 1)) {
    if (at == 0 || !is_xml_space(start_tag[at - 1])) continue;
    const size_t begin = at + key.size();
    return start_tag.substr(begin, start_tag.find('"', begin) - begin);
  }
  return "<none>";
}

// The text between <tag ...> and </tag> of the first such element.
std::string read_element_text(const std::string& xml, const std::string& tag) {
  const std::vector<std::string> tags = find_start_tags(xml, tag);
  if (tags.empty()) return "<none>";
  const size_t begin = xml.find(tags.front()) + tags.front().size();
  return xml.substr(begin, xml.find("</" + tag, begin) - begin);
}

class LauncherResources : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* bin_dir = std::getenv("TAVRIN_WIN_BIN_DIR");
    if (bin_dir == nullptr || *bin_dir == '\0') {
      GTEST_SKIP() << "TAVRIN_WIN_BIN_DIR is not set: run through scripts/test.sh to check the stub";
    }
    launcher_ = std::filesystem::path(bin_dir) / launcher_file_name;
    if (!std::filesystem::exists(launcher_)) {
      GTEST_SKIP() << launcher_ << " is not built yet";
    }
    char scratch_template[] = "/tmp/tavrin-resources-XXXXXX";
    ASSERT_NE(mkdtemp(scratch_template), nullptr);
    scratch_ = scratch_template;
  }
  void TearDown() override {
    if (!scratch_.empty()) std::filesystem::remove_all(scratch_);
  }

  std::string launcher() const { return quote_for_shell(launcher_.string()); }

  // Raw bytes of resource type/name, as wrestool extracts them.
  std::string extract_raw(int type, int name) const {
    return capture_output("wrestool -x --raw -t " + std::to_string(type) + " -n " + std::to_string(name) +
                          " " + launcher());
  }

  // Icon group 1 reassembled into an .ico file by wrestool; returns its path.
  std::string extract_icon_group() const {
    const std::string ico = (scratch_ / "group1.ico").string();
    capture_output("wrestool -x -t 14 -n 1 -o " + quote_for_shell(ico) + " " + launcher());
    return ico;
  }

  static std::string read_file(const std::string& path) {
    std::string content;
    FILE* file = std::fopen(path.c_str(), "rb");
    EXPECT_NE(file, nullptr) << "cannot read " << path;
    if (file == nullptr) return content;
    char chunk[read_chunk_size];
    size_t count = 0;
    while ((count = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, count);
    std::fclose(file);
    return content;
  }

  std::filesystem::path launcher_;
  std::filesystem::path scratch_;
};

TEST_F(LauncherResources, ListsOneIconGroupOneVersionAndOneManifest) {
  const std::string listing = capture_output("wrestool -l " + launcher());
  std::map<std::string, int> per_type;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    const size_t type_end = line.find(' ');
    per_type[line.substr(0, type_end) + line.substr(type_end, line.find(' ', type_end + 1) - type_end)]++;
  }
  EXPECT_EQ(per_type["--type=14 --name=1"], 1) << listing;
  EXPECT_EQ(per_type["--type=16 --name=1"], 1) << listing;
  EXPECT_EQ(per_type["--type=24 --name=1"], 1) << listing;
  // A second manifest (for instance a toolchain default one) would make the choice ambiguous.
  int manifests = 0;
  for (const auto& [key, count] : per_type) manifests += key.rfind("--type=24 ", 0) == 0 ? count : 0;
  EXPECT_EQ(manifests, 1) << listing;
}

TEST_F(LauncherResources, IconGroupHoldsTheSixImagesWithTheLargestAsPng) {
  const std::string ico = extract_icon_group();
  const std::string listing = capture_output("icotool -l " + quote_for_shell(ico));
  std::multiset<std::pair<int, int>> listed;
  std::istringstream lines(listing);
  for (std::string line; std::getline(lines, line);) {
    int index = 0, width = 0, height = 0, depth = 0;
    ASSERT_EQ(std::sscanf(line.c_str(), "--icon --index=%d --width=%d --height=%d --bit-depth=%d", &index, &width,
                          &height, &depth),
              4)
        << line;
    EXPECT_EQ(width, height) << line;
    listed.insert({width, depth});
  }
  const std::multiset<std::pair<int, int>> expected = {{16, 8}, {32, 8}, {16, 32}, {32, 32}, {64, 32}, {256, 32}};
  EXPECT_EQ(listed, expected) << listing;

  for (const IconImage& image : parse_icon_file(read_file(ico))) {
    const bool is_png = image.data.compare(0, 8, png_signature, 8) == 0;
    EXPECT_EQ(is_png, image.side == 256) << image.side << "x" << image.bits;
    if (!is_png) {
      EXPECT_EQ(read_u32(image.data, 0), bitmap_info_header_size) << image.side << "x" << image.bits;
    }
  }
  // icotool must be able to decode every image, the palette ones included.
  const std::string out_dir = (scratch_ / "images").string();
  std::filesystem::create_directory(out_dir);
  capture_output("icotool -x -o " + quote_for_shell(out_dir) + " " + quote_for_shell(ico));
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(out_dir), std::filesystem::directory_iterator()), 6);
}

// Colour (r, g, b, a) of pixel (x, y), counted from the top left, of a 32-bit icon bitmap.
std::vector<int> read_bgra_pixel(const IconImage& image, unsigned x, unsigned y) {
  const size_t row = image.side - 1 - y;  // bitmaps store the bottom row first
  const size_t at = bitmap_info_header_size + (row * image.side + x) * 4;
  return {static_cast<uint8_t>(image.data.at(at + 2)), static_cast<uint8_t>(image.data.at(at + 1)),
          static_cast<uint8_t>(image.data.at(at)), static_cast<uint8_t>(image.data.at(at + 3))};
}

// True when the AND mask lets the desktop through at (x, y) of an 8-bit icon bitmap.
bool read_mask_bit_8bpp(const IconImage& image, unsigned x, unsigned y) {
  const size_t palette_bytes = 256 * 4;
  const size_t pixel_stride = (image.side + 3) / 4 * 4;
  const size_t mask_stride = (image.side + 31) / 32 * 4;
  const size_t mask_start = bitmap_info_header_size + palette_bytes + pixel_stride * image.side;
  const size_t row = image.side - 1 - y;
  return (static_cast<uint8_t>(image.data.at(mask_start + row * mask_stride + x / 8)) & (0x80 >> (x % 8))) != 0;
}

TEST_F(LauncherResources, IconShowsAnUprightZInsideATransparentCorner) {
  const std::vector<IconImage> images = parse_icon_file(read_file(extract_icon_group()));
  for (const IconImage& image : images) {
    if (image.side == 64 && image.bits == 32) {
      EXPECT_EQ(read_bgra_pixel(image, 0, 0)[3], 0) << "the rounded corner is transparent";
      const std::vector<int> top_bar = read_bgra_pixel(image, 32, 17);
      EXPECT_EQ(top_bar, (std::vector<int>{255, 255, 255, 255})) << "the Z's top bar is white";
      // The diagonal runs from the top right to the bottom left: a bitmap stored upside
      // down or mirrored would show it the other way round.
      EXPECT_EQ(read_bgra_pixel(image, 38, 26), (std::vector<int>{255, 255, 255, 255}));
      const std::vector<int> beside = read_bgra_pixel(image, 25, 26);
      EXPECT_EQ(beside[3], 255);
      EXPECT_LT(beside[0] + beside[1] + beside[2], 3 * 200) << "left of the diagonal is background";
    }
    if (image.bits == 8) {
      EXPECT_TRUE(read_mask_bit_8bpp(image, 0, 0)) << image.side << " px: corner not masked";
      EXPECT_FALSE(read_mask_bit_8bpp(image, image.side / 2, image.side / 2)) << image.side << " px: centre masked";
    }
  }
}

TEST_F(LauncherResources, VersionResourceCarriesTheProductNameAndVersion) {
  VersionInfo info;
  const std::string raw = extract_raw(16, 1);
  ASSERT_FALSE(raw.empty());
  parse_version_node(raw, 0, 0, "", info);
  EXPECT_EQ(info.root_key, "VS_VERSION_INFO");
  ASSERT_GE(info.fixed.size(), 52u);
  EXPECT_EQ(read_u32(info.fixed, 0), fixed_file_info_signature);

  unsigned parts[4] = {};
  const std::string version = narrow_wide(product_version);
  ASSERT_EQ(std::sscanf(version.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]), 4);
  const uint32_t high = parts[0] << 16 | parts[1];
  const uint32_t low = parts[2] << 16 | parts[3];
  EXPECT_EQ(read_u32(info.fixed, 8), high) << "file version, high part";
  EXPECT_EQ(read_u32(info.fixed, 12), low) << "file version, low part";
  EXPECT_EQ(read_u32(info.fixed, 16), high) << "product version, high part";
  EXPECT_EQ(read_u32(info.fixed, 20), low) << "product version, low part";

  EXPECT_EQ(info.strings["ProductName"], narrow_wide(product_name));
  EXPECT_EQ(info.strings["ProductVersion"], version);
  EXPECT_EQ(info.strings["FileVersion"], version);
  EXPECT_EQ(info.strings["OriginalFilename"], launcher_file_name);
  for (const char* field : {"CompanyName", "FileDescription", "InternalName", "LegalCopyright"}) {
    EXPECT_FALSE(info.strings[field].empty()) << field;
  }
  // The string table's language and code page must be the ones the translation announces.
  ASSERT_EQ(info.translation.size(), 4u);
  EXPECT_EQ(read_u16(info.translation, 0), english_us_language);
  EXPECT_EQ(read_u16(info.translation, 2), unicode_code_page);
  EXPECT_EQ(info.string_table_keys, std::vector<std::string>{"040904b0"});
}

TEST_F(LauncherResources, ManifestDeclaresSystemsLongPathsControlsAndAdministratorRights) {
  const std::string manifest = extract_raw(24, 1);
  ASSERT_EQ(manifest.rfind("<?xml", 0), 0u) << manifest;
  EXPECT_NE(manifest.find("</assembly>"), std::string::npos);

  std::set<std::string> systems;
  for (const std::string& tag : find_start_tags(manifest, "supportedOS")) systems.insert(read_attribute(tag, "Id"));
  const std::set<std::string> expected_systems = {
      "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Vista
      "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // 7
      "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // 8
      "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // 8.1
      "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // 10
  };
  EXPECT_EQ(systems, expected_systems);

  const std::vector<std::string> long_path = find_start_tags(manifest, "longPathAware");
  ASSERT_EQ(long_path.size(), 1u);
  EXPECT_EQ(read_attribute(long_path[0], "xmlns"), "http://schemas.microsoft.com/SMI/2016/WindowsSettings");
  EXPECT_EQ(read_element_text(manifest, "longPathAware"), "true");

  bool controls_found = false;
  for (const std::string& tag : find_start_tags(manifest, "assemblyIdentity")) {
    if (read_attribute(tag, "name") != "Microsoft.Windows.Common-Controls") continue;
    controls_found = true;
    EXPECT_EQ(read_attribute(tag, "version"), "6.0.0.0");
    EXPECT_EQ(read_attribute(tag, "publicKeyToken"), "6595b64144ccf1df");
    EXPECT_EQ(read_attribute(tag, "type"), "win32");
  }
  EXPECT_TRUE(controls_found) << manifest;

  const std::vector<std::string> level = find_start_tags(manifest, "requestedExecutionLevel");
  ASSERT_EQ(level.size(), 1u);
  EXPECT_EQ(read_attribute(level[0], "level"), "requireAdministrator");
  EXPECT_EQ(read_attribute(level[0], "uiAccess"), "false");
}

TEST_F(LauncherResources, HeaderNamesA64BitGuiProgram) {
  const std::string headers = capture_output(std::string(objdump_program) + " -p " + launcher());
  std::map<std::string, std::string> fields;
  std::istringstream lines(headers);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    std::string name, value;
    if (words >> name >> value) fields.emplace(name, value);
  }
  EXPECT_EQ(fields["Magic"], "020b") << "PE32+";
  EXPECT_EQ(fields["Subsystem"], "00000002") << "Windows GUI: no console of its own";
  EXPECT_NE(headers.find("file format pei-x86-64"), std::string::npos);
}

// The static runtime leaves only system DLLs to import; shell32 and user32 are loaded at run
// time by the parent alone, so a child start does not pay for them.
TEST_F(LauncherResources, ImportsOnlyKernel32AndTheCRuntime) {
  const std::string headers = capture_output(std::string(objdump_program) + " -p " + launcher());
  std::vector<std::string> imported;
  const std::string marker = "DLL Name: ";
  for (size_t at = headers.find(marker); at != std::string::npos; at = headers.find(marker, at + 1)) {
    const size_t begin = at + marker.size();
    imported.push_back(headers.substr(begin, headers.find_first_of("\r\n", begin) - begin));
  }
  std::sort(imported.begin(), imported.end());
  EXPECT_EQ(imported, (std::vector<std::string>{"KERNEL32.dll", "msvcrt.dll"}));
}

}  // namespace
