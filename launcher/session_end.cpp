#include "launcher/session_end.h"

#include "launcher/cleanup.h"
#include "paths/system_library.h"
#include "resources/version.h"

namespace {

using RegisterClassFunction = ATOM(WINAPI*)(const WNDCLASSEXW*);
using CreateWindowFunction = HWND(WINAPI*)(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU,
                                           HINSTANCE, LPVOID);
using DefaultProcedureFunction = LRESULT(WINAPI*)(HWND, UINT, WPARAM, LPARAM);
using GetMessageFunction = BOOL(WINAPI*)(LPMSG, HWND, UINT, UINT);
using DispatchMessageFunction = LRESULT(WINAPI*)(const MSG*);
using BlockReasonCreateFunction = BOOL(WINAPI*)(HWND, LPCWSTR);
using BlockReasonDestroyFunction = BOOL(WINAPI*)(HWND);

// The user32 calls the window's thread makes. Filled on that thread before its window
// exists and read only there, by the window procedure.
struct WindowFunctions {
  RegisterClassFunction register_class;
  CreateWindowFunction create_window;
  DefaultProcedureFunction default_procedure;
  GetMessageFunction get_message;
  DispatchMessageFunction dispatch_message;
  // Optional: the window works without them.
  BlockReasonCreateFunction block_reason_create;
  BlockReasonDestroyFunction block_reason_destroy;
};

WindowFunctions user32{};

// The title is what the shutdown screen names beside the block reason.
constexpr const wchar_t* window_title = L"" TAVRIN_PRODUCT_NAME;
// Never shown, never active, kept out of the taskbar and the task switcher all the same.
constexpr DWORD window_style = WS_POPUP;
constexpr DWORD window_extended_style = WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE;

bool find_window_functions() {
  const HMODULE module = load_system_library(L"user32.dll");
  if (module == nullptr) return false;
  user32.register_class = find_library_function<RegisterClassFunction>(module, "RegisterClassExW");
  user32.create_window = find_library_function<CreateWindowFunction>(module, "CreateWindowExW");
  user32.default_procedure = find_library_function<DefaultProcedureFunction>(module, "DefWindowProcW");
  user32.get_message = find_library_function<GetMessageFunction>(module, "GetMessageW");
  user32.dispatch_message = find_library_function<DispatchMessageFunction>(module, "DispatchMessageW");
  user32.block_reason_create = find_library_function<BlockReasonCreateFunction>(module, "ShutdownBlockReasonCreate");
  user32.block_reason_destroy =
      find_library_function<BlockReasonDestroyFunction>(module, "ShutdownBlockReasonDestroy");
  return user32.register_class != nullptr && user32.create_window != nullptr &&
         user32.default_procedure != nullptr && user32.get_message != nullptr && user32.dispatch_message != nullptr;
}

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
  if (!find_window_functions()) return 0;
  if (create_session_end_window() == nullptr) return 0;
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
