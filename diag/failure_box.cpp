#include "diag/failure_box.h"

#include <cstdio>
#include <cwchar>

#include "paths/system_library.h"

namespace {

// Codes the system gives a load that a policy refused.
constexpr uint32_t code_disabled_by_policy = 1260;          // ERROR_ACCESS_DISABLED_BY_POLICY
constexpr uint32_t code_disabled_no_prompt_by_policy = 786;  // ERROR_ACCESS_DISABLED_NO_SAFER_UI_BY_POLICY
constexpr uint32_t code_integrity_policy_violation = 4551;   // ERROR_SYSTEM_INTEGRITY_POLICY_VIOLATION

// The executable's version resource is a few kilobytes; a larger one is not read.
constexpr DWORD version_info_capacity = 16384;
constexpr size_t module_path_capacity = 4096;
constexpr size_t query_capacity = 64;

using GetStationFunction = HWINSTA(WINAPI*)();
using GetObjectInformationFunction = BOOL(WINAPI*)(HANDLE, int, PVOID, DWORD, LPDWORD);
using MessageBoxFunction = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
using VersionSizeFunction = DWORD(WINAPI*)(LPCWSTR, LPDWORD);
using VersionInfoFunction = BOOL(WINAPI*)(LPCWSTR, DWORD, DWORD, LPVOID);
using VersionQueryFunction = BOOL(WINAPI*)(LPCVOID, LPCWSTR, LPVOID*, PUINT);

// Copies source into text (capacity units), cut to fit and always terminated.
void copy_cut(wchar_t* text, size_t capacity, const wchar_t* source) {
  size_t length = 0;
  for (; source[length] != L'\0' && length + 1 < capacity; ++length) text[length] = source[length];
  text[length] = L'\0';
}

// The ProductName string of the module's version resource into title; false without one.
bool read_product_name(const wchar_t* module_path, wchar_t* title, size_t capacity) {
  const HMODULE version = load_system_library(L"version.dll");
  const auto size_of = find_library_function<VersionSizeFunction>(version, "GetFileVersionInfoSizeW");
  const auto info_of = find_library_function<VersionInfoFunction>(version, "GetFileVersionInfoW");
  const auto query = find_library_function<VersionQueryFunction>(version, "VerQueryValueW");
  if (size_of == nullptr || info_of == nullptr || query == nullptr) return false;
  static unsigned char info[version_info_capacity];
  DWORD ignored = 0;
  const DWORD size = size_of(module_path, &ignored);
  if (size == 0 || size > version_info_capacity || !info_of(module_path, 0, size, info)) return false;
  // The first language and code page the resource lists names its string table.
  WORD* translation = nullptr;
  UINT length = 0;
  if (!query(info, L"\\VarFileInfo\\Translation", reinterpret_cast<LPVOID*>(&translation), &length) ||
      translation == nullptr || length < 2 * sizeof(WORD)) {
    return false;
  }
  wchar_t name_query[query_capacity];
  swprintf(name_query, query_capacity, L"\\StringFileInfo\\%04x%04x\\ProductName", translation[0], translation[1]);
  wchar_t* name = nullptr;
  if (!query(info, name_query, reinterpret_cast<LPVOID*>(&name), &length) || name == nullptr || length == 0 ||
      name[0] == L'\0') {
    return false;
  }
  copy_cut(title, capacity, name);
  return true;
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
