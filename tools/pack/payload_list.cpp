#include "tools/pack/payload_list.h"

#include <algorithm>
#include <fstream>
#include <memory>
#include <system_error>

#include <zstd.h>

#include "payload/format.h"
#include "tools/pack/pe_resources.h"
#include "tools/pack/tree.h"

namespace {

struct DCtxDeleter {
  void operator()(ZSTD_DCtx* context) const { ZSTD_freeDCtx(context); }
};

// Hands out the decoded stream in exact counts, like the launcher's reader, but reports
// every fault to its caller.
class StreamDecoder {
 public:
  StreamDecoder(const unsigned char* frame, size_t size, std::string* error)
      : input_{frame, size, 0}, error_(error) {}

  bool open() {
    context_.reset(ZSTD_createDCtx());
    if (!context_) return fail("cannot allocate a decompression context");
    const size_t result =
        ZSTD_DCtx_setParameter(context_.get(), ZSTD_d_windowLogMax, payload_window_log);
    if (ZSTD_isError(result)) return fail(ZSTD_getErrorName(result));
    window_.resize(ZSTD_DStreamOutSize());
    return true;
  }

  bool read(void* destination, size_t count) {
    unsigned char* out = static_cast<unsigned char*>(destination);
    while (count > 0) {
      const size_t available = filled_ - cursor_;
      if (available > 0) {
        const size_t take = count < available ? count : available;
        std::copy(window_.data() + cursor_, window_.data() + cursor_ + take, out);
        cursor_ += take;
        out += take;
        count -= take;
        continue;
      }
      if (frame_done_) return fail("the frame ends before the entry stream's end marker");
      if (!refill()) return false;
    }
    return true;
  }

  // After the end marker: the frame must end with no further decoded byte.
  bool finish() {
    if (filled_ != cursor_) return fail("decoded data follows the end marker");
    while (!frame_done_) {
      if (!refill()) return false;
      if (filled_ != 0) return fail("decoded data follows the end marker");
    }
    return true;
  }

  size_t consumed() const { return input_.pos; }

 private:
  // A call that fills the window may hold more decoded bytes back, so it is followed by
  // another call even when every input byte has been consumed.
  bool refill() {
    if (input_.pos >= input_.size && !window_full_) {
      return fail("the data ends inside the frame");
    }
    ZSTD_outBuffer output{window_.data(), window_.size(), 0};
    const size_t result = ZSTD_decompressStream(context_.get(), &output, &input_);
    if (ZSTD_isError(result)) {
      return fail(std::string("the frame cannot be decoded: ") + ZSTD_getErrorName(result));
    }
    window_full_ = output.pos == output.size;
    frame_done_ = result == 0;
    filled_ = output.pos;
    cursor_ = 0;
    return true;
  }

  bool fail(const std::string& text) {
    *error_ = text;
    return false;
  }

  std::unique_ptr<ZSTD_DCtx, DCtxDeleter> context_;
  ZSTD_inBuffer input_;
  std::vector<unsigned char> window_;
  size_t filled_ = 0;
  size_t cursor_ = 0;
  bool window_full_ = false;
  bool frame_done_ = false;
  std::string* error_;
};

uint64_t read_little_endian(const unsigned char* bytes, size_t count) {
  uint64_t value = 0;
  for (size_t i = count; i-- > 0;) value = (value << 8) | bytes[i];
  return value;
}

// Fills *name; false at the end marker (*error empty) or on a fault (*error set).
bool read_listed_name(StreamDecoder* decoder, std::u16string* name, std::string* error) {
  name->clear();
  for (;;) {
    unsigned char unit[entry_unit_bytes];
    if (!decoder->read(unit, sizeof unit)) return false;
    const char16_t value = static_cast<char16_t>(read_little_endian(unit, sizeof unit));
    if (value == 0) break;
    if (name->size() + 1 >= entry_name_capacity) {
      *error = "an entry name is longer than " + std::to_string(entry_name_capacity - 1) +
               " UTF-16 units";
      return false;
    }
    name->push_back(value);
  }
  if (name->empty()) return false;
  return check_entry_name(*name, error);
}

bool pass_entry_data(StreamDecoder* decoder, uint64_t size, PayloadVisitor* visitor,
                     std::string* error) {
  unsigned char piece[write_piece_size];
  while (size > 0) {
    const size_t take = size < sizeof piece ? static_cast<size_t>(size) : sizeof piece;
    if (!decoder->read(piece, take) || !visitor->entry_data(piece, take, error)) return false;
    size -= take;
  }
  return true;
}

bool read_entries(StreamDecoder* decoder, PayloadVisitor* visitor, std::string* error) {
  for (;;) {
    std::u16string name;
    if (!read_listed_name(decoder, &name, error)) return error->empty();
    unsigned char size_field[entry_size_bytes];
    if (!decoder->read(size_field, sizeof size_field)) return false;
    const uint64_t size = read_little_endian(size_field, sizeof size_field);
    if (!visitor->begin_entry(name, size, error) || !pass_entry_data(decoder, size, visitor, error) ||
        !visitor->end_entry(error)) {
      return false;
    }
  }
}

// Keeps names and sizes, and none of the data.
class ListingVisitor : public PayloadVisitor {
 public:
  explicit ListingVisitor(std::vector<ListedEntry>* entries) : entries_(entries) {}
  bool begin_entry(const std::u16string& name, uint64_t size, std::string*) override {
    entries_->push_back(ListedEntry{name, size});
    return true;
  }
  bool entry_data(const unsigned char*, size_t, std::string*) override { return true; }
  bool end_entry(std::string*) override { return true; }

