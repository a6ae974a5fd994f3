// tavrin-pack list and extract through their command lines: a packed exe and a payload file
// round trip to the same files, and a payload or a target directory that would lead a
// write astray is refused with nothing written (or left behind).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "payload/format.h"
#include "tests/host/payload_test_helpers.h"
#include "tools/pack/cli.h"
#include "tools/pack/commands.h"

namespace fs = std::filesystem;

namespace {

using namespace test_payload;

// Every regular file below root by its relative path, with its content.
std::map<std::string, std::string> read_tree(const fs::path& root) {
  std::map<std::string, std::string> files;
  if (!fs::exists(root)) return files;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file()) files[fs::relative(entry.path(), root).string()] = read_file(entry.path());
  }
  return files;
}

// A payload file of hand-made entries, unsafe names included: the packer would refuse them.
fs::path write_crafted_payload(const fs::path& file, const std::vector<Entry>& entries) {
  std::string bytes = "VZY" + compress_frame(encode_stream(entries), FrameOptions{});
  bytes.append((payload_trailer_alignment - (bytes.size() + payload_trailer_size) % payload_trailer_alignment) %
                   payload_trailer_alignment,
               '\0');
  append_le(&bytes, bytes.size(), payload_trailer_size);
  write_file(file, bytes);
  return file;
}

class Inspect : public testing::Test {
 protected:
  void SetUp() override { scratch_ = make_temp_dir(); }
  void TearDown() override { fs::remove_all(scratch_); }
  fs::path scratch_;
};

TEST_F(Inspect, PackedExeAndPayloadFileListAndExtractToTheSameFiles) {
  const char* bin = getenv("TAVRIN_WIN_BIN_DIR");
  if (bin == nullptr || !fs::exists(fs::path(bin) / "tavrin-launcher.exe")) GTEST_SKIP() << "no stub built";
  const fs::path app = scratch_ / "app";
  write_file(app / "main.dll", make_data(5000, 1));
  write_file(app / "sub" / "deeper" / "data.bin", make_data(300000, 2));
  write_file(app / "empty.txt", "");
  write_file(app / "n\xC3\xA4me.txt", "x");
  const std::string exe = (scratch_ / "App.exe").string();
  const std::string payload = (scratch_ / "app.payload").string();
  ASSERT_EQ(run_command(run_exe_command, {"exe", "--launcher", (fs::path(bin) / "tavrin-launcher.exe").string(),
                                          "--main", "main.dll", "--level", "1", "-o", exe, app.string()}),
            pack_exit_success);
  ASSERT_EQ(run_command(run_payload_command,
                        {"payload", "--main", "main.dll", "--level", "1", "-o", payload, app.string()}),
            pack_exit_success);
  std::string listing;
  ASSERT_EQ(run_command(run_list_command, {"list", exe}, &listing), pack_exit_success);
  EXPECT_EQ(listing.substr(0, listing.find("4 entries")),
            "main.dll\t5000\nempty.txt\t0\nn\xC3\xA4me.txt\t1\nsub\\deeper\\data.bin\t300000\n");
  for (const std::string& input : {exe, payload}) {
    const fs::path out = scratch_ / ("out-" + fs::path(input).extension().string());
    write_file(out / "sub" / "deeper" / "data.bin", "old content, replaced");
    write_file(out / "mine.txt", "stays");
    ASSERT_EQ(run_command(run_extract_command, {"extract", input, out.string()}), pack_exit_success) << input;
    std::map<std::string, std::string> expected = read_tree(app);
    expected["mine.txt"] = "stays";
    EXPECT_EQ(read_tree(out), expected) << input;
  }
  std::string error;
  EXPECT_EQ(run_command(run_list_command, {"list", (fs::path(bin) / "tavrin-launcher.exe").string()}, nullptr, &error),
            pack_exit_failure);
  EXPECT_NE(error.find("without a payload"), std::string::npos) << error;
}

