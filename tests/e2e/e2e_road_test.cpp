// The road from the user's start to run_code and back: arguments, argument 0, exit codes
// and standard handles, each through a real parent and child.
#include <gtest/gtest.h>

#include <random>

#include "e2e/harness.h"
#include "support/files.h"

namespace {

constexpr int random_lists = 36;
constexpr unsigned random_seed = 20261208;
constexpr int max_arguments = 7;
constexpr int max_pieces = 9;
constexpr int echoed_lines = 400;

using Road = StandardAppTest;

// Argument 0 of the child is the launcher's full path whatever the user typed; a path
// with a space must be quoted on the child's line, or the child would see it split.
TEST_F(Road, ChildArgumentZeroIsTheFullModulePathAndTheTypedNameTravelsApart) {
  const std::wstring folder = workspace_.root + L"\\dir with space";
  ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
  const std::wstring exe = folder + L"\\My App.exe";
  ASSERT_TRUE(CopyFileW(exe_.c_str(), exe.c_str(), FALSE));
  for (const std::wstring& typed : {std::wstring(L"short-name"), std::wstring(L"\"typed with space\"")}) {
    Launch run;
    ASSERT_TRUE(run.start(workspace_, exe, typed, {L"a b", L"c"}));
    const ProcessResult result = run.wait();
    EXPECT_EQ(result.exit_code, 0u) << printable(result.err);
    const std::vector<AppReport> reports = parse_reports(result.out);
    ASSERT_EQ(reports.size(), 1u) << printable(result.out);
    EXPECT_EQ(reports[0].arguments, (std::vector<std::wstring>{exe, L"a b", L"c"}));
    const std::wstring unquoted = typed[0] == L'"' ? typed.substr(1, typed.size() - 2) : typed;
    EXPECT_EQ(reports[0].variable("TAVRIN_ORIGINAL_ARGV0"), unquoted);
    EXPECT_EQ(reports[0].variable("TAVRIN_ONEFILE_DIRECTORY"), folder);
  }
}

std::wstring random_argument(std::mt19937& random) {
  static const std::wstring pieces[] = {
      L"a",  L"Zq", L"7",      L" ",      L"\t",     L"\n", L"\v", L"\"",    L"\\",  L"\\\\",
      L"\\\\\\\"", L"\\\"", L"\u00e9", L"\u4e2d", L"\U0001F600", L"x y", L"''", L"%PATH%", L"^&|<>", L"-"};
  std::uniform_int_distribution<int> count_of(0, max_pieces);
  std::uniform_int_distribution<size_t> piece_of(0, std::size(pieces) - 1);
  std::wstring argument;
  const int count = count_of(random);
  for (int i = 0; i < count; ++i) argument += pieces[piece_of(random)];
  // Backslash runs at the very end are the case quoting most easily gets wrong.
  if (count > 0 && random() % 4 == 0) argument += L"\\\\\\";
  return argument;
}

std::string describe(const std::vector<std::wstring>& arguments) {
  std::string text;
  for (const auto& argument : arguments) text += "[" + printable(narrow(argument)) + "] ";
  return text;
}

TEST_F(Road, RandomArgumentListsArriveInRunCodeUnchanged) {
  std::mt19937 random(random_seed);
  std::uniform_int_distribution<int> count_of(0, max_arguments);
  for (int list = 0; list < random_lists; ++list) {
    std::vector<std::wstring> arguments;
    const int count = count_of(random);
    for (int i = 0; i < count; ++i) arguments.push_back(random_argument(random));
    if (list % 6 == 0) arguments.push_back(L"");  // empty arguments, also in last place
    const ProcessResult result = launch(workspace_, exe_, arguments);
    SCOPED_TRACE("list " + std::to_string(list) + ": " + describe(arguments));
    ASSERT_EQ(result.exit_code, 0u) << printable(result.err);
    const std::vector<AppReport> reports = parse_reports(result.out);
    ASSERT_EQ(reports.size(), 1u);
    std::vector<std::wstring> expected{exe_};
    expected.insert(expected.end(), arguments.begin(), arguments.end());
    EXPECT_EQ(reports[0].arguments, expected) << "got " << describe(reports[0].arguments);
  }
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

// The same codes through a parent (which waits for its child) and through a child that
// the test starts itself next to a running parent.
TEST_F(Road, ExitCodesPassThroughChildAndParentUnchanged) {
  const DWORD codes[] = {0, 7, 255, 256, 0x80000000u, 0xFFFFFFFFu};
  EventPair events;
  LaunchOptions waiting;
  waiting.set_variables.push_back({L"E2E_ACTION", L"wait"});
  events.add_to(&waiting);
  Launch parent;
  ASSERT_TRUE(parent.start(workspace_, exe_, quote_argument(exe_), {}, waiting));
  ASSERT_TRUE(events.wait_ready());
  const std::vector<std::wstring> entries = temp_entries(workspace_);
  ASSERT_EQ(entries.size(), 1u);
  const std::wstring start = entries[0].substr(entries[0].rfind(L'_') + 1);
  for (const DWORD code : codes) {
    LaunchOptions options;
    options.set_variables.push_back({L"E2E_EXIT", std::to_wstring(code)});
    const ProcessResult through_parent = launch(workspace_, exe_, {}, options);
    EXPECT_EQ(through_parent.exit_code, code) << printable(through_parent.err);
    options.set_variables.push_back({L"TAVRIN_ONEFILE_PARENT", std::to_wstring(parent.pid())});
    options.set_variables.push_back({L"TAVRIN_ONEFILE_START", start});
    const ProcessResult child = launch(workspace_, exe_, {}, options);
    EXPECT_EQ(child.exit_code, code) << printable(child.err);
    EXPECT_EQ(parse_reports(child.out).size(), 1u) << "the child ran the library itself";
  }
  events.release();
  EXPECT_EQ(parent.wait().exit_code, 0u);
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

std::string hex_of(const std::string& bytes) {
  std::string text = "x";
  for (const char c : bytes) {
    char pair[3];
    snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(c));
    text += pair;
  }
  return text;
}

std::string numbered_lines(int first, int step, int last) {
  std::string text;
  for (int i = first; i <= last; i += step) text += std::string(i % 2 == 0 ? "err " : "out ") + std::to_string(i) + "\n";
  return text;
}

TEST_F(Road, PipesReachTheChildAndCarryItsOutputInOrder) {
  LaunchOptions options;
  static const char raw_input[] = "line one\r\nbinary \0\xff\x01 end";
  options.standard_input = std::string(raw_input, sizeof raw_input - 1);
  options.set_variables.push_back({L"E2E_ACTION", L"echo"});
  options.set_variables.push_back({L"E2E_LINES", std::to_wstring(echoed_lines)});
  const ProcessResult result = launch(workspace_, exe_, {}, options);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(report_value(result.out, "stdin"), hex_of(options.standard_input));
  const size_t first_line = result.out.find("out 1\n");
  ASSERT_NE(first_line, std::string::npos) << printable(result.out);
  EXPECT_EQ(result.out.substr(first_line), numbered_lines(1, 2, echoed_lines));
  EXPECT_EQ(result.err, numbered_lines(2, 2, echoed_lines));
}

TEST_F(Road, FilesReachTheChildAndOneSharedOutputFileKeepsTheOrder) {
  const std::wstring input = workspace_.root + L"\\input.bin";
  const std::wstring output = workspace_.root + L"\\output.txt";
  const std::string input_bytes = "from a file\n\x7f\x80";
  ASSERT_TRUE(write_file(input, input_bytes));
  LaunchOptions options;
  options.stdin_file = input;
  options.output_file = output;
  options.set_variables.push_back({L"E2E_ACTION", L"echo"});
  options.set_variables.push_back({L"E2E_LINES", std::to_wstring(echoed_lines)});
  const ProcessResult result = launch(workspace_, exe_, {}, options);
  EXPECT_EQ(result.exit_code, 0u);
  const std::string written = read_file(output);
  EXPECT_EQ(parse_reports(written).size(), 1u) << printable(written);
  EXPECT_EQ(report_value(written, "stdin"), hex_of(input_bytes));
  const size_t first_line = written.find("out 1\n");
  ASSERT_NE(first_line, std::string::npos) << printable(written);
  EXPECT_EQ(written.substr(first_line), numbered_lines(1, 1, echoed_lines));
}

}  // namespace