 private:
  std::vector<ListedEntry>* entries_;
};

// Magic, flag and trailer; on success *frame_size covers the frame and alignment bytes.
bool check_container(const unsigned char* data, size_t size, size_t* frame_size,
                     std::string* error) {
  if (size < payload_header_size + payload_trailer_size || data[0] != payload_magic_0 ||
      data[1] != payload_magic_1 || data[2] != payload_flag_zstd) {
    *error = "no payload header (\"VZY\") at the start";
    return false;
  }
  const size_t trailer_offset = size - payload_trailer_size;
  if (read_little_endian(data + trailer_offset, payload_trailer_size) != trailer_offset ||
      trailer_offset % payload_trailer_alignment != 0) {
    *error = "the length trailer does not match the payload's size";
    return false;
  }
  *frame_size = trailer_offset - payload_header_size;
  return true;
}

// Between the frame's end and the trailer: zero bytes, fewer than one alignment unit
// (or exactly one, which a writer may add when the frame already ends aligned).
bool check_alignment_bytes(const unsigned char* begin, const unsigned char* end,
                           std::string* error) {
  const bool zero = std::all_of(begin, end, [](unsigned char byte) { return byte == 0; });
  if (!zero || static_cast<size_t>(end - begin) > payload_trailer_alignment) {
    *error = "unexpected bytes between the frame and the trailer";
    return false;
  }
  return true;
}

}  // namespace

bool list_payload(const unsigned char* data, size_t size, std::vector<ListedEntry>* entries,
                  std::string* error) {
  entries->clear();
  ListingVisitor visitor(entries);
  return visit_payload(data, size, &visitor, error);
}

bool visit_payload(const unsigned char* data, size_t size, PayloadVisitor* visitor, std::string* error) {
  error->clear();
  size_t frame_size = 0;
  if (!check_container(data, size, &frame_size, error)) return false;
  const unsigned char* frame = data + payload_header_size;
  StreamDecoder decoder(frame, frame_size, error);
  if (!decoder.open() || !read_entries(&decoder, visitor, error) || !decoder.finish()) {
    return false;
  }
  return check_alignment_bytes(frame + decoder.consumed(), frame + frame_size, error);
}

bool select_payload(const std::vector<unsigned char>& input, const unsigned char** data, size_t* size,
                    std::string* error) {
  const bool is_executable = input.size() >= 2 && input[0] == 'M' && input[1] == 'Z';
  if (!is_executable) {
    *data = input.data();
    *size = input.size();
    return true;
  }
  size_t offset = 0;
  if (!locate_resource(input, payload_resource_type, payload_resource_id, &offset, size, error)) {
    *error = "an executable without a payload: " + *error;
    return false;
  }
  *data = input.data() + offset;
  return true;
}

bool read_whole_file(const std::filesystem::path& path, std::vector<unsigned char>* bytes,
                     std::string* error) {
  std::error_code code;
  std::ifstream stream;
  if (std::filesystem::is_regular_file(path, code)) {
    stream.open(path, std::ios::binary | std::ios::ate);
  }
  if (!stream.is_open()) {
    *error = "cannot open '" + describe_path(path) + "'";
    return false;
  }
  const std::streamoff size = stream.tellg();
  bytes->resize(size > 0 ? static_cast<size_t>(size) : 0);
  stream.seekg(0);
  stream.read(reinterpret_cast<char*>(bytes->data()), static_cast<std::streamsize>(bytes->size()));
  if (size < 0 || !stream) {
    *error = "cannot read '" + describe_path(path) + "'";
    return false;
  }
  return true;
}
