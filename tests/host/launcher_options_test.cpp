// The launcher options record: how the launcher reads it (its edges), and what `exe
// --progress-window` writes and `list` reports, packed into the real stub.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "payload/container.h"
#include "payload/format.h"
#include "tests/host/payload_test_helpers.h"
#include "tools/pack/commands.h"
#include "tools/pack/launcher_options.h"
#include "tools/pack/pe_resources.h"

namespace fs = std::filesystem;

namespace {

using namespace test_payload;

// A record one byte short of the flags word is no record; a longer one (a later packer's)
// keeps its flags; a flag this launcher does not know does not switch the window on.
TEST(LauncherOptions, RecordEdges) {
  const unsigned char record[] = {0x01, 0x00, 0x00, 0x00, 0xFF};
  EXPECT_EQ(read_launcher_options(nullptr, 0), 0u);
  EXPECT_EQ(read_launcher_options(record, options_flags_bytes - 1), 0u);
  EXPECT_EQ(read_launcher_options(record, options_flags_bytes), option_progress_window);
  EXPECT_EQ(read_launcher_options(record, options_flags_bytes + 1), option_progress_window);
  const unsigned char unknown[] = {0x02, 0x00, 0x00, 0x80};
  EXPECT_EQ(read_launcher_options(unknown, sizeof unknown) & option_progress_window, 0u);
}

// The option lands as its record, the same bytes at every packing; packed again without it,
// the exe carries no record and reads as before.
TEST(LauncherOptions, ExeOptionIsStoredListedAndDroppedOnRepack) {
  const char* bin = getenv("TAVRIN_WIN_BIN_DIR");
  if (bin == nullptr || !fs::exists(fs::path(bin) / "tavrin-launcher.exe")) GTEST_SKIP() << "no stub built";
  const fs::path scratch = make_temp_dir();
  write_file(scratch / "app" / "main.dll", "main");
  const std::string stub = (fs::path(bin) / "tavrin-launcher.exe").string();
  const std::string first = (scratch / "first.exe").string();
  const std::string second = (scratch / "second.exe").string();
  const std::string plain = (scratch / "plain.exe").string();
  for (const std::string& exe : {first, second}) {
    ASSERT_EQ(run_command(run_exe_command, {"exe", "--launcher", stub, "--main", "main.dll", "--level", "1",
                                            "--progress-window", "-o", exe, (scratch / "app").string()}),
              0);
  }
  EXPECT_EQ(read_file(first), read_file(second));
  const std::string image = read_file(first);
  const Bytes bytes(image.begin(), image.end());
  size_t offset = 0, size = 0;
  std::string error;
  ASSERT_TRUE(locate_resource(bytes, payload_resource_type, options_resource_id, &offset, &size, &error)) << error;
  EXPECT_EQ(image.substr(offset, size), std::string("\x01\x00\x00\x00", 4));
  std::string listing;
  ASSERT_EQ(run_command(run_list_command, {"list", first}, &listing), 0);
  EXPECT_NE(listing.find("launcher options: progress-window\n"), std::string::npos) << listing;

  ASSERT_EQ(run_command(run_exe_command, {"exe", "--launcher", first, "--main", "main.dll", "--level", "1", "-o",
                                          plain, (scratch / "app").string()}),
            0);
  const std::string repacked = read_file(plain);
  EXPECT_EQ(read_exe_options(Bytes(repacked.begin(), repacked.end())), 0u);
  ASSERT_EQ(run_command(run_list_command, {"list", plain}, &listing), 0);
  EXPECT_EQ(listing.find("launcher options"), std::string::npos) << listing;
  fs::remove_all(scratch);
}

}  // namespace
