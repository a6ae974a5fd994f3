#include "launcher/in_process.h"

#include <cwchar>

#include "launcher/state.h"

namespace {

// A session-wide name per process ID. The handle is never closed: the mark ends with the
// process, and an ID that the system hands out again carries no stale mark.
constexpr const wchar_t in_process_mark_format[] = L"Local\\tavrin-onefile-in-process-%lu";
constexpr size_t mark_name_capacity = 64;

void format_mark_name(wchar_t* name, DWORD process_id) {
  swprintf(name, mark_name_capacity, in_process_mark_format, static_cast<unsigned long>(process_id));
}

}  // namespace

bool mark_in_process_start() {
  wchar_t name[mark_name_capacity];
  format_mark_name(name, GetCurrentProcessId());
  const HANDLE mark = CreateEventW(nullptr /* security */, TRUE /* manual reset */, FALSE, name);
  return mark != nullptr;
}

bool is_in_process_start(DWORD process_id) {
  wchar_t name[mark_name_capacity];
  format_mark_name(name, process_id);
  const HANDLE mark = OpenEventW(SYNCHRONIZE, FALSE /* not inherited */, name);
  if (mark == nullptr) return false;
  CloseHandle(mark);
  return true;
}

void point_argument0_at_own_path() {
  LauncherState& state = launcher_state;
  if (state.argument_count <= 0) return;
  fill_own_module_path(state.own_path, own_path_capacity);
  state.argument_vector[0] = state.own_path;
}
