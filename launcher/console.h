// The launcher's console: what a parent does at each console event, and how its child
// shares the console. Packed as a console program, the launcher behaves as the installed
// application would: the child runs in the console the parent was started in, and Ctrl+C
// and Ctrl+Break there are the application's to handle. Packed as a windowed program (the
// stub's subsystem) every event cleans up as it always has.
#pragma once

#include <windows.h>

// What the parent does at a console event.
enum class ConsoleEventAction {
  // Not an event of the launcher's: the next handler, and finally the system, decide.
  none,
  // clean_up (the child gets its grace period, the tree is removed), then the system's
  // default processing ends the parent.
  clean_up_and_end,
  // The child received the same event and decides what it means; the parent goes on
  // waiting without a time limit and ends on the normal road, cleaning up and passing the
  // child's exit code on.
  leave_to_application,
};

// Ctrl+C and Ctrl+Break are left to the application once a console program has created its
// child (application_started). Before that (during unpacking) there is no application to
// decide, so they clean up and end as every event does. Close, log-off and shutdown always
// clean up and end: the system ends the process soon after them anyway.
ConsoleEventAction decide_console_event(DWORD event_type, bool application_started);

// True when the launcher's own image is a console-subsystem program.
bool is_console_program();

// Parent role, once: notes whether the launcher is a console program and registers
// console_event_handler. False when the system refuses the registration.
bool register_console_handler();

// The parent calls this right after the child's creation: from then on Ctrl+C and
// Ctrl+Break of a console program are the application's.
void note_child_created();

// Added to the child's creation flags. A console program that was started without a console
// (detached) creates its child detached too: the system would otherwise open a new console
// window for it. Otherwise the child inherits the parent's console, and no flag is needed.
DWORD child_console_flags();

// Carries out decide_console_event: TRUE for an event left to the application, so that the
// system's default processing, which would end the parent under its waiting main thread,
// does not run; FALSE otherwise, after clean_up where it decided so.
BOOL WINAPI console_event_handler(DWORD event_type);
