// Fuzz target: the record of a cached tree and the place resource, which the launcher reads
// from files and resources that other programs could have written.
//
// Input: a tree record as it lies on disk. Its own digest (the units after the magic) is
// the one asked for, so that the fuzzer reaches the entries. Property: a record that the
// walk accepts is exactly what the builder writes for the same digest and entries. The
// same bytes also go through the place resource's parser, which must not read past them.
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_target.h"
#include "payload/format.h"
#include "payload/tree_marker.h"

namespace {

FuzzOutcome outcome = FuzzOutcome::rejected;

struct Walked {
  std::vector<std::pair<std::wstring, uint64_t>> entries;
};

bool collect(const wchar_t* name, uint64_t size, void* context) {
  static_cast<Walked*>(context)->entries.push_back({name, size});
  return true;
}

// The digest the record names, or false when the input is too short to hold one.
bool recorded_digest(const uint8_t* data, size_t size, wchar_t* digest) {
  const size_t at = sizeof tree_marker_magic;
  if (size < at + entry_unit_bytes * (place_digest_units + 1)) return false;
  for (size_t i = 0; i <= place_digest_units; ++i) {
    digest[i] = static_cast<wchar_t>(data[at + 2 * i] | (data[at + 2 * i + 1] << 8));
  }
  return true;
}

void check_round_trip(const uint8_t* data, size_t size, const wchar_t* digest, const Walked& walked) {
  TreeMarkerBuilder builder;
  begin_tree_marker(builder, digest);
  for (const auto& [name, entry_size] : walked.entries) add_marker_entry(builder, name.c_str(), entry_size);
  end_tree_marker(builder);
  const bool same = !builder.failed && builder.size == size && memcmp(builder.data, data, size) == 0;
  release_tree_marker(builder);
  if (!same) report_finding("an accepted record differs from the builder's bytes for its entries");
}

}  // namespace

FuzzOutcome last_fuzz_outcome() {
  return outcome;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  outcome = FuzzOutcome::rejected;
  // An exact copy, so that a read past the input is a finding of AddressSanitizer.
  std::vector<uint8_t> input(data, data + size);
  wchar_t spec[place_spec_capacity];
  wchar_t place_digest[place_digest_units + 1];
  wchar_t place_folder[place_spec_capacity];
  parse_place_resource(input.data(), input.size(), spec, place_digest, place_folder);
  wchar_t digest[place_digest_units + 1];
  if (!recorded_digest(input.data(), input.size(), digest)) return 0;
  Walked walked;
  if (walk_tree_marker(input.data(), input.size(), digest, collect, &walked)) {
    check_round_trip(input.data(), input.size(), digest, walked);
    outcome = FuzzOutcome::completed;
  }
  return 0;
}
