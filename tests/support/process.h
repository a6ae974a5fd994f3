// Running a Windows program as a child with redirected handles, for tests that watch
// exit codes and output streams from outside.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

struct RunOptions {
  // Variables set (value) or removed (nullopt-like: empty second with remove=true) in the
  // child's environment only; the test process's own environment is left alone.
  std::vector<std::pair<std::wstring, std::wstring>> set_variables;
  std::vector<std::wstring> remove_variables;
  std::string standard_input;        // written to the child's standard input, then closed
  bool no_standard_handles = false;  // start the child without any standard handles
  std::wstring current_directory;    // empty: the test's own
  DWORD timeout_ms = 120000;         // the child is killed after this (a hang fails the test)
};

struct ProcessResult {
  DWORD exit_code = 0;  // from GetExitCodeProcess
  std::string out;      // standard output, bytes as written
  std::string err;      // standard error, bytes as written
  bool timed_out = false;
};

// Starts application with command_line (argument 0 included) and waits for it.
ProcessResult run_process(const std::wstring& application, const std::wstring& command_line,
                          const RunOptions& options = {});

// The directory that holds the running test executable, without a trailing backslash.
std::wstring own_directory();
// A file next to the running test executable (helpers are built into the same folder).
std::wstring sibling_path(const std::wstring& file_name);

// The probe: tavrin_probe.exe scenario [arguments...].
ProcessResult run_probe(const std::wstring& scenario, const std::vector<std::wstring>& arguments = {},
                        const RunOptions& options = {});

// Starts application with its standard output and error on a pipe of the caller's own (never
// on the test's inherited handles) and returns once the child has written its first line or
// ended, so that a child killed later is never killed half-way through its start. The thread
// handle is closed; hProcess is null when the start failed. *ready tells whether a line came.
PROCESS_INFORMATION start_and_await_first_line(const std::wstring& application, const std::wstring& command_line,
                                               bool* ready);

// The exit status of a process ended by abort() (the C runtime's abnormal termination).
constexpr DWORD abort_exit_code = 3;
