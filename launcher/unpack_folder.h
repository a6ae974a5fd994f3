// The folder below which a start's trees lie, in one place: the temporary tree's folder
// ({TEMP} unless the exe was packed with a folder of its own) and the cache root (the one
// the cached tree's spec begins with). TAVRIN_UNPACK_ROOT overrides both for every start.
// A folder chosen explicitly (packed or by the variable) is never replaced by %TEMP%: a
// start that cannot use it ends with the open-failure line naming it.
#pragma once

#include <cstddef>

#include "launcher/tree_security.h"

// The temporary tree's full path, "<folder>\onefile_<PID>_<TIME>", into output
// (path_capacity units). Both roles and the sweep arrive at the same path: a packed spec's
// PROGRAM keywords name the executable by its full path in either role. False when the
// spec cannot be expanded; temporary_tree_spec() then names it for the report.
bool compute_temporary_tree(wchar_t* output);
const wchar_t* temporary_tree_spec();

// The cached tree's full path from tree_spec (the place resource's spec) into output
// (path_capacity units): the spec itself, or with TAVRIN_UNPACK_ROOT its last two
// components (product, version and digest) below the variable's folder. folder_spec is the
// resource's cache root (empty when the exe keeps the default). False when it cannot be
// expanded or has no such components.
bool compute_cache_tree(wchar_t* output, const wchar_t* tree_spec, const wchar_t* folder_spec);

// Makes sure the folder that holds tree exists before the tree is made. For a folder kept
// by default, missing levels are made as any directory (false when that fails, as before).
// For a chosen one, missing levels get the tree's descriptor of kind, and a folder that is
// not absolute or cannot be made ends the start with the open-failure line naming it.
bool prepare_unpack_folder(const wchar_t* tree, TreeKind kind);

// A cached start that cannot use its chosen cache root ends here with the open-failure
// line naming it; with the default root it returns, and the start falls back to %TEMP%.
void refuse_fallback_from_chosen_cache();

// True for "X:\..." and "\\server\..." paths: the only folders a chosen spec may name, so
// that the current directory never decides where a tree goes.
bool is_absolute_folder(const wchar_t* path);
