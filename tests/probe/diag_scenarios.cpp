// Scenarios for the diagnostics and the bounded copies.
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "diag/diag.h"
#include "diag/messages.h"
#include "paths/bounded.h"
#include "probe/probe.h"

PROBE_SCENARIO(message_line) {
  exit_with_message(message_decode_failed);
}

PROBE_SCENARIO(system_error) {
  // argv[0]: the error code in decimal (may exceed 2^31).
  exit_with_system_error(message_launch_failed, static_cast<uint32_t>(wcstoul(argv[0], nullptr, 10)));
}

PROBE_SCENARIO(open_error) {
  exit_with_open_error(argv[0]);
}

PROBE_SCENARIO(spec_error) {
  abort_with_spec_error(L"{TEMP}\\onefile_{PID}_{TIME}");
}

// Copies a text of argv[0] units into a buffer of argv[1] units that sits between two
// guard areas, then prints whether the guards are intact.
PROBE_SCENARIO(bounded_copy) {
  const size_t length = wcstoul(argv[0], nullptr, 10);
  const size_t capacity = wcstoul(argv[1], nullptr, 10);
  const bool append = argc > 2 && wcscmp(argv[2], L"append") == 0;
  static wchar_t area[3 * 64 + 8192];
  for (auto& unit : area) unit = L'#';
  wchar_t* buffer = area + 64;
  wchar_t text[8192];
  for (size_t i = 0; i < length; ++i) text[i] = static_cast<wchar_t>(L'a' + i % 26);
  text[length] = L'\0';
  buffer[0] = L'\0';
  if (append) {
    copy_bounded(buffer, L"xy", capacity);
    append_bounded(buffer, text + 2, capacity);
  } else {
    copy_bounded(buffer, text, capacity);
  }
  bool guards_intact = true;
  for (size_t i = 0; i < 64; ++i) guards_intact = guards_intact && area[i] == L'#';
  for (size_t i = capacity; i < capacity + 64; ++i) guards_intact = guards_intact && buffer[i] == L'#';
  printf("copied %zu guards %s\n", wcslen(buffer), guards_intact ? "intact" : "broken");
  return 0;
}
