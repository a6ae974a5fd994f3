// The ways the launcher ends on a failure. None of these returns.
#pragma once

#include <cstddef>
#include <cstdint>

// Message line on standard output, exit code 2.
[[noreturn]] void exit_with_message(const char* text);
// "text ([Error code] system text)" on standard error, exit code 2. Windows only.
[[noreturn]] void exit_with_system_error(const char* text, uint32_t code);
// "Error, failed to open '<path>' for writing." on standard error, exit code 2.
[[noreturn]] void exit_with_open_error(const wchar_t* path);
// "Error, couldn't runtime expand spec '<spec>'." on standard error, abnormal termination.
[[noreturn]] void abort_with_spec_error(const wchar_t* spec);
// A broken limit: abnormal termination without a line.
[[noreturn]] void abort_on_broken_limit();

// Heard first by every way of ending that writes a line, before the line: a window that
// stands for the start (its progress) goes at once, not after the message. One at most;
// null stops it. Set before any other thread could fail.
using FailurePrelude = void (*)();
void set_failure_prelude(FailurePrelude prelude);
// Runs the prelude, if one is set; the ways of ending call it.
void announce_failure();

// Short entry points for messages raised from more than one place.
[[noreturn]] void exit_decode_failed();
[[noreturn]] void exit_allocation_failed();

// A failure's line goes to a stream that a start from the desktop does not have. The
// launcher installs a notice (diag/failure_box.cpp) that also shows the line where that
// stream cannot be seen; it is called after the line is written and before the process
// ends, and nothing without one changes.
enum class FailureStream { output, error };
struct FailureReport {
  FailureStream stream;
  const wchar_t* line;  // the line as written, without its final line feed
  bool load_failure;    // "Error, load DLL.": the main library or a dependency did not load
  uint32_t code;        // its system error code; 0 for a line without one
};
using FailureNotice = void (*)(const FailureReport& report);
void set_failure_notice(FailureNotice notice);
void notify_failure(const FailureReport& report);

// The room for a failure's line as wide text: the longest path and a system text. A longer
// line is cut, never a broken limit: the process is ending with its own status already.
constexpr size_t failure_line_capacity = 8192;
// The line that format (narrow, ASCII, one %ls for argument or none) gives, as wide text
// into line (failure_line_capacity units), without its final line feed.
void format_failure_line(wchar_t* line, const char* format, const wchar_t* argument);
