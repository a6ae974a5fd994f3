// Hostile and damaged payloads in a real packed launcher: each has one exact outcome, and
// nothing is ever written outside the target directory.
#include <gtest/gtest.h>

#include <set>

#include "e2e/harness.h"
#include "support/files.h"
#include "support/payload_builder.h"

namespace {

const std::string header_failure = "Error, couldn't find attached data header.\r\n";
const std::string decode_failure = "Error, couldn't decode attached data.\r\n";
constexpr const wchar_t* preset_start = L"4711";
constexpr size_t frame_descriptor_offset = 4;  // after the 4-byte frame magic
constexpr unsigned char single_segment_bit = 0x20;
constexpr unsigned char dictionary_id_one_byte = 0x01;
constexpr size_t frame_header_size = 6;  // magic, descriptor, window byte
constexpr size_t block_header_size = 3;
constexpr uint32_t rle_block_type = 1;
constexpr size_t cuts_per_block = 4;
// Alignment bytes (at most 7) and the trailer (8) follow the frame in the resource.
constexpr size_t unrecoverable_tail = 16;
constexpr int flipped_points = 16;
constexpr size_t main_size = 150000;  // more than one 128 KiB block

class Hostile : public WorkspaceTest {
 protected:
  void SetUp() override {
    WorkspaceTest::SetUp();
    if (HasFatalFailure()) return;
    main_library_ = read_file(sibling_path(L"e2e_app.dll"));
    ASSERT_FALSE(main_library_.empty());
  }

  // A sound application: the real main library (so that a payload that decodes would run)
  // and a few files, one in a sub-directory, of sizes that span blocks.
  PayloadRecipe sound_recipe() const {
    PayloadRecipe recipe;
    recipe.entries.push_back({L"app.dll", main_library_});
    recipe.entries.push_back({L"big.bin", pattern_bytes(main_size, 1)});
    recipe.entries.push_back({L"empty.txt", ""});
    recipe.entries.push_back({L"sub\\odd.bin", pattern_bytes(33333, 2)});
    return recipe;
  }

  struct Outcome {
    DWORD exit_code;
    std::string out;
    std::string err;
    bool no_target;  // nothing at all may be created
  };

  // Packs payload, runs it once in a fresh TEMP and checks the outcome; every file found
  // afterwards must lie in this start's target directory and, where names_must_be_allowed,
  // be one of allowed.
  void expect_outcome(const ByteVector& payload, const Outcome& expected, const std::set<std::wstring>& allowed,
                      const std::string& label, bool names_must_be_allowed = true) {
    SCOPED_TRACE(label);
    remove_tree(workspace_.temp);
    CreateDirectoryW(workspace_.temp.c_str(), nullptr);
    const std::wstring exe = workspace_.bin + L"\\APP.exe";
    ASSERT_EQ(pack_payload(payload, exe), "");
    LaunchOptions options;
    options.set_variables.push_back({L"TAVRIN_ONEFILE_START", preset_start});
    DWORD pid = 0;
    const ProcessResult result = launch(workspace_, exe, {}, options, &pid);
    EXPECT_FALSE(result.timed_out);
    EXPECT_EQ(result.exit_code, expected.exit_code);
    if (expected.exit_code == 0) {
      EXPECT_EQ(parse_reports(result.out).size(), 1u) << "the main library ran";
    } else {
      EXPECT_EQ(result.out, expected.out);
    }
    EXPECT_EQ(result.err, expected.err);
    const std::wstring target = expected_target(workspace_, pid, preset_start);
    const std::vector<std::wstring> entries = temp_entries(workspace_);
    if (expected.no_target) {
      EXPECT_TRUE(entries.empty());
    } else {
      EXPECT_LE(entries.size(), 1u);
      if (!entries.empty()) {
        EXPECT_EQ(workspace_.temp + L"\\" + entries[0], target);
      }
      for (const std::wstring& file : list_files(target)) {
        if (names_must_be_allowed) {
          EXPECT_EQ(allowed.count(file), 1u) << narrow(file);
        }
      }
    }
    const std::vector<std::wstring> outside = list_files(workspace_.root);
    for (const std::wstring& file : outside) {
      const bool known = file == L"bin\\APP.exe" || file.rfind(L"temp\\onefile_", 0) == 0 ||
                         file.rfind(L"app\\", 0) == 0;
      EXPECT_TRUE(known) << "written outside the target directory: " << narrow(file);
    }
  }

  void expect_decode_failure(const ByteVector& payload, const std::string& label, bool names_may_change = false) {
    std::set<std::wstring> allowed;
    for (const BuilderEntry& entry : sound_recipe().entries) allowed.insert(entry.name);
    expect_outcome(payload, {2, decode_failure, "", false}, allowed, label, !names_may_change);
  }

