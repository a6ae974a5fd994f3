// Scenarios for finding the payload in the probe's own executable: a test packs a copy of
// the probe with tavrin-pack's library and asks that copy what it finds.
#include <cinttypes>
#include <cstdio>

#include "payload/container.h"
#include "probe/probe.h"

namespace {

constexpr uint64_t fnv_offset_basis = 0xCBF29CE484222325;
constexpr uint64_t fnv_prime = 0x100000001B3;

uint64_t hash_bytes(const unsigned char* data, size_t size) {
  uint64_t hash = fnv_offset_basis;
  for (size_t i = 0; i < size; ++i) hash = (hash ^ data[i]) * fnv_prime;
  return hash;
}

}  // namespace

// Prints "payload <size> <fnv-1a 64 of the whole resource>" when the header test passes;
// otherwise check_payload_header ends the process with its message.
PROBE_SCENARIO(payload_digest) {
  const PayloadLocation location = locate_payload();
  const CompressedData compressed = check_payload_header(location.data, location.size);
  printf("payload %" PRIu32 " %016" PRIx64 " compressed %zu\n", location.size,
         hash_bytes(location.data, location.size), compressed.size);
  return 0;
}
