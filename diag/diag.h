// The ways the launcher ends on a failure. None of these returns.
#pragma once

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
using FailureNotice = void (*)();
void set_failure_notice(FailureNotice notice);
// Runs the notice, if one is set; the ways of ending call it.
void announce_failure();

// Short entry points for messages raised from more than one place.
[[noreturn]] void exit_decode_failed();
[[noreturn]] void exit_allocation_failed();
