#include "launcher/progress_window.h"

#include <commctrl.h>

#include <atomic>
#include <cwchar>

#include "launcher/child_job.h"
#include "launcher/state.h"
#include "launcher/window_library.h"
#include "paths/product_name.h"
#include "paths/system_library.h"
#include "payload/container.h"
#include "payload/format.h"

namespace {

// pending: the delay runs; unpacked: the unpacking ended first, nothing is ever shown;
// showing: the window was made (or is being made); closed: gone, or refused by a failure.
enum Phase : int { pending, unpacked, showing, closed };

// Shared between the main thread and the window thread.
std::atomic<int> phase{pending};
std::atomic<HWND> shown_window{nullptr};
// A duplicate of the child's handle, handed over once by the main thread; the window thread
// takes it out and owns it.
std::atomic<HANDLE> child_slot{nullptr};
std::atomic<ULONGLONG> child_start_tick{0};

// The window thread's own.
HANDLE watched_child = nullptr;
ULONGLONG watched_since = 0;
HWND icon_label = nullptr;
HWND text_label = nullptr;
HWND progress_bar = nullptr;
HFONT text_font = nullptr;
HICON window_icon = nullptr;

constexpr UINT close_now_message = WM_APP + 1;
constexpr UINT_PTR poll_timer_id = 1;
// A failure waits this long at most for the window to go; the window thread never blocks
// for long, but a session end may hold it in the clean-up.
constexpr UINT close_now_wait_ms = 1000;
constexpr DWORD progress_child_access = SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION;
// The exe's icon group, as the packer writes it.
constexpr WORD own_icon_id = 1;
constexpr WORD cursor_app_starting = 32650;  // IDC_APPSTARTING
constexpr ULONGLONG file_time_units_per_ms = 10000;
// DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2 and _PER_MONITOR_AWARE; the headers target an
// older system.
const HANDLE per_monitor_aware_v2 = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-4));
const HANDLE per_monitor_aware = reinterpret_cast<HANDLE>(static_cast<INT_PTR>(-3));
constexpr UINT dpi_changed_message = 0x02E0;  // WM_DPICHANGED
constexpr int effective_dpi = 0;               // MDT_EFFECTIVE_DPI

// The layout at 96 DPI, scaled to the monitor's.
constexpr int base_dpi = 96;
constexpr int window_width = 400;
constexpr int window_height = 92;
constexpr int margin = 16;
constexpr int icon_size = 32;
constexpr int text_left = margin + icon_size + 12;
constexpr int bar_top = 60;
constexpr int bar_height = 14;

constexpr size_t product_name_capacity = 256;
constexpr size_t caption_capacity = 320;
constexpr size_t module_path_capacity = 4096;

struct GraphicsFunctions {
  HFONT(WINAPI* create_font)(const LOGFONTW*);
  BOOL(WINAPI* delete_object)(HGDIOBJ);
};
GraphicsFunctions gdi32{};

int scaled(int value, UINT dpi) {
  return MulDiv(value, static_cast<int>(dpi), base_dpi);
}

// The exe's own module path into path (capacity units); false when it does not fit.
bool read_module_path(wchar_t* path, size_t capacity) {
  const DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(capacity));
  return length != 0 && length < capacity;
}

// The name the window shows: the exe's ProductName, else its file name without the
// extension.
void read_shown_name(wchar_t* name, size_t capacity) {
  name[0] = L'\0';
  wchar_t path[module_path_capacity];
  if (!read_module_path(path, module_path_capacity)) return;
  if (read_product_name(path, name, capacity)) return;
  const wchar_t* base = wcsrchr(path, L'\\');
  swprintf(name, capacity, L"%ls", base != nullptr ? base + 1 : path);
  wchar_t* extension = wcsrchr(name, L'.');
  if (extension != nullptr && extension != name) *extension = L'\0';
}

// The bar, the closing rule, and the window's end, at every poll.
void close_progress(HWND window);

