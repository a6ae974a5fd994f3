#include "tools/pack/identity.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>

const char* const execution_levels[execution_level_count] = {"asInvoker", "highestAvailable", "requireAdministrator"};
const SubsystemName subsystem_names[subsystem_name_count] = {{"console", subsystem_console},
                                                             {"windows", subsystem_windows}};

namespace {

constexpr size_t version_quad_parts = 4;
constexpr unsigned long max_version_part = 0xFFFF;
constexpr size_t max_version_part_digits = 5;
constexpr char32_t max_code_point = 0x10FFFF;
constexpr char32_t surrogate_first = 0xD800;
constexpr char32_t surrogate_last = 0xDFFF;
constexpr char32_t first_supplementary = 0x10000;

const std::string execution_level_element = "requestedExecutionLevel";
const std::string level_attribute = "level";

bool fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

bool is_xml_space(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Where the markup that holds no element starts and how it ends: comments, CDATA,
// processing instructions, declarations and end tags.
struct SkippedMarkup {
  const char* opening;
  const char* closing;
};
constexpr SkippedMarkup skipped_markup[] = {
    {"<!--", "-->"}, {"<![CDATA[", "]]>"}, {"<?", "?>"}, {"<!", ">"}, {"</", ">"}};

// The end (one past '>') of the start tag at begin, quotes respected; npos when unclosed.
size_t find_tag_end(const std::string& xml, size_t begin) {
  char quote = 0;
  for (size_t i = begin + 1; i < xml.size(); ++i) {
    if (quote != 0) {
      if (xml[i] == quote) quote = 0;
    } else if (xml[i] == '"' || xml[i] == '\'') {
      quote = xml[i];
    } else if (xml[i] == '>') {
      return i + 1;
    }
  }
  return std::string::npos;
}

// Start tags (begin, end) whose local name (after any prefix) is name, outside comments,
// CDATA and the like, so that a commented-out element is never changed.
bool find_start_tags(const std::string& xml, const std::string& name,
                     std::vector<std::pair<size_t, size_t>>* tags) {
  for (size_t at = xml.find('<'); at != std::string::npos; at = xml.find('<', at)) {
    bool skipped = false;
    for (const SkippedMarkup& markup : skipped_markup) {
      if (xml.compare(at, strlen(markup.opening), markup.opening) != 0) continue;
      const size_t close = xml.find(markup.closing, at + strlen(markup.opening));
      if (close == std::string::npos) return false;
      at = close + strlen(markup.closing);
      skipped = true;
      break;
    }
    if (skipped) continue;
    const size_t end = find_tag_end(xml, at);
    if (end == std::string::npos) return false;
    size_t name_end = at + 1;
    while (name_end < end - 1 && !is_xml_space(xml[name_end]) && xml[name_end] != '/') ++name_end;
    std::string tag_name = xml.substr(at + 1, name_end - at - 1);
    const size_t colon = tag_name.rfind(':');
    if (colon != std::string::npos) tag_name.erase(0, colon + 1);
    if (tag_name == name) tags->emplace_back(at, end);
    at = end;
  }
  return true;
}

// The value span of attribute name in the start tag [begin, end); false when it has none.
bool find_attribute_value(const std::string& xml, size_t begin, size_t end, const std::string& name,
                          size_t* value_begin, size_t* value_end) {
  size_t i = begin + 1;
  while (i < end && !is_xml_space(xml[i]) && xml[i] != '/' && xml[i] != '>') ++i;
  while (i < end) {
    while (i < end && is_xml_space(xml[i])) ++i;
    const size_t name_begin = i;
    while (i < end && xml[i] != '=' && !is_xml_space(xml[i]) && xml[i] != '/' && xml[i] != '>') ++i;
    const std::string attribute = xml.substr(name_begin, i - name_begin);
    while (i < end && is_xml_space(xml[i])) ++i;
    if (attribute.empty() || i >= end || xml[i] != '=') return false;
    ++i;
    while (i < end && is_xml_space(xml[i])) ++i;
    if (i >= end || (xml[i] != '"' && xml[i] != '\'')) return false;
    const size_t close = xml.find(xml[i], i + 1);
    if (close == std::string::npos || close >= end) return false;
    if (attribute == name) {
      *value_begin = i + 1;
      *value_end = close;
      return true;
    }
    i = close + 1;
  }
  return false;
}

bool is_resource(const ResourceItem& item, uint16_t type, uint16_t id) {
  return !item.type.is_name && item.type.id == type && !item.name.is_name && item.name.id == id;
}

bool add_string(const std::optional<std::string>& value, const char16_t* key, const char* option, VersionEdit* edit,
                std::string* error) {
  if (!value) return true;
  std::u16string text;
  if (!utf8_to_utf16(*value, &text)) return fail(error, std::string("the text of ") + option + " is not valid UTF-8");
  edit->strings.emplace_back(key, text);
  return true;
}

bool build_version_edit(const AppIdentity& identity, VersionEdit* edit, std::string* error) {
  edit->file_version = identity.file_version;
  edit->product_version = identity.product_version;
  if (identity.file_version) edit->strings.emplace_back(u"FileVersion", format_version_quad(*identity.file_version));
  if (identity.product_version) {
    edit->strings.emplace_back(u"ProductVersion", format_version_quad(*identity.product_version));
  }
  return add_string(identity.product_name, u"ProductName", "--product-name", edit, error) &&
         add_string(identity.company, u"CompanyName", "--company", edit, error) &&
         add_string(identity.description, u"FileDescription", "--description", edit, error) &&
         add_string(identity.copyright, u"LegalCopyright", "--copyright", edit, error) &&
         add_string(identity.original_filename, u"OriginalFilename", "--original-filename", edit, error);
}

// Every language of resource type/id through change; false when the stub has none.
bool edit_each(std::vector<ResourceItem>* items, uint16_t type, uint16_t id, const char* what,
               const std::function<bool(const Bytes&, Bytes*, std::string*)>& change, std::string* error) {
  bool found = false;
  for (ResourceItem& item : *items) {
    if (!is_resource(item, type, id)) continue;
    found = true;
    Bytes changed;
    if (!change(item.data, &changed, error)) return fail(error, std::string("the stub's ") + what + ": " + *error);
    item.data = std::move(changed);
  }
  if (!found) {
    return fail(error, std::string("the stub has no ") + what + " (resource " + std::to_string(type) + "/" +
                           std::to_string(id) + ")");
  }
  return true;
}

bool has_version_change(const AppIdentity& identity) {
  return identity.product_name || identity.product_version || identity.file_version || identity.company ||
         identity.description || identity.copyright || identity.original_filename;
}

}  // namespace

bool parse_version_quad(const std::string& text, VersionQuad* quad) {
  size_t at = 0;
  for (size_t part = 0; part < version_quad_parts; ++part) {
    if (part > 0) {
      if (at >= text.size() || text[at] != '.') return false;
      ++at;
    }
    const size_t begin = at;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
    if (at == begin || at - begin > max_version_part_digits) return false;
    const unsigned long value = strtoul(text.substr(begin, at - begin).c_str(), nullptr, 10);
    if (value > max_version_part) return false;
    (*quad)[part] = static_cast<uint16_t>(value);
  }
  return at == text.size();
}

bool is_execution_level(const std::string& text) {
  for (const char* level : execution_levels) {
    if (text == level) return true;
  }
  return false;
}

bool utf8_to_utf16(const std::string& text, std::u16string* out) {
  out->clear();
  for (size_t i = 0; i < text.size();) {
    const unsigned char lead = static_cast<unsigned char>(text[i]);
    const size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || i + length > text.size()) return false;
    char32_t point = length == 1 ? lead : lead & (0xFF >> (length + 1));
    for (size_t k = 1; k < length; ++k) {
      const unsigned char next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      point = (point << 6) | (next & 0x3F);
    }
    static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (point < smallest[length] || point > max_code_point || (point >= surrogate_first && point <= surrogate_last)) {
      return false;
    }
    if (point >= first_supplementary) {
      point -= first_supplementary;
      out->push_back(static_cast<char16_t>(surrogate_first + (point >> 10)));
      out->push_back(static_cast<char16_t>(0xDC00 + (point & 0x3FF)));
    } else {
      out->push_back(static_cast<char16_t>(point));
    }
    i += length;
  }
  return true;
}

