#include "tools/pack/payload_writer.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <memory>
#include <system_error>

#include <zstd.h>

#include "payload/format.h"
#include "tools/pack/host_system.h"
#include "tools/pack/tree.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace fs = std::filesystem;

namespace {

// File data goes to the compressor in large pieces: fewer calls, and the files are never
// held whole in memory.
constexpr size_t pack_read_piece_size = 1 << 20;
// Frame header: 4 magic bytes, the descriptor byte, then the window byte (present because
// a frame without a content size is never single-segment).
constexpr size_t frame_header_probe_size = 6;
constexpr size_t frame_descriptor_offset = 4;
constexpr size_t frame_window_offset = 5;
constexpr unsigned char descriptor_content_size_bits = 0xC0;
constexpr unsigned char descriptor_single_segment_bit = 0x20;
constexpr unsigned char descriptor_checksum_bit = 0x04;
constexpr unsigned char descriptor_dictionary_bits = 0x03;
constexpr auto progress_interval = std::chrono::milliseconds(250);
constexpr double progress_megabyte = 1e6;

struct CCtxDeleter {
  void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};
using CompressionContext = std::unique_ptr<ZSTD_CCtx, CCtxDeleter>;

// A progress line on standard error, redrawn in place at most a few times per second.
class ProgressLine {
 public:
  ProgressLine(bool enabled, uint64_t total) : enabled_(enabled), total_(total) {}
  void advance(uint64_t bytes) {
    done_ += bytes;
    const auto now = std::chrono::steady_clock::now();
    if (!enabled_ || now - last_ < progress_interval) return;
    last_ = now;
    draw();
  }
  void finish() {
    if (!enabled_) return;
    draw();
    fputc('\n', stderr);
  }

 private:
  void draw() const {
    const unsigned percent = total_ == 0 ? 100 : static_cast<unsigned>(done_ * 100 / total_);
    fprintf(stderr, "\rtavrin-pack: %.1f / %.1f MB (%u%%)", done_ / progress_megabyte,
            total_ / progress_megabyte, percent);
    fflush(stderr);
  }
  bool enabled_;
  uint64_t total_;
  uint64_t done_ = 0;
  std::chrono::steady_clock::time_point last_{};
};

// The zstd frame, streamed: input in any pieces, output to the sink as it is produced.
class FrameWriter {
 public:
  FrameWriter(const PayloadSink& sink, std::string* error) : sink_(sink), error_(error) {}

  bool configure(const PackRequest& request) {
    context_.reset(ZSTD_createCCtx());
    if (!context_) return fail("cannot allocate a compression context");
    if (!set(ZSTD_c_compressionLevel, request.level, "compression level")) return false;
    if (!set(ZSTD_c_windowLog, payload_window_log, "window size")) return false;
    // Matches across the whole window at every level: the library turns this on by itself
    // only for the slowest levels, and an application's files repeat one another far apart.
    if (!set(ZSTD_c_enableLongDistanceMatching, 1, "long-distance matching")) return false;
    if (!set(ZSTD_c_contentSizeFlag, 0, "content size flag")) return false;
    if (!set(ZSTD_c_checksumFlag, request.checksum ? 1 : 0, "checksum flag")) return false;
    if (!set(ZSTD_c_dictIDFlag, 0, "dictionary flag")) return false;
    if (request.threads > 0 && !set(ZSTD_c_nbWorkers, request.threads, "thread count")) {
      return false;
    }
    output_.resize(ZSTD_CStreamOutSize());
    return true;
  }

  // Never ends the frame: a first call with ZSTD_e_end would let the library learn the
  // size, shrink the window and change the header.
  bool feed(const void* data, size_t size) {
    ZSTD_inBuffer input{data, size, 0};
    while (input.pos < input.size) {
      if (!step(&input, ZSTD_e_continue)) return false;
    }
    return true;
  }

  bool finish() {
    ZSTD_inBuffer input{nullptr, 0, 0};
    do {
      if (!step(&input, ZSTD_e_end)) return false;
    } while (last_result_ != 0);
    return true;
  }

  uint64_t size() const { return size_; }
  const unsigned char* header() const { return header_; }

 private:
  bool set(ZSTD_cParameter parameter, int value, const char* what) {
    const size_t result = ZSTD_CCtx_setParameter(context_.get(), parameter, value);
    if (ZSTD_isError(result)) {
      return fail(std::string("the compressor refuses the ") + what + " " +
                  std::to_string(value) + ": " + ZSTD_getErrorName(result));
    }
    return true;
  }

