// The configurable main library of the end-to-end tests. run_code reports what it sees
// (its arguments, the four hand-over variables, its own module path, its process id,
// whether user32 is loaded in its process) as one block on standard output, and into the
// file named by E2E_REPORT when that is set, then does what E2E_ACTION asks and returns the
// code in E2E_EXIT.
//
// Strings are written as "x" followed by four hex digits per UTF-16 unit, so that every
// unit (spaces, line feeds, surrogates) survives the trip through pipes and files.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>

namespace {

constexpr size_t line_capacity = 65536;
constexpr size_t value_capacity = 32768;
constexpr DWORD wait_limit_ms = 60000;  // a lost test never leaves a waiting app behind
constexpr DWORD stdin_capacity = 65536;

const char* const handover_variables[] = {"TAVRIN_ONEFILE_PARENT", "TAVRIN_ONEFILE_START",
                                          "TAVRIN_ONEFILE_DIRECTORY", "TAVRIN_ORIGINAL_ARGV0"};

char line[line_capacity];
char report[4 * line_capacity];
size_t report_length = 0;

void write_handle(HANDLE handle, const char* text, size_t length) {
  DWORD written = 0;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
    WriteFile(handle, text, static_cast<DWORD>(length), &written, nullptr);
  }
}

void append_report(const char* text) {
  const size_t length = strlen(text);
  if (report_length + length < sizeof report) {
    memcpy(report + report_length, text, length);
    report_length += length;
  }
}

// "x" and the hex units of text, appended to line.
void append_hex(const wchar_t* text) {
  size_t used = strlen(line);
  line[used++] = 'x';
  for (const wchar_t* unit = text; *unit != L'\0' && used + 5 < line_capacity; ++unit) {
    snprintf(line + used, line_capacity - used, "%04x", static_cast<unsigned>(*unit));
    used += 4;
  }
  line[used] = '\0';
}

void report_string(const char* key, const wchar_t* value) {
  snprintf(line, line_capacity, "%s ", key);
  if (value == nullptr) {
    strcat(line, "-");
  } else {
    append_hex(value);
  }
  strcat(line, "\n");
  append_report(line);
}

const wchar_t* read_variable(const wchar_t* name, wchar_t* buffer) {
  const DWORD length = GetEnvironmentVariableW(name, buffer, static_cast<DWORD>(value_capacity));
  return length == 0 || length >= value_capacity ? nullptr : buffer;
}

void build_report(int argc, wchar_t** argv) {
  static wchar_t value[value_capacity];
  snprintf(line, line_capacity, "begin\npid %lu\nargc %d\n", GetCurrentProcessId(), argc);
  append_report(line);
  for (int i = 0; i < argc; ++i) {
    char key[32];
    snprintf(key, sizeof key, "arg %d", i);
    report_string(key, argv[i]);
  }
  for (const char* name : handover_variables) {
    wchar_t wide_name[64];
    mbstowcs(wide_name, name, 64);
    char key[64];
    snprintf(key, sizeof key, "env %s", name);
    report_string(key, read_variable(wide_name, value));
  }
  HMODULE self = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCWSTR>(&build_report), &self);
  GetModuleFileNameW(self, value, static_cast<DWORD>(value_capacity));
  report_string("module", value);
  // Read before anything of the app's own could load it: what the launcher brought along.
  snprintf(line, line_capacity, "user32 %d\n", GetModuleHandleW(L"user32.dll") != nullptr ? 1 : 0);
  append_report(line);
  append_report("end\n");
}

void publish_report() {
  write_handle(GetStdHandle(STD_OUTPUT_HANDLE), report, report_length);
  static wchar_t path[value_capacity];
  if (read_variable(L"E2E_REPORT", path) != nullptr) {
    HANDLE file = CreateFileW(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
    write_handle(file, report, report_length);
    CloseHandle(file);
  }
}

void print_line(const char* text) {
  write_handle(GetStdHandle(STD_OUTPUT_HANDLE), text, strlen(text));
}

// Tells the test it is running (E2E_READY names an event), then waits until the test
// lets it go on (E2E_GO).
void wait_for_go() {
  static wchar_t name[value_capacity];
  if (read_variable(L"E2E_READY", name) != nullptr) {
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, name);
    SetEvent(ready);
    CloseHandle(ready);
  }
  if (read_variable(L"E2E_GO", name) != nullptr) {
    HANDLE go = OpenEventW(SYNCHRONIZE, FALSE, name);
    WaitForSingleObject(go, wait_limit_ms);
    CloseHandle(go);
  }
}

// Starts a process that shares nothing with this one (no handles, no console), as an
// application starts a program meant to outlive it; its ID, 0 when it did not start.
DWORD start_detached(const wchar_t* application, wchar_t* command_line) {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  // No standard handles at all: without this flag wine hands the new process this one's.
  startup.dwFlags = STARTF_USESTDHANDLES;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(application, command_line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                      &startup, &process)) {
    return 0;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return process.dwProcessId;
}

