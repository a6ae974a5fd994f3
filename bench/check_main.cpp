// What the damage check of a cached tree costs: the same work as a start that finds a
// tree (read the marker, one attribute query per entry, sizes compared), timed alone.
// Usage: bench_check TREE; prints the entries checked and the milliseconds taken.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "payload/format.h"
#include "payload/tree_marker.h"

namespace {

constexpr int exit_code_failed = 3;

struct CheckState {
  std::wstring tree;
  size_t entries = 0;
};

bool check_entry(const wchar_t* name, uint64_t size, void* context) {
  auto* state = static_cast<CheckState*>(context);
  const std::wstring path = state->tree + L"\\" + name;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
  ++state->entries;
  return ((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) == size;
}

// The digest the marker names, as the marker itself records it.
bool read_recorded_digest(const unsigned char* data, size_t size, wchar_t* digest) {
  const size_t offset = sizeof tree_marker_magic;
  if (size < offset + 2 * (place_digest_units + 1)) return false;
  for (size_t i = 0; i <= place_digest_units; ++i) {
    digest[i] = static_cast<wchar_t>(data[offset + 2 * i] | (data[offset + 2 * i + 1] << 8));
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: bench_check TREE\n");
    return exit_code_failed;
  }
  LARGE_INTEGER frequency, start, end;
  QueryPerformanceFrequency(&frequency);
  QueryPerformanceCounter(&start);
  CheckState state{argv[1]};
  const std::wstring marker = state.tree + L"\\" + tree_marker_name;
  HANDLE file = CreateFileW(marker.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
  LARGE_INTEGER length{};
  if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &length)) {
    fprintf(stderr, "bench_check: no marker in %ls\n", argv[1]);
    return exit_code_failed;
  }
  auto* data = static_cast<unsigned char*>(malloc(static_cast<size_t>(length.QuadPart)));
  DWORD read = 0;
  ReadFile(file, data, static_cast<DWORD>(length.QuadPart), &read, nullptr);
  CloseHandle(file);
  wchar_t digest[place_digest_units + 1];
  const bool complete = read_recorded_digest(data, read, digest) &&
                        walk_tree_marker(data, read, digest, check_entry, &state);
  QueryPerformanceCounter(&end);
  printf("%zu %.3f %s\n", state.entries, 1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart,
         complete ? "complete" : "damaged");
  free(data);
  return complete ? 0 : exit_code_failed;
}
