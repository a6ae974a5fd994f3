// Log-off and shutdown for a parent without a console. A windowed process receives no
// console events; the system tells it of the session's end through WM_QUERYENDSESSION and
// WM_ENDSESSION, sent to its top-level windows (message-only windows get neither). The
// parent therefore keeps one hidden top-level window on a thread of its own, whose
// WM_ENDSESSION runs the same clean_up as a log-off console event.
#pragma once

#include <windows.h>

constexpr const wchar_t* session_end_window_class = L"tavrin_session_end";
// Shown by the system's shutdown screen while the clean-up holds the session.
constexpr const wchar_t* session_end_block_reason = L"Removing temporary files";

// Starts the window's thread and returns at once: user32 is loaded on that thread, so the
// unpacking does not wait for it. Without a thread, user32 or a window (no desktop, a
// service session) the launcher goes on as before, silently.
void start_session_end_watch();