// Starts the launcher it runs under (argument 0) once more and returns, as a restart does:
// the copy gets E2E_SPAWN_ACTION as its action and writes its report into E2E_SPAWN_REPORT.
// When E2E_READY names an event, it returns only once the copy's app has set it, so that
// the copy surely decides its role while this start still runs (a quick first start could
// otherwise be over before, and the copy would start afresh by timing alone). Reports the
// copy's ID.
void relaunch(wchar_t** argv) {
  static wchar_t value[value_capacity];
  const wchar_t* next = read_variable(L"E2E_SPAWN_ACTION", value);
  SetEnvironmentVariableW(L"E2E_ACTION", next != nullptr ? next : L"none");
  SetEnvironmentVariableW(L"E2E_REPORT", read_variable(L"E2E_SPAWN_REPORT", value));
  SetEnvironmentVariableW(L"E2E_EXIT", nullptr);
  static wchar_t command_line[value_capacity];
  swprintf(command_line, value_capacity, L"\"%ls\" relaunched", argv[0]);
  snprintf(line, line_capacity, "relaunched_pid %lu\n", start_detached(argv[0], command_line));
  print_line(line);
  if (read_variable(L"E2E_READY", value) != nullptr) {
    HANDLE ready = OpenEventW(SYNCHRONIZE, FALSE, value);
    WaitForSingleObject(ready, wait_limit_ms);
    CloseHandle(ready);
  }
}

// Starts the command line in E2E_HELPER (a program meant to outlive the application), then
// waits as the action "wait" does.
void start_helper_and_wait() {
  static wchar_t command_line[value_capacity];
  if (read_variable(L"E2E_HELPER", command_line) != nullptr) start_detached(nullptr, command_line);
  wait_for_go();
}

// Starts the command line in E2E_HELPER outside every job, as updaters and browsers ask
// for it, and reports the creation's error (0 when the process started).
void start_breaking_away() {
  static wchar_t command_line[value_capacity];
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  DWORD error = ERROR_INVALID_PARAMETER;
  if (read_variable(L"E2E_HELPER", command_line) != nullptr) {
    error = CreateProcessW(nullptr, command_line, nullptr, nullptr, FALSE, CREATE_BREAKAWAY_FROM_JOB | CREATE_NO_WINDOW,
                           nullptr, nullptr, &startup, &process)
                ? 0
                : GetLastError();
  }
  if (error == 0) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  snprintf(line, line_capacity, "breakaway %lu\n", error);
  print_line(line);
}

// Shows a visible top-level window, as an application's main window, then waits as the
// action "wait" does. user32 is loaded only here, so the report still tells what the
// launcher brought along.
void show_window_and_wait() {
  using CreateWindowFunction = HWND(WINAPI*)(DWORD, LPCWSTR, LPCWSTR, DWORD, int, int, int, int, HWND, HMENU,
                                             HINSTANCE, LPVOID);
  const HMODULE user32 = LoadLibraryW(L"user32.dll");
  const auto create = reinterpret_cast<CreateWindowFunction>(
      reinterpret_cast<void (*)()>(GetProcAddress(user32, "CreateWindowExW")));
  if (create != nullptr) {
    create(0, L"STATIC", L"e2e app", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 300, 200, nullptr, nullptr, nullptr,
           nullptr);
  }
  wait_for_go();
}

// Reports standard input, then writes E2E_LINES numbered lines alternately to standard
// output and standard error.
void echo_input() {
  static char input[stdin_capacity];
  DWORD total = 0;
  DWORD read = 0;
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  while (total < stdin_capacity && ReadFile(in, input + total, stdin_capacity - total, &read, nullptr) &&
         read > 0) {
    total += read;
  }
  int used = snprintf(line, line_capacity, "stdin x");
  for (DWORD i = 0; i < total && static_cast<size_t>(used) + 3 < line_capacity; ++i) {
    used += snprintf(line + used, line_capacity - static_cast<size_t>(used), "%02x",
                     static_cast<unsigned char>(input[i]));
  }
  snprintf(line + used, line_capacity - static_cast<size_t>(used), "\n");
  print_line(line);
  static wchar_t value[value_capacity];
  const int count = read_variable(L"E2E_LINES", value) != nullptr ? _wtoi(value) : 0;
  for (int i = 1; i <= count; ++i) {
    char text[64];
    const bool to_error = i % 2 == 0;
    snprintf(text, sizeof text, "%s %d\n", to_error ? "err" : "out", i);
    write_handle(GetStdHandle(to_error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE), text, strlen(text));
  }
}

}  // namespace

extern "C" __declspec(dllexport) int run_code(int argc, wchar_t** argv) {
  static wchar_t action[value_capacity];
  static wchar_t exit_text[value_capacity];
  build_report(argc, argv);
  publish_report();
  // Read before any action: a relaunch removes the variable for the copy.
  const wchar_t* code = read_variable(L"E2E_EXIT", exit_text);
  // Any 32-bit pattern: parsed unsigned, handed back as the signed result.
  const int result = code != nullptr ? static_cast<int>(wcstoul(code, nullptr, 0)) : 0;
  const wchar_t* chosen = read_variable(L"E2E_ACTION", action);
  if (chosen != nullptr && wcscmp(chosen, L"wait") == 0) wait_for_go();
  if (chosen != nullptr && wcscmp(chosen, L"echo") == 0) echo_input();
  if (chosen != nullptr && wcscmp(chosen, L"relaunch") == 0) relaunch(argv);
  if (chosen != nullptr && wcscmp(chosen, L"helper") == 0) start_helper_and_wait();
  if (chosen != nullptr && wcscmp(chosen, L"breakaway") == 0) start_breaking_away();
  if (chosen != nullptr && wcscmp(chosen, L"window") == 0) show_window_and_wait();
  return result;
}
