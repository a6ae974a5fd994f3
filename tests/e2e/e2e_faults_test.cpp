// Faults of the place the launcher unpacks into: a TEMP that cannot hold a directory, a
// read-only filesystem, a disk that fills up during unpacking. The last two need small
// filesystems that tests/e2e/disk_faults.sh mounts and names in E2E_READONLY_TEMP and
// E2E_SMALL_TEMP; without them those tests are skipped.
#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "support/files.h"
#include "support/payload_builder.h"

namespace {

constexpr const wchar_t* preset_start = L"2024";
constexpr size_t more_than_the_small_disk = 3 * 1024 * 1024;  // the script mounts 1 MiB

class Faults : public StandardAppTest {
 protected:
  // Runs the app with TEMP and TMP at temp and a known start time.
  ProcessResult run_with_temp(const std::wstring& temp, std::wstring* target) {
    LaunchOptions options;
    options.set_variables.push_back({L"TEMP", temp});
    options.set_variables.push_back({L"TMP", temp});
    options.set_variables.push_back({L"TAVRIN_ONEFILE_START", preset_start});
    DWORD pid = 0;
    const ProcessResult result = launch(workspace_, exe_, {}, options, &pid);
    *target = temp + L"\\onefile_" + std::to_wstring(pid) + L"_" + preset_start;
    return result;
  }

  // The target directory itself cannot be created: the line names it (no file is tried).
  static void expect_open_failure(const ProcessResult& result, const std::wstring& target) {
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "Error, failed to open '" + narrow(target) + "' for writing.\r\n");
  }

  static std::wstring variable(const wchar_t* name) {
    wchar_t value[MAX_PATH * 4];
    const DWORD length = GetEnvironmentVariableW(name, value, static_cast<DWORD>(std::size(value)));
    return length == 0 || length >= std::size(value) ? std::wstring() : std::wstring(value, length);
  }

};

// A TEMP below a plain file can hold no directory: the target directory's creation fails.
TEST_F(Faults, TempBelowAFileGivesTheOpenFailureLine) {
  const std::wstring blocker = workspace_.root + L"\\plain-file";
  ASSERT_TRUE(write_file(blocker, "not a directory"));
  std::wstring target;
  expect_open_failure(run_with_temp(blocker + L"\\temp", &target), target);
  EXPECT_EQ(read_file(blocker), "not a directory");
}

TEST_F(Faults, ReadOnlyTempGivesTheOpenFailureLine) {
  const std::wstring readonly = variable(L"E2E_READONLY_TEMP");
  if (readonly.empty()) GTEST_SKIP() << "needs the read-only filesystem that tests/e2e/disk_faults.sh mounts";
  std::wstring target;
  expect_open_failure(run_with_temp(readonly, &target), target);
  EXPECT_FALSE(directory_exists(target));
}

// The disk fills up inside the second file: the write failure with the system's reason,
// exit code 2, and what was written stays (a failed unpacking is not cleaned up).
TEST_F(Faults, DiskFillingUpDuringUnpackingGivesTheWriteFailureLine) {
  const std::wstring small = variable(L"E2E_SMALL_TEMP");
  if (small.empty()) GTEST_SKIP() << "needs the small filesystem that tests/e2e/disk_faults.sh mounts";
  ASSERT_TRUE(write_file(workspace_.app + L"\\big.bin", pattern_bytes(more_than_the_small_disk, 5)));
  ASSERT_EQ(pack_directory(workspace_.app, L"app.dll", exe_), "");
  std::wstring target;
  const ProcessResult result = run_with_temp(small, &target);
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "");
  const std::string prefix = "Error, couldn't unpack file to target path. ([Error ";
  ASSERT_EQ(result.err.rfind(prefix, 0), 0u) << printable(result.err);
  const DWORD code = std::stoul(result.err.substr(prefix.size()));
  EXPECT_TRUE(code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL) << code;
  std::string text;
  for (const char c : system_text(code)) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
  EXPECT_EQ(result.err, prefix + std::to_string(code) + "] " + text + ")\r\n");
  EXPECT_TRUE(file_exists(target + L"\\app.dll")) << "the files before the failure stay";
  remove_tree(target);
}

}  // namespace
