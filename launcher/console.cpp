#include "launcher/console.h"

#include <atomic>

#include "launcher/cleanup.h"

namespace {

// Both written before the events they govern can arrive, read on the handler's thread.
std::atomic<bool> console_program{false};
std::atomic<bool> child_created{false};

// The process counts itself when it has a console; zero means it has none.
bool has_console() {
  DWORD process_id = 0;
  return GetConsoleProcessList(&process_id, 1) != 0;
}

}  // namespace

ConsoleEventAction decide_console_event(DWORD event_type, bool application_started) {
  switch (event_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      return application_started ? ConsoleEventAction::leave_to_application : ConsoleEventAction::clean_up_and_end;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      return ConsoleEventAction::clean_up_and_end;
    default:
      return ConsoleEventAction::none;
  }
}

bool is_console_program() {
  const auto* base = reinterpret_cast<const unsigned char*>(GetModuleHandleW(nullptr));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  return headers->OptionalHeader.Subsystem == IMAGE_SUBSYSTEM_WINDOWS_CUI;
}

bool register_console_handler() {
  console_program.store(is_console_program());
  return SetConsoleCtrlHandler(console_event_handler, TRUE) != FALSE;
}

void note_child_created() {
  child_created.store(true);
}

DWORD child_console_flags() {
  return console_program.load() && !has_console() ? DETACHED_PROCESS : 0;
}

BOOL WINAPI console_event_handler(DWORD event_type) {
  // Once true, the child has been created, and after its end the main thread is on the
  // normal road already: an interrupt then must not replace the child's exit code.
  const bool application_started = console_program.load() && child_created.load();
  switch (decide_console_event(event_type, application_started)) {
    case ConsoleEventAction::leave_to_application:
      return TRUE;
    case ConsoleEventAction::clean_up_and_end:
      clean_up();
      return FALSE;
    case ConsoleEventAction::none:
      return FALSE;
  }
  return FALSE;
}
