// The entry loop with real files: trees, sizes, replacement, directory calls, and the
// payloads it must refuse.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <string>
#include <vector>

#include "paths/spec.h"
#include "payload/format.h"
#include "payload/reader.h"
#include "payload/unpack.h"
#include "support/files.h"
#include "support/payload_builder.h"
#include "support/process.h"
#include "tools/pack/payload_writer.h"

namespace {

const std::string decode_failed_line = "Error, couldn't decode attached data.\r\n";
const std::string open_failed_prefix = "Error, failed to open '";

bool running_under_wine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

// Wine has no MAX_PATH limit of its own; Windows without long path support refuses such
// paths at the open, which the long-name tests then accept as the outcome.
bool long_paths_work() {
  return running_under_wine();
}

// A relative name of exactly length units whose components stay within the 255 units a
// file system allows per component.
std::wstring long_name(size_t length, wchar_t unit) {
  constexpr size_t component_length = 200;
  std::wstring name;
  while (name.size() < length) {
    if (!name.empty() && name.size() % (component_length + 1) == component_length) {
      name += (name.size() + 1 < length) ? L'\\' : unit;
    } else {
      name += unit;
    }
  }
  return name;
}

struct DirectoryCall {
  std::wstring directory;
  bool created;
  unsigned long error;
};

std::vector<DirectoryCall>& recorded_calls() {
  static std::vector<DirectoryCall> calls;
  return calls;
}

void record_call(const wchar_t* directory, bool created, unsigned long error) {
  recorded_calls().push_back({directory, created, error});
}

// Unpacks payload in this process; returns the recorded main library path.
std::wstring unpack(const std::vector<unsigned char>& payload, const std::wstring& target,
                    UnpackMode mode = UnpackMode::write_all) {
  wchar_t main_library_path[main_library_path_capacity] = {};
  PayloadReader reader;
  reader.open(payload.data() + payload_header_size, payload.size() - payload_header_size);
  unpack_entries(reader, target.c_str(), main_library_path, mode);
  reader.close();
  return main_library_path;
}

class Unpacking : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = make_temp_directory(L"tavrin_unpack");
    ASSERT_FALSE(root_.empty());
    target_ = root_ + L"\\target";
    recorded_calls().clear();
  }
  void TearDown() override {
    set_directory_call_observer(nullptr);
    remove_tree(root_);
  }

  // Runs the probe's unpack scenario on payload, written to a file beside the target.
  ProcessResult unpack_in_probe(const PayloadRecipe& recipe, const wchar_t* mode = L"parent",
                                const wchar_t* watch = nullptr) {
    const std::vector<unsigned char> payload = build_payload(recipe);
    const std::wstring file = root_ + L"\\payload.bin";
    EXPECT_TRUE(write_file(file, std::string(payload.begin(), payload.end())));
    std::vector<std::wstring> arguments{file, target_, mode};
    if (watch != nullptr) arguments.push_back(watch);
    return run_probe(L"unpack", arguments);
  }

  // Everything below root_ but the payload file and the target directory itself.
  std::vector<std::wstring> files_outside_target() {
    std::vector<std::wstring> outside;
    for (const std::wstring& file : list_files(root_)) {
      if (file != L"payload.bin" && file.compare(0, 7, L"target\\") != 0) outside.push_back(file);
    }
    return outside;
  }

  std::wstring root_;
  std::wstring target_;
};

