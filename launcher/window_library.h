// The user32 calls of the launcher's windows (the session-end window and the progress
// window, both on one thread of their own), found at run time: the child role and a start
// run in process never load user32, and the unpacking never waits for its loading.
#pragma once

#include <windows.h>

struct WindowFunctions {
  ATOM(WINAPI* register_class)(const WNDCLASSEXW*);
  HWND(WINAPI* create_window)(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU, HINSTANCE, LPVOID);
  LRESULT(WINAPI* default_procedure)(HWND, UINT, WPARAM, LPARAM);
  BOOL(WINAPI* get_message)(LPMSG, HWND, UINT, UINT);
  LRESULT(WINAPI* dispatch_message)(const MSG*);
  BOOL(WINAPI* destroy_window)(HWND);
  BOOL(WINAPI* show_window)(HWND, int);
  BOOL(WINAPI* set_window_position)(HWND, HWND, int, int, int, int, UINT);
  LRESULT(WINAPI* send_message)(HWND, UINT, WPARAM, LPARAM);
  LRESULT(WINAPI* send_message_timeout)(HWND, UINT, WPARAM, LPARAM, UINT, UINT, PDWORD_PTR);
  UINT_PTR(WINAPI* set_timer)(HWND, UINT_PTR, UINT, TIMERPROC);
  BOOL(WINAPI* kill_timer)(HWND, UINT_PTR);
  BOOL(WINAPI* enumerate_windows)(WNDENUMPROC, LPARAM);
  BOOL(WINAPI* is_window_visible)(HWND);
  DWORD(WINAPI* window_thread_process_id)(HWND, LPDWORD);
  BOOL(WINAPI* cursor_position)(LPPOINT);
  HMONITOR(WINAPI* monitor_from_point)(POINT, DWORD);
  BOOL(WINAPI* monitor_information)(HMONITOR, LPMONITORINFO);
  HANDLE(WINAPI* load_image)(HINSTANCE, LPCWSTR, UINT, int, int, UINT);
  BOOL(WINAPI* destroy_icon)(HICON);
  int(WINAPI* system_metrics)(int);
  BOOL(WINAPI* system_parameters)(UINT, UINT, PVOID, UINT);
  // Optional: missing on older systems, and the windows work without them.
  BOOL(WINAPI* block_reason_create)(HWND, LPCWSTR);
  BOOL(WINAPI* block_reason_destroy)(HWND);
  HANDLE(WINAPI* set_thread_dpi_awareness)(HANDLE);  // DPI_AWARENESS_CONTEXT, Windows 10 1607 on
  int(WINAPI* system_metrics_for_dpi)(int, UINT);
  BOOL(WINAPI* system_parameters_for_dpi)(UINT, UINT, PVOID, UINT, UINT);
};

// Filled by load_window_functions, read only on the thread that loaded them and by calls
// made once a window they created exists.
extern WindowFunctions user32;

// Loads user32 from the system directory once and finds its calls; true when every call
// that is not optional is there. Later calls return the first answer.
bool load_window_functions();
