// Parsing the entry stream: names, sizes and the name rules, over a PayloadReader.
#pragma once

#include <cstddef>
#include <cstdint>

class PayloadReader;

// Reads one name, unit by unit, into name (capacity units, terminator included).
// Returns false at the end marker (an empty name). A name that does not fit is a damaged
// payload: "Error, couldn't decode attached data." and exit code 2.
bool read_entry_name(PayloadReader& reader, wchar_t* name, size_t capacity);

// Reads the 8-byte little-endian size that follows a name.
uint64_t read_entry_size(PayloadReader& reader);

// True when name stays below the directory it is appended to: no leading separator, no
// colon (drive prefix or stream), no component of dots only that Win32 would resolve as a
// parent ("..", and "...", ". ." and the like, which it trims to ".."). Both '\' and '/'
// separate components here, since Win32 file calls take either.
bool is_safe_entry_name(const wchar_t* name);
