// The decompressing reader: hands out the entry stream in exact byte counts through one
// 131,072-byte output window. Every failure ends the process.
#pragma once

#include <atomic>
#include <cstddef>

#include <zstd.h>

class PayloadReader {
 public:
  // Allocates the window, then the decompression context; "Error, couldn't allocate
  // memory." when either fails.
  void open(const unsigned char* compressed, size_t size);
  // Copies exactly count bytes of the entry stream into destination, or ends the process
  // with "Error, couldn't decode attached data.".
  void read_exact(void* destination, size_t count);
  // Frees the context, then the window.
  void close();

  // Compressed bytes the decoder has taken so far, of compressed_size() in all. Published
  // after each decompression call for a thread that shows the progress; that thread only
  // reads it.
  size_t consumed() const { return consumed_.load(std::memory_order_relaxed); }
  size_t compressed_size() const { return compressed_size_.load(std::memory_order_relaxed); }

  // For tests: how many decompression calls have been made so far.
  size_t decompress_calls() const { return decompress_calls_; }

 private:
  unsigned char* window_ = nullptr;
  ZSTD_DCtx* context_ = nullptr;
  ZSTD_inBuffer input_{nullptr, 0, 0};
  // Between calls: size is the fill level, pos the read cursor.
  ZSTD_outBuffer output_{nullptr, 0, 0};
  size_t decompress_calls_ = 0;
  std::atomic<size_t> consumed_{0};
  std::atomic<size_t> compressed_size_{0};
};
