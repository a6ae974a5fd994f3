// Fuzz target: PayloadReader::read_exact with request sizes taken from the input, checked
// against an independent decode of the same bytes.
//
// Input: byte 0 gives the number of request sizes (1 to 16), then 3 bytes per size
// (little-endian, reduced to at most three windows, so requests span window ends), then
// the compressed data itself, without the container header. The sizes are requested once
// each, in order, until the data budget is reached or the reader fails.
#include <cstdlib>
#include <cstring>

#include <zstd.h>

#include "fuzz/fuzz_diag.h"
#include "fuzz/fuzz_target.h"
#include "payload/format.h"
#include "payload/reader.h"

namespace {

constexpr size_t max_request_sizes = 16;
constexpr size_t request_size_bytes = 3;
constexpr size_t max_request = 3 * reader_window_size;
constexpr size_t data_budget = 4u << 20;
// The reference decodes this far beyond the budget: the reader decodes at most one window
// ahead of what it hands out, so a reference that gets this far without an error proves
// that every request within the budget can be served.
constexpr size_t reference_size = data_budget + 2 * reader_window_size;
// Output room per reference call: unlike the reader's window, and small, so that the bytes
// lost with a failing call are few and the byte-by-byte stretch after it stays short.
constexpr size_t reference_step = 4096;

FuzzOutcome outcome = FuzzOutcome::rejected;

struct Reference {
  unsigned char* bytes;
  size_t length;  // handed out before the first error or the end of the input
  bool clean;     // the whole reference buffer was filled without an error
};

// Decodes into the reference buffer up to limit, giving the library at most step bytes of
// output room per call. False on a library error; output->pos then counts only the bytes
// of the calls that succeeded, since a failing call may or may not have moved it.
bool decode_in_steps(ZSTD_DCtx* context, ZSTD_inBuffer* input, ZSTD_outBuffer* output,
                     size_t limit, size_t step) {
  while (output->pos < limit) {
    output->size = limit - output->pos < step ? limit : output->pos + step;
    const size_t in_before = input->pos;
    const size_t out_before = output->pos;
    const size_t result = ZSTD_decompressStream(context, output, input);
    if (ZSTD_isError(result)) {
      output->pos = out_before;
      return false;
    }
    if (input->pos == in_before && output->pos == out_before) break;
  }
  return true;
}

// Decodes with contexts of its own and other output sizes than the reader's, so a reader
// that loses, repeats or reorders bytes disagrees with it. The library does not report the
// bytes of a call that ends in an error, so after an error the decode is repeated with the
// same calls up to the last good one and then goes on one byte per call: the reference
// then holds every byte that the library hands out before the error, which is the most
// the reader may deliver.
Reference decode_reference(const unsigned char* data, size_t size) {
  static unsigned char* bytes = static_cast<unsigned char*>(malloc(reference_size));
  ZSTD_DCtx* context = ZSTD_createDCtx();
  ZSTD_inBuffer input{data, size, 0};
  ZSTD_outBuffer output{bytes, 0, 0};
  const bool clean = decode_in_steps(context, &input, &output, reference_size, reference_step);
  ZSTD_freeDCtx(context);
  if (clean) return Reference{bytes, output.pos, output.pos == reference_size};

  const size_t before_error = output.pos;
  context = ZSTD_createDCtx();
  input = ZSTD_inBuffer{data, size, 0};
  output = ZSTD_outBuffer{bytes, 0, 0};
  if (!decode_in_steps(context, &input, &output, before_error, reference_step)) {
    report_finding("reference decode not repeatable");
  }
  decode_in_steps(context, &input, &output, reference_size, 1);
  ZSTD_freeDCtx(context);
  return Reference{bytes, output.pos, false};
}

size_t parse_request_sizes(const uint8_t* data, size_t size, size_t* sizes, size_t* count) {
  if (size < 1) return 0;
  *count = data[0] % max_request_sizes + 1;
  const size_t header = 1 + *count * request_size_bytes;
  if (size < header) return 0;
  for (size_t i = 0; i < *count; ++i) {
    const uint8_t* field = data + 1 + i * request_size_bytes;
    const size_t value = field[0] | (field[1] << 8) | (static_cast<size_t>(field[2]) << 16);
    sizes[i] = value % (max_request + 1);
  }
  return header;
}

// Issues the requests; every byte handed out must equal the reference's byte at the same
// stream offset. Returns the total that the requests asked for, the failing one included.
size_t issue_requests(PayloadReader& reader, const Reference& reference, const size_t* sizes,
                      size_t count) {
  static unsigned char buffer[max_request];
  size_t delivered = 0;
  for (size_t i = 0; i < count; ++i) {
    const size_t request = sizes[i];
    if (delivered + request > data_budget) {
      outcome = FuzzOutcome::budget_reached;
      return delivered;
    }
    try {
      reader.read_exact(buffer, request);
    } catch (const ReportedFailure&) {
      return delivered + request;
    }
    if (delivered + request > reference.length) report_finding("reader gave bytes the reference did not");
    if (memcmp(buffer, reference.bytes + delivered, request) != 0) report_finding("reader bytes differ");
    delivered += request;
  }
  outcome = FuzzOutcome::completed;
  return delivered;
}

}  // namespace

FuzzOutcome last_fuzz_outcome() {
  return outcome;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  outcome = FuzzOutcome::rejected;
  size_t sizes[max_request_sizes];
  size_t count = 0;
  const size_t header = parse_request_sizes(data, size, sizes, &count);
  if (header == 0) return 0;
  const unsigned char* compressed = data + header;
  const size_t compressed_size = size - header;
  const Reference reference = decode_reference(compressed, compressed_size);

  PayloadReader reader;
  size_t asked = 0;
  try {
    reader.open(compressed, compressed_size);
    asked = issue_requests(reader, reference, sizes, count);
  } catch (const ReportedFailure&) {
    report_finding("reader could not be opened");
  }
  reader.close();
  if (outcome == FuzzOutcome::rejected && reference.clean && asked <= data_budget) {
    report_finding("reader failed where the reference decoded cleanly");
  }
  return 0;
}
