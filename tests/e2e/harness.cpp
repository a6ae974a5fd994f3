#include "e2e/harness.h"

#include "tools/pack/unpack_place.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwctype>

#include "support/files.h"
#include "tools/pack/payload_writer.h"
#include "tools/pack/pe_resources.h"
#include "tools/pack/unpack_place.h"

namespace {

// Low levels pack the small test applications in milliseconds; the launcher reads any level.
constexpr int test_pack_level = 3;
constexpr int start_attempts = 3;
constexpr DWORD start_retry_pause_ms = 200;
constexpr size_t read_piece = 4096;
constexpr size_t standard_data_size = 70001;  // more than two write pieces, odd
// The hand-over variables, and the machine's unpacking folder, which would move every tree.
constexpr const wchar_t* handover_variables[] = {L"TAVRIN_ONEFILE_PARENT", L"TAVRIN_ONEFILE_START",
                                                 L"TAVRIN_ONEFILE_DIRECTORY", L"TAVRIN_ORIGINAL_ARGV0",
                                                 L"TAVRIN_UNPACK_ROOT"};

struct NoCaseLess {
  bool operator()(const std::wstring& a, const std::wstring& b) const { return _wcsicmp(a.c_str(), b.c_str()) < 0; }
};

bool is_test_variable(const std::wstring& name) {
  for (const wchar_t* handover : handover_variables) {
    if (_wcsicmp(name.c_str(), handover) == 0) return true;
  }
  return _wcsnicmp(name.c_str(), L"E2E_", 4) == 0;
}

std::vector<wchar_t> build_environment(const Workspace& workspace, const LaunchOptions& options) {
  std::map<std::wstring, std::wstring, NoCaseLess> variables;
  std::vector<std::wstring> hidden;  // "=C:=C:\..." entries stay in front
  wchar_t* block = GetEnvironmentStringsW();
  for (const wchar_t* p = block; *p != L'\0'; p += wcslen(p) + 1) {
    const std::wstring entry(p);
    const size_t equals = entry.find(L'=', 1);
    if (entry[0] == L'=' || equals == std::wstring::npos) {
      hidden.push_back(entry);
    } else if (!is_test_variable(entry.substr(0, equals))) {
      variables[entry.substr(0, equals)] = entry.substr(equals + 1);
    }
  }
  FreeEnvironmentStringsW(block);
  variables[L"TEMP"] = workspace.temp;
  variables[L"TMP"] = workspace.temp;
  for (const auto& name : options.remove_variables) variables.erase(name);
  for (const auto& [name, value] : options.set_variables) variables[name] = value;
  std::vector<wchar_t> result;
  for (const auto& entry : hidden) result.insert(result.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
  for (const auto& [name, value] : variables) {
    const std::wstring entry = name + L"=" + value;
    result.insert(result.end(), entry.c_str(), entry.c_str() + entry.size() + 1);
  }
  result.push_back(L'\0');
  return result;
}

void drain(HANDLE pipe, std::string* sink) {
  char buffer[read_piece];
  DWORD read = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &read, nullptr) && read > 0) sink->append(buffer, read);
}

HANDLE open_inheritable(const std::wstring& path, bool for_writing) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(path.c_str(), for_writing ? GENERIC_WRITE : GENERIC_READ,
                     FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable, for_writing ? CREATE_ALWAYS : OPEN_EXISTING,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

ByteVector to_bytes(const std::string& text) {
  return ByteVector(text.begin(), text.end());
}

std::wstring decode_hex_units(const std::string& text) {
  std::wstring result;
  if (text.empty() || text[0] != 'x') return result;
  for (size_t i = 1; i + 4 <= text.size(); i += 4) {
    result.push_back(static_cast<wchar_t>(std::stoul(text.substr(i, 4), nullptr, 16)));
  }
  return result;
}

}  // namespace

Workspace make_workspace(const std::wstring& name) {
  Workspace workspace;
  workspace.root = make_temp_directory(L"e2e_" + name);
  workspace.temp = workspace.root + L"\\temp";
  workspace.app = workspace.root + L"\\app";
  workspace.bin = workspace.root + L"\\bin";
  CreateDirectoryW(workspace.temp.c_str(), nullptr);
  CreateDirectoryW(workspace.app.c_str(), nullptr);
  CreateDirectoryW(workspace.bin.c_str(), nullptr);
  return workspace;
}

void remove_workspace(const Workspace& workspace) {
  if (!workspace.root.empty()) remove_tree(workspace.root);
}

