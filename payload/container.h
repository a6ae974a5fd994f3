// Finding the payload in the launcher's own executable and testing its header.
#pragma once

#include <cstddef>
#include <cstdint>

struct PayloadLocation {
  const unsigned char* data;  // first byte of the resource, mapped read-only; never copied
  uint32_t size;              // as SizeofResource reports it
};

// Resource id of type 10 in the own executable, mapped in place; {nullptr, 0} when it cannot
// be found, loaded or locked. Windows only.
PayloadLocation locate_own_resource(uint16_t id);

// Resource 27 of type 10 in the own executable. A payload that cannot be found, loaded or
// locked comes back as {nullptr, 0}, which check_payload_header reports. Windows only.
PayloadLocation locate_payload();

// Ends the process with "Error, couldn't find attached data header." unless the payload
// begins with "VZ" and the flag "Y". Returns the compressed data after the header.
struct CompressedData {
  const unsigned char* data;
  size_t size;
};
CompressedData check_payload_header(const unsigned char* payload, size_t size);

// The option flags of a launcher options record (format.h); 0 for none, a missing record
// (data null) or one too short to hold the flags word.
uint32_t read_launcher_options(const unsigned char* data, size_t size);
