// The floor of unpacking on this platform: writes the tree of an uncompressed entry
// stream the way the launcher does (one WriteFile per 32,768-byte piece, directories made
// once), with nothing to decode. The zstd tool's decoding time of the same frame plus this
// program's time is the least that any unpacking of the payload can cost here.
// usage: bench_writer STREAM TARGET_DIR   (STREAM: the decompressed entry stream)
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "bench/stamp.h"
#include "payload/format.h"

namespace {

constexpr int exit_code_failed = 3;
constexpr size_t max_known_directories = 1024;

HANDLE stream_file = INVALID_HANDLE_VALUE;
unsigned char stream_buffer[reader_window_size];
DWORD stream_fill = 0;
DWORD stream_cursor = 0;
unsigned char piece[write_piece_size];
wchar_t* known_directories[max_known_directories];
size_t known_count = 0;

[[noreturn]] void fail(const char* what, const wchar_t* subject, DWORD error) {
  fprintf(stderr, "bench_writer: %s '%ls' (error %lu)\n", what, subject, error);
  exit(exit_code_failed);
}

void read_stream(void* destination, size_t count) {
  unsigned char* out = static_cast<unsigned char*>(destination);
  while (count > 0) {
    if (stream_cursor == stream_fill) {
      DWORD got = 0;
      if (!ReadFile(stream_file, stream_buffer, sizeof stream_buffer, &got, nullptr) || got == 0) {
        const DWORD error = GetLastError();
        fail("stream ends early or cannot be read", L"", error);
      }
      stream_fill = got;
      stream_cursor = 0;
    }
    const size_t available = stream_fill - stream_cursor;
    const size_t take = count < available ? count : available;
    memcpy(out, stream_buffer + stream_cursor, take);
    stream_cursor += static_cast<DWORD>(take);
    out += take;
    count -= take;
  }
}

bool is_known_directory(const wchar_t* directory) {
  for (size_t i = 0; i < known_count; ++i) {
    if (wcscmp(known_directories[i], directory) == 0) return true;
  }
  return false;
}

// Makes the directory of path and its missing ancestors; each directory costs a call once.
void ensure_parent_directory(const wchar_t* path) {
  wchar_t directory[entry_path_capacity];
  wcsncpy(directory, path, entry_path_capacity - 1);
  directory[entry_path_capacity - 1] = L'\0';
  wchar_t* separator = wcsrchr(directory, L'\\');
  if (separator == nullptr || separator == directory) return;
  *separator = L'\0';
  if (is_known_directory(directory)) return;
  if (!CreateDirectoryW(directory, nullptr)) {
    const DWORD error = GetLastError();
    if (error == ERROR_PATH_NOT_FOUND) {
      ensure_parent_directory(directory);
      CreateDirectoryW(directory, nullptr);
    } else if (error != ERROR_ALREADY_EXISTS) {
      fail("cannot create directory", directory, error);
    }
  }
  if (known_count < max_known_directories) known_directories[known_count++] = _wcsdup(directory);
}

bool read_name(wchar_t* name) {
  for (size_t length = 0; length < entry_name_capacity; ++length) {
    unsigned char unit[entry_unit_bytes];
    read_stream(unit, sizeof unit);
    name[length] = static_cast<wchar_t>(unit[0] | (unit[1] << 8));
    if (name[length] == L'\0') return length != 0;
  }
  fail("name too long in", L"stream", 0);
}

void write_entry(const wchar_t* path, unsigned long long size) {
  ensure_parent_directory(path);
  const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    fail("cannot open", path, error);
  }
  while (size > 0) {
    const DWORD count = size < write_piece_size ? static_cast<DWORD>(size) : write_piece_size;
    read_stream(piece, count);
    DWORD written = 0;
    if (!WriteFile(file, piece, count, &written, nullptr)) {
      const DWORD error = GetLastError();
      fail("cannot write", path, error);
    }
    size -= count;
  }
  CloseHandle(file);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    fprintf(stderr, "usage: bench_writer STREAM TARGET_DIR\n");
    return exit_code_failed;
  }
  stream_file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
  if (stream_file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    fail("cannot open", argv[1], error);
  }
  static wchar_t name[entry_name_capacity];
  static wchar_t path[entry_path_capacity];
  while (read_name(name)) {
    if (swprintf(path, entry_path_capacity, L"%ls\\%ls", argv[2], name) < 0) {
      fail("path too long for", name, 0);
    }
    unsigned char size_bytes[entry_size_bytes];
    read_stream(size_bytes, sizeof size_bytes);
    unsigned long long size = 0;
    for (size_t i = entry_size_bytes; i-- > 0;) size = (size << 8) | size_bytes[i];
    write_entry(path, size);
  }
  CloseHandle(stream_file);
  write_time_stamp();
  return 0;
}
