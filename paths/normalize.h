// Bringing the path of an existing file to one canonical text for comparison.
#pragma once

#include <cstddef>

// Final path of the file through an open handle, without the "\\?\" prefix (drive form)
// and with "\\?\UNC\" turned into "\\". Output may be input. Ends the process when the
// file cannot be opened or the result does not fit.
void normalize_path(wchar_t* output, const wchar_t* input, size_t capacity);
// The same, but returns false (output unchanged) when the file cannot be opened or its final
// path does not fit, for paths that belong to another process and may have gone away.
bool try_normalize_path(wchar_t* output, const wchar_t* input, size_t capacity);
// The two prefix rules on a path already in hand: "\\?\" before a drive letter and colon is
// removed, "\\?\UNC\" becomes "\\"; any other "\\?\" path keeps its prefix. In place.
void remove_extended_prefix(wchar_t* path);
// Directory part in its short (8.3) form, last component kept as it is. In place.
void shorten_directory(wchar_t* path, size_t capacity);