  bool step(ZSTD_inBuffer* input, ZSTD_EndDirective directive) {
    ZSTD_outBuffer out{output_.data(), output_.size(), 0};
    last_result_ = ZSTD_compressStream2(context_.get(), &out, input, directive);
    if (ZSTD_isError(last_result_)) {
      return fail(std::string("compression failed: ") + ZSTD_getErrorName(last_result_));
    }
    for (size_t i = 0; i < out.pos && size_ + i < frame_header_probe_size; ++i) {
      header_[size_ + i] = output_[i];
    }
    size_ += out.pos;
    return out.pos == 0 || sink_(output_.data(), out.pos, error_);
  }

  bool fail(const std::string& text) {
    *error_ = text;
    return false;
  }

  const PayloadSink& sink_;
  std::string* error_;
  CompressionContext context_;
  std::vector<unsigned char> output_;
  size_t last_result_ = 0;
  uint64_t size_ = 0;
  unsigned char header_[frame_header_probe_size] = {};
};

// The header the launcher's decoder depends on: the declared window, no content size, no
// dictionary, and the checksum exactly when asked for.
bool check_frame_header(const FrameWriter& frame, bool checksum, std::string* error) {
  const unsigned char* header = frame.header();
  uint32_t magic = 0;
  for (size_t i = frame_descriptor_offset; i-- > 0;) magic = (magic << 8) | header[i];
  const unsigned char descriptor = header[frame_descriptor_offset];
  const bool expected = frame.size() >= frame_header_probe_size && magic == zstd_frame_magic &&
                        (descriptor & descriptor_content_size_bits) == 0 &&
                        (descriptor & descriptor_single_segment_bit) == 0 &&
                        (descriptor & descriptor_dictionary_bits) == 0 &&
                        ((descriptor & descriptor_checksum_bit) != 0) == checksum &&
                        header[frame_window_offset] == payload_window_descriptor;
  if (!expected) *error = "the compressor wrote an unexpected frame header";
  return expected;
}

bool feed_file(FrameWriter* frame, const TreeFile& file, std::vector<char>* piece,
               ProgressLine* progress, std::string* error) {
  std::ifstream stream(file.path, std::ios::binary);
  if (!stream) {
    *error = "cannot open '" + describe_name(file.name) + "' for reading";
    return false;
  }
  uint64_t left = file.size;
  while (left > 0) {
    const size_t want = left < piece->size() ? static_cast<size_t>(left) : piece->size();
    stream.read(piece->data(), static_cast<std::streamsize>(want));
    if (static_cast<size_t>(stream.gcount()) != want) {
      *error = "'" + describe_name(file.name) + "' became shorter while it was packed";
      return false;
    }
    if (!frame->feed(piece->data(), want)) return false;
    left -= want;
    progress->advance(want);
  }
  if (stream.peek() != std::ifstream::traits_type::eof()) {
    *error = "'" + describe_name(file.name) + "' grew while it was packed";
    return false;
  }
  return true;
}

void append_little_endian(uint64_t value, size_t bytes, unsigned char* out) {
  for (size_t i = 0; i < bytes; ++i) out[i] = static_cast<unsigned char>(value >> (8 * i));
}

// Name (UTF-16LE and its terminator) and size of one entry.
bool feed_entry_head(FrameWriter* frame, const TreeFile& file) {
  std::vector<unsigned char> head;
  head.reserve((file.name.size() + 1) * entry_unit_bytes + entry_size_bytes);
  for (char16_t unit : file.name) {
    head.push_back(static_cast<unsigned char>(unit & 0xFF));
    head.push_back(static_cast<unsigned char>(unit >> 8));
  }
  head.insert(head.end(), entry_unit_bytes, 0);
  unsigned char size[entry_size_bytes];
  append_little_endian(file.size, entry_size_bytes, size);
  head.insert(head.end(), size, size + entry_size_bytes);
  return frame->feed(head.data(), head.size());
}

bool write_entry_stream(FrameWriter* frame, const std::vector<TreeFile>& files, bool progress,
                        std::string* error) {
  uint64_t total = 0;
  for (const TreeFile& file : files) total += file.size;
  ProgressLine line(progress, total);
  std::vector<char> piece(pack_read_piece_size);
  for (const TreeFile& file : files) {
    if (!feed_entry_head(frame, file)) return false;
    if (!feed_file(frame, file, &piece, &line, error)) return false;
  }
  const unsigned char end_marker[entry_unit_bytes] = {};
  if (!frame->feed(end_marker, sizeof end_marker)) return false;
  line.finish();
  return true;
}

// Zero bytes up to the next multiple of the alignment (none when already aligned), then
// the count of every byte before the trailer.
bool write_trailer(const PayloadSink& sink, uint64_t written, std::string* error) {
  const size_t padding =
      static_cast<size_t>((payload_trailer_alignment - written % payload_trailer_alignment) %
                          payload_trailer_alignment);
  unsigned char tail[payload_trailer_alignment + payload_trailer_size] = {};
  append_little_endian(written + padding, payload_trailer_size, tail + padding);
  return sink(tail, padding + payload_trailer_size, error);
}

bool check_request(const PackRequest& request, std::string* error) {
  if (request.level < pack_min_level || request.level > pack_max_level) {
    *error = "the level must lie between " + std::to_string(pack_min_level) + " and " +
             std::to_string(pack_max_level);
    return false;
  }
  if (request.threads < 0 || request.threads > pack_max_threads) {
    *error = "the thread count must lie between 0 and " + std::to_string(pack_max_threads);
    return false;
  }
  return true;
}

bool replace_file(const fs::path& from, const fs::path& to, std::string* error) {
#ifdef _WIN32
  if (!MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING)) {
    const DWORD code = GetLastError();
    *error = "cannot rename the output into place (error " + std::to_string(code) + ")";
    return false;
  }
#else
  std::error_code code;
  fs::rename(from, to, code);
  if (code) {
    *error = "cannot rename the output into place: " + code.message();
    return false;
  }
#endif
  return true;
}