TEST_F(Unpacking, TreeFromThePackerComesOutIdentical) {
  const std::wstring source = root_ + L"\\source";
  ASSERT_TRUE(CreateDirectoryW(source.c_str(), nullptr));
  std::vector<std::wstring> expected;
  ASSERT_TRUE(write_file(source + L"\\main.dll", pattern_bytes(70001, 1)));
  expected.push_back(L"main.dll");
  // 300 files over three levels of directories, with sizes around the piece size.
  for (int top = 0; top < 5; ++top) {
    const std::wstring top_name = L"lib" + std::to_wstring(top);
    CreateDirectoryW((source + L"\\" + top_name).c_str(), nullptr);
    for (int middle = 0; middle < 6; ++middle) {
      const std::wstring middle_name = top_name + L"\\part" + std::to_wstring(middle);
      CreateDirectoryW((source + L"\\" + middle_name).c_str(), nullptr);
      for (int leaf = 0; leaf < 10; ++leaf) {
        const std::wstring name = middle_name + L"\\file" + std::to_wstring(leaf) + L".dat";
        const uint32_t seed = static_cast<uint32_t>(top * 100 + middle * 10 + leaf);
        const size_t size = (seed * 7919u) % 40000u + (leaf == 3 ? write_piece_size : 0);
        ASSERT_TRUE(write_file(source + L"\\" + name, pattern_bytes(size, seed)));
        expected.push_back(name);
      }
    }
  }
  PackRequest request;
  request.directory = source;
  request.main_library = L"main.dll";
  request.level = 1;
  std::vector<unsigned char> payload;
  std::string error;
  ASSERT_TRUE(build_payload_bytes(request, &payload, &error)) << error;

  const std::wstring main_path = unpack(payload, target_);
  EXPECT_EQ(main_path, target_ + L"\\main.dll");
  std::sort(expected.begin(), expected.end());
  ASSERT_EQ(list_files(target_), expected);
  for (const std::wstring& name : expected) {
    ASSERT_EQ(read_file(target_ + L"\\" + name), read_file(source + L"\\" + name)) << narrow(name);
  }
}

TEST_F(Unpacking, EndMarkerAloneCreatesNothing) {
  PayloadRecipe recipe;
  set_directory_call_observer(record_call);
  EXPECT_EQ(unpack(build_payload(recipe), target_), L"");
  EXPECT_FALSE(directory_exists(target_));
  EXPECT_TRUE(recorded_calls().empty());
}

TEST_F(Unpacking, SizesAroundThePieceSizeArriveWhole) {
  PayloadRecipe recipe;
  for (size_t size : {size_t{0}, size_t{1}, write_piece_size - 1, write_piece_size, write_piece_size + 1,
                      3 * write_piece_size + 5}) {
    recipe.entries.push_back({L"size_" + std::to_wstring(size), pattern_bytes(size, static_cast<uint32_t>(size))});
  }
  unpack(build_payload(recipe), target_);
  for (const BuilderEntry& entry : recipe.entries) {
    ASSERT_TRUE(file_exists(target_ + L"\\" + entry.name)) << narrow(entry.name);
    EXPECT_EQ(read_file(target_ + L"\\" + entry.name), entry.data) << narrow(entry.name);
  }
}

TEST_F(Unpacking, ExistingFilesAreReplacedAlsoWithinOnePayload) {
  ASSERT_TRUE(CreateDirectoryW(target_.c_str(), nullptr));
  ASSERT_TRUE(write_file(target_ + L"\\old.txt", std::string(100000, 'o')));
  PayloadRecipe recipe;
  recipe.entries = {{L"old.txt", "short"},
                    {L"sub\\twice.txt", "first version, the longer one"},
                    {L"empty_later.txt", "not empty yet"},
                    {L"sub\\twice.txt", "second"},
                    {L"empty_later.txt", ""}};
  unpack(build_payload(recipe), target_);
  EXPECT_EQ(read_file(target_ + L"\\old.txt"), "short");
  EXPECT_EQ(read_file(target_ + L"\\sub\\twice.txt"), "second");
  EXPECT_TRUE(file_exists(target_ + L"\\empty_later.txt"));
  EXPECT_EQ(read_file(target_ + L"\\empty_later.txt"), "");
}

TEST_F(Unpacking, NamesAtOddOffsetsAndNonAsciiUnits) {
  PayloadRecipe recipe;
  recipe.entries = {{L"a", "odd"}, {L"\u00e9t\u00e9\\\u4e2d.txt", "x"}, {L"b c.txt", "y"}};
  unpack(build_payload(recipe), target_);
  EXPECT_EQ(read_file(target_ + L"\\a"), "odd");
  EXPECT_EQ(read_file(target_ + L"\\\u00e9t\u00e9\\\u4e2d.txt"), "x");
  EXPECT_EQ(read_file(target_ + L"\\b c.txt"), "y");
}

