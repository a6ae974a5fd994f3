// Scenarios for the launcher core: code that ends the process, starts a child or must be
// watched from outside (the child's own C runtime splitting its command line).
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>

#include "launcher/child.h"
#include "launcher/cleanup.h"
#include "launcher/console.h"
#include "launcher/role.h"
#include "launcher/run.h"
#include "launcher/state.h"
#include "paths/bounded.h"
#include "paths/env.h"
#include "paths/normalize.h"
#include "probe/probe.h"

namespace {

// Set by the parent half of the launch scenarios, so that the copy it starts (the same
// probe with the same arguments) plays the child.
constexpr const wchar_t probe_child_variable[] = L"TAVRIN_PROBE_CHILD";
constexpr size_t probe_path_capacity = 4096;

void print_hex(const wchar_t* text) {
  for (const wchar_t* p = text; *p != L'\0'; ++p) printf("%04x", static_cast<unsigned>(*p));
  printf("\n");
}

bool is_probe_child() {
  wchar_t value[8];
  return GetEnvironmentVariableW(probe_child_variable, value, 8) != 0;
}

unsigned long parse_number(const wchar_t* text) {
  return wcstoul(text, nullptr, 0);
}

// The child half: its whole argument vector as hex lines, what arrived on standard input,
// a line on standard error, and the exit code named by argument 2.
int run_as_probe_child() {
  printf("argc %d\n", __argc);
  for (int i = 0; i < __argc; ++i) print_hex(__wargv[i]);
  char input[256] = {};
  DWORD read = 0;
  ReadFile(GetStdHandle(STD_INPUT_HANDLE), input, sizeof input - 1, &read, nullptr);
  printf("stdin %s\n", input);
  fprintf(stderr, "child standard error\n");
  fflush(stdout);
  return static_cast<int>(parse_number(__wargv[3]));
}

void prepare_parent(const wchar_t* target_directory) {
  SetEnvironmentVariableW(probe_child_variable, L"1");
  copy_bounded(launcher_state.target_directory, target_directory, path_capacity);
  launcher_state.unpacking_started.store(1);
  launcher_state.tree_created.store(1);
}

// Security software's refusal: the first open of another process (TAVRIN_PROBE_REFUSE_OPEN
// "first"), or every one ("all"), fails with access denied.
std::atomic<int> refused_opens{0};
HANDLE refusing_opener(DWORD access, DWORD process_id) {
  wchar_t mode[8] = {};
  GetEnvironmentVariableW(L"TAVRIN_PROBE_REFUSE_OPEN", mode, 8);
  if (wcscmp(mode, L"all") == 0 || (wcscmp(mode, L"first") == 0 && refused_opens.fetch_add(1) == 0)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return nullptr;
  }
  return OpenProcess(access, FALSE, process_id);
}

}  // namespace

// argv: path [capacity]. Prints the normalised path; ends the process as normalize_path does.
PROBE_SCENARIO(normalize_path) {
  const size_t capacity = argc > 1 ? wcstoul(argv[1], nullptr, 10) : probe_path_capacity;
  static wchar_t path[probe_path_capacity];
  copy_bounded(path, argv[0], probe_path_capacity);
  normalize_path(path, path, capacity);
  printf("normalised %ls\n", path);
  return 0;
}

// Prints the role and the two variables it may change.
PROBE_SCENARIO(decide_role) {
  set_parent_opener(refusing_opener);
  const Role role = decide_role();
  wchar_t* parent = env_get(env_parent);
  wchar_t* start = env_get(env_start);
  wchar_t* cache = env_get(env_cache_dir);
  printf("role %s\nparent %ls\nstart %ls\nown %lu\ncache %ls\n", role == Role::child ? "child" : "parent",
         parent != nullptr ? parent : L"(absent)", start != nullptr ? start : L"(absent)",
         static_cast<unsigned long>(GetCurrentProcessId()), cache != nullptr ? cache : L"(absent)");
  return 0;
}

// The road of a real child: names itself in TAVRIN_ONEFILE_PARENT, gives its mark, starts
// its own executable with the decide_role scenario (its output on the same handles) and
// returns the copy's exit code. argv[0] "unmarked": no mark, as a start that runs the
// application in its own process; "planted": another program has made the event that once
// marked such a start by its process ID.
PROBE_SCENARIO(decide_role_in_copy) {
  env_set(env_parent, std::to_wstring(GetCurrentProcessId()).c_str());
  const std::wstring variant = argc > 0 ? argv[0] : L"";
  if (variant != L"unmarked") publish_child_mark();
  if (variant == L"planted") {
    const std::wstring planted = L"Local\\tavrin-onefile-in-process-" + std::to_wstring(GetCurrentProcessId());
    CreateEventW(nullptr, TRUE, FALSE, planted.c_str());
  }
  static wchar_t own[probe_path_capacity];
  GetModuleFileNameW(nullptr, own, probe_path_capacity);
  std::wstring line = L"\"" + std::wstring(own) + L"\" decide_role";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION copy{};
  if (!CreateProcessW(own, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &copy)) return 100;
  WaitForSingleObject(copy.hProcess, INFINITE);
  DWORD code = 101;
  GetExitCodeProcess(copy.hProcess, &code);
  CloseHandle(copy.hThread);
  CloseHandle(copy.hProcess);
  return static_cast<int>(code);
}

// Stays alive until it is terminated: a running process of another executable. The line
// tells the starter that the process is fully up, so it is never ended half-way through its
// start.
PROBE_SCENARIO(sleep_forever) {
  printf("ready\n");
  fflush(stdout);
  Sleep(INFINITE);
  return 0;
}

