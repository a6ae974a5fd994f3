// The packer end to end: trees packed in-process and read back through the launcher's own
// reader, the frame checked against the zstd tool, the file form and the command line.
#include <unistd.h>

#include <cstring>

#include "diag/messages.h"
#include "payload/container.h"
#include "payload/entry_stream.h"
#include "payload/format.h"
#include "payload/reader.h"
#include "tests/host/payload_test_helpers.h"
#include "tools/pack/cli.h"
#include "tools/pack/commands.h"
#include "tools/pack/payload_list.h"
#include "tools/pack/payload_writer.h"
#include "tools/pack/tree.h"

namespace {

using namespace test_payload;

constexpr size_t large_file_size = 24 * 1000 * 1000 + 7;
constexpr int fast_level = 1;
constexpr size_t frame_descriptor_at = 4;
constexpr size_t frame_window_at = 5;

std::string to_string(const std::vector<unsigned char>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// Reads every entry through PayloadReader, as the launcher does.
std::vector<Entry> unpack_with_reader(const std::vector<unsigned char>& payload) {
  const CompressedData data = check_payload_header(payload.data(), payload.size());
  PayloadReader reader;
  reader.open(data.data, data.size);
  std::vector<Entry> entries;
  wchar_t name[entry_name_capacity];
  while (read_entry_name(reader, name, entry_name_capacity)) {
    Entry entry{std::u16string(name, name + wcslen(name)), ""};
    entry.data.resize(static_cast<size_t>(read_entry_size(reader)));
    for (size_t at = 0; at < entry.data.size(); at += write_piece_size) {
      reader.read_exact(&entry.data[at], std::min(write_piece_size, entry.data.size() - at));
    }
    entries.push_back(std::move(entry));
  }
  reader.close();
  return entries;
}

// The frame alone, found by the library rather than by the packer's own bookkeeping.
std::string frame_of(const std::vector<unsigned char>& payload) {
  const size_t size = ZSTD_findFrameCompressedSize(payload.data() + payload_header_size,
                                                   payload.size() - payload_header_size);
  EXPECT_FALSE(ZSTD_isError(size));
  return std::string(payload.begin() + payload_header_size,
                     payload.begin() + payload_header_size + static_cast<long>(size));
}

class PackTree : public testing::Test {
 protected:
  void SetUp() override {
    root_ = make_temp_dir();
    // In the order the packer must give: main first, then by directory, then by name.
    expected_ = {{u"bin\\app.dll", make_data(4099, 1)},
                 {u"README", make_data(1, 2)},
                 {u"empty.txt", ""},
                 {u"a\\b\\odd.bin", make_data(131071, 4)},
                 {u"a\\b\\c\\deep.dat", make_data(32769, 3)},
                 {u"bin\\helper.dll", make_data(65537, 5)},
                 {u"bin\\none", ""},
                 {u"data\\\u00e9t\u00e9.txt", make_data(333, 6)}};
    request_.directory = root_;
    request_.main_library = "bin/app.dll";
    request_.level = fast_level;
  }
  void TearDown() override { fs::remove_all(root_); }

  // Writes the expected files in the given order of creation.
  void create_tree(const fs::path& root, bool reversed) {
    std::vector<Entry> order = expected_;
    if (reversed) std::reverse(order.begin(), order.end());
    for (const Entry& entry : order) {
      std::u16string relative = entry.name;
      std::replace(relative.begin(), relative.end(), u'\\', u'/');
      write_file(root / fs::path(relative), entry.data);
    }
  }

  std::vector<unsigned char> build() {
    std::vector<unsigned char> payload;
    std::string error;
    EXPECT_TRUE(build_payload_bytes(request_, &payload, &error)) << error;
    return payload;
  }

  fs::path root_;
  std::vector<Entry> expected_;
  PackRequest request_;
};

void expect_same_entries(const std::vector<Entry>& actual, const std::vector<Entry>& expected) {
  ASSERT_EQ(actual.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(actual[i].name, expected[i].name) << "entry " << i;
    EXPECT_TRUE(actual[i].data == expected[i].data) << describe_name(expected[i].name);
  }
}

TEST_F(PackTree, RoundTripThroughTheReaderIsByteForByte) {
  // "big" sorts between the files of "a\b\c" and those of "bin".
  expected_.insert(expected_.begin() + 5, {u"big\\large.bin", make_data(large_file_size, 7)});
  create_tree(root_, false);
  const std::vector<unsigned char> payload = build();
  expect_same_entries(unpack_with_reader(payload), expected_);
}

TEST_F(PackTree, FrameDecodesWithTheZstdToolToTheIntendedStream) {
  if (!have_zstd_tool()) GTEST_SKIP() << "the zstd command-line tool is not installed";
  create_tree(root_, false);
  for (bool checksum : {false, true}) {
    request_.checksum = checksum;
    const std::string frame = frame_of(build());
    const unsigned char descriptor = static_cast<unsigned char>(frame[frame_descriptor_at]);
    EXPECT_EQ(descriptor & 0xC0, 0) << "no content size";
    EXPECT_EQ(descriptor & 0x20, 0) << "not single-segment";
    EXPECT_EQ(descriptor & 0x03, 0) << "no dictionary";
    EXPECT_EQ((descriptor & 0x04) != 0, checksum);
    EXPECT_EQ(static_cast<unsigned char>(frame[frame_window_at]), payload_window_descriptor);

    write_file(root_.parent_path() / (root_.filename().string() + ".zst"), frame);
    std::string decoded;
    EXPECT_TRUE(run_shell("zstd -q -d -c --long=27 '" + root_.string() + ".zst'", &decoded));
    fs::remove(root_.string() + ".zst");
    EXPECT_TRUE(decoded == encode_stream(expected_)) << "checksum " << checksum;
  }
}

TEST_F(PackTree, ContainerEndsWithZeroAlignmentAndTheLengthTrailer) {
  create_tree(root_, false);
  const std::vector<unsigned char> payload = build();
  ASSERT_GT(payload.size(), payload_header_size + payload_trailer_size);
  EXPECT_EQ(payload[0], 'V');
  EXPECT_EQ(payload[1], 'Z');
  EXPECT_EQ(payload[2], 'Y');
  const size_t trailer_at = payload.size() - payload_trailer_size;
  uint64_t trailer = 0;
  for (size_t i = payload_trailer_size; i-- > 0;) trailer = (trailer << 8) | payload[trailer_at + i];
  EXPECT_EQ(trailer, trailer_at);
  EXPECT_EQ(trailer_at % payload_trailer_alignment, 0u);
  const size_t frame_end = payload_header_size + frame_of(payload).size();
  ASSERT_LE(frame_end, trailer_at);
  EXPECT_LT(trailer_at - frame_end, payload_trailer_alignment);
  for (size_t i = frame_end; i < trailer_at; ++i) EXPECT_EQ(payload[i], 0) << i;
}

TEST_F(PackTree, SameTreeGivesTheSameBytesWhateverTheCreationOrder) {
  create_tree(root_, false);
  const std::vector<unsigned char> first = build();
  EXPECT_TRUE(first == build());
  const fs::path other = make_temp_dir();
  create_tree(other, true);
  request_.directory = other;
  EXPECT_TRUE(first == build());
  fs::remove_all(other);
}

TEST_F(PackTree, FileFormReplacesOutputOnlyOnSuccess) {
  create_tree(root_, false);
  const fs::path out_dir = make_temp_dir();
  request_.output = out_dir / "app.payload";
  write_file(request_.output, "old");
  std::string error;
  request_.main_library = "bin/missing.dll";
  EXPECT_FALSE(write_payload_file(request_, &error));
  EXPECT_NE(error.find("missing.dll"), std::string::npos) << error;
  EXPECT_EQ(read_file(request_.output), "old");

  request_.main_library = "bin/app.dll";
  ASSERT_TRUE(write_payload_file(request_, &error)) << error;
  EXPECT_TRUE(read_file(request_.output) == to_string(build()));
  EXPECT_EQ(std::distance(fs::directory_iterator(out_dir), fs::directory_iterator()), 1);

  request_.output = root_ / "inside.payload";
  EXPECT_FALSE(write_payload_file(request_, &error));
  EXPECT_FALSE(fs::exists(request_.output));
  request_.output = out_dir / "no-such-dir" / "x.payload";
  EXPECT_FALSE(write_payload_file(request_, &error));
  fs::remove_all(out_dir);
}

TEST_F(PackTree, ListReadsEntriesAndRefusesDamage) {
  create_tree(root_, false);
  const std::vector<unsigned char> payload = build();
  std::vector<ListedEntry> listed;
  std::string error;
  ASSERT_TRUE(list_payload(payload.data(), payload.size(), &listed, &error)) << error;
  ASSERT_EQ(listed.size(), expected_.size());
  for (size_t i = 0; i < listed.size(); ++i) {
    EXPECT_EQ(listed[i].name, expected_[i].name);
    EXPECT_EQ(listed[i].size, expected_[i].data.size());
  }

  auto refused = [&](std::vector<unsigned char> bytes, const char* what) {
    error.clear();
    EXPECT_FALSE(list_payload(bytes.data(), bytes.size(), &listed, &error)) << what;
    EXPECT_FALSE(error.empty()) << what;
  };
  // Without a checksum a changed literal byte decodes silently; with one it cannot.
  request_.checksum = true;
  std::vector<unsigned char> damaged = build();
  damaged[damaged.size() / 2] ^= 0x40;
  refused(damaged, "flipped frame byte");
  const std::string cut = frame_of(payload).substr(0, frame_of(payload).size() / 2);
  std::string cut_payload = "VZY" + cut;
  cut_payload.append((payload_trailer_alignment - cut_payload.size() % payload_trailer_alignment) %
                         payload_trailer_alignment,
                     '\0');
  append_le(&cut_payload, cut_payload.size(), payload_trailer_size);
  refused(std::vector<unsigned char>(cut_payload.begin(), cut_payload.end()), "cut frame");
  refused(std::vector<unsigned char>(payload.begin(), payload.end() - 1), "cut trailer");
  damaged = payload;
  damaged[2] = 'Z';
  refused(damaged, "wrong flag");
  damaged = payload;
  damaged[payload.size() - payload_trailer_size] ^= 0x08;
  refused(damaged, "wrong trailer");
}

// Containers around streams the packer would never write.
std::vector<unsigned char> wrap_stream(const std::string& stream, size_t padding, char fill) {
  std::string bytes = "VZY" + compress_frame(stream, FrameOptions{});
  bytes.append(padding, fill);
  append_le(&bytes, bytes.size(), payload_trailer_size);
  return std::vector<unsigned char>(bytes.begin(), bytes.end());
}

TEST(PackList, RefusesStreamsWithoutEndOrWithTrailingData) {
  const std::string stream = encode_stream({{u"a.dll", "abc"}});
  std::vector<ListedEntry> listed;
  std::string error;
  auto aligned = [](const std::string& s) {
    return (payload_trailer_alignment - (payload_header_size + compress_frame(s, FrameOptions{}).size()) %
                                            payload_trailer_alignment) %
           payload_trailer_alignment;
  };
  std::vector<unsigned char> good = wrap_stream(stream, aligned(stream), '\0');
  EXPECT_TRUE(list_payload(good.data(), good.size(), &listed, &error)) << error;

  const std::string no_end = stream.substr(0, stream.size() - 2);
  std::vector<unsigned char> bytes = wrap_stream(no_end, aligned(no_end), '\0');
  EXPECT_FALSE(list_payload(bytes.data(), bytes.size(), &listed, &error));
  const std::string extra = stream + "x";
  bytes = wrap_stream(extra, aligned(extra), '\0');
  EXPECT_FALSE(list_payload(bytes.data(), bytes.size(), &listed, &error));
  EXPECT_NE(error.find("follows the end marker"), std::string::npos) << error;
  if (aligned(stream) > 0) {
    bytes = wrap_stream(stream, aligned(stream), '\x01');
    EXPECT_FALSE(list_payload(bytes.data(), bytes.size(), &listed, &error));
  }
  const std::string unsafe = encode_stream({{u"..\\evil.dll", "abc"}});
  bytes = wrap_stream(unsafe, aligned(unsafe), '\0');
  EXPECT_FALSE(list_payload(bytes.data(), bytes.size(), &listed, &error));
}

TEST_F(PackTree, CommandLinePacksListsAndReportsErrors) {
  create_tree(root_, false);
  const std::string out = root_.string() + ".payload";
  const std::string dir = root_.string();
  std::string stdout_text, stderr_text;
  EXPECT_EQ(run_command(run_payload_command,
                        {"payload", "--main", "bin/app.dll", "-o", out, "--level", "1", dir},
                        &stdout_text, &stderr_text),
            pack_exit_success)
      << stderr_text;
  EXPECT_EQ(run_command(run_list_command, {"list", out}, &stdout_text, &stderr_text),
            pack_exit_success)
      << stderr_text;
  EXPECT_EQ(stdout_text.find("bin\\app.dll\t4099\nREADME\t1\nempty.txt\t0\n"), 0u) << stdout_text;
  EXPECT_NE(stdout_text.find("8 entries"), std::string::npos) << stdout_text;

  write_file(out, "VZY not a frame at all");
  EXPECT_EQ(run_command(run_list_command, {"list", out}, &stdout_text, &stderr_text),
            pack_exit_failure);
  EXPECT_NE(stderr_text.find("not a valid payload"), std::string::npos) << stderr_text;
  fs::remove(out);

  const std::vector<std::vector<std::string>> usage_errors = {
      {"payload", "-o", out, dir},
      {"payload", "--main", "x", dir},
      {"payload", "--main", "x", "-o", out},
      {"payload", "--main", "x", "-o", out, dir, dir},
      {"payload", "--main", "x", "-o", out, "--level", "0", dir},
      {"payload", "--main", "x", "-o", out, "--level", "9x", dir},
      {"payload", "--main", "x", "-o", out, "--bogus", dir},
      {"payload", "--main"}};
  for (const auto& arguments : usage_errors) {
    EXPECT_EQ(run_command(run_payload_command, arguments, &stdout_text, &stderr_text),
              pack_exit_usage)
        << arguments.size();
  }
  EXPECT_EQ(run_command(run_payload_command,
                        {"payload", "--main", "x", "-o", out, dir + "/missing"}, &stdout_text,
                        &stderr_text),
            pack_exit_failure);
  EXPECT_NE(stderr_text.find("missing"), std::string::npos) << stderr_text;
  EXPECT_FALSE(fs::exists(out));
}

}  // namespace