TEST_F(Unpacking, FirstEntryPathIsTheMainLibraryAndChildRoleStopsThere) {
  PayloadRecipe recipe;
  recipe.entries = {{L"app.dll", "library"}, {L"data\\x.txt", "x"}};
  EXPECT_EQ(unpack(build_payload(recipe), target_, UnpackMode::first_name_only), target_ + L"\\app.dll");
  EXPECT_FALSE(directory_exists(target_));
  EXPECT_EQ(unpack(build_payload(recipe), target_), target_ + L"\\app.dll");
  EXPECT_EQ(read_file(target_ + L"\\app.dll"), "library");
  EXPECT_EQ(read_file(target_ + L"\\data\\x.txt"), "x");
}

TEST_F(Unpacking, DirectoryCallsWalkUpOnFailureThenCreateTopDown) {
  ASSERT_TRUE(CreateDirectoryW(target_.c_str(), nullptr));
  set_directory_call_observer(record_call);
  PayloadRecipe recipe;
  recipe.entries = {{L"A\\B\\one", "1"}, {L"A\\B\\two", "2"}, {L"A\\three", "3"}};
  unpack(build_payload(recipe), target_);
  const std::vector<DirectoryCall>& calls = recorded_calls();
  // The existing target is never tried: T\A, one level up from the failure, succeeds.
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].directory, target_ + L"\\A\\B");
  EXPECT_FALSE(calls[0].created);
  EXPECT_EQ(calls[0].error, static_cast<unsigned long>(ERROR_PATH_NOT_FOUND));
  EXPECT_EQ(calls[1].directory, target_ + L"\\A");
  EXPECT_TRUE(calls[1].created);
  EXPECT_EQ(calls[2].directory, target_ + L"\\A\\B");
  EXPECT_TRUE(calls[2].created);
  EXPECT_EQ(read_file(target_ + L"\\A\\B\\two"), "2");
  EXPECT_EQ(read_file(target_ + L"\\A\\three"), "3");
}

TEST_F(Unpacking, MemoSparesCallsOnlyForTheExactSpelling) {
  set_directory_call_observer(record_call);
  PayloadRecipe recipe;
  recipe.entries = {{L"first", "1"}, {L"Dir\\a", "a"}, {L"Dir\\b", "b"}, {L"dir\\c", "c"}, {L"dir\\d", "d"}};
  unpack(build_payload(recipe), target_);
  const std::vector<DirectoryCall>& calls = recorded_calls();
  // The missing target is created by the first file; Dir once; dir once more, as existing.
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_EQ(calls[0].directory, target_);
  EXPECT_TRUE(calls[0].created);
  EXPECT_EQ(calls[1].directory, target_ + L"\\Dir");
  EXPECT_TRUE(calls[1].created);
  EXPECT_EQ(calls[2].directory, target_ + L"\\dir");
  EXPECT_FALSE(calls[2].created);
  EXPECT_EQ(calls[2].error, static_cast<unsigned long>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(read_file(target_ + L"\\Dir\\d"), "d");
}

TEST_F(Unpacking, DriveDesignatorAndHomeNeedNoCall) {
  set_directory_call_observer(record_call);
  EXPECT_TRUE(create_directory_cached(L"Q:"));
  EXPECT_TRUE(ensure_parent_directory(L"Q:\\file"));
  wchar_t home[entry_path_capacity];
  ASSERT_TRUE(expand_spec(home, home_spec, entry_path_capacity));
  EXPECT_TRUE(create_directory_cached(home));
  EXPECT_TRUE(ensure_parent_directory(L"\\only_at_index_zero"));
  EXPECT_TRUE(ensure_parent_directory(L"no_backslash_at_all"));
  EXPECT_TRUE(recorded_calls().empty());
}

TEST_F(Unpacking, EnsureParentDirectoryReportsWhetherTheDirectoryExists) {
  EXPECT_TRUE(ensure_parent_directory((target_ + L"\\x\\y\\z\\file").c_str()));
  EXPECT_TRUE(directory_exists(target_ + L"\\x\\y\\z"));
  ASSERT_TRUE(write_file(root_ + L"\\blocker", "a file, not a directory"));
  EXPECT_FALSE(ensure_parent_directory((root_ + L"\\blocker\\sub\\file").c_str()));
  EXPECT_FALSE(create_directory_cached((root_ + L"\\missing\\sub").c_str()));
}

TEST_F(Unpacking, DirectoryThatCannotBeCreatedShowsAsTheOpenFailure) {
  ASSERT_TRUE(write_file(root_ + L"\\blocker", "a file, not a directory"));
  target_ = root_ + L"\\blocker\\target";
  PayloadRecipe recipe;
  recipe.entries = {{L"sub\\file.txt", "x"}};
  const ProcessResult result = unpack_in_probe(recipe);
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.err, "Error, failed to open '" + narrow(target_) + "\\sub\\file.txt' for writing.\r\n");
}

