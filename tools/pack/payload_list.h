// Checking a payload and listing its entries, for `tavrin-pack list`. The decoding here
// returns its errors: the packer never uses the launcher's process-ending paths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

struct ListedEntry {
  std::u16string name;
  uint64_t size;
};

// Checks the whole container (magic, flag, one frame within the declared window, zero
// alignment bytes, a trailer that counts the bytes before it) and the entry stream in it
// (names of acceptable length and form, an end marker, nothing after it). Returns false
// with a one-line reason in *error at the first fault.
bool list_payload(const unsigned char* data, size_t size, std::vector<ListedEntry>* entries,
                  std::string* error);

// The whole file in memory.
bool read_whole_file(const std::filesystem::path& path, std::vector<unsigned char>* bytes,
                     std::string* error);
