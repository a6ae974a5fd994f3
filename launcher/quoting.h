// Joining an argument vector into one command line that the C runtime and
// CommandLineToArgvW split back into the same arguments.
#pragma once

#include <cstddef>

// Appends argument to line (capacity units, terminator included), quoted when it holds a
// space, tab, line feed, vertical tab or double quote, or is empty (written as "" so the
// child still receives it). Returns false, with line unchanged, when it does not fit.
bool append_quoted_argument(wchar_t* line, size_t capacity, const wchar_t* argument);

// Joins count arguments, separated by one space, into line. Returns false when the whole
// line does not fit; line is then left empty, never cut.
bool join_command_line(wchar_t* line, size_t capacity, const wchar_t* const* arguments, size_t count);
