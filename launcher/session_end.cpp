#include "launcher/session_end.h"

#include "launcher/cleanup.h"
#include "launcher/progress_window.h"
#include "launcher/window_library.h"
#include "resources/version.h"

namespace {

// The title is what the shutdown screen names beside the block reason.
constexpr const wchar_t* window_title = L"" TAVRIN_PRODUCT_NAME;
// Never shown, never active, kept out of the taskbar and the task switcher all the same.
constexpr DWORD window_style = WS_POPUP;
constexpr DWORD window_extended_style = WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE;

// The system gives a session-end handler a few seconds before it offers the user to end the
// program. The clean-up is bounded (the child's grace period, then at most 21 removal
// requests), so a block reason registered for that time never holds the session up for
// good; it tells the user what the launcher is doing while it finishes the removal.
void clean_up_before_session_end(HWND window) {
  const bool blocking = user32.block_reason_create != nullptr &&
                        user32.block_reason_create(window, session_end_block_reason) != FALSE;
  clean_up();
  if (blocking && user32.block_reason_destroy != nullptr) user32.block_reason_destroy(window);
}

LRESULT CALLBACK session_end_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_QUERYENDSESSION:
      return TRUE;
    case WM_ENDSESSION:
      // wparam FALSE: the end was cancelled and the session goes on.
      if (wparam != FALSE) clean_up_before_session_end(window);
      return 0;
    default:
      return user32.default_procedure(window, message, wparam, lparam);
  }
}

HWND create_session_end_window() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = session_end_procedure;
  window_class.hInstance = instance;
  window_class.lpszClassName = session_end_window_class;
  if (user32.register_class(&window_class) == 0) {
    const DWORD error = GetLastError();
    if (error != ERROR_CLASS_ALREADY_EXISTS) return nullptr;
  }
  // No parent: a top-level window, which the session's end reaches (HWND_MESSAGE would not).
  return user32.create_window(window_extended_style, session_end_window_class, window_title, window_style, 0, 0, 0,
                              0, nullptr, nullptr, instance, nullptr);
}

DWORD WINAPI watch_session_end(void*) {
  if (!load_window_functions()) return 0;
  if (create_session_end_window() == nullptr) return 0;
  // The progress window of a slow start lives on this thread too, and is served by the
  // same message loop.
  schedule_progress_window();
  MSG message;
  // Sent messages, the session's among them, are delivered inside GetMessageW.
  while (user32.get_message(&message, nullptr, 0, 0) > 0) user32.dispatch_message(&message);
  return 0;
}

}  // namespace

void start_session_end_watch() {
  // The thread lives as long as the process; nobody waits for it.
  const HANDLE thread = CreateThread(nullptr, 0, watch_session_end, nullptr, 0, nullptr);
  if (thread != nullptr) CloseHandle(thread);
}
