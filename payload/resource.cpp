#include <windows.h>

#include "payload/container.h"
#include "payload/format.h"

PayloadLocation locate_own_resource(uint16_t id) {
  HRSRC resource = FindResourceA(nullptr, MAKEINTRESOURCEA(id), MAKEINTRESOURCEA(payload_resource_type));
  if (resource == nullptr) return PayloadLocation{nullptr, 0};
  // Resource handles are not real HGLOBALs: nothing to free or unlock later.
  HGLOBAL loaded = LoadResource(nullptr, resource);
  if (loaded == nullptr) return PayloadLocation{nullptr, 0};
  const void* data = LockResource(loaded);
  if (data == nullptr) return PayloadLocation{nullptr, 0};
  return PayloadLocation{static_cast<const unsigned char*>(data),
                         static_cast<uint32_t>(SizeofResource(nullptr, resource))};
}

PayloadLocation locate_payload() {
  return locate_own_resource(payload_resource_id);
}