TEST_F(Unpacking, DirectoriesBeyondTheMemoAreStillCreated) {
  constexpr unsigned long directories = 1100;
  // Remembered: the seed, the target, then directories until the memo holds 1,024.
  constexpr unsigned long remembered = 1024 - 2;
  const ProcessResult result =
      run_probe(L"unpack_many_directories", {target_, std::to_wstring(directories)});
  ASSERT_EQ(result.exit_code, 0u) << result.err;
  const std::string main = "main [" + narrow(target_) + "\\d0\\f.bin]\r\n";
  EXPECT_EQ(result.out, main + "first pass calls " + std::to_string(directories + 2) + " existing 0\r\n" + main +
                            "second pass calls " + std::to_string(directories - remembered) + " existing " +
                            std::to_string(directories - remembered) + "\r\n");
  const std::vector<std::wstring> files = list_files(target_);
  ASSERT_EQ(files.size(), directories);
  for (unsigned long i = 0; i < directories; ++i) {
    const std::wstring name = L"d" + std::to_wstring(i) + L"\\f.bin";
    ASSERT_EQ(read_file(target_ + L"\\" + name), pattern_bytes(i % 7, i)) << narrow(name);
  }
}

TEST_F(Unpacking, UnsafeNamesAreRefusedBeforeAnythingIsWritten) {
  const wchar_t* unsafe_names[] = {
      L"\\absolute.txt", L"/absolute.txt", L"C:\\x.txt", L"C:x.txt", L"file.txt:stream",
      L"..\\escape.txt", L"sub\\..\\..\\escape.txt", L"sub/../../escape.txt", L"sub\\..",
      L"..", L"...\\escape.txt", L"sub\\. .\\escape.txt"};
  for (const wchar_t* name : unsafe_names) {
    remove_tree(target_);
    PayloadRecipe recipe;
    recipe.entries = {{L"safe.dll", "fine"}, {name, "must not land anywhere"}, {L"after.txt", "never"}};
    const ProcessResult result = unpack_in_probe(recipe);
    EXPECT_EQ(result.exit_code, 2u) << narrow(name);
    EXPECT_EQ(result.out.substr(result.out.size() < decode_failed_line.size()
                                    ? 0
                                    : result.out.size() - decode_failed_line.size()),
              decode_failed_line)
        << narrow(name);
    EXPECT_EQ(list_files(target_), std::vector<std::wstring>{L"safe.dll"}) << narrow(name);
    EXPECT_TRUE(files_outside_target().empty()) << narrow(name);
  }
}

TEST_F(Unpacking, UnsafeFirstNameCreatesNoTargetDirectory) {
  PayloadRecipe recipe;
  recipe.entries = {{L"..\\escape.dll", "x"}};
  for (const wchar_t* mode : {L"parent", L"child"}) {
    const ProcessResult result = unpack_in_probe(recipe, mode);
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.out, decode_failed_line);
    EXPECT_FALSE(directory_exists(target_));
    EXPECT_TRUE(files_outside_target().empty());
  }
}

