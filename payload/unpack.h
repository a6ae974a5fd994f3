// The entry loop: turns the entry stream into files below the target directory.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

class PayloadReader;

enum class UnpackMode {
  write_all,        // parent role: every entry, up to the end marker
  first_name_only,  // child role: leave once the first entry's path is recorded
};

// Reads entries from reader and writes them below target_directory. The first entry's full
// path is copied into main_library_path (main_library_path_capacity units, empty on entry).
// In first_name_only mode returns right after that (or at an end marker, leaving
// main_library_path empty).
// A name that could leave the target directory (leading separator, colon, ".." component)
// or has 1,024 units or more is a damaged payload: "Error, couldn't decode attached data.".
// A first path too long for main_library_path is recorded nowhere: write_all goes on and
// never takes a later entry for the main library; first_name_only ends with "Error, load
// DLL." and error 206 (the file name is too long), as the library could not be loaded.
// recorder, when given, hears every entry's name and size before its file is written.
using EntryRecorder = void (*)(const wchar_t* name, uint64_t size);

// How the tree itself is made (write_all mode). The caller owns these decisions; the loop
// only carries them out.
struct UnpackTree {
  // Called once, right before the first file's directory work: creates the target
  // directory itself, or ends the process. A payload refused before its first file thus
  // leaves nothing behind. Null: the target directory is made like any other level.
  void (*create_root)() = nullptr;
  // Given to every directory and file the loop creates below the target directory; null:
  // the system's default for each.
  SECURITY_ATTRIBUTES* security = nullptr;
  // Given each file once all its bytes are written, to flush and close; null: closed at
  // once.
  void (*finish_file)(HANDLE file) = nullptr;
};

void unpack_entries(PayloadReader& reader, const wchar_t* target_directory, wchar_t* main_library_path,
                    UnpackMode mode, EntryRecorder recorder = nullptr, const UnpackTree& tree = UnpackTree{});

// Makes sure the directory that holds path exists, creating missing levels with security
// (null: the system's default). True when it does at the end.
bool ensure_parent_directory(const wchar_t* path, SECURITY_ATTRIBUTES* security = nullptr);
// Makes sure one directory exists (its parent assumed present), through the memo of known
// directories seeded with the "{HOME}" expansion; a directory it creates gets security.
bool create_directory_cached(const wchar_t* directory, SECURITY_ATTRIBUTES* security = nullptr);

// Watches every CreateDirectoryW call that create_directory_cached makes: the directory,
// whether the call succeeded, and its last error on failure (0 on success). Null stops
// watching. The directory work is the same with or without an observer.
using DirectoryCallObserver = void (*)(const wchar_t* directory, bool created, unsigned long error);
void set_directory_call_observer(DirectoryCallObserver observer);
