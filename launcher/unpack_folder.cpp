#include "launcher/unpack_folder.h"

#include <windows.h>

#include <cstdlib>
#include <cwchar>

#include "diag/diag.h"
#include "launcher/state.h"
#include "paths/bounded.h"
#include "paths/env.h"
#include "paths/spec.h"
#include "payload/container.h"
#include "payload/format.h"
#include "payload/tree_marker.h"
#include "payload/unpack.h"

namespace {

// The temporary tree's own name below its folder: unique to the start.
constexpr const wchar_t tree_name_spec[] = L"\\onefile_{PID}_{TIME}";
// Room for the spec a failed expansion names: a folder spec and the tree's name.
constexpr size_t reported_spec_capacity = path_capacity + place_spec_capacity;

// A folder a start's trees go below, once computed; chosen when the exe was packed with it
// or TAVRIN_UNPACK_ROOT names it.
struct ChosenFolder {
  wchar_t path[path_capacity];
  bool chosen;
};

ChosenFolder temporary_root{};
ChosenFolder cache_root{};
wchar_t reported_spec[reported_spec_capacity];

// TAVRIN_UNPACK_ROOT without trailing backslashes into folder; false when unset. A value
// too long to hold any tree is a folder that cannot be used: the start ends naming it.
bool read_root_variable(ChosenFolder* folder) {
  wchar_t* value = env_get(env_unpack_root);
  if (value == nullptr) return false;
  size_t length = wcslen(value);
  while (length > 1 && value[length - 1] == L'\\') value[--length] = L'\0';
  if (length >= path_capacity) exit_with_open_error(value);
  copy_bounded(folder->path, value, path_capacity);
  folder->chosen = true;
  free(value);
  return true;
}

// A packed spec's PROGRAM keywords take argument 0, which the parent has as the user typed
// it (relative, maybe without ".exe") and the child as the full path: the expansion names
// the executable by its full path in both, so that both find the same folder.
bool expand_with_own_path(wchar_t* output, const wchar_t* spec) {
  LauncherState& state = launcher_state;
  fill_own_module_path(state.own_path, own_path_capacity);
  wchar_t** arguments = __wargv;
  wchar_t* given = arguments != nullptr ? arguments[0] : nullptr;
  if (given != nullptr) arguments[0] = state.own_path;
  const bool expanded = expand_spec(output, spec, path_capacity);
  if (given != nullptr) arguments[0] = given;
  return expanded;
}

// The folder spec of the temporary trees that the exe was packed with, into spec
// (place_spec_capacity units); false when it has none (a cached place keeps {TEMP}).
bool read_packed_temporary_folder(wchar_t* spec) {
  const PayloadLocation place = locate_own_resource(place_resource_id);
  wchar_t tree_spec[place_spec_capacity];
  wchar_t digest[place_digest_units + 1];
  return place.data != nullptr && parse_place_resource(place.data, place.size, tree_spec, digest, spec) &&
         tree_spec[0] == L'\0' && spec[0] != L'\0';
}

// folder followed by the expansion of suffix_spec into output; false when it does not fit.
bool join_expanded(wchar_t* output, const wchar_t* folder, const wchar_t* suffix_spec) {
  wchar_t suffix[path_capacity];
  if (!expand_spec(suffix, suffix_spec, path_capacity)) return false;
  if (wcslen(folder) + wcslen(suffix) >= path_capacity) return false;
  copy_bounded(output, folder, path_capacity);
  append_bounded(output, suffix, path_capacity);
  return true;
}

// reported_spec = first then second, cut to its buffer (it only names the spec).
void note_reported_spec(const wchar_t* first, const wchar_t* second) {
  swprintf(reported_spec, reported_spec_capacity, L"%ls%ls", first, second);
}

bool is_directory(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

}  // namespace

bool is_absolute_folder(const wchar_t* path) {
  const bool drive = ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) &&
                     path[1] == L':' && (path[2] == L'\\' || path[2] == L'\0');
  return drive || (path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\0');
}

bool compute_temporary_tree(wchar_t* output) {
  temporary_root = ChosenFolder{};
  if (read_root_variable(&temporary_root)) {
    note_reported_spec(temporary_root.path, tree_name_spec);
    return join_expanded(output, temporary_root.path, tree_name_spec);
  }
  wchar_t folder_spec[place_spec_capacity];
  if (!read_packed_temporary_folder(folder_spec)) {
    note_reported_spec(target_spec, L"");
    return expand_spec(output, target_spec, path_capacity);
  }
  note_reported_spec(folder_spec, tree_name_spec);
  if (!expand_with_own_path(temporary_root.path, folder_spec)) return false;
  temporary_root.chosen = true;
  return join_expanded(output, temporary_root.path, tree_name_spec);
}

const wchar_t* temporary_tree_spec() {
  return reported_spec;
}

bool compute_cache_tree(wchar_t* output, const wchar_t* tree_spec, const wchar_t* folder_spec) {
  cache_root = ChosenFolder{};
  if (read_root_variable(&cache_root)) {
    // The tree's last two components: the product's folder and the tree's own name.
    const wchar_t* last = wcsrchr(tree_spec, L'\\');
    if (last == nullptr) return false;
    const wchar_t* tail = last;
    while (tail > tree_spec && *--tail != L'\\') {
    }
    if (*tail != L'\\' || tail == last) return false;
    return join_expanded(output, cache_root.path, tail);
  }
  if (!expand_with_own_path(output, tree_spec)) return false;
  if (folder_spec[0] != L'\0') cache_root.chosen = expand_with_own_path(cache_root.path, folder_spec);
  return true;
}

bool prepare_unpack_folder(const wchar_t* tree, TreeKind kind) {
  const ChosenFolder& root = kind == TreeKind::temporary ? temporary_root : cache_root;
  if (!root.chosen) return ensure_parent_directory(tree);
  // A chosen folder is made with the protection of the trees it holds, and only a real,
  // absolute folder will do: %TEMP% never stands in for it.
  SECURITY_ATTRIBUTES* security = tree_security(kind);
  if (!is_absolute_folder(root.path) || security == nullptr || !ensure_parent_directory(tree, security) ||
      !is_directory(root.path)) {
    exit_with_open_error(root.path);
  }
  return true;
}

void refuse_fallback_from_chosen_cache() {
  if (cache_root.chosen) exit_with_open_error(cache_root.path);
}
