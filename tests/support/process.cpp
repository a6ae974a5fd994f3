#include "support/process.h"

#include <algorithm>
#include <cwctype>
#include <map>
#include <thread>

namespace {

constexpr int start_attempts = 3;
constexpr DWORD start_retry_pause_ms = 200;

struct CaseInsensitiveLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const {
    return _wcsicmp(a.c_str(), b.c_str()) < 0;
  }
};

std::vector<wchar_t> build_environment(const RunOptions& options) {
  std::map<std::wstring, std::wstring, CaseInsensitiveLess> variables;
  std::vector<std::wstring> hidden;  // "=C:=C:\..." entries keep their place in front
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) {
    std::wstring entry(p);
    const size_t equals = entry.find(L'=', 1);
    if (entry[0] == L'=' || equals == std::wstring::npos) {
      hidden.push_back(entry);
      continue;
    }
    variables[entry.substr(0, equals)] = entry.substr(equals + 1);
  }
  FreeEnvironmentStringsW(block);
  for (const auto& name : options.remove_variables) variables.erase(name);
  for (const auto& [name, value] : options.set_variables) variables[name] = value;
  std::vector<wchar_t> result;
  for (const auto& entry : hidden) result.insert(result.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
  for (const auto& [name, value] : variables) {
    std::wstring entry = name + L"=" + value;
    result.insert(result.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
  }
  result.push_back(L'\0');
  if (result.size() == 1) result.push_back(L'\0');
  return result;
}

void drain(HANDLE pipe, std::string* sink) {
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) sink->append(buffer, read);
}

}  // namespace

ProcessResult run_process(const std::wstring& application, const std::wstring& command_line,
                          const RunOptions& options) {
  ProcessResult result;
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr, err_read = nullptr, err_write = nullptr;
  HANDLE in_read = nullptr, in_write = nullptr;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  if (!options.no_standard_handles) {
    CreatePipe(&out_read, &out_write, &inheritable, 0);
    CreatePipe(&err_read, &err_write, &inheritable, 0);
    CreatePipe(&in_read, &in_write, &inheritable, 0);
    SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read;
    startup.hStdOutput = out_write;
    startup.hStdError = err_write;
  } else {
    startup.dwFlags = STARTF_USESTDHANDLES;  // all three null: no standard handles
  }
  std::vector<wchar_t> environment = build_environment(options);
  std::vector<wchar_t> line(command_line.begin(), command_line.end());
  line.push_back(L'\0');
  PROCESS_INFORMATION process{};
  // Under load wine has been seen to refuse a start now and then before the program ran at
  // all; the start is the harness's own step, so it is tried again.
  BOOL created = FALSE;
  DWORD error = 0;
  for (int attempt = 0; attempt < start_attempts && !created; ++attempt) {
    if (attempt > 0) Sleep(start_retry_pause_ms);
    created = CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE /* inherit handles */,
                             CREATE_UNICODE_ENVIRONMENT | CREATE_NO_WINDOW, environment.data(),
                             options.current_directory.empty() ? nullptr : options.current_directory.c_str(),
                             &startup, &process);
    if (!created) error = GetLastError();
  }
  if (!options.no_standard_handles) {
    CloseHandle(out_write);
    CloseHandle(err_write);
    CloseHandle(in_read);
  }
  if (!created) {
    result.exit_code = 0xFFFFFFFF;
    result.err = "run_process: CreateProcessW failed with " + std::to_string(error);
    if (!options.no_standard_handles) {
      CloseHandle(out_read);
      CloseHandle(err_read);
      CloseHandle(in_write);
    }
    return result;
  }
  CloseHandle(process.hThread);
  std::thread out_thread, err_thread, in_thread;
  if (!options.no_standard_handles) {
    out_thread = std::thread(drain, out_read, &result.out);
    err_thread = std::thread(drain, err_read, &result.err);
    in_thread = std::thread([in_write, &options] {
      DWORD written = 0;
      if (!options.standard_input.empty()) {
        WriteFile(in_write, options.standard_input.data(), static_cast<DWORD>(options.standard_input.size()),
                  &written, nullptr);
      }
      CloseHandle(in_write);
    });
  }
  if (WaitForSingleObject(process.hProcess, options.timeout_ms) != WAIT_OBJECT_0) {
    result.timed_out = true;
    TerminateProcess(process.hProcess, 0xDEAD);
    WaitForSingleObject(process.hProcess, INFINITE);
  }
  GetExitCodeProcess(process.hProcess, &result.exit_code);
  CloseHandle(process.hProcess);
  if (!options.no_standard_handles) {
    in_thread.join();
    out_thread.join();
    err_thread.join();
    CloseHandle(out_read);
    CloseHandle(err_read);
  }
  return result;
}

std::wstring own_directory() {
  wchar_t path[MAX_PATH * 8];
  const DWORD length = GetModuleFileNameW(nullptr, path, static_cast<DWORD>(std::size(path)));
  std::wstring text(path, length);
  return text.substr(0, text.rfind(L'\\'));
}

std::wstring sibling_path(const std::wstring& file_name) {
  return own_directory() + L"\\" + file_name;
}

ProcessResult run_probe(const std::wstring& scenario, const std::vector<std::wstring>& arguments,
                        const RunOptions& options) {
  const std::wstring probe = sibling_path(L"tavrin_probe.exe");
  std::wstring line = L"\"" + probe + L"\" " + scenario;
  for (const auto& argument : arguments) line += L" \"" + argument + L"\"";
  return run_process(probe, line, options);
}

PROCESS_INFORMATION start_and_await_first_line(const std::wstring& application, const std::wstring& command_line,
                                               bool* ready) {
  *ready = false;
  PROCESS_INFORMATION process{};
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE out_read = nullptr, out_write = nullptr;
  if (!CreatePipe(&out_read, &out_write, &inheritable, 0)) return process;
  SetHandleInformation(out_read, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = out_write;
  startup.hStdError = out_write;
  std::vector<wchar_t> line(command_line.begin(), command_line.end());
  line.push_back(L'\0');
  if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, TRUE /* inherit handles */,
                      CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    process = PROCESS_INFORMATION{};
  }
  CloseHandle(out_write);
  if (process.hThread != nullptr) CloseHandle(process.hThread);
  process.hThread = nullptr;
  char unit = 0;
  DWORD read = 0;
  while (process.hProcess != nullptr && ReadFile(out_read, &unit, 1, &read, nullptr) && read == 1) {
    if (unit == '\n') {
      *ready = true;
      break;
    }
  }
  CloseHandle(out_read);
  return process;
}

