#include "tools/pack/launcher_options.h"

#include <algorithm>
#include <cstdio>

#include "payload/container.h"
#include "payload/format.h"

namespace {

bool is_options_resource(const ResourceItem& item) {
  return !item.type.is_name && item.type.id == payload_resource_type && !item.name.is_name &&
         item.name.id == options_resource_id;
}

}  // namespace

std::vector<ResourceItem> make_options_resources(uint32_t flags) {
  if (flags == 0) return {};
  ResourceItem item;
  item.type.id = payload_resource_type;
  item.name.id = options_resource_id;
  item.language.id = payload_resource_language;
  for (size_t i = 0; i < options_flags_bytes; ++i) item.data.push_back(static_cast<unsigned char>(flags >> (8 * i)));
  return {item};
}

void set_options_resources(const std::vector<ResourceItem>& options, std::vector<ResourceItem>* items) {
  items->erase(std::remove_if(items->begin(), items->end(), is_options_resource), items->end());
  items->insert(items->end(), options.begin(), options.end());
}

uint32_t read_exe_options(const Bytes& image) {
  size_t offset = 0;
  size_t size = 0;
  std::string ignored;
  if (!locate_resource(image, payload_resource_type, options_resource_id, &offset, &size, &ignored)) return 0;
  return read_launcher_options(image.data() + offset, size);
}

std::string describe_options(uint32_t flags) {
  std::string text = (flags & option_progress_window) != 0 ? "progress-window" : "";
  const uint32_t unknown = flags & ~option_progress_window;
  if (unknown != 0) {
    char word[16];
    snprintf(word, sizeof word, "0x%08x", static_cast<unsigned>(unknown));
    text += (text.empty() ? "" : " ") + std::string("unknown ") + word;
  }
  return text;
}
