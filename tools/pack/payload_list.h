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

// Receives a payload's entries in stream order as visit_payload decodes them. A false
// return (with *error set) stops the walk.
class PayloadVisitor {
 public:
  virtual ~PayloadVisitor() = default;
  virtual bool begin_entry(const std::u16string& name, uint64_t size, std::string* error) = 0;
  virtual bool entry_data(const unsigned char* data, size_t size, std::string* error) = 0;
  virtual bool end_entry(std::string* error) = 0;
};

// The checks of list_payload, handing each entry to visitor as it is decoded: a fault that
// lies after an entry is found only after that entry has been handed over.
bool visit_payload(const unsigned char* data, size_t size, PayloadVisitor* visitor, std::string* error);

// The payload that input holds: input itself, or, when it is a Windows executable, the data
// of its resource 10/27 (set to a range of input). False with *error when an executable
// carries none.
bool select_payload(const std::vector<unsigned char>& input, const unsigned char** data, size_t* size,
                    std::string* error);

// The whole file in memory.
bool read_whole_file(const std::filesystem::path& path, std::vector<unsigned char>* bytes,
                     std::string* error);
