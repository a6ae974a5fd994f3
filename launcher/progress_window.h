// The window that a slow first start shows while it unpacks and while the application
// starts: the exe's icon and product name and the share of the payload decoded so far.
// Opt-in at pack time (the launcher options resource). It lives on the session-end
// window's thread; the unpacking only publishes the reader's count of compressed bytes
// consumed and never waits for the window.
#pragma once

#include <windows.h>

constexpr const wchar_t* progress_window_class = L"tavrin_progress";
// A start whose unpacking is over by then shows nothing.
constexpr DWORD progress_show_delay_ms = 400;
// The window goes at the latest this long after the child started, for an application
// whose first window comes late or never.
constexpr ULONGLONG progress_child_time_limit_ms = 10000;
// How often the bar is moved and the closing rule asked while the window shows. Each poll
// costs the unpacking a little under wine (window calls are wineserver round trips, which
// the file creation waits for too): at 50 ms the benchmark's first start reached run_code
// about 10 % later, at 1,000 ms no later; 200 ms keeps the closing well within half a
// second and the bar moving.
constexpr UINT progress_poll_ms = 200;
// The bar's range: fine enough for a smooth bar, whatever the payload's size.
constexpr int progress_bar_steps = 1000;

// On the window thread, once user32 is loaded: when the exe carries the option, the window
// is shown progress_show_delay_ms after the process started unless the unpacking is over.
void schedule_progress_window();

// Main thread: the unpacking is over (or there was none); a window not yet shown never is.
void finish_progress_unpacking();
// Main thread, once the child runs: a window that shows hears of it, and goes by the
// closing rule from then on.
void hand_child_to_progress_window(HANDLE child);
// Any thread: the window goes at once and is never shown after this. The failure notice
// of diag, so that no failure's line or box comes while it still shows.
void close_progress_window_now();

// The closing rule, asked at every poll once the child runs: a visible top-level window of
// the child or of a process in the child's job, the child's end, or the time limit since
// the child started, whichever is first; stay otherwise. Exposed for tests.
enum class ProgressClose { stay, child_window, child_ended, time_out };
ProgressClose judge_progress_close(HANDLE child, ULONGLONG since_child_start_ms);
