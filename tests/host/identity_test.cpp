// The application's identity written into a copy of the real stub ($TAVRIN_WIN_BIN_DIR),
// each part read back by a reader we did not write: wrestool and icotool (icoutils) for
// the icon group, Python's pefile for the version resource, Python's XML parser for the
// manifest. Malformed input is checked in-process, where the refusal happens.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/host/payload_test_helpers.h"
#include "tools/pack/commands.h"
#include "tools/pack/identity.h"
#include "tools/pack/pe_resources.h"

namespace fs = std::filesystem;

namespace {

using test_payload::read_file;
using test_payload::write_file;

// Debian's interpreter, where python3-pefile lives (a PATH may put another one first).
constexpr const char system_python[] = "/usr/bin/python3";

std::string quote(const fs::path& path) { return "'" + path.string() + "'"; }

struct Shell {
  bool ok;
  std::string out;
};

// Standard output of command, and its standard error too when with_errors is set.
Shell shell(const std::string& command, bool with_errors = false) {
  Shell result{false, ""};
  result.ok = test_payload::run_shell(command + (with_errors ? " 2>&1" : " 2>/dev/null"), &result.out);
  return result;
}

uint32_t le32(const std::string& data, size_t at) {
  return static_cast<uint8_t>(data[at]) | static_cast<uint8_t>(data[at + 1]) << 8 |
         static_cast<uint8_t>(data[at + 2]) << 16 | static_cast<uint32_t>(static_cast<uint8_t>(data[at + 3])) << 24;
}

// Each image of a .ico: its directory entry but the offset, and its bytes.
std::vector<std::string> ico_images(const std::string& ico) {
  std::vector<std::string> images;
  const size_t count = static_cast<uint8_t>(ico.at(4)) | static_cast<uint8_t>(ico.at(5)) << 8;
  for (size_t i = 0; i < count; ++i) {
    const size_t entry = 6 + 16 * i;
    images.push_back(ico.substr(entry, 12) + ico.substr(le32(ico, entry + 12), le32(ico, entry + 8)));
  }
  return images;
}

class Identity : public testing::Test {
 protected:
  void SetUp() override {
    const char* bin = getenv("TAVRIN_WIN_BIN_DIR");
    if (bin == nullptr || *bin == '\0') GTEST_SKIP() << "TAVRIN_WIN_BIN_DIR is not set (source scripts/env.sh)";
    stub_ = fs::path(bin) / "tavrin-launcher.exe";
    if (!fs::exists(stub_)) GTEST_SKIP() << stub_ << " not built";
    for (const std::string& tool : {std::string("command -v wrestool"), std::string("command -v icotool"),
                                   std::string(system_python) + " -c 'import pefile'"}) {
      if (!shell(tool).ok) GTEST_SKIP() << "missing: " << tool;
    }
    scratch_ = test_payload::make_temp_dir();
    write_file(scratch_ / "app" / "main.dll", "not really a library");
  }
  void TearDown() override {
    if (!scratch_.empty()) fs::remove_all(scratch_);
  }

  // tavrin-pack exe, in-process, with the stub given as --launcher.
  int pack(const fs::path& launcher, const fs::path& out, std::vector<std::string> options) {
    std::vector<std::string> line = {"exe", "--launcher", launcher.string(), "--main", "main.dll", "--level", "1",
                                     "-o", out.string(), (scratch_ / "app").string()};
    line.insert(line.end(), options.begin(), options.end());
    std::vector<char*> argv;
    for (std::string& argument : line) argv.push_back(argument.data());
    return run_exe_command(static_cast<int>(argv.size()), argv.data());
  }

