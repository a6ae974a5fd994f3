#include "bench/stamp.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr DWORD env_value_capacity = 1024;
constexpr int trace_line_capacity = 96;

// Appends "ticks" (or "step ticks") to the file the variable names, when it names one.
void append_stamp(const wchar_t* variable, const char* step) {
  wchar_t path[env_value_capacity];
  const DWORD length = GetEnvironmentVariableW(variable, path, env_value_capacity);
  if (length == 0 || length >= env_value_capacity) return;
  FILETIME now;
  GetSystemTimePreciseAsFileTime(&now);
  const unsigned long long ticks =
      (static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
  char text[trace_line_capacity];
  const int text_length = step != nullptr ? snprintf(text, sizeof text, "%s %llu\n", step, ticks)
                                          : snprintf(text, sizeof text, "%llu\n", ticks);
  const HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text, static_cast<DWORD>(text_length), &written, nullptr);
  CloseHandle(file);
}

}  // namespace

void write_time_stamp() {
  append_stamp(L"TAVRIN_BENCH_STAMP", nullptr);
}

void hold_if_asked() {
  wchar_t value[env_value_capacity];
  const DWORD length = GetEnvironmentVariableW(L"TAVRIN_BENCH_HOLD_MS", value, env_value_capacity);
  if (length == 0 || length >= env_value_capacity) return;
  Sleep(static_cast<DWORD>(wcstoul(value, nullptr, 10)));
}

// The trace build's stamps: "step ticks" lines appended to TAVRIN_BENCH_TRACE.
void trace_step(const char* step) {
  append_stamp(L"TAVRIN_BENCH_TRACE", step);
}
