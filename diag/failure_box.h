// A failure that no one would see: a windowed start from the desktop, the Start menu or a
// shortcut has no standard streams, so the line of a failed start goes nowhere. There the
// launcher also shows the line in a message box, on an interactive window station only (a
// service's or a scheduled task's hidden desktop would keep the box, and the process,
// waiting for good). A usable stream keeps the line alone, exactly as before.
//
// The child copy runs with its parent's standard handles on its parent's window station,
// so it decides exactly as its parent would and shows its own failures. A parent never
// shows a child's: where the child could not show a box (no user32, a hidden station), the
// parent could not either, and the child's exit code alone never says that a line was
// written. Windows only.
#pragma once

#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "diag/diag.h"

// Makes the box the failure notice of this process (diag/diag.h).
void enable_failure_box();

// A stream the line can be read from: a handle that is there (not null, not
// INVALID_HANDLE_VALUE) and of a known type (a file, a pipe, a console or another
// character device such as NUL, which someone chose on purpose). A handle of unknown type,
// or one that is no longer valid, carries the line to no one.
bool is_usable_stream(HANDLE handle);

// The decision: a box only when the line's stream is not usable and the process's window
// station is known and visible to a user (WSF_VISIBLE in its UOI_FLAGS; null when the
// station could not be asked).
bool failure_box_wanted(bool stream_usable, const USEROBJECTFLAGS* station);

// True for the codes with which the system refuses to load code because a policy forbids
// it: Software Restriction Policies and AppLocker (1260, and 786 where the policy shows no
// prompt of its own), Windows Defender Application Control and Smart App Control (4551).
bool is_policy_block(uint32_t code);

// The line the box adds after the system's text for a load that a policy blocked.
constexpr const wchar_t policy_block_hint[] =
    L"The folder the application was unpacked to is blocked by policy on this machine. Set the variable "
    L"TAVRIN_UNPACK_ROOT to a folder where programs may run, and start it again.";

// Room for the box's text: the line and the hint.
constexpr size_t failure_box_text_capacity = failure_line_capacity + 256;
// The box's text: exactly the line, then for a load failure with a policy code a line
// break and policy_block_hint. Cut to capacity units (terminator included), never beyond.
void compose_failure_box_text(wchar_t* text, size_t capacity, const FailureReport& report);

// Room for the title: a product name or a file name.
constexpr size_t failure_box_title_capacity = 260;
// The box's title: the ProductName of the executable's own version resource, else its file
// name. Cut to capacity units.
void read_failure_box_title(wchar_t* title, size_t capacity);
