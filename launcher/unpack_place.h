// Where a start unpacks: the temporary place (a fresh tree per start, removed at the end)
// or, when the executable carries a place resource, a cached tree shared by every start of
// the same payload, published complete in one rename and kept after the end.
#pragma once

#include <cstdint>

#include "payload/unpack.h"

enum class ParentPlace {
  temporary,  // target_directory: the fresh temporary tree
  staging,    // target_directory: a fresh sibling of the cached tree, published after unpacking
  cached,     // target_directory: a complete cached tree, used as it is
};

// Parent role, before the console handler exists: fixes target_directory and says what the
// start does there. False when the temporary target spec cannot be expanded; the driver
// reports that as always. A cached place that cannot be used falls back to the temporary
// one without a word.
bool choose_parent_place(ParentPlace* place);

// Child role: the directory the parent chose, found from the same specs and the inherited
// PID and TIME. False when the temporary target spec cannot be expanded.
bool choose_child_place();

// How the entry loop makes the tree of a place that is unpacked (temporary or staging): a
// temporary tree's directory is created right before the first file, fresh and protected,
// in one call whose handle guards it until the clean-up (anything already there ends the
// start with the open-failure line naming it, as does an elevated start on a volume without
// access lists); every directory and file below gets the place's descriptor
// (launcher/tree_security).
UnpackTree unpack_tree_for(ParentPlace place);

// Hears every entry while the parent unpacks into the staging directory.
void record_staged_entry(const wchar_t* name, uint64_t size);

// After the staging directory holds every file: writes the marker and moves the directory
// into place. When another start published first,
// its tree is used and the own copy removed; when neither can be used, the start runs from
// its staging directory, which the clean-up removes like a temporary tree.
void publish_staged_tree();

// After the run. A start that published a new tree removes the product's other trees, old
// staging directories and left-overs that no process uses; every other cached start
// removes, within one sweep's bound, the staging directories and left-over old trees whose
// start is over (a first start killed while it unpacked, a start killed while it removed an
// old tree). Done after the run so that no start waits for it.
void sweep_after_run();
