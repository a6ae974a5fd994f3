#include "diag/failure_box.h"

#include <cwchar>

#include "paths/product_name.h"
#include "paths/system_library.h"

namespace {

// Codes the system gives a load that a policy refused.
constexpr uint32_t code_disabled_by_policy = 1260;          // ERROR_ACCESS_DISABLED_BY_POLICY
constexpr uint32_t code_disabled_no_prompt_by_policy = 786;  // ERROR_ACCESS_DISABLED_NO_SAFER_UI_BY_POLICY
constexpr uint32_t code_integrity_policy_violation = 4551;   // ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION

constexpr size_t module_path_capacity = 4096;

using GetStationFunction = HWINSTA(WINAPI*)();
using GetObjectInformationFunction = BOOL(WINAPI*)(HANDLE, int, PVOID, DWORD, LPDWORD);
using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);

// Copies source into text (capacity units), cut to fit and always terminated.
void copy_cut(wchar_t* text, size_t capacity, const wchar_t* source) {
  size_t length = 0;
  for (; source[length] != L'\0' && length + 1 < capacity; ++length) text[length] = source[length];
  text[length] = L'\0';
}

// The process's window station flags into flags; false when they cannot be read.
bool read_station_flags(HMODULE user32, USEROBJECTFLAGS* flags) {
  const auto get_station = find_library_function<GetStationFunction>(user32, "GetProcessWindowStation");
  const auto get_information =
      find_library_function<GetObjectInformationFunction>(user32, "GetUserObjectInformationW");
  if (get_station == nullptr || get_information == nullptr) return false;
  const HWINSTA station = get_station();
  DWORD needed = 0;
  return station != nullptr && get_information(station, UOI_FLAGS, flags, sizeof *flags, &needed) != FALSE;
}

void show_failure_box_if_unseen(const FailureReport& report) {
  const HANDLE stream = GetStdHandle(report.stream == FailureStream::output ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  const bool usable = is_usable_stream(stream);
  if (usable) return;
  const HMODULE user32 = load_system_library(L"user32.dll");
  const auto message_box = find_library_function<MessageBoxFunction>(user32, "MessageBoxW");
  USEROBJECTFLAGS flags{};
  const bool station_known = read_station_flags(user32, &flags);
  if (message_box == nullptr || !failure_box_wanted(usable, station_known ? &flags : nullptr)) return;
  static wchar_t text[failure_box_text_capacity];
  static wchar_t title[failure_box_title_capacity];
  compose_failure_box_text(text, failure_box_text_capacity, report);
  read_failure_box_title(title, failure_box_title_capacity);
  // The process ends when the box is closed; its answer changes nothing.
  message_box(nullptr, text, title, MB_OK | MB_ICONERROR | MB_SETFOREGROUND);
}

}  // namespace

void enable_failure_box() {
  set_failure_notice(show_failure_box_if_unseen);
}

bool is_usable_stream(HANDLE handle) {
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE) return false;
  return GetFileType(handle) != FILE_TYPE_UNKNOWN;
}

bool failure_box_wanted(bool stream_usable, const USEROBJECTFLAGS* station) {
  return !stream_usable && station != nullptr && (station->dwFlags & WSF_VISIBLE) != 0;
}

bool is_policy_block(uint32_t code) {
  return code == code_disabled_by_policy || code == code_disabled_no_prompt_by_policy ||
         code == code_integrity_policy_violation;
}

void compose_failure_box_text(wchar_t* text, size_t capacity, const FailureReport& report) {
  copy_cut(text, capacity, report.line);
  if (!report.load_failure || !is_policy_block(report.code)) return;
  const size_t length = wcslen(text);
  // The system's text ends its own line already; the hint goes on a line of its own.
  const wchar_t* separator = L"\n";
  copy_cut(text + length, capacity - length, separator);
  const size_t with_separator = wcslen(text);
  copy_cut(text + with_separator, capacity - with_separator, policy_block_hint);
}

void read_failure_box_title(wchar_t* title, size_t capacity) {
  static wchar_t module_path[module_path_capacity];
  const DWORD length = GetModuleFileNameW(nullptr, module_path, module_path_capacity);
  if (length == 0 || length >= module_path_capacity) {
    copy_cut(title, capacity, L"");
    return;
  }
  if (read_product_name(module_path, title, capacity)) return;
  const wchar_t* last = wcsrchr(module_path, L'\\');
  copy_cut(title, capacity, last != nullptr ? last + 1 : module_path);
}