// Each argument after the scenario name as the C runtime split it, in hex UTF-16 units.
PROBE_SCENARIO(print_arguments) {
  printf("count %d\n", argc);
  for (int i = 0; i < argc; ++i) print_hex(argv[i]);
  return 0;
}

// argv: target_directory exit_code [arguments...]. The parent half runs launch_and_wait with
// the probe as its own executable; the child half reports what it received.
PROBE_SCENARIO(launch_child) {
  if (is_probe_child()) return run_as_probe_child();
  prepare_parent(argv[0]);
  const DWORD code = launch_and_wait();
  printf("parent returns %lu\n", static_cast<unsigned long>(code));
  return static_cast<int>(code);
}

// argv: as launch_child. The parent half first joins a job of its own that holds every
// process it starts: a parent that runs inside someone else's job.
PROBE_SCENARIO(launch_child_in_job) {
  if (is_probe_child()) return run_as_probe_child();
  HANDLE outer = CreateJobObjectW(nullptr, nullptr);
  if (outer == nullptr || !AssignProcessToJobObject(outer, GetCurrentProcess())) return 100;
  return probe_scenario_launch_child(argc, argv);
}

// argv: target_directory missing_executable. A launch that cannot start its child.
PROBE_SCENARIO(launch_missing_child) {
  prepare_parent(argv[0]);
  copy_bounded(launcher_state.own_path, argv[1], own_path_capacity);
  launch_and_wait();
  printf("launch returned\n");
  return 0;
}

namespace {

constexpr const wchar_t round_variable[] = L"TAVRIN_PROBE_ROUND";
constexpr DWORD child_ready_limit_ms = 30000;

// Named per parent and round, so that a child tells its own parent that it is up.
std::wstring ready_event_name(DWORD parent_id, const std::wstring& round) {
  return L"tavrin_probe_ready_" + std::to_wstring(parent_id) + L"_" + round;
}

int run_race_child() {
  wchar_t round[16] = {};
  GetEnvironmentVariableW(round_variable, round, 16);
  wchar_t parent[16] = {};
  GetEnvironmentVariableW(L"TAVRIN_PROBE_PARENT", parent, 16);
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE,
                            ready_event_name(static_cast<DWORD>(parse_number(parent)), round).c_str());
  if (ready != nullptr) SetEvent(ready);
  const int number = static_cast<int>(parse_number(round));
  if (number % 2 == 0) Sleep(INFINITE);
  return number;
}

}  // namespace

// argv: target_directory rounds. In each round the child hangs (even round) or ends by itself
// at once (odd round), while a second thread raises Ctrl+Break after a varying delay once the
// child is up and its handle is in place, and the main thread waits in launch_and_wait.
// Prints one line per round and how far the handle count drifted.
PROBE_SCENARIO(handler_race) {
  if (is_probe_child()) return run_race_child();
  set_child_grace_period(0);
  SetEnvironmentVariableW(L"TAVRIN_PROBE_PARENT", std::to_wstring(GetCurrentProcessId()).c_str());
  const int rounds = static_cast<int>(parse_number(argv[1]));
  DWORD handles_before = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles_before);
  for (int round = 0; round < rounds; ++round) {
    CreateDirectoryW(argv[0], nullptr);
    prepare_parent(argv[0]);
    const std::wstring round_text = std::to_wstring(round);
    SetEnvironmentVariableW(round_variable, round_text.c_str());
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, ready_event_name(GetCurrentProcessId(), round_text).c_str());
    std::atomic<bool> launch_returned{false};
    std::thread handler([round, ready, &launch_returned] {
      WaitForSingleObject(ready, child_ready_limit_ms);
      while (launcher_state.child_process.load() == nullptr && !launch_returned.load()) Sleep(1);
      Sleep(static_cast<DWORD>(round % 4) * 5);
      console_event_handler(CTRL_BREAK_EVENT);
    });
    const DWORD code = launch_and_wait();
    launch_returned.store(true);
    handler.join();
    CloseHandle(ready);
    printf("round %d code %lu slot %s\n", round, static_cast<unsigned long>(code),
           launcher_state.child_process.load() == nullptr ? "empty" : "held");
  }
  DWORD handles_after = 0;
  GetProcessHandleCount(GetCurrentProcess(), &handles_after);
  printf("handle drift %ld\n", static_cast<long>(handles_after) - static_cast<long>(handles_before));
  return 0;
}

// argv: library target_directory [arguments for run_code...].
PROBE_SCENARIO(run_main_library) {
  copy_bounded(launcher_state.main_library_path, argv[0], main_library_path_capacity);
  copy_bounded(launcher_state.target_directory, argv[1], path_capacity);
  launcher_state.argument_count = argc - 2;
  launcher_state.argument_vector = argv + 2;
  return run_main_library();
}

// The probe serves as a main library for itself: loading the running executable by its own
// path yields its module, and this export is what run_main_library calls. It prints what it
// received and returns the number in its last argument.
extern "C" __declspec(dllexport) int run_code(int argument_count, wchar_t** argument_vector) {
  printf("run_code %d\n", argument_count);
  for (int i = 0; i < argument_count; ++i) printf("%ls\n", argument_vector[i]);
  fflush(stdout);
  return argument_count > 0 ? static_cast<int>(wcstol(argument_vector[argument_count - 1], nullptr, 0)) : 0;
}