  // An .ico of the stub's own images, chosen by icotool's file names; raw ones stay PNG.
  fs::path make_icon(const std::string& name, const std::vector<std::string>& images,
                     const std::vector<std::string>& raw_images) {
    const fs::path pngs = scratch_ / "png";
    if (!fs::exists(pngs)) {
      fs::create_directory(pngs);
      EXPECT_TRUE(shell("wrestool -x -t 14 -n 1 -o " + quote(scratch_ / "stub.ico") + " " + quote(stub_)).ok);
      EXPECT_TRUE(shell("icotool -x -o " + quote(pngs) + " " + quote(scratch_ / "stub.ico")).ok);
    }
    std::string command = "icotool -c -o " + quote(scratch_ / name);
    for (const std::string& image : images) command += " " + quote(pngs / ("stub_" + image + ".png"));
    for (const std::string& image : raw_images) command += " -r " + quote(pngs / ("stub_" + image + ".png"));
    EXPECT_TRUE(shell(command).ok) << command;
    return scratch_ / name;
  }

  // Icon group 1 of exe as wrestool reassembles it into an .ico.
  std::string extracted_group(const fs::path& exe) {
    const fs::path ico = scratch_ / "extracted.ico";
    EXPECT_TRUE(shell("wrestool -x -t 14 -n 1 -o " + quote(ico) + " " + quote(exe)).ok);
    EXPECT_TRUE(shell("icotool -x -o " + quote(scratch_) + " " + quote(ico)).ok) << "icotool cannot decode it";
    return read_file(ico);
  }

  // The version resource as pefile reads it: each string table's strings, then the fixed part.
  std::string version_by_pefile(const fs::path& exe) {
    const std::string script =
        "import pefile, sys\n"
        "pe = pefile.PE(sys.argv[1])\n"
        "for info in pe.FileInfo[0]:\n"
        "  for table in getattr(info, 'StringTable', []):\n"
        "    print('table', table.LangID.decode())\n"
        "    for key, value in sorted(table.entries.items()):\n"
        "      print(key.decode(), '=', value.decode('utf-8'))\n"
        "  for var in getattr(info, 'Var', []):\n"
        "    print('var', var.entry)\n"
        "f = pe.VS_FIXEDFILEINFO[0]\n"
        "print('fixed %x %x %x %x' % (f.FileVersionMS, f.FileVersionLS, f.ProductVersionMS, f.ProductVersionLS))\n";
    write_file(scratch_ / "version.py", script);
    const Shell result = shell(std::string(system_python) + " " + quote(scratch_ / "version.py") + " " + quote(exe));
    EXPECT_TRUE(result.ok) << result.out;
    return result.out;
  }

  std::vector<ResourceItem> resources_of(const fs::path& exe) {
    const std::string bytes = read_file(exe);
    std::vector<ResourceItem> items;
    std::string error;
    EXPECT_TRUE(read_resources(Bytes(bytes.begin(), bytes.end()), &items, &error)) << error;
    return items;
  }

