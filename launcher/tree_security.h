// The security descriptor an unpacked tree is created with: its directories and files are
// the process's user's, SYSTEM's and the Administrators' alone, whatever the folder above
// allows; an elevated start also labels the tree with its own integrity level, so that the
// user's unelevated programs may read and run the files but change nothing in the tree.
#pragma once

#include <windows.h>

#include <cstddef>

enum class TreeKind {
  temporary,  // a start's own tree: the label too when the process runs at high integrity or above
  cached,     // a cached tree or its staging directory: shared by unelevated starts, no label
};

// Room for the descriptor's text: two SIDs of the longest form and the fixed entries.
constexpr size_t tree_descriptor_capacity = 512;

// The descriptor as SDDL text: a protected list that grants full access to user_sid, SYSTEM
// and the Administrators, inherited by every directory and file below; with label_sid, a
// no-write-up label at that level, inherited the same way. False when the text and its
// terminator do not fit in capacity units (output then holds nothing usable).
bool compose_tree_descriptor(wchar_t* output, size_t capacity, const wchar_t* user_sid, const wchar_t* label_sid);

// True for an integrity level (the last sub-authority of the token's label) at which the
// tree gets a label: high and above. Below that the user's other programs run at the same
// level as the launcher, and a label would keep nobody out.
bool needs_integrity_label(DWORD integrity_rid);

// The attributes to create every directory and file of a tree of this kind with, built once
// from the process token; nullptr when the token or the system's security functions cannot
// give them (the caller then creates no tree). In the benchmark build without protection
// they carry no descriptor: the system's default applies.
SECURITY_ATTRIBUTES* tree_security(TreeKind kind);

// True when the descriptor of that kind carries the integrity label: an elevated start.
bool tree_carries_label(TreeKind kind);
