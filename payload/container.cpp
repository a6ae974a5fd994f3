#include "payload/container.h"

#include "diag/diag.h"
#include "diag/messages.h"
#include "payload/format.h"

CompressedData check_payload_header(const unsigned char* payload, size_t size) {
  if (payload == nullptr || size < payload_header_size || payload[0] != payload_magic_0 ||
      payload[1] != payload_magic_1 || payload[2] != payload_flag_zstd) {
    exit_with_message(message_header_not_found);
  }
  return CompressedData{payload + payload_header_size, size - payload_header_size};
}

uint32_t read_launcher_options(const unsigned char* data, size_t size) {
  if (data == nullptr || size < options_flags_bytes) return 0;
  uint32_t flags = 0;
  for (size_t i = 0; i < options_flags_bytes; ++i) flags |= static_cast<uint32_t>(data[i]) << (8 * i);
  return flags;
}
