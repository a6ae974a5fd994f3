#include "launcher/window_library.h"

#include "paths/system_library.h"

WindowFunctions user32{};

namespace {

template <typename Function>
void find(HMODULE module, Function* slot, const char* name) {
  *slot = find_library_function<Function>(module, name);
}

bool find_window_functions() {
  const HMODULE module = load_system_library(L"user32.dll");
  if (module == nullptr) return false;
  WindowFunctions& f = user32;
  find(module, &f.register_class, "RegisterClassExW");
  find(module, &f.create_window, "CreateWindowExW");
  find(module, &f.default_procedure, "DefWindowProcW");
  find(module, &f.get_message, "GetMessageW");
  find(module, &f.dispatch_message, "DispatchMessageW");
  find(module, &f.destroy_window, "DestroyWindow");
  find(module, &f.show_window, "ShowWindow");
  find(module, &f.set_window_position, "SetWindowPos");
  find(module, &f.send_message, "SendMessageW");
  find(module, &f.send_message_timeout, "SendMessageTimeoutW");
  find(module, &f.set_timer, "SetTimer");
  find(module, &f.kill_timer, "KillTimer");
  find(module, &f.enumerate_windows, "EnumWindows");
  find(module, &f.is_window_visible, "IsWindowVisible");
  find(module, &f.window_thread_process_id, "GetWindowThreadProcessId");
  find(module, &f.cursor_position, "GetCursorPos");
  find(module, &f.monitor_from_point, "MonitorFromPoint");
  find(module, &f.monitor_information, "GetMonitorInfoW");
  find(module, &f.load_image, "LoadImageW");
  find(module, &f.destroy_icon, "DestroyIcon");
  find(module, &f.system_metrics, "GetSystemMetrics");
  find(module, &f.system_parameters, "SystemParametersInfoW");
  find(module, &f.block_reason_create, "ShutdownBlockReasonCreate");
  find(module, &f.block_reason_destroy, "ShutdownBlockReasonDestroy");
  find(module, &f.set_thread_dpi_awareness, "SetThreadDpiAwarenessContext");
  find(module, &f.system_metrics_for_dpi, "GetSystemMetricsForDpi");
  find(module, &f.system_parameters_for_dpi, "SystemParametersInfoForDpi");
  return f.register_class != nullptr && f.create_window != nullptr && f.default_procedure != nullptr &&
         f.get_message != nullptr && f.dispatch_message != nullptr && f.destroy_window != nullptr &&
         f.show_window != nullptr && f.set_window_position != nullptr && f.send_message != nullptr &&
         f.send_message_timeout != nullptr && f.set_timer != nullptr && f.kill_timer != nullptr &&
         f.enumerate_windows != nullptr && f.is_window_visible != nullptr && f.window_thread_process_id != nullptr &&
         f.cursor_position != nullptr && f.monitor_from_point != nullptr && f.monitor_information != nullptr &&
         f.load_image != nullptr && f.destroy_icon != nullptr && f.system_metrics != nullptr &&
         f.system_parameters != nullptr;
}

}  // namespace

bool load_window_functions() {
  // Every call after the first returns at once: the window thread loads, the tests' seam
  // calls may come from any thread after it.
  static const bool found = find_window_functions();
  return found;
}
