// PayloadReader over frames with chosen shapes: requests across windows, windows that must
// be drained, calls that write nothing, and every way a frame can fail. Failures end the
// process, so they run in death tests that capture standard output.
#include "payload/reader.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>

#include "diag/messages.h"
#include "payload/entry_stream.h"
#include "payload/format.h"
#include "tests/host/payload_test_helpers.h"

namespace {

using namespace test_payload;

// A child that hangs is killed by this alarm, which fails the death test instead of
// blocking the suite.
constexpr unsigned hang_guard_seconds = 60;
constexpr size_t test_piece_size = 32768;

// How many bytes the library writes on the first call into a window of the reader's size.
size_t measure_first_call(const std::string& frame, size_t* consumed) {
  ZSTD_DCtx* context = ZSTD_createDCtx();
  std::vector<unsigned char> window(reader_window_size);
  ZSTD_inBuffer in{frame.data(), frame.size(), 0};
  ZSTD_outBuffer out{window.data(), window.size(), 0};
  const size_t result = ZSTD_decompressStream(context, &out, &in);
  ZSTD_freeDCtx(context);
  EXPECT_FALSE(ZSTD_isError(result)) << ZSTD_getErrorName(result);
  *consumed = in.pos;
  return out.pos;
}

const unsigned char* bytes_of(const std::string& text) {
  return reinterpret_cast<const unsigned char*>(text.data());
}

std::string read_bytes(PayloadReader& reader, size_t count) {
  std::string out(count, '\0');
  reader.read_exact(out.data(), count);
  return out;
}

// Runs body in a child whose standard output goes to a file; the child must end with exit
// code 2 after printing the decode message and nothing else.
void expect_decode_failure(const std::function<void()>& body) {
  static std::atomic<int> counter{0};
  const std::string path = testing::TempDir() + "reader-stdout-" + std::to_string(getpid()) +
                           "-" + std::to_string(counter++);
  EXPECT_EXIT(
      {
        alarm(hang_guard_seconds);
        if (freopen(path.c_str(), "w", stdout) == nullptr) _exit(99);
        body();
        _exit(0);
      },
      testing::ExitedWithCode(exit_code_reported_failure), "");
  EXPECT_EQ(read_file(path), std::string(message_decode_failed) + "\n");
  remove(path.c_str());
}

// Reads the whole of expected from a frame, then one byte more, in a child.
void expect_failure_after(const std::string& frame, size_t readable) {
  expect_decode_failure([&] {
    PayloadReader reader;
    reader.open(bytes_of(frame), frame.size());
    read_bytes(reader, readable);
    read_bytes(reader, 1);
  });
}

TEST(ReaderWindows, RequestsSpanningTwoWindowsArriveWholeAndInOrder) {
  const std::string stream = make_data(3 * reader_window_size, 1);
  const std::string frame = compress_frame(stream, FrameOptions{});
  size_t consumed = 0;
  const size_t first = measure_first_call(frame, &consumed);
  ASSERT_GT(first, 3u);

  PayloadReader reader;
  reader.open(bytes_of(frame), frame.size());
  // An 8-byte size whose first 3 bytes end the first window and last 5 begin the next.
  EXPECT_EQ(read_bytes(reader, first - 3), stream.substr(0, first - 3));
  const size_t calls = reader.decompress_calls();
  EXPECT_EQ(read_bytes(reader, entry_size_bytes), stream.substr(first - 3, entry_size_bytes));
  EXPECT_EQ(reader.decompress_calls(), calls + 1);

  // A full data piece that starts in one window and ends in the next.
  const size_t at = first + entry_size_bytes - 3;
  const size_t second_end = 2 * first;  // windows are filled while input remains
  const size_t lead = second_end - at - test_piece_size / 2;
  EXPECT_EQ(read_bytes(reader, lead), stream.substr(at, lead));
  const size_t before_piece = reader.decompress_calls();
  EXPECT_EQ(read_bytes(reader, test_piece_size), stream.substr(at + lead, test_piece_size));
  EXPECT_EQ(reader.decompress_calls(), before_piece + 1);
  const size_t rest = stream.size() - at - lead - test_piece_size;
  EXPECT_EQ(read_bytes(reader, rest), stream.substr(stream.size() - rest));
  reader.close();
}

TEST(ReaderWindows, ZeroCountTouchesNoStateBeforeOrBetweenRequests) {
  const std::string stream = make_data(1000, 2);
  const std::string frame = compress_frame(stream, FrameOptions{});
  PayloadReader reader;
  reader.open(bytes_of(frame), frame.size());
  reader.read_exact(nullptr, 0);
  EXPECT_EQ(reader.decompress_calls(), 0u);
  EXPECT_EQ(read_bytes(reader, 10), stream.substr(0, 10));
  const size_t calls = reader.decompress_calls();
  reader.read_exact(nullptr, 0);
  EXPECT_EQ(reader.decompress_calls(), calls);
  EXPECT_EQ(read_bytes(reader, 990), stream.substr(10));
  reader.close();
}

// Two blocks flushed but the frame never ended: the first call consumes all input, fills
// the window and keeps the rest inside the library, where only a further call finds it.
TEST(ReaderWindows, FullWindowIsDrainedAfterInputIsUsedUp) {
  const size_t half = 100000;
  const std::string data = make_data(2 * half, 3);
  ZSTD_CCtx* context = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0);
  std::string frame;
  std::vector<char> buffer(ZSTD_CStreamOutSize());
  for (size_t part = 0; part < 2; ++part) {
    ZSTD_inBuffer in{data.data() + part * half, half, 0};
    size_t left = 0;
    do {
      ZSTD_outBuffer out{buffer.data(), buffer.size(), 0};
      left = ZSTD_compressStream2(context, &out, &in, ZSTD_e_flush);
      ASSERT_FALSE(ZSTD_isError(left));
      frame.append(buffer.data(), out.pos);
    } while (left != 0);
  }
  ZSTD_freeCCtx(context);
  size_t consumed = 0;
  ASSERT_EQ(measure_first_call(frame, &consumed), reader_window_size);
  ASSERT_EQ(consumed, frame.size());

