// Payloads built by hand for tests: any names and sizes, hostile ones included (which the
// packer refuses to write), compressed with libzstd and wrapped in the container.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct BuilderEntry {
  std::wstring name;  // written unit by unit as UTF-16LE, then a 0 unit; never checked
  std::string data;   // the file's bytes
};

struct PayloadRecipe {
  std::vector<BuilderEntry> entries;
  bool end_marker = true;   // false: the stream simply stops after the last entry
  bool checksum = false;    // a content checksum in the frame
  int window_log = 27;      // the frame's declared window (ZSTD_c_windowLog)
  int level = 3;
};

// The uncompressed entry stream: name, 0 unit, 64-bit little-endian size, data; end marker.
std::vector<unsigned char> build_entry_stream(const PayloadRecipe& recipe);
// One zstd frame of bytes, without a content size, with the recipe's window and checksum.
std::vector<unsigned char> compress_frame(const std::vector<unsigned char>& bytes, const PayloadRecipe& recipe);
// Header "VZY", the frame, zero bytes up to a multiple of 8, the trailer (length - 8).
std::vector<unsigned char> wrap_container(const std::vector<unsigned char>& frame);
// All three steps.
std::vector<unsigned char> build_payload(const PayloadRecipe& recipe);

// Deterministic bytes of a given size, different for each seed (so a mixed-up file shows).
std::string pattern_bytes(size_t size, uint32_t seed);