TEST_F(Inspect, NamesTheLauncherRefusesWriteNothing) {
  for (const char16_t* unsafe : {u"..\\evil.txt", u"C:\\evil.txt", u"\\evil.txt", u"a\\. .\\evil.txt",
                                       u"a/../../evil.txt"}) {
    const fs::path payload = write_crafted_payload(scratch_ / "hostile.payload", {{u"good.txt", "g"}, {unsafe, "e"}});
    const fs::path out = scratch_ / "deep" / "out";
    std::string error;
    EXPECT_EQ(run_command(run_extract_command, {"extract", payload.string(), out.string()}, nullptr, &error),
              pack_exit_failure);
    EXPECT_NE(error.find("not a valid payload"), std::string::npos) << error;
    EXPECT_FALSE(fs::exists(scratch_ / "deep")) << "nothing is written for a hostile payload";
    EXPECT_EQ(run_command(run_list_command, {"list", payload.string()}), pack_exit_failure);
  }
}

TEST_F(Inspect, LinksInTheTargetAreRefusedNotFollowed) {
  const fs::path outside = scratch_ / "outside";
  write_file(outside / "file.txt", "outside");
  const fs::path payload =
      write_crafted_payload(scratch_ / "app.payload", {{u"main.dll", "m"}, {u"sub\\file.txt", "written"}});
  const fs::path out = scratch_ / "out";
  fs::create_directories(out);
  fs::create_directory_symlink(outside, out / "sub");
  std::string error;
  EXPECT_EQ(run_command(run_extract_command, {"extract", payload.string(), out.string()}, nullptr, &error),
            pack_exit_failure);
  EXPECT_NE(error.find("is a link"), std::string::npos) << error;
  EXPECT_EQ(read_file(outside / "file.txt"), "outside");
  EXPECT_FALSE(fs::exists(out / "main.dll")) << "the file written before the refusal is taken away again";

  fs::remove(out / "sub");
  fs::create_directories(out / "sub");
  fs::create_symlink(outside / "file.txt", out / "sub" / "file.txt");
  EXPECT_EQ(run_command(run_extract_command, {"extract", payload.string(), out.string()}), pack_exit_failure);
  EXPECT_EQ(read_file(outside / "file.txt"), "outside");

  fs::create_directory_symlink(out, scratch_ / "link-to-out");
  EXPECT_EQ(run_command(run_extract_command, {"extract", payload.string(), (scratch_ / "link-to-out").string()}),
            pack_exit_failure);
}

// The second entry needs a directory where the first wrote a file: everything this run
// created goes again, what was there before stays.
TEST_F(Inspect, AFailureHalfWayRemovesWhatItCreated) {
  const fs::path payload =
      write_crafted_payload(scratch_ / "app.payload", {{u"a\\b\\x", "file"}, {u"a\\b\\x\\y", "needs x as directory"}});
  EXPECT_EQ(run_command(run_extract_command, {"extract", payload.string(), (scratch_ / "new").string()}),
            pack_exit_failure);
  EXPECT_FALSE(fs::exists(scratch_ / "new"));
  write_file(scratch_ / "old" / "a" / "keep.txt", "kept");
  EXPECT_EQ(run_command(run_extract_command, {"extract", payload.string(), (scratch_ / "old").string()}),
            pack_exit_failure);
  EXPECT_EQ(read_tree(scratch_ / "old"), (std::map<std::string, std::string>{{"a/keep.txt", "kept"}}));
  EXPECT_FALSE(fs::exists(scratch_ / "old" / "a" / "b"));
}

TEST(InspectLine, EveryCommandHasHelpAndWrongLinesAreUsageErrors) {
  for (auto command : {run_payload_command, run_exe_command, run_list_command, run_extract_command}) {
    std::string out;
    EXPECT_EQ(run_command(command, {"cmd", "--help"}, &out), pack_exit_success);
    EXPECT_NE(out.find("Usage:"), std::string::npos) << out;
    EXPECT_EQ(run_command(command, {"cmd", "--no-such-option"}), pack_exit_usage);
  }
  EXPECT_EQ(run_command(run_extract_command, {"extract", "only-one"}), pack_exit_usage);
  EXPECT_EQ(run_command(run_list_command, {"list", "a", "b"}), pack_exit_usage);
}

}  // namespace