// An old output inside the directory would be packed into the new one.
bool check_output_outside(const PackRequest& request, std::string* error) {
  std::error_code code;
  const fs::path directory = fs::weakly_canonical(request.directory, code);
  const fs::path output = fs::weakly_canonical(request.output, code);
  if (code) return true;  // the walk reports what is wrong with the directory
  const fs::path relative = output.lexically_relative(directory);
  if (!relative.empty() && *relative.begin() != "..") {
    *error = "the output must not lie inside the directory being packed";
    return false;
  }
  return true;
}

}  // namespace

bool write_payload(const PackRequest& request, const PayloadSink& sink, std::string* error) {
  error->clear();
  if (!check_request(request, error)) return false;
  std::vector<TreeFile> files;
  std::u16string main_name;
  if (!resolve_main_name(request.directory, request.main_library, &main_name, error) ||
      !collect_tree(request.directory, &files, error) ||
      !order_entries(&files, main_name, error)) {
    return false;
  }
  const unsigned char header[payload_header_size] = {payload_magic_0, payload_magic_1,
                                                     payload_flag_zstd};
  if (!sink(header, sizeof header, error)) return false;
  FrameWriter frame(sink, error);
  if (!frame.configure(request) ||
      !write_entry_stream(&frame, files, request.show_progress, error) || !frame.finish() ||
      !check_frame_header(frame, request.checksum, error)) {
    return false;
  }
  return write_trailer(sink, payload_header_size + frame.size(), error);
}

bool build_payload_bytes(const PackRequest& request, std::vector<unsigned char>* out,
                         std::string* error) {
  out->clear();
  const PayloadSink sink = [out](const unsigned char* data, size_t size, std::string*) {
    out->insert(out->end(), data, data + size);
    return true;
  };
  if (write_payload(request, sink, error)) return true;
  out->clear();
  return false;
}

bool write_payload_file(const PackRequest& request, std::string* error) {
  error->clear();
  if (!check_output_outside(request, error)) return false;
  fs::path temporary = request.output;
  temporary += temporary_suffix();
  std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
  if (!stream) {
    *error = "cannot create '" + describe_path(temporary) + "'";
    return false;
  }
  const PayloadSink sink = [&stream](const unsigned char* data, size_t size, std::string* e) {
    stream.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!stream) *e = "cannot write the output";
    return static_cast<bool>(stream);
  };
  bool written = write_payload(request, sink, error);
  stream.flush();
  stream.close();
  if (written && !stream) {
    *error = "cannot write the output";
    written = false;
  }
  if (written) written = replace_file(temporary, request.output, error);
  if (!written) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
  }
  return written;
}
