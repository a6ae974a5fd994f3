// report-exit-code.exe COMMAND LINE: runs the command line given after its own name, with
// the same standard handles, waits for it and prints its full 32-bit exit code. The Unix
// exit status of a program started through wine keeps only the low 8 bits, and a shell
// built into Windows shows the code as a signed number, so the demo reads it here.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <initializer_list>

namespace {

constexpr int start_failed_status = 125;

// The rest of a command line after its first argument, by the rule Windows uses for
// argument 0: up to the closing quote when it starts with one, else up to a blank.
const wchar_t* skip_first_argument(const wchar_t* command_line) {
  const wchar_t* at = command_line;
  if (*at == L'"') {
    ++at;
    while (*at != L'\0' && *at != L'"') ++at;
    if (*at == L'"') ++at;
  } else {
    while (*at != L'\0' && *at != L' ' && *at != L'\t') ++at;
  }
  while (*at == L' ' || *at == L'\t') ++at;
  return at;
}

// Hands the standard handles on, marked inheritable so that a GUI-subsystem child (which
// gets no console handles of its own) writes where this program writes.
void prepare_standard_handles(STARTUPINFOW& startup) {
  startup.dwFlags |= STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = GetStdHandle(STD_OUTPUT_HANDLE);
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  for (HANDLE handle : {startup.hStdInput, startup.hStdOutput, startup.hStdError}) {
    if (handle != nullptr && handle != INVALID_HANDLE_VALUE) {
      SetHandleInformation(handle, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
    }
  }
}

}  // namespace

int wmain() {
  // CreateProcessW may write into the command line, so it gets a copy of its own.
  static wchar_t command[32768];
  const wchar_t* rest = skip_first_argument(GetCommandLineW());
  if (*rest == L'\0' || std::swprintf(command, sizeof command / sizeof command[0], L"%ls", rest) < 0) {
    std::fprintf(stderr, "usage: report-exit-code PROGRAM [ARGUMENTS...]\n");
    return start_failed_status;
  }
  STARTUPINFOW startup = {};
  startup.cb = sizeof startup;
  prepare_standard_handles(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command, nullptr, nullptr, TRUE /* inherit handles */, 0, nullptr, nullptr,
                      &startup, &process)) {
    const DWORD error = GetLastError();
    std::fprintf(stderr, "report-exit-code: cannot start the program (error %lu)\n", error);
    return start_failed_status;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exit_code = 0;
  GetExitCodeProcess(process.hProcess, &exit_code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  std::fflush(stdout);
  std::printf("exit code: %lu (0x%08lX, as signed %ld)\n", exit_code, exit_code, static_cast<long>(exit_code));
  return 0;
}
