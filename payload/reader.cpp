#include "payload/reader.h"

#include <cstdlib>
#include <cstring>

#include "diag/diag.h"
#include "payload/format.h"

void PayloadReader::open(const unsigned char* compressed, size_t size) {
  window_ = static_cast<unsigned char*>(malloc(reader_window_size));
  if (window_ == nullptr) exit_allocation_failed();
  context_ = ZSTD_createDCtx();
  if (context_ == nullptr) exit_allocation_failed();
  input_ = ZSTD_inBuffer{compressed, size, 0};
  consumed_.store(0, std::memory_order_relaxed);
  compressed_size_.store(size, std::memory_order_relaxed);
  output_ = ZSTD_outBuffer{window_, 0, 0};
}

void PayloadReader::read_exact(void* destination, size_t count) {
  if (count == 0) return;
  unsigned char* out = static_cast<unsigned char*>(destination);
  // A call that fills the window may leave decoded bytes inside the library; only a
  // further call with free output space drains them, even when all input is consumed.
  bool filled = false;
  while (count > 0) {
    const size_t available = output_.size - output_.pos;
    if (available > 0) {
      const size_t take = count < available ? count : available;
      memcpy(out, window_ + output_.pos, take);
      output_.pos += take;
      out += take;
      count -= take;
      continue;
    }
    if (input_.pos >= input_.size && !filled) exit_decode_failed();
    output_ = ZSTD_outBuffer{window_, reader_window_size, 0};
    const size_t result = ZSTD_decompressStream(context_, &output_, &input_);
    ++decompress_calls_;
    consumed_.store(input_.pos, std::memory_order_relaxed);
    filled = output_.pos == reader_window_size;
    if (ZSTD_isError(result)) exit_decode_failed();
    output_.size = output_.pos;
    output_.pos = 0;
  }
}

void PayloadReader::close() {
  ZSTD_freeDCtx(context_);
  context_ = nullptr;
  free(window_);
  window_ = nullptr;
}
