// Joining arguments into a command line: the exact text for each quoting rule, and random
// argument lists split back by CommandLineToArgvW and by a real child's C runtime.
#include <gtest/gtest.h>
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/quoting.h"
#include "support/files.h"
#include "support/process.h"

namespace {

constexpr size_t line_capacity = 32768;

std::wstring join(const std::vector<std::wstring>& arguments, size_t capacity = line_capacity, bool* ok = nullptr) {
  std::vector<const wchar_t*> pointers;
  for (const auto& argument : arguments) pointers.push_back(argument.c_str());
  std::vector<wchar_t> line(capacity + 16, L'#');
  const bool joined = join_command_line(line.data(), capacity, pointers.data(), pointers.size());
  if (ok != nullptr) *ok = joined;
  for (size_t i = capacity; i < line.size(); ++i) EXPECT_EQ(line[i], L'#') << "written past the buffer at " << i;
  return line.data();
}

std::vector<std::wstring> split_in_process(const std::wstring& line) {
  int count = 0;
  wchar_t** split = CommandLineToArgvW(line.c_str(), &count);
  std::vector<std::wstring> result;
  if (split == nullptr) return result;
  for (int i = 0; i < count; ++i) result.emplace_back(split[i]);
  LocalFree(split);
  return result;
}

std::string hex_units(const std::wstring& text) {
  std::string hex;
  char unit[8];
  for (wchar_t c : text) {
    snprintf(unit, sizeof unit, "%04x", static_cast<unsigned>(c));
    hex += unit;
  }
  return hex;
}

TEST(Quoting, PlainArgumentsAreCopiedUnchangedAndSeparatedByOneSpace) {
  EXPECT_EQ(join({L"prog", L"plain", L"C:\\dir\\", L"a\\\\b", L"-x=1"}), L"prog plain C:\\dir\\ a\\\\b -x=1");
}

TEST(Quoting, EachOfTheFiveCharactersCausesQuotes) {
  EXPECT_EQ(join({L"p", L"a b"}), L"p \"a b\"");
  EXPECT_EQ(join({L"p", L"a\tb"}), L"p \"a\tb\"");
  EXPECT_EQ(join({L"p", L"a\nb"}), L"p \"a\nb\"");
  EXPECT_EQ(join({L"p", L"a\vb"}), L"p \"a\vb\"");
  EXPECT_EQ(join({L"p", L"a\"b"}), L"p \"a\\\"b\"");
}

TEST(Quoting, BackslashesBeforeAQuoteAreDoubledPlusOne) {
  EXPECT_EQ(join({L"p", L"a\\\"b"}), L"p \"a\\\\\\\"b\"");            // 1 -> 3
  EXPECT_EQ(join({L"p", L"a\\\\\"b"}), L"p \"a\\\\\\\\\\\"b\"");      // 2 -> 5
  EXPECT_EQ(join({L"p", L"\"\""}), L"p \"\\\"\\\"\"");
}

TEST(Quoting, TrailingBackslashesAreDoubledOnlyWhenQuoted) {
  EXPECT_EQ(join({L"p", L"a b\\"}), L"p \"a b\\\\\"");
  EXPECT_EQ(join({L"p", L"a b\\\\\\"}), L"p \"a b\\\\\\\\\\\\\"");
  EXPECT_EQ(join({L"p", L"a\\b c"}), L"p \"a\\b c\"");  // inner run before an ordinary character
  EXPECT_EQ(join({L"p", L"dir\\"}), L"p dir\\");
}

TEST(Quoting, EmptyArgumentIsWrittenAsTwoQuotes) {
  EXPECT_EQ(join({L"p", L"", L"x", L""}), L"p \"\" x \"\"");
}

TEST(Quoting, ProgramPathWithSpaceIsQuoted) {
  EXPECT_EQ(join({L"C:\\Program Files\\Tool\\tool.exe", L"a"}), L"\"C:\\Program Files\\Tool\\tool.exe\" a");
}

TEST(Quoting, LineThatDoesNotFitIsRefusedAndLeftEmpty) {
  const std::vector<std::wstring> arguments{L"prog", L"a b", std::wstring(20, L'x')};
  const std::wstring whole = join(arguments);
  ASSERT_EQ(whole.size(), 4u + 1 + 5 + 1 + 20);
  bool ok = false;
  EXPECT_EQ(join(arguments, whole.size() + 1, &ok), whole);
  EXPECT_TRUE(ok);
  // One unit short, anywhere the cut would fall: no partial line.
  for (size_t capacity = 1; capacity <= whole.size(); ++capacity) {
    EXPECT_EQ(join(arguments, capacity, &ok), L"") << capacity;
    EXPECT_FALSE(ok) << capacity;
  }
}

TEST(Quoting, AppendThatDoesNotFitLeavesTheLineAsItWas) {
  wchar_t line[12] = L"prog ";
  EXPECT_FALSE(append_quoted_argument(line, 12, L"a \"b\" c"));
  EXPECT_STREQ(line, L"prog ");
  EXPECT_TRUE(append_quoted_argument(line, 12, L"a b"));
  EXPECT_STREQ(line, L"prog \"a b\"");
}

// Random arguments built from the characters that matter to the splitters: blanks, quotes,
// runs of backslashes (before quotes and at the end), and units outside the BMP.
class ArgumentGenerator {
 public:
  explicit ArgumentGenerator(unsigned seed) : random_(seed) {}

