// The packaged application's own identity, set at pack time: its icon, its version
// resource and the execution level its manifest requests. Each is a change to the stub's
// list of resources; pe_resources then lays the list out. Whatever is left unset keeps the
// stub's resource byte for byte. Portable: no Windows header.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tools/pack/icon_group.h"
#include "tools/pack/pe_resources.h"
#include "tools/pack/version_resource.h"

constexpr uint16_t resource_type_manifest = 24;
constexpr uint16_t application_manifest_id = 1;

// The values that the manifest's requestedExecutionLevel may take.
constexpr size_t execution_level_count = 3;
extern const char* const execution_levels[execution_level_count];

// The values of --subsystem, each with the Subsystem field it writes.
struct SubsystemName {
  const char* name;
  uint16_t value;
};
constexpr size_t subsystem_name_count = 2;
extern const SubsystemName subsystem_names[subsystem_name_count];

struct AppIdentity {
  std::vector<IconImage> icon;  // empty: the stub's icon group stays
  std::optional<std::string> product_name;  // UTF-8, as the command line gives it
  std::optional<VersionQuad> product_version;
  std::optional<VersionQuad> file_version;
  std::optional<std::string> company;
  std::optional<std::string> description;
  std::optional<std::string> copyright;
  std::optional<std::string> original_filename;
  std::string execution_level;  // empty: the stub's manifest stays
  std::string subsystem;        // one of subsystem_names; empty: the stub's subsystem stays
};

// "A.B.C.D", four decimal numbers of 0 to 65535 and nothing else.
bool parse_version_quad(const std::string& text, VersionQuad* quad);

// True when text is one of execution_levels.
bool is_execution_level(const std::string& text);

// Strict UTF-8 to UTF-16; false for malformed, overlong or surrogate sequences.
bool utf8_to_utf16(const std::string& text, std::u16string* out);

// The manifest with the level attribute of its requestedExecutionLevel element set to
// level; every other byte stays. False when the manifest is not UTF-8 XML with exactly one
// such element carrying a level attribute.
bool set_execution_level(const Bytes& manifest, const std::string& level, Bytes* out, std::string* error);

// The level that the manifest's one requestedExecutionLevel element requests; asInvoker
// for a manifest without one, as Windows reads it.
bool read_execution_level(const Bytes& manifest, std::string* level, std::string* error);

// Applies every part of identity that is set to the stub's resources.
bool apply_identity(const AppIdentity& identity, std::vector<ResourceItem>* items, std::string* error);

// The name of a Subsystem field's value: "console", "windows", or "other (N)".
std::string describe_subsystem(uint16_t value);

// Sets the Subsystem field of the packed image when identity names one.
bool apply_subsystem(const AppIdentity& identity, Bytes* exe, std::string* error);

// True when identity changes nothing.
bool is_default_identity(const AppIdentity& identity);