TEST_F(Unpacking, NamesOfTheBufferSizeOrMoreAreADamagedPayload) {
  PayloadRecipe recipe;
  recipe.entries = {{L"first.dll", "1"}, {std::wstring(entry_name_capacity, L'n'), "x"}};
  const ProcessResult result = unpack_in_probe(recipe);
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, decode_failed_line);
  EXPECT_EQ(list_files(target_), std::vector<std::wstring>{L"first.dll"});

  PayloadRecipe longest;
  longest.entries = {{L"first.dll", "1"}, {long_name(entry_name_capacity - 1, L'n'), "fits"}};
  ASSERT_EQ(longest.entries[1].name.size(), entry_name_capacity - 1);
  const ProcessResult fits = unpack_in_probe(longest);
  // Without long path support the system refuses a file name this long; the unpacking
  // then ends with the open failure for that file rather than anything worse.
  if (fits.exit_code == 0 || long_paths_work()) {
    EXPECT_EQ(fits.exit_code, 0u) << fits.err;
    EXPECT_EQ(read_file(target_ + L"\\" + longest.entries[1].name), "fits");
  } else {
    EXPECT_EQ(fits.exit_code, 2u);
    EXPECT_TRUE(starts_with(fits.err, open_failed_prefix)) << fits.err;
  }
}

TEST_F(Unpacking, FirstPathTooLongForTheMainLibraryBuffer) {
  // A first path of exactly 1,024 units: one unit more than the buffer holds.
  const size_t name_length = main_library_path_capacity - target_.size() - 1;
  PayloadRecipe recipe;
  recipe.entries = {{long_name(name_length, L'm'), "main"}, {L"second.dll", "not the main library"}};
  ASSERT_EQ(target_.size() + 1 + recipe.entries[0].name.size(), main_library_path_capacity);
  const ProcessResult child = unpack_in_probe(recipe, L"child");
  EXPECT_EQ(child.exit_code, 2u);
  EXPECT_TRUE(starts_with(child.err, "Error, load DLL. ([Error 206] ")) << child.err;
  EXPECT_FALSE(directory_exists(target_));

  // The parent still unpacks everything but records no main library, not even a later one.
  const ProcessResult parent = unpack_in_probe(recipe, L"parent");
  if (parent.exit_code == 0 || long_paths_work()) {
    EXPECT_EQ(parent.exit_code, 0u) << parent.err;
    EXPECT_EQ(parent.out, "main []\r\n");
    EXPECT_EQ(read_file(target_ + L"\\" + recipe.entries[0].name), "main");
    EXPECT_EQ(read_file(target_ + L"\\second.dll"), "not the main library");
  } else {
    // Without long path support the first file itself cannot be opened.
    EXPECT_EQ(parent.exit_code, 2u);
    EXPECT_TRUE(starts_with(parent.err, open_failed_prefix)) << parent.err;
  }

  // One unit shorter fits exactly.
  recipe.entries[0].name = long_name(name_length - 1, L'm');
  const ProcessResult fits = unpack_in_probe(recipe, L"child");
  EXPECT_EQ(fits.exit_code, 0u);
  EXPECT_EQ(fits.out, "main [" + narrow(target_ + L"\\" + recipe.entries[0].name) + "]\r\n");
}

TEST_F(Unpacking, DeeplyNestedNameNeedsNoStackPerLevel) {
  // 511 levels: 510 directories and the file, 1,021 units.
  std::wstring name;
  for (int level = 0; level < 510; ++level) name += L"a\\";
  name += L"f";
  PayloadRecipe recipe;
  recipe.entries = {{L"first.dll", "1"}, {name, "deep"}};
  const ProcessResult result = unpack_in_probe(recipe);
  if (result.exit_code == 0 || long_paths_work()) {
    EXPECT_EQ(result.exit_code, 0u) << result.err;
    EXPECT_EQ(read_file(target_ + L"\\" + name), "deep");
  } else {
    // Where the system refuses paths this long, the file's open failure is the outcome.
    EXPECT_EQ(result.exit_code, 2u);
    EXPECT_EQ(result.err, "Error, failed to open '" + narrow(target_ + L"\\" + name) + "' for writing.\r\n");
  }
}

TEST_F(Unpacking, StreamWithoutEndMarkerIsADamagedPayload) {
  PayloadRecipe recipe;
  recipe.entries = {{L"one.dll", "1"}};
  recipe.end_marker = false;
  const ProcessResult result = unpack_in_probe(recipe);
  EXPECT_EQ(result.exit_code, 2u);
  EXPECT_EQ(result.out, decode_failed_line);
  EXPECT_EQ(read_file(target_ + L"\\one.dll"), "1");
}

}  // namespace
