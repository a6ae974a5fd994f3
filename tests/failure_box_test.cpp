// The failure box's decisions, each where it is made: which streams carry a line, which
// window stations may show a box (wine has one visible station, so a hidden one is given
// through the decision's seam, the UOI_FLAGS the launcher reads), and the box's text with
// the policy hint (wine cannot block a load by policy, so 1260 is given to the seam that
// builds the text). The box itself: e2e_failure_box_test.
#include <gtest/gtest.h>

#include <string>

#include "diag/diag.h"
#include "diag/failure_box.h"
#include "diag/messages.h"

namespace {

const std::wstring load_line =
    L"Error, load DLL. ([Error 1260] This program is blocked by group policy. For more information, contact your "
    L"system administrator.\r\n)";

std::wstring box_text(const FailureReport& report, size_t capacity = failure_box_text_capacity) {
  static wchar_t text[failure_box_text_capacity];
  compose_failure_box_text(text, capacity, report);
  return text;
}

TEST(FailureBox, OnlyAHandleOfAKnownTypeCarriesTheLine) {
  EXPECT_FALSE(is_usable_stream(nullptr));
  EXPECT_FALSE(is_usable_stream(INVALID_HANDLE_VALUE));
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  ASSERT_TRUE(CreatePipe(&read, &write, nullptr, 0));
  EXPECT_TRUE(is_usable_stream(write));
  HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(nul, INVALID_HANDLE_VALUE);
  EXPECT_TRUE(is_usable_stream(nul)) << "a line sent to NUL was discarded on purpose";
  CloseHandle(nul);
  CloseHandle(read);
  CloseHandle(write);
  EXPECT_FALSE(is_usable_stream(write)) << "a closed handle";
}

TEST(FailureBox, ShownOnlyForAnUnusableStreamOnAVisibleStation) {
  USEROBJECTFLAGS visible{};
  visible.dwFlags = WSF_VISIBLE;
  USEROBJECTFLAGS hidden{};  // a service's or a scheduled task's station
  EXPECT_TRUE(failure_box_wanted(false, &visible));
  EXPECT_FALSE(failure_box_wanted(false, &hidden));
  EXPECT_FALSE(failure_box_wanted(false, nullptr)) << "a station that cannot be asked";
  EXPECT_FALSE(failure_box_wanted(true, &visible));
}

TEST(FailureBox, PolicyHintFollowsOnlyALoadBlockedByPolicy) {
  EXPECT_EQ(box_text(FailureReport{FailureStream::error, load_line.c_str(), true, 1260}),
            load_line + L"\n" + policy_block_hint);
  for (const uint32_t code : {786u, 4551u}) {
    EXPECT_NE(box_text(FailureReport{FailureStream::error, L"line", true, code}).find(L"TAVRIN_UNPACK_ROOT"),
              std::wstring::npos)
        << code;
  }
  const std::wstring ordinary = L"Error, load DLL. ([Error 193] %1 is not a valid Win32 application.\r\n)";
  EXPECT_EQ(box_text(FailureReport{FailureStream::error, ordinary.c_str(), true, 193}), ordinary);
  EXPECT_EQ(box_text(FailureReport{FailureStream::error, L"Error, couldn't launch child", false, 1260}),
            L"Error, couldn't launch child")
      << "only a load gets the hint";
}

TEST(FailureBox, TextIsCutAtItsCapacityNeverBeyond) {
  constexpr size_t capacity = 64;
  for (const size_t length : {capacity - 1, capacity, capacity + 1}) {
    const std::wstring line(length, L'x');
    wchar_t text[capacity + 1];
    text[capacity] = L'#';
    compose_failure_box_text(text, capacity, FailureReport{FailureStream::error, line.c_str(), true, 1260});
    EXPECT_EQ(std::wstring(text), line.substr(0, capacity - 1)) << length;
    EXPECT_EQ(text[capacity], L'#') << "written past the capacity";
  }
}

TEST(FailureBox, LineIsTheWrittenLineWithTheArgumentsOwnUnits) {
  static wchar_t line[failure_line_capacity];
  format_failure_line(line, format_open_failed, L"C:\\Users\\J\u00f8rgen\\onefile_1_2");
  EXPECT_EQ(std::wstring(line), L"Error, failed to open 'C:\\Users\\J\u00f8rgen\\onefile_1_2' for writing.");
  format_failure_line(line, message_decode_failed, nullptr);
  EXPECT_EQ(std::wstring(line), L"Error, couldn't decode attached data.");
  for (const size_t length : {failure_line_capacity - 1, failure_line_capacity, failure_line_capacity + 1}) {
    const std::wstring path(length, L'p');
    format_failure_line(line, "%ls", path.c_str());
    EXPECT_EQ(std::wstring(line).size(), failure_line_capacity - 1) << length;
  }
}

TEST(FailureBox, TitleFallsBackToTheFileNameWithoutAProductName) {
  wchar_t title[failure_box_title_capacity];
  read_failure_box_title(title, failure_box_title_capacity);
  EXPECT_EQ(std::wstring(title), L"failure_box_test.exe") << "a test program has no version resource";
}

}  // namespace