bool copy_helper(const std::wstring& helper, const std::wstring& directory, const std::wstring& name) {
  const std::wstring target = directory + L"\\" + name;
  const size_t cut = target.rfind(L'\\');
  CreateDirectoryW(target.substr(0, cut).c_str(), nullptr);
  return CopyFileW(sibling_path(helper).c_str(), target.c_str(), FALSE) != 0;
}

std::wstring launcher_stub_path() {
  return sibling_path(L"tavrin-launcher.exe");
}

std::string pack_payload(const ByteVector& payload, const std::wstring& exe_path,
                         const std::vector<ResourceItem>& companions) {
  const std::string stub_text = read_file(launcher_stub_path());
  if (stub_text.empty()) return "cannot read the launcher stub " + narrow(launcher_stub_path());
  ByteVector exe;
  std::string error;
  const ResourceEdit edit = [&companions](std::vector<ResourceItem>* items, std::string*) {
    set_place_resources(companions, items);
    return true;
  };
  if (!attach_payload(to_bytes(stub_text), payload.data(), payload.size(), &exe, &error, edit)) return error;
  if (!write_file(exe_path, std::string(exe.begin(), exe.end()))) return "cannot write " + narrow(exe_path);
  return std::string();
}

std::string pack_directory(const std::wstring& directory, const std::wstring& main_library,
                           const std::wstring& exe_path, ByteVector* payload_out) {
  PackRequest request;
  request.directory = std::filesystem::path(directory);
  request.main_library = std::filesystem::path(main_library);
  request.level = test_pack_level;
  ByteVector payload;
  std::string error;
  if (!build_payload_bytes(request, &payload, &error)) return error;
  if (payload_out != nullptr) *payload_out = payload;
  return pack_payload(payload, exe_path);
}

std::string prepare_standard_app(const Workspace& workspace, std::wstring* exe) {
  if (!copy_helper(L"e2e_app.dll", workspace.app, L"app.dll")) return "cannot copy e2e_app.dll";
  CreateDirectoryW((workspace.app + L"\\extra").c_str(), nullptr);
  std::string data;
  for (size_t i = 0; i < standard_data_size; ++i) data.push_back(static_cast<char>((i * 7919) >> 3));
  if (!write_file(workspace.app + L"\\" + standard_data_file, data)) return "cannot write the data file";
  *exe = workspace.bin + L"\\" + standard_exe_name;
  return pack_directory(workspace.app, L"app.dll", *exe);
}

