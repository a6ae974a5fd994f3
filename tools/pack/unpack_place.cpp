#include "tools/pack/unpack_place.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include "payload/format.h"
#include "tools/pack/payload_list.h"

namespace {

// Long enough for any product name and version; short enough that the tree's path stays
// far from the path limits.
constexpr size_t place_component_max_units = 64;
constexpr char16_t place_replacement = u'_';
constexpr size_t device_name_max_units = 4;  // CON, PRN, AUX, NUL, COM1..9, LPT1..9

bool is_refused_unit(char16_t unit) {
  if (unit < 0x20) return true;
  for (const char16_t refused : std::u16string(u"<>:\"/\\|?*{}~")) {
    if (unit == refused) return true;
  }
  return false;
}

char16_t upper_ascii(char16_t unit) {
  return unit >= u'a' && unit <= u'z' ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

// Windows treats these names as devices whatever extension follows.
bool is_device_name(const std::u16string& component) {
  std::u16string base = component.substr(0, component.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  if (base.size() > device_name_max_units) return false;
  for (char16_t& unit : base) unit = upper_ascii(unit);
  if (base == u"CON" || base == u"PRN" || base == u"AUX" || base == u"NUL") return true;
  return base.size() == 4 && (base.compare(0, 3, u"COM") == 0 || base.compare(0, 3, u"LPT") == 0) &&
         base[3] >= u'1' && base[3] <= u'9';
}

void append_text(Bytes* data, const std::u16string& text) {
  for (const char16_t unit : text) {
    data->push_back(static_cast<unsigned char>(unit & 0xFF));
    data->push_back(static_cast<unsigned char>(unit >> 8));
  }
  data->push_back(0);
  data->push_back(0);
}

std::u16string ascii_to_u16(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

std::string upper_ascii_text(const std::string& text) {
  std::string upper = text;
  for (char& byte : upper) byte = byte >= 'a' && byte <= 'z' ? static_cast<char>(byte - 'a' + 'A') : byte;
  return upper;
}

// The keywords the launcher expands, and those of them that begin an absolute folder.
constexpr const char* spec_keywords[] = {"TEMP", "PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR", "PID",
                                         "HOME", "CACHE_DIR", "PRODUCT", "VERSION", "TIME"};
constexpr const char* absolute_keywords[] = {"TEMP", "PROGRAM", "PROGRAM_BASE", "PROGRAM_DIR", "HOME", "CACHE_DIR"};

bool is_one_of(const std::string& name, const char* const* names, size_t count) {
  for (size_t index = 0; index < count; ++index) {
    if (name == names[index]) return true;
  }
  return false;
}

bool starts_absolute(const std::string& spec, const std::string& first_keyword) {
  if (spec.size() >= 3 && std::isalpha(static_cast<unsigned char>(spec[0])) && spec[1] == ':' && spec[2] == '\\') {
    return true;
  }
  if (spec.compare(0, 2, "\\\\") == 0) return true;
  return spec[0] == '{' &&
         is_one_of(first_keyword, absolute_keywords, sizeof absolute_keywords / sizeof absolute_keywords[0]);
}

// Every keyword of spec in order, upper case; false with *error on a brace out of place.
bool split_keywords(const std::string& spec, std::vector<std::string>* names, std::string* error) {
  size_t open = std::string::npos;
  for (size_t index = 0; index < spec.size(); ++index) {
    if (spec[index] == '{') {
      if (open != std::string::npos) {
        *error = "a '{' inside the keyword that begins at offset " + std::to_string(open);
        return false;
      }
      open = index;
    } else if (spec[index] == '}') {
      if (open == std::string::npos) {
        *error = "a '}' with no keyword open at offset " + std::to_string(index);
        return false;
      }
      names->push_back(upper_ascii_text(spec.substr(open + 1, index - open - 1)));
      open = std::string::npos;
    }
  }
  if (open != std::string::npos) {
    *error = "the keyword that begins at offset " + std::to_string(open) + " has no '}'";
    return false;
  }
  return true;
}

// spec with every {name} (any letter case) replaced by value.
std::u16string replace_keyword(const std::u16string& spec, const std::string& name, const std::u16string& value) {
  std::u16string result;
  for (size_t index = 0; index < spec.size();) {
    const size_t close = spec[index] == u'{' ? spec.find(u'}', index) : std::u16string::npos;
    if (close != std::u16string::npos) {
      std::string found;
      for (size_t unit = index + 1; unit < close; ++unit) found.push_back(static_cast<char>(spec[unit] & 0x7F));
      if (close - index - 1 == name.size() && upper_ascii_text(found) == name) {
        result += value;
        index = close + 1;
        continue;
      }
    }
    result.push_back(spec[index++]);
  }
  return result;
}

}  // namespace

bool check_folder_spec(const std::string& spec, std::string* error) {
  std::vector<std::string> names;
  if (spec.empty()) {
    *error = "the folder spec is empty";
    return false;
  }
  if (!split_keywords(spec, &names, error)) {
    *error = "folder spec '" + spec + "': " + *error;
    return false;
  }
  for (const std::string& name : names) {
    if (!is_one_of(name, spec_keywords, sizeof spec_keywords / sizeof spec_keywords[0])) {
      *error = "folder spec '" + spec + "': unknown keyword {" + name +
               "}; known: {TEMP} {PROGRAM} {PROGRAM_BASE} {PROGRAM_DIR} {HOME} {CACHE_DIR} {PRODUCT} {VERSION}";
      return false;
    }
    if (name == "PID" || name == "TIME") {
      *error = "folder spec '" + spec + "': {" + name +
               "} names one start, but the folder is shared by every start (each start's tree below it carries "
               "its own PID and TIME)";
      return false;
    }
  }
  if (!starts_absolute(spec, names.empty() ? std::string() : names.front())) {
    *error = "folder spec '" + spec +
             "' does not name an absolute folder: begin it with a drive (C:\\...), a share (\\\\server\\...) or "
             "{TEMP}, {HOME}, {CACHE_DIR}, {PROGRAM_DIR}, {PROGRAM_BASE} or {PROGRAM}";
    return false;
  }
  return true;
}

std::u16string resolve_folder_spec(const std::string& spec, const PlaceIdentity& identity) {
  std::u16string resolved;
  if (!utf8_to_utf16(spec, &resolved)) resolved.clear();
  if (!identity.product.empty()) resolved = replace_keyword(resolved, "PRODUCT", sanitize_place_component(identity.product));
  if (!identity.version.empty()) resolved = replace_keyword(resolved, "VERSION", sanitize_place_component(identity.version));
  while (resolved.size() > 1 && resolved.back() == u'\\') resolved.pop_back();
  return resolved;
}

bool parse_unpack_place(const std::string& text, UnpackPlace* place) {
  if (text == "temp") {
    *place = UnpackPlace::temp;
  } else if (text == "cache") {
    *place = UnpackPlace::cache;
  } else {
    return false;
  }
  return true;
}

std::string payload_digest_text(const unsigned char* payload, size_t size) {
  char text[place_digest_units + 1];
  snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(XXH3_64bits(payload, size)));
  return text;
}

std::u16string sanitize_place_component(const std::string& text) {
  std::u16string units;
  if (!utf8_to_utf16(text, &units)) units.clear();  // not UTF-8: nothing of it is kept
  for (char16_t& unit : units) {
    if (is_refused_unit(unit)) unit = place_replacement;
  }
  if (units.size() > place_component_max_units) units.resize(place_component_max_units);
  while (!units.empty() && (units.back() == u'.' || units.back() == u' ')) units.pop_back();
  while (!units.empty() && units.front() == u' ') units.erase(units.begin());
  if (units.empty()) units = u"app";
  if (is_device_name(units)) units.insert(units.begin(), place_replacement);
  return units;
}

std::u16string build_place_spec(const PlaceIdentity& identity, const std::string& digest,
                                const std::u16string& cache_root) {
  const std::u16string product = identity.product.empty() ? u"{PRODUCT}" : sanitize_place_component(identity.product);
  const std::u16string version = identity.version.empty() ? u"{VERSION}" : sanitize_place_component(identity.version);
  const std::u16string root = cache_root.empty() ? u"{CACHE_DIR}\\" + ascii_to_u16(place_cache_folder) : cache_root;
  return root + u"\\" + product + u"\\" + version + static_cast<char16_t>(place_digest_separator) +
         ascii_to_u16(digest);
}

bool check_payload_fits_cache(const unsigned char* payload, size_t size, std::string* error) {
  std::vector<ListedEntry> entries;
  if (!list_payload(payload, size, &entries, error)) return false;
  std::u16string marker;
  for (const wchar_t* unit = tree_marker_name; *unit != L'\0'; ++unit) marker.push_back(upper_ascii(static_cast<char16_t>(*unit)));
  for (const ListedEntry& entry : entries) {
    std::u16string name = entry.name;
    for (char16_t& unit : name) unit = upper_ascii(unit);
    if (name == marker) {
      *error = "the payload holds an entry named " + std::string(tree_marker_name, tree_marker_name + marker.size()) +
               ", which a cached tree keeps for its own record";
      return false;
    }
  }
  return true;
}

bool check_cache_runs_as_invoker(const std::vector<ResourceItem>& items, std::string* error) {
  for (const ResourceItem& item : items) {
    if (item.type.is_name || item.type.id != resource_type_manifest || item.name.is_name ||
        item.name.id != application_manifest_id) {
      continue;
    }
    std::string level;
    if (!read_execution_level(item.data, &level, error)) {
      *error = "cannot read the execution level of the manifest: " + *error;
      return false;
    }
    if (level != "asInvoker") {
      *error = "--unpack-to cache needs --execution-level asInvoker: this exe requests " + level +
               ", and an elevated start would run files of the cache that the user's other programs can change";
      return false;
    }
  }
  return true;
}

PlaceIdentity place_identity_of(const AppIdentity& identity) {
  PlaceIdentity place;
  if (identity.product_name) place.product = *identity.product_name;
  if (identity.product_version) {
    const VersionQuad& quad = *identity.product_version;
    place.version = std::to_string(quad[0]) + "." + std::to_string(quad[1]) + "." + std::to_string(quad[2]) + "." +
                    std::to_string(quad[3]);
  }
  return place;
}

void set_place_resources(const std::vector<ResourceItem>& place, std::vector<ResourceItem>* items) {
  items->erase(std::remove_if(items->begin(), items->end(),
                              [](const ResourceItem& item) {
                                return !item.type.is_name && item.type.id == payload_resource_type &&
                                       !item.name.is_name && item.name.id == place_resource_id;
                              }),
               items->end());
  items->insert(items->end(), place.begin(), place.end());
}

std::vector<ResourceItem> make_place_resources(UnpackPlace place, const PlaceIdentity& identity,
                                               const unsigned char* payload, size_t size,
                                               const std::u16string& folder) {
  if (place == UnpackPlace::temp && folder.empty()) return {};
  ResourceItem item;
  item.type.id = payload_resource_type;
  item.name.id = place_resource_id;
  item.language.id = payload_resource_language;
  if (place == UnpackPlace::cache) {
    const std::string digest = payload_digest_text(payload, size);
    append_text(&item.data, build_place_spec(identity, digest, folder));
    append_text(&item.data, ascii_to_u16(digest));
  } else {
    // No cached tree: an empty spec and digest, then the folder.
    append_text(&item.data, u"");
    append_text(&item.data, u"");
  }
  // Only a folder chosen at pack time is stored: without one an older stub reads the
  // resource exactly as it always did.
  if (!folder.empty()) append_text(&item.data, folder);
  return {item};
}
