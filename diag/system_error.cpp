#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "diag/diag.h"
#include "diag/messages.h"

namespace {

// The same line as wide text for the failure notice; the system's text is in the ANSI code
// page, as FormatMessageA gave it. A line too long for the notice is cut.
void notice_system_error_line(const char* text, long shown_code, const char* shown, uint32_t code) {
  static char narrow[failure_line_capacity];
  static wchar_t line[failure_line_capacity];
  snprintf(narrow, sizeof narrow, format_system_error, text, shown_code, shown);
  if (MultiByteToWideChar(CP_ACP, 0, narrow, -1, line, static_cast<int>(failure_line_capacity)) == 0) return;
  const size_t length = wcslen(line);
  if (length > 0 && line[length - 1] == L'\n') line[length - 1] = L'\0';
  notify_failure(FailureReport{FailureStream::error, line, strcmp(text, message_load_failed) == 0, code});
}

}  // namespace

void exit_with_system_error(const char* text, uint32_t code) {
  announce_failure();
  char* description = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, code, 1033 /* English (United States) */, reinterpret_cast<char*>(&description),
      0, nullptr);
  // The system's buffer is not freed: the process ends right after this line.
  const char* shown = (length != 0 && description != nullptr) ? description : system_text_unavailable;
  const long shown_code = static_cast<long>(static_cast<int32_t>(code));
  fprintf(stderr, format_system_error, text, shown_code, shown);
  notice_system_error_line(text, shown_code, shown, code);
  exit(exit_code_reported_failure);
}