  std::string main_library_;
};

ByteVector with_header(const std::string& header, const ByteVector& rest) {
  ByteVector bytes(header.begin(), header.end());
  bytes.insert(bytes.end(), rest.begin(), rest.end());
  return bytes;
}

TEST_F(Hostile, SoundPayloadRunsAsAControl) {
  const ByteVector payload = build_payload(sound_recipe());
  expect_outcome(payload, {0, "", "", true}, {}, "sound");
}

TEST_F(Hostile, WrongMagicFlagOrShortPayloadIsAMissingHeader) {
  const ByteVector frame = compress_frame(build_entry_stream(sound_recipe()), sound_recipe());
  for (const std::string header : {"XZY", "VXY", "VZN", "VZy", "VZ\0"}) {
    expect_outcome(with_header(std::string(header.c_str(), 3), frame), {2, header_failure, "", true}, {},
                   "header " + printable(header));
  }
  for (const std::string tiny : {"V", "VZ"}) {
    expect_outcome(ByteVector(tiny.begin(), tiny.end()), {2, header_failure, "", true}, {}, "short " + tiny);
  }
}

TEST_F(Hostile, RawDataAfterTheHeaderIsUndecodable) {
  const std::string raw = pattern_bytes(5000, 9);
  expect_decode_failure(with_header("VZY", ByteVector(raw.begin(), raw.end())), "raw");
  expect_decode_failure(with_header("VZY", {}), "nothing after the header");
}

// Where each block's content lies in a frame without dictionary id or content size.
std::vector<std::pair<size_t, size_t>> block_contents(const ByteVector& frame) {
  std::vector<std::pair<size_t, size_t>> blocks;
  size_t at = frame_header_size;
  while (at + block_header_size <= frame.size()) {
    const uint32_t header = frame[at] | (frame[at + 1] << 8) | (frame[at + 2] << 16);
    const bool last = (header & 1) != 0;
    const uint32_t type = (header >> 1) & 3;
    const size_t length = type == rle_block_type ? 1 : header >> 3;
    blocks.push_back({at + block_header_size, at + block_header_size + length});
    at += block_header_size + length;
    if (last) break;
  }
  return blocks;
}

// Cuts inside the frame header, and inside blocks far enough from their end that the
// alignment bytes and the trailer cannot stand in for what is missing.
TEST_F(Hostile, FrameCutInsideItsHeaderOrABlockIsUndecodable) {
  const ByteVector frame = compress_frame(build_entry_stream(sound_recipe()), sound_recipe());
  ASSERT_EQ(frame[frame_descriptor_offset] & (single_segment_bit | dictionary_id_one_byte | 0xC0), 0);
  std::vector<size_t> cuts = {1, 3, 4, 5};
  const auto blocks = block_contents(frame);
  ASSERT_GE(blocks.size(), 2u);
  ASSERT_EQ(blocks.back().second, frame.size()) << "the block walk covers the frame";
  for (const auto& [begin, end] : blocks) {
    for (size_t step = 0; step < cuts_per_block && end - begin > unrecoverable_tail; ++step) {
      cuts.push_back(begin + 1 + (end - unrecoverable_tail - begin - 1) * step / (cuts_per_block - 1));
    }
  }
  for (const size_t cut : cuts) {
    const ByteVector cut_frame(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(cut));
    expect_decode_failure(wrap_container(cut_frame), "cut at " + std::to_string(cut) + " of " + std::to_string(frame.size()));
  }
}

// A frame cut right after its header leaves only the alignment bytes and the trailer behind
// it, which the decoder takes as blocks: whatever the launcher then reports, it fails with
// 2, creates nothing and never runs a library.
TEST_F(Hostile, FrameCutAfterItsHeaderRunsNothing) {
  const ByteVector frame = compress_frame(build_entry_stream(sound_recipe()), sound_recipe());
  const ByteVector cut_frame(frame.begin(), frame.begin() + frame_header_size);
  const std::wstring exe = workspace_.bin + L"\\APP.exe";
  ASSERT_EQ(pack_payload(wrap_container(cut_frame), exe), "");
  const ProcessResult result = launch(workspace_, exe, {});
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_TRUE(parse_reports(result.out).empty());
  EXPECT_TRUE(temp_entries(workspace_).empty());
}

TEST_F(Hostile, FlippedByteInAFrameWithChecksumIsUndecodable) {
  PayloadRecipe recipe = sound_recipe();
  recipe.checksum = true;
  expect_outcome(wrap_container(compress_frame(build_entry_stream(recipe), recipe)), {0, "", "", true}, {},
                 "unflipped control");
  // The flips go into a frame whose bytes do not depend on the build (a fixed stand-in for
  // the main library, which the flipped payloads never get to run), so each flip lands in
  // the same place on every run.
  recipe.entries[0].data = pattern_bytes(main_size, 3);
  const ByteVector frame = compress_frame(build_entry_stream(recipe), recipe);
  for (int i = 0; i < flipped_points; ++i) {
    ByteVector flipped = frame;
    const size_t at = 8 + (flipped.size() - 9) * static_cast<size_t>(i) / (flipped_points - 1);
    flipped[at] ^= 0x10;
    // The checksum is checked at the frame's end: a flip inside a name may create a file of
    // another name before that, still inside the target directory (checked all the same).
    expect_decode_failure(wrap_container(flipped), "flipped at " + std::to_string(at), /*names_may_change=*/true);
  }
}

TEST_F(Hostile, WindowAboveTheLimitAndDictionaryFramesAreRefusedBeforeAnyFile) {
  ASSERT_TRUE(write_file(workspace_.app + L"\\app.dll", main_library_));
  ByteVector packed;
  ASSERT_EQ(pack_directory(workspace_.app, L"app.dll", workspace_.bin + L"\\APP.exe", &packed), "");
  // The frame and the alignment bytes behind it; the decoder never reaches the latter.
  const ByteVector frame(packed.begin() + 3, packed.end() - 8);
  ASSERT_EQ(packed.at(3 + frame_descriptor_offset) & single_segment_bit, 0) << "the frame carries a window descriptor";
  ASSERT_EQ(packed.at(3 + frame_descriptor_offset + 1), 0x88) << "2^27 window as packed";
  expect_outcome(wrap_container(frame), {0, "", "", true}, {}, "unchanged control");
  for (const unsigned char descriptor : {0x89, 0x90, 0xA8}) {  // 2^27 * 9/8, 2^28, 2^31
    ByteVector wide = frame;
    wide[frame_descriptor_offset + 1] = descriptor;
    expect_outcome(wrap_container(wide), {2, decode_failure, "", true}, {}, "window " + std::to_string(descriptor));
  }
  ByteVector with_dictionary(frame.begin(), frame.begin() + frame_descriptor_offset + 2);
  with_dictionary[frame_descriptor_offset] |= dictionary_id_one_byte;
  with_dictionary.push_back(0x2A);  // the dictionary id
  with_dictionary.insert(with_dictionary.end(), frame.begin() + frame_descriptor_offset + 2, frame.end());
  expect_outcome(wrap_container(with_dictionary), {2, decode_failure, "", true}, {}, "dictionary id");
}

TEST_F(Hostile, StreamWithoutEndMarkerOrWithAnOverstatedSizeIsUndecodable) {
  PayloadRecipe recipe = sound_recipe();
  recipe.end_marker = false;
  expect_decode_failure(build_payload(recipe), "no end marker");

  ByteVector stream = build_entry_stream(sound_recipe());
  // The size of the first entry follows its name ("app.dll" and the 0 unit): make it larger
  // than everything that follows.
  const size_t size_at = (std::wstring(L"app.dll").size() + 1) * 2;
  stream[size_at + 4] = 0x01;
  expect_decode_failure(wrap_container(compress_frame(stream, sound_recipe())), "overstated size");
}

TEST_F(Hostile, NamesOfTooManyUnitsAreRefused) {
  for (const size_t length : {size_t{1024}, size_t{5000}}) {
    PayloadRecipe first = sound_recipe();
    first.entries.insert(first.entries.begin(), {std::wstring(length, L'n'), "x"});
    expect_decode_failure(build_payload(first), "first name of " + std::to_string(length));
    PayloadRecipe later = sound_recipe();
    later.entries.push_back({std::wstring(length, L'n'), "x"});
    expect_decode_failure(build_payload(later), "later name of " + std::to_string(length));
  }
}

TEST_F(Hostile, UnsafeNamesAreRefusedAndNothingEscapes) {
  const std::wstring names[] = {L"\\escaped.txt",          L"/escaped.txt",        L"..\\escaped.txt",
                                L"../escaped.txt",         L"sub\\..\\..\\escaped.txt", L"sub/../../escaped.txt",
                                L"sub\\../..\\escaped.txt", L"C:escaped.txt",       L"sub\\a:stream",
                                L"...\\escaped.txt",       L"sub\\..",             L".."};
  for (const std::wstring& name : names) {
    PayloadRecipe later = sound_recipe();
    later.entries.push_back({name, "escaped"});
    expect_decode_failure(build_payload(later), "later " + narrow(name));
    PayloadRecipe first = sound_recipe();
    first.entries.insert(first.entries.begin(), {name, "escaped"});
    expect_decode_failure(build_payload(first), "first " + narrow(name));
  }
}

// No entry at all: the parent unpacks nothing and creates no directory; its child finds no
// main library and says so; the parent hands on the child's 2.
TEST_F(Hostile, EmptyStreamEndsBothRolesWithoutCreatingAnything) {
  PayloadRecipe empty;
  const std::string missing = system_text(ERROR_FILE_NOT_FOUND);
  std::string text;
  for (const char c : missing) text += c == '\n' ? std::string("\r\n") : std::string(1, c);
  expect_outcome(build_payload(empty), {2, "", "Error, load DLL. ([Error 2] " + text + ")\r\n", true}, {}, "empty");
}

}  // namespace
