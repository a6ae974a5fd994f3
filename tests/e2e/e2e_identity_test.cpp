// A packed exe with the application's own identity (icon, version resource, execution
// level), packed by the Windows build of the packer, still starts, finds its payload and
// passes its exit code on. The resources themselves are read back on the host by readers
// we did not write (tests/host/identity_test.cpp).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "e2e/harness.h"
#include "support/files.h"
#include "tools/pack/commands.h"

namespace {

constexpr int icon_side = 16;
constexpr int bitmap_header_size = 40;

void append_u16(std::string* out, unsigned value) {
  out->push_back(static_cast<char>(value & 0xFF));
  out->push_back(static_cast<char>((value >> 8) & 0xFF));
}

void append_u32(std::string* out, unsigned long value) {
  append_u16(out, value & 0xFFFF);
  append_u16(out, (value >> 16) & 0xFFFF);
}

// A .ico with one 16x16 32-bit bitmap image (header, pixels, AND mask).
std::string one_image_icon() {
  std::string image;
  append_u32(&image, bitmap_header_size);
  append_u32(&image, icon_side);
  append_u32(&image, 2 * icon_side);
  append_u16(&image, 1);
  append_u16(&image, 32);
  image.append(bitmap_header_size - image.size(), '\0');
  for (int pixel = 0; pixel < icon_side * icon_side; ++pixel) image += std::string("\x20\x80\xE0\xFF", 4);
  image.append(icon_side * 4, '\0');
  std::string ico;
  append_u16(&ico, 0);
  append_u16(&ico, 1);
  append_u16(&ico, 1);
  ico += std::string("\x10\x10\0\0", 4);
  append_u16(&ico, 1);
  append_u16(&ico, 32);
  append_u32(&ico, static_cast<unsigned long>(image.size()));
  append_u32(&ico, 6 + 16);
  return ico + image;
}

using Identity = WorkspaceTest;

TEST_F(Identity, AppPackedWithItsOwnIdentityRunsAndFindsItsPayload) {
  ASSERT_TRUE(copy_helper(L"e2e_app.dll", workspace_.app, L"app.dll"));
  const std::wstring icon = workspace_.root + L"\\app.ico";
  ASSERT_TRUE(write_file(icon, one_image_icon()));
  const std::wstring exe = workspace_.bin + L"\\Hello.exe";
  std::vector<std::string> line = {
      "exe", "--launcher", narrow(launcher_stub_path()), "--main", "app.dll", "--level", "1", "-o", narrow(exe),
      narrow(workspace_.app), "--icon", narrow(icon), "--product-name", "Hello", "--product-version", "2.0.0.1",
      "--file-version", "2.0.0.7", "--company", "ACME", "--description", "Says hello", "--copyright", "(c) ACME",
      "--original-filename", "Hello.exe", "--execution-level", "asInvoker"};
  std::vector<char*> argv;
  for (std::string& argument : line) argv.push_back(argument.data());
  ASSERT_EQ(run_exe_command(static_cast<int>(argv.size()), argv.data()), 0);

  LaunchOptions options;
  options.set_variables.push_back({L"E2E_EXIT", L"41"});
  const ProcessResult result = launch(workspace_, exe, {L"one", L"two"}, options);
  EXPECT_EQ(result.exit_code, 41u) << printable(result.err);
  const std::vector<AppReport> reports = parse_reports(result.out);
  ASSERT_EQ(reports.size(), 1u) << printable(result.out);
  EXPECT_EQ(reports[0].arguments, (std::vector<std::wstring>{exe, L"one", L"two"}));
}

}  // namespace