void move_progress_bar() {
  const PayloadReader& reader = launcher_state.reader;
  const size_t total = reader.compressed_size();
  const size_t position = total == 0 ? 0 : reader.consumed() * progress_bar_steps / total;
  user32.send_message(progress_bar, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

void poll_progress(HWND window) {
  move_progress_bar();
  if (watched_child == nullptr) {
    watched_child = child_slot.exchange(nullptr);
    watched_since = child_start_tick.load();
  }
  if (watched_child == nullptr) return;
  if (judge_progress_close(watched_child, GetTickCount64() - watched_since) != ProgressClose::stay) {
    close_progress(window);
  }
}

void close_progress(HWND window) {
  phase.store(closed);
  shown_window.store(nullptr);
  user32.kill_timer(window, poll_timer_id);
  user32.destroy_window(window);
  // A child handed over after this stays in the slot until the process ends, soon after.
  const HANDLE handed = child_slot.exchange(nullptr);
  if (handed != nullptr) CloseHandle(handed);
  if (watched_child != nullptr) CloseHandle(watched_child);
  watched_child = nullptr;
  if (text_font != nullptr) gdi32.delete_object(text_font);
  if (window_icon != nullptr) user32.destroy_icon(window_icon);
  text_font = nullptr;
  window_icon = nullptr;
}

// The message font and the icon at dpi, and every part placed for it.
void lay_out_progress_window(UINT dpi) {
  NONCLIENTMETRICSW metrics{};
  metrics.cbSize = sizeof metrics;
  const bool have_metrics = user32.system_parameters_for_dpi != nullptr
                                ? user32.system_parameters_for_dpi(SPI_GETNONCLIENTMETRICS, sizeof metrics,
                                                                   &metrics, 0, dpi) != FALSE
                                : user32.system_parameters(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0) !=
                                      FALSE;
  const HFONT font = have_metrics ? gdi32.create_font(&metrics.lfMessageFont) : nullptr;
  if (font != nullptr) {
    user32.send_message(text_label, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    if (text_font != nullptr) gdi32.delete_object(text_font);
    text_font = font;
  }
  const int icon_pixels = scaled(icon_size, dpi);
  const HICON icon = static_cast<HICON>(user32.load_image(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(own_icon_id),
                                                          IMAGE_ICON, icon_pixels, icon_pixels, 0));
  if (icon != nullptr) {
    user32.send_message(icon_label, STM_SETICON, reinterpret_cast<WPARAM>(icon), 0);
    if (window_icon != nullptr) user32.destroy_icon(window_icon);
    window_icon = icon;
  }
  const UINT flags = SWP_NOZORDER | SWP_NOACTIVATE;
  const int width = scaled(window_width, dpi);
  user32.set_window_position(icon_label, nullptr, scaled(margin, dpi), scaled(margin, dpi), icon_pixels, icon_pixels,
                             flags);
  user32.set_window_position(text_label, nullptr, scaled(text_left, dpi), scaled(margin, dpi),
                             width - scaled(text_left + margin, dpi), icon_pixels, flags);
  user32.set_window_position(progress_bar, nullptr, scaled(margin, dpi), scaled(bar_top, dpi),
                             width - 2 * scaled(margin, dpi), scaled(bar_height, dpi), flags);
}

LRESULT CALLBACK progress_procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_TIMER:
      if (wparam == poll_timer_id) poll_progress(window);
      return 0;
    case close_now_message:
      close_progress(window);
      return 0;
    case dpi_changed_message: {
      // The system's suggestion keeps the window where it was, in the new monitor's pixels.
      const RECT* suggested = reinterpret_cast<const RECT*>(lparam);
      user32.set_window_position(window, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                                 suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
      lay_out_progress_window(HIWORD(wparam));
      return 0;
    }
    default:
      return user32.default_procedure(window, message, wparam, lparam);
  }
}

bool find_progress_functions() {
  const HMODULE gdi = load_system_library(L"gdi32.dll");
  gdi32.create_font = find_library_function<HFONT(WINAPI*)(const LOGFONTW*)>(gdi, "CreateFontIndirectW");
  gdi32.delete_object = find_library_function<BOOL(WINAPI*)(HGDIOBJ)>(gdi, "DeleteObject");
  // The bar's class; through the manifest's dependency the themed version 6.
  const HMODULE controls = load_system_library(L"comctl32.dll");
  const auto initialise = find_library_function<BOOL(WINAPI*)(const INITCOMMONCONTROLSEX*)>(controls,
                                                                                           "InitCommonControlsEx");
  INITCOMMONCONTROLSEX classes{sizeof(INITCOMMONCONTROLSEX), ICC_PROGRESS_CLASS};
  return gdi32.create_font != nullptr && gdi32.delete_object != nullptr && initialise != nullptr &&
         initialise(&classes) != FALSE;
}

bool register_progress_class(HINSTANCE instance) {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = progress_procedure;
  window_class.hInstance = instance;
  window_class.lpszClassName = progress_window_class;
  window_class.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
  // The taskbar's button and the cursor over the window say that the program is starting.
  window_class.hIcon = static_cast<HICON>(user32.load_image(instance, MAKEINTRESOURCEW(own_icon_id), IMAGE_ICON, 0, 0,
                                                            LR_DEFAULTSIZE | LR_SHARED));
  window_class.hCursor = static_cast<HCURSOR>(user32.load_image(nullptr, MAKEINTRESOURCEW(cursor_app_starting),
                                                                IMAGE_CURSOR, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
  if (user32.register_class(&window_class) != 0) return true;
  const DWORD error = GetLastError();
  return error == ERROR_CLASS_ALREADY_EXISTS;
}

// The effective DPI of monitor for a thread that is per-monitor aware; base_dpi otherwise,
// where the system scales the window itself.
UINT monitor_dpi(HMONITOR monitor, bool per_monitor) {
  if (!per_monitor) return base_dpi;
  const HMODULE shell_scaling = load_system_library(L"shcore.dll");
  const auto dpi_for_monitor =
      find_library_function<HRESULT(WINAPI*)(HMONITOR, int, UINT*, UINT*)>(shell_scaling, "GetDpiForMonitor");
  UINT x = base_dpi;
  UINT y = base_dpi;
  if (dpi_for_monitor == nullptr || FAILED(dpi_for_monitor(monitor, effective_dpi, &x, &y))) return base_dpi;
  return y;
}

// Centred in the work area of the monitor under the cursor, where the shell puts a new
// program's window.
RECT place_on_cursor_monitor(UINT* dpi, bool per_monitor) {
  POINT cursor{0, 0};
  user32.cursor_position(&cursor);
  const HMONITOR monitor = user32.monitor_from_point(cursor, MONITOR_DEFAULTTOPRIMARY);
  MONITORINFO information{};
  information.cbSize = sizeof information;
  RECT work{0, 0, window_width, window_height};
  if (user32.monitor_information(monitor, &information)) work = information.rcWork;
  *dpi = monitor_dpi(monitor, per_monitor);
  const int width = scaled(window_width, *dpi);
  const int height = scaled(window_height, *dpi);
  const int left = work.left + (work.right - work.left - width) / 2;
  const int top = work.top + (work.bottom - work.top - height) / 2;
  return RECT{left, top, left + width, top + height};
}

HWND create_part(HWND parent, const wchar_t* window_class, const wchar_t* text, DWORD style) {
  return user32.create_window(0, window_class, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 0, 0, parent, nullptr,
                              GetModuleHandleW(nullptr), nullptr);
}

// Per-monitor aware on this thread only while the window is made: the window keeps that
// awareness, the application's own comes from its manifest and is never touched.
HWND create_progress_window() {
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  if (!find_progress_functions() || !register_progress_class(instance)) return nullptr;
  wchar_t product[product_name_capacity];
  read_shown_name(product, product_name_capacity);
  wchar_t caption[caption_capacity];
  swprintf(caption, caption_capacity, L"Starting %ls\u2026", product);
  HANDLE previous = nullptr;
  if (user32.set_thread_dpi_awareness != nullptr) {
    previous = user32.set_thread_dpi_awareness(per_monitor_aware_v2);
    if (previous == nullptr) previous = user32.set_thread_dpi_awareness(per_monitor_aware);
  }
  UINT dpi = base_dpi;
  const RECT place = place_on_cursor_monitor(&dpi, previous != nullptr);
  // No topmost, no activation: the window never takes the focus from what the user does.
  HWND window = user32.create_window(WS_EX_NOACTIVATE | WS_EX_APPWINDOW, progress_window_class, product,
                                     WS_POPUP | WS_BORDER, place.left, place.top, place.right - place.left,
                                     place.bottom - place.top, nullptr, nullptr, instance, nullptr);
  if (window != nullptr) {
    icon_label = create_part(window, L"STATIC", nullptr, SS_ICON | SS_REALSIZECONTROL);
    text_label = create_part(window, L"STATIC", caption, SS_LEFT | SS_CENTERIMAGE | SS_NOPREFIX | SS_ENDELLIPSIS);
    progress_bar = create_part(window, PROGRESS_CLASSW, nullptr, 0);
    user32.send_message(progress_bar, PBM_SETRANGE32, 0, progress_bar_steps);
    lay_out_progress_window(dpi);
  }
  if (previous != nullptr) user32.set_thread_dpi_awareness(previous);
  return window;
}

// Milliseconds since the process was created; 0 when the system cannot say.
ULONGLONG process_age_ms() {
  FILETIME creation, exit, kernel, user, now;
  if (!GetProcessTimes(GetCurrentProcess(), &creation, &exit, &kernel, &user)) return 0;
  GetSystemTimeAsFileTime(&now);
  const ULONGLONG start = (static_cast<ULONGLONG>(creation.dwHighDateTime) << 32) | creation.dwLowDateTime;
  const ULONGLONG current = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  return current > start ? (current - start) / file_time_units_per_ms : 0;
}

void CALLBACK show_after_delay(HWND, UINT, UINT_PTR timer, DWORD) {
  user32.kill_timer(nullptr, timer);
  int expected = pending;
  if (!phase.compare_exchange_strong(expected, showing)) return;
  const HWND window = create_progress_window();
  if (window == nullptr) {
    phase.store(closed);
    return;
  }
  shown_window.store(window);
  // A failure that came while the window was made found no window to close: it goes here.
  if (phase.load() != showing) {
    close_progress(window);
    return;
  }
  user32.show_window(window, SW_SHOWNOACTIVATE);
  user32.set_timer(window, poll_timer_id, progress_poll_ms, nullptr);
  poll_progress(window);
}

struct WindowSearch {
  DWORD child_pid;
  DWORD own_pid;
  bool found;
};

// A process in the child's job other than the child itself: one that the child created
// without breaking away (a job of the system's may forbid that). Full query access: wine
// answers the job question only with it, and Windows grants it for the processes that
// could be in the launcher's job.
bool is_child_job_process(DWORD pid) {
  const HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, pid);
  if (process == nullptr) return false;
  const bool in_job = is_in_child_job(process);
  CloseHandle(process);
  return in_job;
}

BOOL CALLBACK look_at_window(HWND window, LPARAM context) {
  WindowSearch* search = reinterpret_cast<WindowSearch*>(context);
  if (!user32.is_window_visible(window)) return TRUE;
  DWORD pid = 0;
  user32.window_thread_process_id(window, &pid);
  if (pid == search->own_pid || pid == 0) return TRUE;
  search->found = pid == search->child_pid || is_child_job_process(pid);
  return search->found ? FALSE : TRUE;
}

}  // namespace

void schedule_progress_window() {
  const PayloadLocation options = locate_own_resource(options_resource_id);
  if ((read_launcher_options(options.data, options.size) & option_progress_window) == 0) return;
  if (phase.load() != pending) return;
  const ULONGLONG age = process_age_ms();
  const UINT delay = age >= progress_show_delay_ms ? USER_TIMER_MINIMUM
                                                   : static_cast<UINT>(progress_show_delay_ms - age);
  user32.set_timer(nullptr, 0, delay, show_after_delay);
}

void finish_progress_unpacking() {
  int expected = pending;
  phase.compare_exchange_strong(expected, unpacked);
}

void hand_child_to_progress_window(HANDLE child) {
  if (phase.load() != showing) return;
  HANDLE duplicate = nullptr;
  const HANDLE self = GetCurrentProcess();
  if (!DuplicateHandle(self, child, self, &duplicate, progress_child_access, FALSE, 0)) return;
  child_start_tick.store(GetTickCount64());
  const HANDLE earlier = child_slot.exchange(duplicate);
  if (earlier != nullptr) CloseHandle(earlier);
}

void close_progress_window_now() {
  phase.store(closed);
  const HWND window = shown_window.load();
  if (window == nullptr) return;
  DWORD_PTR ignored = 0;
  user32.send_message_timeout(window, close_now_message, 0, 0, SMTO_BLOCK | SMTO_ABORTIFHUNG, close_now_wait_ms,
                              &ignored);
}

ProgressClose judge_progress_close(HANDLE child, ULONGLONG since_child_start_ms) {
  const DWORD child_pid = GetProcessId(child);
  WindowSearch search{child_pid, GetCurrentProcessId(), false};
  if (child_pid != 0 && load_window_functions()) {
    user32.enumerate_windows(look_at_window, reinterpret_cast<LPARAM>(&search));
  }
  if (search.found) return ProgressClose::child_window;
  if (WaitForSingleObject(child, 0) == WAIT_OBJECT_0) return ProgressClose::child_ended;
  if (since_child_start_ms >= progress_child_time_limit_ms) return ProgressClose::time_out;
  return ProgressClose::stay;
}
