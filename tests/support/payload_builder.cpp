#include "support/payload_builder.h"

#include <zstd.h>

#include <stdexcept>

#include "payload/format.h"

namespace {

void append_unit(std::vector<unsigned char>* out, wchar_t unit) {
  out->push_back(static_cast<unsigned char>(unit & 0xFF));
  out->push_back(static_cast<unsigned char>((unit >> 8) & 0xFF));
}

void append_u64(std::vector<unsigned char>* out, uint64_t value) {
  for (size_t i = 0; i < entry_size_bytes; ++i) out->push_back(static_cast<unsigned char>(value >> (8 * i)));
}

void check(size_t result, const char* what) {
  if (ZSTD_isError(result)) throw std::runtime_error(std::string(what) + ": " + ZSTD_getErrorName(result));
}

}  // namespace

std::vector<unsigned char> build_entry_stream(const PayloadRecipe& recipe) {
  std::vector<unsigned char> stream;
  for (const BuilderEntry& entry : recipe.entries) {
    for (wchar_t unit : entry.name) append_unit(&stream, unit);
    append_unit(&stream, L'\0');
    append_u64(&stream, entry.data.size());
    stream.insert(stream.end(), entry.data.begin(), entry.data.end());
  }
  if (recipe.end_marker) append_unit(&stream, L'\0');
  return stream;
}

std::vector<unsigned char> compress_frame(const std::vector<unsigned char>& bytes, const PayloadRecipe& recipe) {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  if (context == nullptr) throw std::runtime_error("ZSTD_createCCtx failed");
  check(ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, recipe.level), "level");
  check(ZSTD_CCtx_setParameter(context, ZSTD_c_windowLog, recipe.window_log), "window log");
  check(ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, recipe.checksum ? 1 : 0), "checksum");
  check(ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, 0), "content size");
  std::vector<unsigned char> frame(ZSTD_compressBound(bytes.size()) + 64);
  ZSTD_outBuffer output{frame.data(), frame.size(), 0};
  ZSTD_inBuffer input{bytes.data(), bytes.size(), 0};
  // Streaming with the end directive: the frame carries no content size, like the packer's.
  size_t remaining = 0;
  do {
    remaining = ZSTD_compressStream2(context, &output, &input, ZSTD_e_end);
    check(remaining, "compress");
  } while (remaining != 0);
  ZSTD_freeCCtx(context);
  frame.resize(output.pos);
  return frame;
}

std::vector<unsigned char> wrap_container(const std::vector<unsigned char>& frame) {
  std::vector<unsigned char> payload;
  payload.reserve(payload_header_size + frame.size() + payload_trailer_alignment + payload_trailer_size);
  payload.push_back(payload_magic_0);
  payload.push_back(payload_magic_1);
  payload.push_back(payload_flag_zstd);
  payload.insert(payload.end(), frame.begin(), frame.end());
  while (payload.size() % payload_trailer_alignment != 0) payload.push_back(0);
  append_u64(&payload, payload.size());
  return payload;
}

std::vector<unsigned char> build_payload(const PayloadRecipe& recipe) {
  return wrap_container(compress_frame(build_entry_stream(recipe), recipe));
}

std::string pattern_bytes(size_t size, uint32_t seed) {
  std::string bytes(size, '\0');
  uint32_t state = seed * 2654435761u + 12345u;
  for (size_t i = 0; i < size; ++i) {
    state = state * 1664525u + 1013904223u;
    bytes[i] = static_cast<char>(state >> 24);
  }
  return bytes;
}