namespace {

// The span of the level value in the manifest's one requestedExecutionLevel element;
// *none tells a manifest without such an element from other failures.
bool find_execution_level(const Bytes& manifest, size_t* value_begin, size_t* value_end, bool* none,
                          std::string* error) {
  const std::string xml(manifest.begin(), manifest.end());
  if (xml.find('\0') != std::string::npos) return fail(error, "not UTF-8 text (UTF-16?)");
  std::vector<std::pair<size_t, size_t>> tags;
  if (!find_start_tags(xml, execution_level_element, &tags)) return fail(error, "unclosed markup in the XML");
  *none = tags.empty();
  if (tags.size() != 1) {
    return fail(error, std::to_string(tags.size()) + " " + execution_level_element + " elements, not one");
  }
  if (!find_attribute_value(xml, tags[0].first, tags[0].second, level_attribute, value_begin, value_end)) {
    return fail(error, execution_level_element + " has no level attribute");
  }
  return true;
}

}  // namespace

bool read_execution_level(const Bytes& manifest, std::string* level, std::string* error) {
  size_t value_begin = 0;
  size_t value_end = 0;
  bool none = false;
  if (!find_execution_level(manifest, &value_begin, &value_end, &none, error)) {
    // Windows starts an exe whose manifest requests no level as its caller.
    if (!none) return false;
    *level = "asInvoker";
    return true;
  }
  level->assign(manifest.begin() + static_cast<std::ptrdiff_t>(value_begin),
                manifest.begin() + static_cast<std::ptrdiff_t>(value_end));
  return true;
}

