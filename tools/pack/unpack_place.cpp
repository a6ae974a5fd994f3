#include "tools/pack/unpack_place.h"

#include <algorithm>
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

}  // namespace

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

std::u16string build_place_spec(const PlaceIdentity& identity, const std::string& digest) {
  const std::u16string product = identity.product.empty() ? u"{PRODUCT}" : sanitize_place_component(identity.product);
  const std::u16string version = identity.version.empty() ? u"{VERSION}" : sanitize_place_component(identity.version);
  return u"{CACHE_DIR}\\" + ascii_to_u16(place_cache_folder) + u"\\" + product + u"\\" + version +
         static_cast<char16_t>(place_digest_separator) + ascii_to_u16(digest);
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
                                               const unsigned char* payload, size_t size) {
  if (place == UnpackPlace::temp) return {};
  const std::string digest = payload_digest_text(payload, size);
  ResourceItem item;
  item.type.id = payload_resource_type;
  item.name.id = place_resource_id;
  item.language.id = payload_resource_language;
  append_text(&item.data, build_place_spec(identity, digest));
  append_text(&item.data, ascii_to_u16(digest));
  return {item};
}
