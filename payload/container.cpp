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