std::wstring quote_argument(const std::wstring& argument) {
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (const wchar_t unit : argument) {
    if (unit == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote are doubled and the quote escaped; elsewhere they stay.
    quoted.append(unit == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
    quoted.push_back(unit);
    backslashes = 0;
  }
  quoted.append(2 * backslashes, L'\\');
  quoted.push_back(L'"');
  return quoted;
}

Launch::~Launch() {
  if (process_ != nullptr) {
    TerminateProcess(process_, 0xDEAD);
    wait();
  }
}

bool Launch::start(const Workspace& workspace, const std::wstring& exe, const std::wstring& argv0,
                   const std::vector<std::wstring>& arguments, const LaunchOptions& options) {
  SECURITY_ATTRIBUTES inheritable{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  HANDLE in_read = nullptr, in_write = nullptr, out_write = nullptr, err_write = nullptr;
  if (options.no_standard_handles) {
    // All three stay null.
  } else if (options.output_file.empty()) {
    CreatePipe(&out_read_, &out_write, &inheritable, 0);
    CreatePipe(&err_read_, &err_write, &inheritable, 0);
    SetHandleInformation(out_read_, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_read_, HANDLE_FLAG_INHERIT, 0);
  } else {
    out_write = open_inheritable(options.output_file, true);
    err_write = out_write;
  }
  if (options.no_standard_handles) {
    // All three stay null.
  } else if (options.stdin_file.empty()) {
    CreatePipe(&in_read, &in_write, &inheritable, 0);
    SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
  } else {
    in_read = open_inheritable(options.stdin_file, false);
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = in_read;
  startup.hStdOutput = out_write;
  startup.hStdError = err_write;
  std::wstring line = argv0;
  for (const auto& argument : arguments) line += L" " + quote_argument(argument);
  std::vector<wchar_t> line_buffer(line.begin(), line.end());
  line_buffer.push_back(L'\0');
  std::vector<wchar_t> environment = build_environment(workspace, options);
  const std::wstring directory = options.current_directory.empty() ? workspace.root : options.current_directory;
  PROCESS_INFORMATION created{};
  // The start of the program under test is the harness's own step; under load wine has been
  // seen to refuse it now and then before the program ran at all, so it is tried again.
  BOOL ok = FALSE;
  std::string refusals;
  for (int attempt = 0; attempt < start_attempts && !ok; ++attempt) {
    if (attempt > 0) Sleep(start_retry_pause_ms);
    ok = CreateProcessW(exe.c_str(), line_buffer.data(), nullptr, nullptr, !options.no_standard_handles,
                        CREATE_UNICODE_ENVIRONMENT | (options.suspended ? CREATE_SUSPENDED : 0), environment.data(),
                        directory.c_str(), &startup, &created);
    if (!ok) {
      const DWORD error = GetLastError();
      refusals += " " + std::to_string(error);
    }
  }
  if (ok && !refusals.empty()) fprintf(stderr, "harness: CreateProcessW refused the start first:%s\n", refusals.c_str());
  CloseHandle(in_read);
  CloseHandle(out_write);
  if (err_write != out_write) CloseHandle(err_write);
  if (!ok) {
    result_.err = "CreateProcessW failed with" + refusals;
    if (in_write != nullptr) CloseHandle(in_write);
    return false;
  }
  if (options.suspended) {
    suspended_thread_ = created.hThread;
  } else {
    CloseHandle(created.hThread);
  }
  process_ = created.hProcess;
  pid_ = created.dwProcessId;
  timeout_ms_ = options.timeout_ms;
  if (out_read_ != nullptr) out_thread_ = std::thread(drain, out_read_, &result_.out);
  if (err_read_ != nullptr) err_thread_ = std::thread(drain, err_read_, &result_.err);
  const std::string input = options.standard_input;
  if (in_write != nullptr) {
    in_thread_ = std::thread([in_write, input] {
      DWORD written = 0;
      if (!input.empty()) WriteFile(in_write, input.data(), static_cast<DWORD>(input.size()), &written, nullptr);
      CloseHandle(in_write);
    });
  }
  return true;
}

ProcessResult launch_after_preparing(const Workspace& workspace, const std::wstring& exe, const std::wstring& start,
                                     const std::function<void(const std::wstring& target)>& prepare) {
  LaunchOptions options;
  options.suspended = true;
  options.set_variables.push_back({L"TAVRIN_ONEFILE_START", start});
  Launch run;
  if (!run.start(workspace, exe, quote_argument(exe), {}, options)) {
    ProcessResult failed;
    failed.exit_code = static_cast<DWORD>(-1);
    failed.err = "harness: " + run.start_failure();
    return failed;
  }
  prepare(expected_target(workspace, run.pid(), start));
  run.resume();
  return run.wait();
}

bool Launch::resume() {
  if (suspended_thread_ == nullptr) return false;
  const bool resumed = ResumeThread(suspended_thread_) != static_cast<DWORD>(-1);
  CloseHandle(suspended_thread_);
  suspended_thread_ = nullptr;
  return resumed;
}

ProcessResult Launch::wait() {
  // A process left suspended would never end.
  resume();
  if (process_ != nullptr) {
    if (WaitForSingleObject(process_, timeout_ms_) != WAIT_OBJECT_0) {
      result_.timed_out = true;
      TerminateProcess(process_, 0xDEAD);
      WaitForSingleObject(process_, INFINITE);
    }
    GetExitCodeProcess(process_, &result_.exit_code);
    CloseHandle(process_);
    process_ = nullptr;
  }
  for (std::thread* worker : {&in_thread_, &out_thread_, &err_thread_}) {
    if (worker->joinable()) worker->join();
  }
  for (HANDLE* pipe : {&out_read_, &err_read_}) {
    if (*pipe != nullptr) CloseHandle(*pipe);
    *pipe = nullptr;
  }
  return result_;
}

ProcessResult launch(const Workspace& workspace, const std::wstring& exe, const std::vector<std::wstring>& arguments,
                     const LaunchOptions& options, DWORD* pid) {
  Launch run;
  if (!run.start(workspace, exe, quote_argument(exe), arguments, options)) {
    ProcessResult failed;
    failed.exit_code = 0xFFFFFFFF;
    failed.err = "the launch itself failed: " + run.start_failure();
    return failed;
  }
  if (pid != nullptr) *pid = run.pid();
  return run.wait();
}

std::wstring AppReport::module_directory() const {
  return module.substr(0, module.rfind(L'\\'));
}

std::optional<std::wstring> AppReport::variable(const char* name) const {
  const auto found = variables.find(name);
  return found == variables.end() ? std::nullopt : found->second;
}

std::vector<AppReport> parse_reports(const std::string& output) {
  std::vector<AppReport> reports;
  AppReport current;
  bool inside = false;
  size_t start = 0;
  while (start < output.size()) {
    size_t end = output.find('\n', start);
    if (end == std::string::npos) end = output.size();
    std::string text = output.substr(start, end - start);
    start = end + 1;
    if (!text.empty() && text.back() == '\r') text.pop_back();
    const size_t space = text.find(' ');
    const std::string key = text.substr(0, space);
    const std::string rest = space == std::string::npos ? std::string() : text.substr(space + 1);
    if (key == "begin") {
      current = AppReport();
      inside = true;
    } else if (key == "end" && inside) {
      reports.push_back(current);
      inside = false;
    } else if (inside && key == "pid") {
      current.pid = static_cast<DWORD>(std::stoul(rest));
    } else if (inside && key == "arg") {
      current.arguments.push_back(decode_hex_units(rest.substr(rest.find(' ') + 1)));
    } else if (inside && key == "env") {
      const std::string name = rest.substr(0, rest.find(' '));
      const std::string value = rest.substr(rest.find(' ') + 1);
      current.variables[name] = value == "-" ? std::nullopt : std::optional<std::wstring>(decode_hex_units(value));
    } else if (inside && key == "module") {
      current.module = decode_hex_units(rest);
    }
  }
  return reports;
}

std::string report_value(const std::string& output, const std::string& key) {
  const std::string marker = key + " ";
  size_t at = output.rfind("\n" + marker);
  if (at == std::string::npos) {
    if (output.compare(0, marker.size(), marker) != 0) return std::string();
    at = 0;
  } else {
    at += 1;
  }
  const size_t end = output.find_first_of("\r\n", at);
  return output.substr(at + marker.size(), end == std::string::npos ? std::string::npos : end - at - marker.size());
}

std::wstring expected_target(const Workspace& workspace, DWORD parent_pid, const std::wstring& start) {
  return workspace.temp + L"\\onefile_" + std::to_wstring(parent_pid) + L"_" + start;
}

std::vector<std::wstring> directory_names(const std::wstring& directory) {
  std::vector<std::wstring> names;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(name);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::wstring> temp_entries(const Workspace& workspace) {
  return directory_names(workspace.temp);
}

bool is_decimal(const std::wstring& text) {
  return !text.empty() && std::all_of(text.begin(), text.end(), [](wchar_t unit) { return unit >= L'0' && unit <= L'9'; });
}

EventPair::EventPair() {
  static std::atomic<unsigned> counter{0};
  const std::wstring base = L"tavrin_e2e_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
                            std::to_wstring(counter++) + L"_" + std::to_wstring(GetTickCount64());
  ready_name = base + L"_ready";
  go_name = base + L"_go";
  ready = CreateEventW(nullptr, TRUE /* manual reset */, FALSE, ready_name.c_str());
  go = CreateEventW(nullptr, TRUE /* manual reset */, FALSE, go_name.c_str());
}

EventPair::~EventPair() {
  SetEvent(go);
  CloseHandle(ready);
  CloseHandle(go);
}

bool EventPair::wait_ready(DWORD timeout_ms) const {
  return WaitForSingleObject(ready, timeout_ms) == WAIT_OBJECT_0;
}

void EventPair::add_to(LaunchOptions* options) const {
  options->set_variables.push_back({L"E2E_READY", ready_name});
  options->set_variables.push_back({L"E2E_GO", go_name});
}

std::string system_text(DWORD code) {
  char* text = nullptr;
  const DWORD length = FormatMessageA(0x1300 /* from system, ignore inserts, allocate */, nullptr, code,
                                      1033 /* en-US */, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string result = length > 0 && text != nullptr ? std::string(text, length) : std::string();
  if (text != nullptr) LocalFree(text);
  return result;
}

bool running_under_wine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

std::string printable(const std::string& bytes) {
  std::string text;
  for (const char c : bytes) {
    const unsigned char u = static_cast<unsigned char>(c);
    if (u == '\n' || (u >= 0x20 && u < 0x7F)) {
      text.push_back(c);
    } else {
      char escaped[8];
      snprintf(escaped, sizeof escaped, "\\x%02x", u);
      text += escaped;
    }
  }
  return text;
}

void WorkspaceTest::SetUp() {
  workspace_ = make_workspace(widen(::testing::UnitTest::GetInstance()->current_test_info()->name()));
  ASSERT_FALSE(workspace_.root.empty());
}

void StandardAppTest::SetUp() {
  WorkspaceTest::SetUp();
  if (HasFatalFailure()) return;
  ASSERT_EQ(prepare_standard_app(workspace_, &exe_), "");
}

