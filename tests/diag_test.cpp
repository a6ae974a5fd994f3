// The diagnostics as a caller sees them: exact bytes on the right stream, exit status.
#include <gtest/gtest.h>

#include "support/process.h"

namespace {

TEST(Diagnostics, MessageLineGoesCompleteToStandardOutputWithExitCodeTwo) {
  const ProcessResult result = run_probe(L"message_line");
  EXPECT_EQ(result.exit_code, 2u);
  // Text mode: the runtime writes a line feed as CR LF.
  EXPECT_EQ(result.out, "Error, couldn't decode attached data.\r\n");
  EXPECT_EQ(result.err, "");
}

TEST(Diagnostics, SystemErrorLineCarriesCodeAndSystemTextWithItsOwnLineBreak) {
  const ProcessResult result = run_probe(L"system_error", {L"2"});
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, "");
  const std::string prefix = "Error, couldn't launch child ([Error 2] ";
  ASSERT_EQ(result.err.compare(0, prefix.size(), prefix), 0) << result.err;
  // The system text ends with its own CR LF, which the text-mode stream writes as CR CR LF,
  // and it stands before the closing parenthesis.
  const size_t close = result.err.rfind(')');
  ASSERT_NE(close, std::string::npos);
  EXPECT_EQ(result.err.substr(close), ")\r\n");
  const std::string text = result.err.substr(prefix.size(), close - prefix.size());
  EXPECT_GT(text.size(), 2u);
  EXPECT_EQ(text.back(), '\n') << "system text should end with its line break: " << text;
}

TEST(Diagnostics, ErrorCodeAboveTwoToThe31PrintsNegative) {
  const ProcessResult result = run_probe(L"system_error", {L"2147942402"});  // 0x80070002
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_NE(result.err.find("([Error -2147024894] "), std::string::npos) << result.err;
}

TEST(Diagnostics, SystemErrorWithoutSystemTextStillWritesTheLine) {
  const ProcessResult result = run_probe(L"system_error", {L"1234567"});
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err, "Error, couldn't launch child ([Error 1234567] no system description available)\r\n");
}

TEST(Diagnostics, OpenFailureLineNamesThePath) {
  const ProcessResult result = run_probe(L"open_error", {L"C:\\t\\onefile_1_2\\app.dll"});
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err, "Error, failed to open 'C:\\t\\onefile_1_2\\app.dll' for writing.\r\n");
  EXPECT_EQ(result.out, "");
}

TEST(Diagnostics, SpecFailureNamesTheSpecAsWrittenAndAborts) {
  const ProcessResult result = run_probe(L"spec_error");
  EXPECT_EQ(result.err, "Error, couldn't runtime expand spec '{TEMP}\\onefile_{PID}_{TIME}'.\r\n");
  EXPECT_NE(result.exit_code, 2u);
  EXPECT_EQ(result.exit_code, abort_exit_code);
}

TEST(Diagnostics, ProcessWithoutStandardHandlesStillExitsTwo) {
  RunOptions options;
  options.no_standard_handles = true;
  EXPECT_EQ(run_probe(L"message_line", {}, options).exit_code, 2u);
  EXPECT_EQ(run_probe(L"system_error", {L"5"}, options).exit_code, 2u);
  EXPECT_EQ(run_probe(L"open_error", {L"x"}, options).exit_code, 2u);
}

TEST(BoundedCopy, CapacityMinusOneFitsAndCapacityAborts) {
  for (const wchar_t* capacity : {L"1", L"16", L"4096"}) {
    const size_t n = wcstoul(capacity, nullptr, 10);
    const ProcessResult fits = run_probe(L"bounded_copy", {std::to_wstring(n - 1), capacity});
    EXPECT_EQ(fits.exit_code, 0u) << n;
    EXPECT_EQ(fits.out, "copied " + std::to_string(n - 1) + " guards intact\r\n");
    const ProcessResult overflows = run_probe(L"bounded_copy", {std::to_wstring(n), capacity});
    EXPECT_EQ(overflows.exit_code, abort_exit_code) << n;
    EXPECT_EQ(overflows.out, "");
    const ProcessResult beyond = run_probe(L"bounded_copy", {std::to_wstring(n + 100), capacity});
    EXPECT_EQ(beyond.exit_code, abort_exit_code) << n;
  }
}

TEST(BoundedCopy, AppendCountsTheRoomFromTheStartOfTheBuffer) {
  const ProcessResult fits = run_probe(L"bounded_copy", {L"15", L"16", L"append"});
  EXPECT_EQ(fits.exit_code, 0u);
  EXPECT_EQ(fits.out, "copied 15 guards intact\r\n");
  EXPECT_EQ(run_probe(L"bounded_copy", {L"16", L"16", L"append"}).exit_code, abort_exit_code);
}

}  // namespace
