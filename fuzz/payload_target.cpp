// Fuzz target: a whole payload as the parent role reads it. The container check, the
// reader and the entry-stream walk: every name through is_safe_entry_name and into a
// bounded path buffer, every size, and the data in write-sized pieces.
#include <cstring>
#include <cwchar>

#include "fuzz/fuzz_diag.h"
#include "fuzz/fuzz_target.h"
#include "paths/bounded.h"
#include "payload/container.h"
#include "payload/entry_stream.h"
#include "payload/format.h"
#include "payload/reader.h"

namespace {

// A declared size can be up to 2^64 - 1, and a few compressed bytes can stand for
// gigabytes: the walk stops after this much file data, so one run stays short.
constexpr uint64_t data_budget = 4u << 20;
constexpr wchar_t target_directory[] = L"C:\\t";

FuzzOutcome outcome = FuzzOutcome::rejected;

bool is_separator(wchar_t unit) {
  return unit == L'\\' || unit == L'/';
}

// The properties a name accepted as safe must have, stated from the outside: no colon,
// no leading separator, and no component that is ".." once trailing spaces are gone.
void check_safe_name(const wchar_t* name) {
  if (wcschr(name, L':') != nullptr) report_finding("safe name with a colon");
  if (is_separator(name[0])) report_finding("safe name with a leading separator");
  const wchar_t* component = name;
  for (const wchar_t* p = name;; ++p) {
    if (*p != L'\0' && !is_separator(*p)) continue;
    const wchar_t* end = p;
    while (end != component && end[-1] == L' ') --end;
    if (end - component == 2 && component[0] == L'.' && component[1] == L'.') {
      report_finding("safe name with a parent component");
    }
    if (*p == L'\0') return;
    component = p + 1;
  }
}

// The name as read: terminated within the buffer, made of 16-bit units only.
void check_name_shape(const wchar_t* name) {
  for (size_t i = 0; i < entry_name_capacity; ++i) {
    if (name[i] == L'\0') return;
    if (static_cast<uint32_t>(name[i]) > 0xFFFF) report_finding("name unit above 16 bits");
  }
  report_finding("name without a terminator in its buffer");
}

// Returns false when the data budget is used up.
bool walk_entries(PayloadReader& reader) {
  static wchar_t name[entry_name_capacity];
  static wchar_t path[entry_path_capacity];
  static unsigned char piece[write_piece_size];
  uint64_t data_seen = 0;
  while (read_entry_name(reader, name, entry_name_capacity)) {
    check_name_shape(name);
    if (is_safe_entry_name(name)) check_safe_name(name);
    copy_bounded(path, target_directory, entry_path_capacity);
    append_bounded(path, L"\\", entry_path_capacity);
    append_bounded(path, name, entry_path_capacity);
    uint64_t remaining = read_entry_size(reader);
    while (remaining > 0) {
      const size_t count = remaining < write_piece_size ? remaining : write_piece_size;
      if (data_seen + count > data_budget) return false;
      reader.read_exact(piece, count);
      remaining -= count;
      data_seen += count;
    }
  }
  return true;
}

}  // namespace

FuzzOutcome last_fuzz_outcome() {
  return outcome;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  outcome = FuzzOutcome::rejected;
  PayloadReader reader;
  try {
    const CompressedData compressed = check_payload_header(data, size);
    reader.open(compressed.data, compressed.size);
    outcome = walk_entries(reader) ? FuzzOutcome::completed : FuzzOutcome::budget_reached;
  } catch (const ReportedFailure&) {
    // Bad input ends with a message and exit code 2 in the launcher: expected here.
  }
  reader.close();
  return 0;
}