bool set_execution_level(const Bytes& manifest, const std::string& level, Bytes* out, std::string* error) {
  size_t value_begin = 0;
  size_t value_end = 0;
  bool none = false;
  if (!find_execution_level(manifest, &value_begin, &value_end, &none, error)) return false;
  out->assign(manifest.begin(), manifest.begin() + static_cast<std::ptrdiff_t>(value_begin));
  out->insert(out->end(), level.begin(), level.end());
  out->insert(out->end(), manifest.begin() + static_cast<std::ptrdiff_t>(value_end), manifest.end());
  return true;
}

bool apply_identity(const AppIdentity& identity, std::vector<ResourceItem>* items, std::string* error) {
  if (!identity.icon.empty() && !replace_icon_group(items, application_icon_group, identity.icon, error)) {
    return false;
  }
  if (has_version_change(identity)) {
    VersionEdit edit;
    if (!build_version_edit(identity, &edit, error)) return false;
    const auto change = [&](const Bytes& in, Bytes* out, std::string* fault) {
      return edit_version_resource(in, edit, out, fault);
    };
    if (!edit_each(items, resource_type_version, application_version_id, "version resource", change, error)) {
      return false;
    }
  }
  if (!identity.execution_level.empty()) {
    if (!is_execution_level(identity.execution_level)) {
      return fail(error, "unknown execution level '" + identity.execution_level + "'");
    }
    const auto change = [&](const Bytes& in, Bytes* out, std::string* fault) {
      return set_execution_level(in, identity.execution_level, out, fault);
    };
    return edit_each(items, resource_type_manifest, application_manifest_id, "manifest", change, error);
  }
  return true;
}

std::string describe_subsystem(uint16_t value) {
  for (const SubsystemName& subsystem : subsystem_names) {
    if (subsystem.value == value) return subsystem.name;
  }
  return "other (" + std::to_string(value) + ")";
}

bool apply_subsystem(const AppIdentity& identity, Bytes* exe, std::string* error) {
  if (identity.subsystem.empty()) return true;
  for (const SubsystemName& subsystem : subsystem_names) {
    if (identity.subsystem == subsystem.name) return write_subsystem(exe, subsystem.value, error);
  }
  return fail(error, "unknown subsystem '" + identity.subsystem + "'");
}

bool is_default_identity(const AppIdentity& identity) {
  return identity.icon.empty() && !has_version_change(identity) && identity.execution_level.empty() &&
         identity.subsystem.empty();
}
