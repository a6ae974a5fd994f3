// The unpacking place chosen at pack time. "temp" (the default) stores nothing: the
// launcher unpacks into a fresh temporary tree below {TEMP} at every start; a folder spec
// instead of "temp" stores a small resource that names the folder of those trees. "cache"
// stores that resource with the spec of a cached tree,
//   <cache root>\<product>\<version>_<digest>   (cache root: {CACHE_DIR}\tavrin by default)
// where digest is a 64-bit hash of the payload bytes, so that a rebuilt payload with an
// unchanged version never meets a tree of the earlier build.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/pack/identity.h"
#include "tools/pack/pe_resources.h"

enum class UnpackPlace { temp, cache };

// "temp" or "cache"; false for anything else (a folder's path spec).
bool parse_unpack_place(const std::string& text, UnpackPlace* place);

// A folder's path spec as --unpack-to FOLDER and --cache-root FOLDER take it: the
// launcher's keywords in braces, in any letter case, and literal text. Refused, with the
// reason in *error: an unknown keyword, a brace out of place, {PID} or {TIME} (the folder
// is shared by every start; the tree's own name carries them), and a spec that does not
// name an absolute folder (it must begin with a drive, a "\\" share, or one of the
// keywords that give an absolute path).
bool check_folder_spec(const std::string& spec, std::string* error);

// The product and version that name the tree, as UTF-8. Empty values stand for the stub's
// built-in ones, through the {PRODUCT} and {VERSION} keywords.
struct PlaceIdentity {
  std::string product;
  std::string version;
};

// The names the tree goes by: the packed exe's product name and product version when the
// identity options set them ("A.B.C.D"), else the stub's built-in ones.
PlaceIdentity place_identity_of(const AppIdentity& identity);

// The folder spec as the exe stores it: {PRODUCT} and {VERSION} become the exe's own
// product name and version when the identity gives them (made fit for a path), since the
// stub's keywords would name the stub's. Trailing backslashes go.
std::u16string resolve_folder_spec(const std::string& spec, const PlaceIdentity& identity);

// The payload digest as 16 lower-case hex digits.
std::string payload_digest_text(const unsigned char* payload, size_t size);

// text made fit to be one path component: characters that a file name cannot hold, braces
// (the spec's keyword marks) and the tilde (the launcher's own suffix mark) become '_',
// trailing dots and spaces go, the length is bounded and a device name gets a leading '_'.
std::u16string sanitize_place_component(const std::string& text);

// A cached tree stays in the user's own folder, where every program the user runs, elevated
// or not, may change it between starts. An exe whose manifest asks for elevation would run
// such files with administrator rights, so a cached place goes only with an exe that runs
// as its caller (asInvoker, or no manifest at all). False, with the reason, otherwise;
// items are the exe's resources with the identity already applied.
bool check_cache_runs_as_invoker(const std::vector<ResourceItem>& items, std::string* error);

// The tree's spec for this payload and identity, below cache_root (a resolved folder spec;
// empty: {CACHE_DIR}\tavrin).
std::u16string build_place_spec(const PlaceIdentity& identity, const std::string& digest,
                                const std::u16string& cache_root = u"");

// A cached tree keeps its marker (tree_marker_name) at its top: a payload with an entry of
// that name, in any letter case, cannot be unpacked there. False with *error then, or when
// the payload does not decode.
bool check_payload_fits_cache(const unsigned char* payload, size_t size, std::string* error);

// The resources that the place adds beside the payload: none for temp below {TEMP}, the
// place resource for cache and for a folder of its own. folder: a resolved folder spec,
// the temporary trees' folder for temp, the cache root for cache; empty for the default.
std::vector<ResourceItem> make_place_resources(UnpackPlace place, const PlaceIdentity& identity,
                                               const unsigned char* payload, size_t size,
                                               const std::u16string& folder = u"");

// The stub's list with any earlier place resource (type 10, id 28, any language) replaced
// by place: a packed exe packed again never keeps the place of its earlier payload.
void set_place_resources(const std::vector<ResourceItem>& place, std::vector<ResourceItem>* items);
