// Walking the directory to pack: which files go in, under which entry names, in what order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct TreeFile {
  std::u16string name;         // entry name: UTF-16 components joined with a backslash
  std::filesystem::path path;  // where to read it on this host
  uint64_t size;               // as found by the walk; the writer checks it again
};

// True when one host name component can become part of an entry name that Windows can
// create below the target directory. Otherwise *error says why.
bool check_name_component(const std::u16string& component, std::string* error);

// True when a whole entry name is acceptable: short enough for the launcher's buffer,
// every component acceptable, and staying below the directory it is appended to.
bool check_entry_name(const std::u16string& name, std::string* error);

// Every regular file below directory, with its entry name, in no particular order.
// Symbolic links and special files (devices, pipes, sockets) are refused, not followed or
// skipped: a tree that holds one fails with its path in *error.
bool collect_tree(const std::filesystem::path& directory, std::vector<TreeFile>* files,
                  std::string* error);

// The entry name that main_library (relative to directory, or absolute below it) has.
bool resolve_main_name(const std::filesystem::path& directory,
                       const std::filesystem::path& main_library, std::u16string* name,
                       std::string* error);

// Puts the main library first, then the rest sorted by (directory part, file name) in
// UTF-16 code-unit order, so the files of one directory stay together and the order never
// depends on the file system. Fails when no file has main_name.
bool order_entries(std::vector<TreeFile>* files, const std::u16string& main_name,
                   std::string* error);

// UTF-8 text of a UTF-16 name or of a host path, for messages.
std::string describe_name(const std::u16string& name);
std::string describe_path(const std::filesystem::path& path);
