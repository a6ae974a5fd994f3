#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "diag/diag.h"
#include "diag/messages.h"

void exit_with_system_error(const char* text, uint32_t code) {
  announce_failure();
  char* description = nullptr;
  const DWORD length = FormatMessageA(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, code, 1033 /* English (United States) */, reinterpret_cast<char*>(&description),
      0, nullptr);
  // The system's buffer is not freed: the process ends right after this line.
  const char* shown = (length != 0 && description != nullptr) ? description : system_text_unavailable;
  fprintf(stderr, format_system_error, text, static_cast<long>(static_cast<int32_t>(code)), shown);
  exit(exit_code_reported_failure);
}
