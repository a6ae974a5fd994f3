// Scenarios for the entry loop: the outcomes that end the process, and runs that need a
// directory memo of their own.
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "launcher/state.h"
#include "launcher/temporary_tree.h"
#include "launcher/unpack_place.h"
#include "payload/format.h"
#include "payload/reader.h"
#include "payload/unpack.h"
#include "probe/probe.h"
#include "support/files.h"
#include "support/payload_builder.h"

namespace {

void print_directory_call(const wchar_t* directory, bool created, unsigned long error) {
  printf("call %ls %s %lu\n", directory, created ? "created" : "failed", error);
}

void unpack_payload(const std::string& payload, const wchar_t* target, UnpackMode mode) {
  static wchar_t main_library_path[main_library_path_capacity];
  main_library_path[0] = L'\0';
  PayloadReader reader;
  reader.open(reinterpret_cast<const unsigned char*>(payload.data()) + payload_header_size,
              payload.size() - payload_header_size);
  unpack_entries(reader, target, main_library_path, mode);
  reader.close();
  printf("main [%ls]\n", main_library_path);
}

// A volume such as FAT or exFAT: no access lists are kept.
bool volume_without_access_lists(HANDLE, DWORD* flags) {
  *flags = FILE_CASE_PRESERVED_NAMES | FILE_UNICODE_ON_DISK;
  return true;
}

}  // namespace

// argv: target directory, optionally "fat" (its volume keeps no access lists). Creates the
// temporary tree's directory as the entry loop does, then prints whether the start holds a
// guard and whether another open that would let the directory be renamed is refused.
PROBE_SCENARIO(create_temporary_tree) {
  if (argc < 1) return 100;
  if (argc > 1 && wcscmp(argv[1], L"fat") == 0) set_volume_flags_query(volume_without_access_lists);
  wcscpy(launcher_state.target_directory, argv[0]);
  unpack_tree_for(ParentPlace::temporary).create_root();
  const HANDLE rename_open = CreateFileW(argv[0], DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                         nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  const DWORD error = rename_open == INVALID_HANDLE_VALUE ? GetLastError() : 0;
  printf("guard %d created %d rename-open error %lu\n", launcher_state.tree_guard.load() != nullptr ? 1 : 0,
         launcher_state.tree_created.load(), error);
  return 0;
}

// argv: payload file, target directory, "parent" or "child", optionally "watch" to print
// every directory call. Prints the recorded main library path once the loop returns.
PROBE_SCENARIO(unpack) {
  if (argc < 3) return 100;
  const std::string payload = read_file(argv[0]);
  if (payload.size() < payload_header_size) return 101;
  if (argc > 3 && wcscmp(argv[3], L"watch") == 0) set_directory_call_observer(print_directory_call);
  const UnpackMode mode = wcscmp(argv[2], L"child") == 0 ? UnpackMode::first_name_only : UnpackMode::write_all;
  unpack_payload(payload, argv[1], mode);
  return 0;
}

// argv: target directory, directory count. One file in each of count directories below the
// target, then the same files again; prints how many directory calls each pass made and
// how many of the second pass found their directory existing.
PROBE_SCENARIO(unpack_many_directories) {
  if (argc < 2) return 100;
  const unsigned long count = wcstoul(argv[1], nullptr, 10);
  PayloadRecipe recipe;
  for (unsigned long i = 0; i < count; ++i) {
    recipe.entries.push_back({L"d" + std::to_wstring(i) + L"\\f.bin", pattern_bytes(i % 7, i)});
  }
  const std::vector<unsigned char> bytes = build_payload(recipe);
  const std::string payload(bytes.begin(), bytes.end());
  static unsigned long calls = 0;
  static unsigned long existing = 0;
  set_directory_call_observer([](const wchar_t*, bool, unsigned long error) {
    ++calls;
    if (error == 183 /* already exists */) ++existing;
  });
  unpack_payload(payload, argv[0], UnpackMode::write_all);
  printf("first pass calls %lu existing %lu\n", calls, existing);
  calls = 0;
  existing = 0;
  unpack_payload(payload, argv[0], UnpackMode::write_all);
  printf("second pass calls %lu existing %lu\n", calls, existing);
  return 0;
}
