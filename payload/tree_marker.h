// The record that marks a cached tree as complete: which payload it holds and the name and
// size of every file, so that a start can tell a whole tree from a damaged one without
// decompressing anything. Portable: no Windows header.
#pragma once

#include <cstddef>
#include <cstdint>

// Grows on the heap as entries are added. A failed allocation is remembered and makes
// the record unusable instead of ending the process: the tree is then simply not shared.
struct TreeMarkerBuilder {
  unsigned char* data = nullptr;
  size_t size = 0;
  size_t capacity = 0;
  bool failed = false;
};

// Starts a record for the payload with digest (place_digest_units hex units).
void begin_tree_marker(TreeMarkerBuilder& builder, const wchar_t* digest);
void add_marker_entry(TreeMarkerBuilder& builder, const wchar_t* name, uint64_t size);
void end_tree_marker(TreeMarkerBuilder& builder);
void release_tree_marker(TreeMarkerBuilder& builder);

// Called for every entry of a record; false stops the walk and fails it.
using MarkerEntryVisitor = bool (*)(const wchar_t* name, uint64_t size, void* context);

// True when data is a whole record for digest and visit accepted every entry. A record
// that is cut, malformed, for another digest or with a name of entry_name_capacity units
// or more is refused.
bool walk_tree_marker(const unsigned char* data, size_t size, const wchar_t* digest, MarkerEntryVisitor visit,
                      void* context);

// Reads the place resource: the cached tree's spec into spec (place_spec_capacity units),
// the digest into digest (place_digest_units + 1 units) and the folder chosen at pack time
// into folder (place_spec_capacity units; empty when the resource names none). spec and
// digest are both empty when the resource names only a folder. False when it is
// malformed.
bool parse_place_resource(const unsigned char* data, size_t size, wchar_t* spec, wchar_t* digest, wchar_t* folder);

// True when text is exactly place_digest_units lower-case hex digits.
bool is_digest_text(const wchar_t* text, size_t length);
