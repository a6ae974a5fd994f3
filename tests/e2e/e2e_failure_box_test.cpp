// A failed start without standard streams, as from the desktop, shows its line in a message
// box; with streams, the line alone as always. e2e_failure_box plays the user: it finds
// the box among the launcher's top-level windows, reads it and presses OK.
#include <gtest/gtest.h>

#include "e2e/harness.h"
#include "support/files.h"

namespace {

constexpr DWORD box_run_limit_ms = 60000;
// Long enough for any start that ends by itself; a box left open would outlast it.
constexpr DWORD streamed_run_limit_ms = 20000;

class FailureBoxRun : public WorkspaceTest {
 protected:
  // The standard app with its payload damaged inside the compressed frame.
  void pack_damaged() {
    ASSERT_TRUE(copy_helper(L"e2e_app.dll", workspace_.app, L"app.dll"));
    ByteVector payload;
    ASSERT_EQ(pack_directory(workspace_.app, L"app.dll", exe(), &payload), "");
    for (size_t index = 24; index < 64 && index < payload.size(); ++index) payload[index] ^= 0x5A;
    ASSERT_EQ(pack_payload(payload, exe()), "");
  }
  std::wstring exe() const { return workspace_.bin + L"\\APP.exe"; }

  // A start with no standard handles, as from the desktop, watched by the box helper: what
  // the helper read of the launcher's boxes, and how the start ended once it pressed OK.
  void run_without_streams(ProcessResult* helper, ProcessResult* ended) {
    LaunchOptions bare;
    bare.no_standard_handles = true;
    bare.timeout_ms = box_run_limit_ms;
    Launch run;
    ASSERT_TRUE(run.start(workspace_, exe(), quote_argument(exe()), {}, bare)) << run.start_failure();
    const std::wstring box_reader = sibling_path(L"e2e_failure_box.exe");
    RunOptions options;
    options.timeout_ms = box_run_limit_ms;
    *helper = run_process(box_reader, quote_argument(box_reader) + L" " + std::to_wstring(run.pid()), options);
    *ended = run.wait();
  }
};

TEST_F(FailureBoxRun, StartWithoutStreamsShowsTheExactLineInABoxAndStillExitsWithTwo) {
  pack_damaged();
  // With streams: the line on its stream, and the start ends by itself, with no box to wait on.
  LaunchOptions streamed;
  streamed.timeout_ms = streamed_run_limit_ms;
  const ProcessResult lined = launch(workspace_, exe(), {}, streamed);
  ASSERT_FALSE(lined.timed_out) << "a box held a start that had its streams";
  EXPECT_EQ(lined.exit_code, 2u);
  const std::string line = lined.out + lined.err;
  ASSERT_EQ(line, "Error, couldn't decode attached data.\r\n") << printable(line);

  ProcessResult helper, ended;
  ASSERT_NO_FATAL_FAILURE(run_without_streams(&helper, &ended));
  EXPECT_EQ(report_value(helper.out, "boxes"), "1") << helper.out;
  EXPECT_EQ(report_value(helper.out, "owner"), "parent");
  EXPECT_EQ(report_value(helper.out, "title"), "Zandoria") << "the stub's product name";
  const size_t text = helper.out.find("\ntext ");
  ASSERT_NE(text, std::string::npos) << helper.out;
  EXPECT_EQ(helper.out.substr(text + 6), line.substr(0, line.size() - 2)) << "exactly the line";
  EXPECT_FALSE(ended.timed_out) << "the box's OK ends the start";
  EXPECT_EQ(ended.exit_code, 2u);
}

// The child's load failure is shown by the child, with the system's text and no policy line
// for an ordinary code; the parent, which shares its streams and station, shows none of its
// own (a second box would keep the parent from ending).
TEST_F(FailureBoxRun, ChildShowsItsOwnLoadFailureAndTheParentNone) {
  ASSERT_TRUE(write_file(workspace_.app + L"\\main.dll", "plain text, not a library\n"));
  ASSERT_EQ(pack_directory(workspace_.app, L"main.dll", exe()), "");
  LaunchOptions streamed;
  streamed.timeout_ms = streamed_run_limit_ms;
  const ProcessResult lined = launch(workspace_, exe(), {}, streamed);
  ASSERT_FALSE(lined.timed_out);
  ASSERT_EQ(lined.err.rfind("Error, load DLL. ([Error ", 0), 0u) << printable(lined.err);

  ProcessResult helper, ended;
  ASSERT_NO_FATAL_FAILURE(run_without_streams(&helper, &ended));
  EXPECT_EQ(report_value(helper.out, "boxes"), "1") << helper.out;
  EXPECT_EQ(report_value(helper.out, "owner"), "child");
  // The stream's text mode wrote the system text's CR LF as CR CR LF; the box has it as is.
  std::string line = lined.err.substr(0, lined.err.size() - 2);
  for (size_t at = line.find("\r\r\n"); at != std::string::npos; at = line.find("\r\r\n", at)) line.erase(at, 1);
  const size_t text = helper.out.find("\ntext ");
  ASSERT_NE(text, std::string::npos) << helper.out;
  EXPECT_EQ(helper.out.substr(text + 6), line);
  EXPECT_EQ(helper.out.find("TAVRIN_UNPACK_ROOT"), std::string::npos);
  EXPECT_FALSE(ended.timed_out) << "the parent showed a box of its own";
  EXPECT_EQ(ended.exit_code, 2u);
}

}  // namespace