  std::vector<std::wstring> arguments() {
    std::vector<std::wstring> list;
    const int count = pick(1, 6);
    for (int i = 0; i < count; ++i) list.push_back(argument());
    return list;
  }

 private:
  std::wstring argument() {
    static const std::wstring pieces[] = {L"a", L"b", L" ", L"\t", L"\n", L"\v", L"\"", L"\\", L"\\\\\\",
                                          L"\\\"", L"\u00e9", L"\U0001F600", L"x y", L"''"};
    std::wstring text;
    const int length = pick(0, 8);
    for (int i = 0; i < length; ++i) text += pieces[pick(0, static_cast<int>(std::size(pieces)) - 1)];
    if (pick(0, 3) == 0) text += std::wstring(static_cast<size_t>(pick(1, 4)), L'\\');
    return text;
  }
  int pick(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  std::mt19937 random_;
};

TEST(QuotingProperty, CommandLineToArgvWSplitsRandomListsBackUnchanged) {
  ArgumentGenerator generator(20240611);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::wstring> arguments{L"C:\\bin\\prog.exe"};
    for (auto& argument : generator.arguments()) arguments.push_back(argument);
    const std::wstring line = join(arguments);
    ASSERT_FALSE(line.empty());
    const std::vector<std::wstring> split = split_in_process(line);
    ASSERT_EQ(split.size(), arguments.size()) << "round " << round << ": " << narrow(line);
    for (size_t i = 0; i < split.size(); ++i) {
      EXPECT_EQ(hex_units(split[i]), hex_units(arguments[i])) << "round " << round << " argument " << i;
    }
  }
}

TEST(QuotingProperty, ChildCRuntimeSplitsRandomListsBackUnchanged) {
  const std::wstring probe = sibling_path(L"tavrin_probe.exe");
  ArgumentGenerator generator(777);
  for (int round = 0; round < 40; ++round) {
    const std::vector<std::wstring> random = generator.arguments();
    std::vector<std::wstring> arguments{probe, L"print_arguments"};
    arguments.insert(arguments.end(), random.begin(), random.end());
    const ProcessResult result = run_process(probe, join(arguments));
    ASSERT_EQ(result.exit_code, 0u) << result.err;
    std::ostringstream expected;
    expected << "count " << random.size() << "\r\n";
    for (const auto& argument : random) expected << hex_units(argument) << "\r\n";
    EXPECT_EQ(result.out, expected.str()) << "round " << round;
  }
}

}  // namespace
