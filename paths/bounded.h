// Bounded copies into fixed wide buffers. A text that does not fit with its terminator
// ends the process (abnormal termination): nothing is truncated, nothing is written past
// the buffer.
#pragma once

#include <cstddef>

// Copies source and its terminator into destination. Source may lie inside destination.
void copy_bounded(wchar_t* destination, const wchar_t* source, size_t capacity);
// The same, starting at the terminator of the text already in destination; capacity
// counts from the start of destination.
void append_bounded(wchar_t* destination, const wchar_t* source, size_t capacity);
// Length of a terminated text within capacity units; a missing terminator is a broken limit.
size_t bounded_length(const wchar_t* text, size_t capacity);
// directory, a backslash and name into output (capacity units). False, with output
// unchanged, when the three do not fit with the terminator: for paths that a caller may
// refuse rather than end the process for.
bool join_path(wchar_t* output, size_t capacity, const wchar_t* directory, const wchar_t* name);