  PayloadReader reader;
  reader.open(bytes_of(frame), frame.size());
  EXPECT_EQ(read_bytes(reader, data.size()), data);
  expect_failure_after(frame, data.size());
}

// A skippable frame first: the first call consumes it and writes nothing.
TEST(ReaderWindows, CallThatWritesNothingIsFollowedByAnother) {
  const std::string stream = make_data(5000, 4);
  std::string input;
  append_le(&input, 0x184D2A50, 4);
  append_le(&input, 4, 4);
  input += "skip";
  input += compress_frame(stream, FrameOptions{});
  size_t consumed = 0;
  ASSERT_EQ(measure_first_call(input, &consumed), 0u);
  ASSERT_GT(consumed, 0u);

  PayloadReader reader;
  reader.open(bytes_of(input), input.size());
  EXPECT_EQ(read_bytes(reader, stream.size()), stream);
  EXPECT_GE(reader.decompress_calls(), 2u);
  reader.close();
}

TEST(ReaderFailures, RequestPastEndMarkerFailsOnAlignmentAndTrailer) {
  const std::string stream = encode_stream({{u"a.dll", make_data(333, 5)}});
  std::string payload = compress_frame(stream, FrameOptions{});
  payload.append(5, '\0');
  append_le(&payload, payload.size() + payload_header_size, payload_trailer_size);
  expect_failure_after(payload, stream.size());
  // The same bytes with the trailer alone after the frame.
  std::string unpadded = compress_frame(stream, FrameOptions{});
  append_le(&unpadded, unpadded.size() + payload_header_size, payload_trailer_size);
  expect_failure_after(unpadded, stream.size());
}

TEST(ReaderFailures, FrameCutInsideABlockFails) {
  const std::string stream = make_data(300000, 6);
  const std::string frame = compress_frame(stream, FrameOptions{});
  const std::string cut = frame.substr(0, frame.size() / 2);
  expect_decode_failure([&] {
    PayloadReader reader;
    reader.open(bytes_of(cut), cut.size());
    read_bytes(reader, stream.size());
  });
}