  fs::path stub_;
  fs::path scratch_;
};

TEST_F(Identity, IconGroupHoldsExactlyTheIcoImagesAndAnotherPackDropsThem) {
  const fs::path two = make_icon("two.ico", {"4_32x32x32"}, {"6_256x256x32"});
  const fs::path one = make_icon("one.ico", {"1_16x16x8"}, {});
  const fs::path first = scratch_ / "First.exe";
  ASSERT_EQ(pack(stub_, first, {"--icon", two.string()}), 0);
  EXPECT_EQ(ico_images(extracted_group(first)), ico_images(read_file(two)));
  EXPECT_EQ(shell("wrestool -l -t 3 " + quote(first) + " | wc -l").out, "2\n") << "the stub's six images are gone";

  const fs::path second = scratch_ / "Second.exe";
  ASSERT_EQ(pack(first, second, {"--icon", one.string()}), 0);
  EXPECT_EQ(ico_images(extracted_group(second)), ico_images(read_file(one)));
  EXPECT_EQ(shell("wrestool -l -t 3 " + quote(second) + " | wc -l").out, "1\n");
}

TEST_F(Identity, MalformedIconsAreRefusedWithAReasonAndNothingIsWritten) {
  const std::string good = read_file(make_icon("good.ico", {"3_16x16x32"}, {"5_64x64x32"}));
  const size_t dib = le32(good, 6 + 12);
  const size_t png = le32(good, 6 + 16 + 12);
  struct Damage {
    const char* what;
    size_t at;
    char value;     // written at `at`, unless cut
    size_t cut;     // when not 0: the file ends here
    const char* reason;
  };
  const Damage damages[] = {
      {"cursor", 2, 2, 0, "cursor"},
      {"no images", 4, 0, 0, "no image"},
      {"count over the limit", 5, 1, 0, "more than 256"},
      {"directory cut", 0, 0, 20, "directory is truncated"},
      {"last image cut", 0, 0, good.size() - 1, "outside the file"},
      {"DIB width", dib + 4, 17, 0, "differs from its directory entry"},
      {"DIB compressed", dib + 16, 1, 0, "compressed"},
      {"DIB bit depth", dib + 14, 7, 0, "bit depth"},
      {"PNG width", png + 19, 65, 0, "where the directory says"},
      {"PNG without IHDR", png + 12, 'X', 0, "IHDR"},
  };
  for (const Damage& damage : damages) {
    std::string bad = good;
    if (damage.cut != 0) bad.resize(damage.cut);
    if (damage.cut == 0) bad[damage.at] = damage.value;
    std::vector<IconImage> images;
    std::string error;
    EXPECT_FALSE(parse_icon_file(reinterpret_cast<const unsigned char*>(bad.data()), bad.size(), &images, &error))
        << damage.what;
    EXPECT_NE(error.find(damage.reason), std::string::npos) << damage.what << ": " << error;
  }
  std::string cut = good.substr(0, good.size() / 2);
  write_file(scratch_ / "cut.ico", cut);
  testing::internal::CaptureStderr();
  EXPECT_EQ(pack(stub_, scratch_ / "App.exe", {"--icon", (scratch_ / "cut.ico").string()}), 1);
  const std::string message = testing::internal::GetCapturedStderr();
  EXPECT_NE(message.find("is not a usable icon"), std::string::npos) << message;
  EXPECT_FALSE(fs::exists(scratch_ / "App.exe"));
}

TEST_F(Identity, VersionResourceCarriesTheNewStringsAndNumbersInTheStubsLanguage) {
  const fs::path first = scratch_ / "First.exe";
  ASSERT_EQ(pack(stub_, first,
                 {"--product-name", "H\xC3\xA9llo \xE4\xB8\xAD", "--product-version", "2.3.4.5", "--file-version",
                  "65535.0.1.65535", "--company", "ACME", "--description", "Says hello", "--copyright",
                  "(c) 2026 ACME", "--original-filename", "Hello.exe"}),
            0);
  const std::string stub_version = version_by_pefile(stub_);
  const std::string internal_name = stub_version.substr(stub_version.find("InternalName"));
  EXPECT_EQ(version_by_pefile(first),
            "table 040904b0\n"
            "CompanyName = ACME\n"
            "FileDescription = Says hello\n"
            "FileVersion = 65535.0.1.65535\n" +
                internal_name.substr(0, internal_name.find('\n') + 1) +
                "LegalCopyright = (c) 2026 ACME\n"
                "OriginalFilename = Hello.exe\n"
                "ProductName = H\xC3\xA9llo \xE4\xB8\xAD\n"
                "ProductVersion = 2.3.4.5\n"
                "var {b'Translation': '0x0409 0x04b0'}\n"
                "fixed ffff0000 1ffff 20003 40005\n");

  // Packed again: the new values win, the others stay as the first pack left them.
  const fs::path second = scratch_ / "Second.exe";
  ASSERT_EQ(pack(first, second, {"--product-name", "Second", "--file-version", "9.8.7.6"}), 0);
  const std::string again = version_by_pefile(second);
  EXPECT_NE(again.find("ProductName = Second\n"), std::string::npos) << again;
  EXPECT_NE(again.find("FileVersion = 9.8.7.6\n"), std::string::npos) << again;
  EXPECT_NE(again.find("CompanyName = ACME\n"), std::string::npos) << again;
  EXPECT_NE(again.find("fixed 90008 70006 20003 40005\n"), std::string::npos) << again;
}

TEST(VersionQuad, OnlyFourNumbersOfSixteenBitsAreTaken) {
  VersionQuad quad{};
  EXPECT_TRUE(parse_version_quad("65535.0.65534.1", &quad));
  EXPECT_EQ(quad, (VersionQuad{65535, 0, 65534, 1}));
  EXPECT_TRUE(parse_version_quad("00001.2.3.4", &quad));
  for (const char* bad : {"1.2.3", "1.2.3.4.5", "1.2.3.65536", "1.2.3.999999", "1..2.3", "-1.2.3.4", "+1.2.3.4",
                          "1.2.3.4 ", " 1.2.3.4", "a.b.c.d", "1.2.3.", ""}) {
    EXPECT_FALSE(parse_version_quad(bad, &quad)) << bad;
  }
  std::string line[] = {"exe", "--payload", "p", "-o", "o", "--file-version", "1.2.3.65536"};
  char* argv[] = {line[0].data(), line[1].data(), line[2].data(), line[3].data(),
                  line[4].data(), line[5].data(), line[6].data()};
  EXPECT_EQ(run_exe_command(7, argv), 2);
}

// The compiler's own UTF-16 encoding is the reference; pefile shows surrogates escaped.
TEST(TextOption, Utf8BecomesUtf16AndMalformedTextIsRefused) {
  std::u16string text;
  EXPECT_TRUE(utf8_to_utf16("a\xC3\xA9\xE4\xB8\xAD\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF", &text));
  EXPECT_EQ(text, u"a\u00e9\u4e2d\U0001F600\U0010FFFF");
  for (const char* bad : {"\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\x80",
                          "\xC3\x28", "\xF8\x88\x80\x80\x80"}) {
    EXPECT_FALSE(utf8_to_utf16(bad, &text)) << bad;
  }
}

TEST_F(Identity, ManifestRequestsTheGivenLevelAndNothingElseChanges) {
  const std::string script =
      "import sys, xml.etree.ElementTree as ET\n"
      "root = ET.parse(sys.argv[1]).getroot()\n"
      "for e in root.iter('{urn:schemas-microsoft-com:asm.v3}requestedExecutionLevel'):\n"
      "  print(e.get('level'), e.get('uiAccess'))\n";
  write_file(scratch_ / "level.py", script);
  const std::string stub_manifest = shell("wrestool -x --raw -t 24 -n 1 " + quote(stub_)).out;
  const std::string stub_level = "\"requireAdministrator\"";
  ASSERT_NE(stub_manifest.find(stub_level), std::string::npos);
  for (const char* level : execution_levels) {
    const fs::path exe = scratch_ / "App.exe";
    ASSERT_EQ(pack(stub_, exe, {"--execution-level", level}), 0);
    const fs::path manifest = scratch_ / "manifest.xml";
    ASSERT_TRUE(shell("wrestool -x --raw -t 24 -n 1 -o " + quote(manifest) + " " + quote(exe)).ok);
    EXPECT_EQ(shell(std::string(system_python) + " " + quote(scratch_ / "level.py") + " " + quote(manifest)).out,
              std::string(level) + " false\n");
    std::string expected = stub_manifest;
    expected.replace(expected.find(stub_level), stub_level.size(), "\"" + std::string(level) + "\"");
    EXPECT_EQ(read_file(manifest), expected) << level;
  }
}

TEST(ExecutionLevel, OnlyTheOneRealElementsLevelValueChanges) {
  const auto set = [](const std::string& xml, std::string* error) {
    Bytes out;
    if (!set_execution_level(Bytes(xml.begin(), xml.end()), "asInvoker", &out, error)) return std::string("!");
    return std::string(out.begin(), out.end());
  };
  std::string error;
  EXPECT_EQ(set("<!-- <requestedExecutionLevel level=\"x\"/> --><a:requestedExecutionLevel uiAccess='false' "
                "level = 'requireAdministrator'/>",
                &error),
            "<!-- <requestedExecutionLevel level=\"x\"/> --><a:requestedExecutionLevel uiAccess='false' "
            "level = 'asInvoker'/>");
  EXPECT_EQ(set("<requestedExecutionLevels level=\"x\"/><requestedExecutionLevel uiAccess=\"level\"/>", &error), "!");
  EXPECT_NE(error.find("no level attribute"), std::string::npos) << error;
  EXPECT_EQ(set("<requestedExecutionLevel level=\"a\"/><requestedExecutionLevel level=\"b\"/>", &error), "!");
  EXPECT_EQ(set("<!-- <requestedExecutionLevel level=\"x\"/>", &error), "!");
}

TEST_F(Identity, EachOptionChangesOnlyItsOwnResource) {
  const fs::path icon = make_icon("one.ico", {"2_32x32x8"}, {});
  const std::vector<std::pair<std::vector<std::string>, std::vector<uint16_t>>> cases = {
      {{"--icon", icon.string()}, {resource_type_icon, resource_type_group_icon}},
      {{"--company", "ACME"}, {resource_type_version}},
      {{"--execution-level", "highestAvailable"}, {resource_type_manifest}},
  };
  const std::vector<ResourceItem> stub_items = resources_of(stub_);
  for (const auto& [options, changed_types] : cases) {
    const fs::path exe = scratch_ / "App.exe";
    ASSERT_EQ(pack(stub_, exe, options), 0);
    // The resources of the changed types (changed == true) or of all others, as text.
    const auto select = [&](const std::vector<ResourceItem>& items, bool changed) {
      std::vector<std::string> texts;
      for (const ResourceItem& item : items) {
        const bool of_option = std::find(changed_types.begin(), changed_types.end(), item.type.id) != changed_types.end();
        if (of_option != changed || item.type.id == 10) continue;
        texts.push_back(std::to_string(item.type.id) + "/" + std::to_string(item.name.id) + "/" +
                        std::to_string(item.language.id) + ":" + std::string(item.data.begin(), item.data.end()));
      }
      return texts;
    };
    const std::vector<ResourceItem> items = resources_of(exe);
    EXPECT_EQ(select(items, false), select(stub_items, false)) << options[0];
    EXPECT_NE(select(items, true), select(stub_items, true)) << options[0];
  }
}

// The installed kit's layout (bin/tavrin-pack, share/tavrin/tavrin-launcher.exe), then the
// stub beside the packer, then a message that names both places.
TEST_F(Identity, PackerFindsTheStubOfItsKitWhenNoLauncherIsGiven) {
  const fs::path packer = fs::read_symlink("/proc/self/exe").parent_path() / "tavrin-pack";
  ASSERT_TRUE(fs::exists(packer));
  const fs::path kit = scratch_ / "kit";
  fs::create_directories(kit / "bin");
  fs::create_directories(kit / "share" / "tavrin");
  fs::copy_file(packer, kit / "bin" / "tavrin-pack");
  const fs::path installed = kit / "share" / "tavrin" / "tavrin-launcher.exe";
  fs::copy_file(stub_, installed);
  const std::string line = quote(kit / "bin" / "tavrin-pack") + " exe --main main.dll --level 1 -o " +
                           quote(scratch_ / "App.exe") + " " + quote(scratch_ / "app");
  EXPECT_TRUE(shell(line).ok);
  EXPECT_TRUE(fs::exists(scratch_ / "App.exe"));
  fs::rename(installed, kit / "bin" / "tavrin-launcher.exe");
  EXPECT_TRUE(shell(line).ok) << "beside the packer";
  fs::remove(kit / "bin" / "tavrin-launcher.exe");
  const Shell missing = shell(line, true);
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.out.find(installed.string()), std::string::npos) << missing.out;
  EXPECT_NE(missing.out.find((kit / "bin" / "tavrin-launcher.exe").string()), std::string::npos) << missing.out;
}

}  // namespace
