#include "launcher/state.h"

#include "diag/diag.h"

// Static storage: zero-filled before the entry point runs.
LauncherState launcher_state;

void fill_own_module_path(wchar_t* buffer, size_t capacity) {
  if (buffer[0] != L'\0') return;
  const DWORD length = GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(capacity));
  // A result equal to the capacity means the name was cut: comparing or launching a cut
  // path would name another file.
  if (length == 0 || length >= capacity) {
    buffer[0] = L'\0';
    abort_on_broken_limit();
  }
}
