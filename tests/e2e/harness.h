// What the end-to-end tests share: a private workspace per test (its own TEMP for the
// launcher), packing an application into a copy of the built launcher, starting the packed
// executable with redirected handles and reading back what the test main library reported.
#pragma once

#include <windows.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "support/process.h"
#include "tools/pack/pe_resources.h"

using ByteVector = std::vector<unsigned char>;

// A fresh directory tree for one test: root\temp serves as TEMP and TMP of every launcher
// the test starts, root\app holds the application to pack, root\bin the packed exe.
struct Workspace {
  std::wstring root;
  std::wstring temp;
  std::wstring app;
  std::wstring bin;
};
Workspace make_workspace(const std::wstring& name);
void remove_workspace(const Workspace& workspace);

// Copies a helper built next to the test (e2e_app.dll, ...) into directory as name.
bool copy_helper(const std::wstring& helper, const std::wstring& directory, const std::wstring& name);
// The built launcher stub, bin\tavrin-launcher.exe.
std::wstring launcher_stub_path();

// Packs directory (main library first) at a quick level and writes the packed exe.
// Returns an empty string on success, else what went wrong.
std::string pack_directory(const std::wstring& directory, const std::wstring& main_library,
                           const std::wstring& exe_path, ByteVector* payload_out = nullptr);
// Writes a copy of the stub with payload as its resource 27 and the given companions
// (the unpacking place).
std::string pack_payload(const ByteVector& payload, const std::wstring& exe_path,
                         const std::vector<ResourceItem>& companions = {});

// The usual application: e2e_app.dll as app.dll (the main library) and a data file
// extra\data.bin, packed into workspace.bin\APP.exe. Returns "" or what went wrong.
constexpr const wchar_t* standard_exe_name = L"APP.exe";
constexpr const wchar_t* standard_data_file = L"extra\\data.bin";
std::string prepare_standard_app(const Workspace& workspace, std::wstring* exe);

// Starting a packed exe. Every start gets TEMP and TMP set to the workspace's temp
// directory and none of the four hand-over variables unless a test sets them.
struct LaunchOptions {
  std::vector<std::pair<std::wstring, std::wstring>> set_variables;
  std::vector<std::wstring> remove_variables;
  std::string standard_input;   // through a pipe, then closed
  std::wstring stdin_file;      // instead of a pipe: this file
  std::wstring output_file;     // standard output and standard error into one file
  DWORD timeout_ms = 60000;     // killed after this; the result says so
  // Empty: the workspace's root, so that nothing next to the test programs is found
  // through the current directory.
  std::wstring current_directory;
  // Created suspended: the test learns the PID and prepares before resume() lets it run.
  bool suspended = false;
  // As a start from the desktop: no standard handles at all, and none inherited.
  bool no_standard_handles = false;
};

class Launch {
 public:
  Launch() = default;
  Launch(const Launch&) = delete;
  Launch& operator=(const Launch&) = delete;
  ~Launch();
  // Starts exe with the command line argv0 (as given) followed by the quoted arguments.
  bool start(const Workspace& workspace, const std::wstring& exe, const std::wstring& argv0,
             const std::vector<std::wstring>& arguments, const LaunchOptions& options = {});
  ProcessResult wait();
  // Lets a process started suspended run; false when it was not or cannot be resumed.
  bool resume();
  DWORD pid() const { return pid_; }
  // Why start() returned false.
  const std::string& start_failure() const { return result_.err; }
  HANDLE process() const { return process_; }

 private:
  HANDLE process_ = nullptr;
  HANDLE suspended_thread_ = nullptr;
  DWORD pid_ = 0;
  DWORD timeout_ms_ = 0;
  HANDLE out_read_ = nullptr;
  HANDLE err_read_ = nullptr;
  std::thread out_thread_, err_thread_, in_thread_;
  ProcessResult result_;
};

// One run of exe whose TIME is start, made suspended so that prepare can first make what it
// will at the path of its target directory (TEMP\onefile_PID_TIME); then resumed and waited for.
ProcessResult launch_after_preparing(const Workspace& workspace, const std::wstring& exe, const std::wstring& start,
                                     const std::function<void(const std::wstring& target)>& prepare);

// One run, start to end.
ProcessResult launch(const Workspace& workspace, const std::wstring& exe, const std::vector<std::wstring>& arguments,
                     const LaunchOptions& options = {}, DWORD* pid = nullptr);

// The quoting a caller uses to hand arguments to a Windows program (every argument quoted).
std::wstring quote_argument(const std::wstring& argument);

// One block that e2e_app.dll wrote.
struct AppReport {
  DWORD pid = 0;
  std::vector<std::wstring> arguments;
  std::map<std::string, std::optional<std::wstring>> variables;  // nullopt: absent or empty
  std::wstring module;
  // The directory that holds the main library.
  std::wstring module_directory() const;
  std::optional<std::wstring> variable(const char* name) const;
};
// Every block in output, in order.
std::vector<AppReport> parse_reports(const std::string& output);
// The value of "key value" lines that the app wrote besides its blocks, or "".
std::string report_value(const std::string& output, const std::string& key);

// TEMP\onefile_PID_TIME as the launcher must form it.
std::wstring expected_target(const Workspace& workspace, DWORD parent_pid, const std::wstring& start);
// Names directly below directory, sorted; none when it cannot be listed.
std::vector<std::wstring> directory_names(const std::wstring& directory);
// Names directly below the workspace's temp directory.
std::vector<std::wstring> temp_entries(const Workspace& workspace);
// True when text is one or more decimal digits and nothing else.
bool is_decimal(const std::wstring& text);

// Named events between a test and a waiting app.
struct EventPair {
  std::wstring ready_name, go_name;
  HANDLE ready = nullptr, go = nullptr;
  EventPair();
  ~EventPair();
  EventPair(const EventPair&) = delete;
  EventPair& operator=(const EventPair&) = delete;
  bool wait_ready(DWORD timeout_ms = 30000) const;
  void release() const { SetEvent(go); }
  // The variables that make e2e_app.dll wait for these events.
  void add_to(LaunchOptions* options) const;
};

// The system's US English text for an error code, as the launcher's error lines carry it.
std::string system_text(DWORD code);
// True under wine (where a few Windows behaviours differ).
bool running_under_wine();
// Readable form for failure messages.
std::string printable(const std::string& bytes);

// A fresh workspace for each test, named after the test and removed after it.
class WorkspaceTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override { remove_workspace(workspace_); }
  Workspace workspace_;
};

// The same, with the standard app packed into exe_.
class StandardAppTest : public WorkspaceTest {
 protected:
  void SetUp() override;
  std::wstring exe_;
};