TEST(ReaderFailures, WindowAboveTheLimitIsRefusedAndTheLimitItselfReads) {
  const std::string stream = make_data(4000, 7);
  FrameOptions wide;
  wide.window_log = payload_window_log + 1;
  const std::string refused = compress_frame(stream, wide);
  ASSERT_GT(static_cast<unsigned char>(refused[5]), payload_window_descriptor);
  expect_failure_after(refused, 0);

  const std::string accepted = compress_frame(stream, FrameOptions{});
  ASSERT_EQ(static_cast<unsigned char>(accepted[5]), payload_window_descriptor);
  PayloadReader reader;
  reader.open(bytes_of(accepted), accepted.size());
  EXPECT_EQ(read_bytes(reader, stream.size()), stream);
  reader.close();
}

TEST(ReaderFailures, ChecksumIsVerified) {
  const std::string stream = make_data(70000, 8);
  FrameOptions options;
  options.checksum = true;
  const std::string frame = compress_frame(stream, options);
  PayloadReader reader;
  reader.open(bytes_of(frame), frame.size());
  EXPECT_EQ(read_bytes(reader, stream.size()), stream);
  reader.close();

  std::string damaged = frame;
  damaged.back() = static_cast<char>(damaged.back() ^ 0x01);
  expect_decode_failure([&] {
    PayloadReader child;
    child.open(bytes_of(damaged), damaged.size());
    read_bytes(child, stream.size());
  });
}

// Frames from the zstd command-line tool, fed through a pipe so that it knows no size and
// declares the window it is given.
class ReaderWithZstdTool : public testing::Test {
 protected:
  void SetUp() override {
    if (!have_zstd_tool()) GTEST_SKIP() << "the zstd command-line tool is not installed";
    directory_ = make_temp_dir();
    entries_ = {{u"main.dll", make_data(150001, 9)},
                {u"empty", ""},
                {u"sub\\odd.bin", make_data(32769, 10)}};
    stream_ = encode_stream(entries_);
    write_file(directory_ + "/stream", stream_);
  }
  void TearDown() override {
    if (!directory_.empty()) fs::remove_all(directory_);
  }

  std::string compress_with_tool(const std::string& flags) {
    std::string frame;
    EXPECT_TRUE(run_shell("cat '" + directory_ + "/stream' | zstd -q -c " + flags, &frame));
    return frame;
  }

  void expect_entries(const std::string& frame) {
    PayloadReader reader;
    reader.open(bytes_of(frame), frame.size());
    for (const Entry& entry : entries_) {
      wchar_t name[entry_name_capacity];
      ASSERT_TRUE(read_entry_name(reader, name, entry_name_capacity));
      EXPECT_EQ(std::u16string(name, name + wcslen(name)), entry.name);
      ASSERT_EQ(read_entry_size(reader), entry.data.size());
      EXPECT_EQ(read_bytes(reader, entry.data.size()), entry.data);
    }
    wchar_t end[entry_name_capacity];
    EXPECT_FALSE(read_entry_name(reader, end, entry_name_capacity));
    reader.close();
  }

  std::string directory_;
  std::vector<Entry> entries_;
  std::string stream_;
};

TEST_F(ReaderWithZstdTool, FramesWithAndWithoutChecksumRead) {
  expect_entries(compress_with_tool("--no-check"));
  expect_entries(compress_with_tool("--check"));
  expect_entries(compress_with_tool("--check --long=27"));
}

TEST_F(ReaderWithZstdTool, DamagedChecksumFromToolFails) {
  std::string frame = compress_with_tool("--check");
  frame.back() = static_cast<char>(frame.back() ^ 0x80);
  expect_decode_failure([&] {
    PayloadReader reader;
    reader.open(bytes_of(frame), frame.size());
    read_bytes(reader, stream_.size());
  });
}

TEST_F(ReaderWithZstdTool, LongWindowAboveTheLimitIsRefused) {
  const std::string frame = compress_with_tool("--long=28");
  ASSERT_GT(frame.size(), 5u);
  ASSERT_GT(static_cast<unsigned char>(frame[5]), payload_window_descriptor);
  expect_failure_after(frame, 0);
}

}  // namespace
