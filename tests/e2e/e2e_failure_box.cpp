// Finds the message box of one process and answers it, as a user would:
//
//   e2e_failure_box PID     waits (30 s at most) for a dialog window of that process or
//                           of a process it created, then prints "boxes N", "owner P"
//                           ("parent" or "child"), "title T" and "text X" (UTF-8, the
//                           text last and as it is, line breaks included) and closes it
//                           with OK. "boxes 0" when none came.
#include <windows.h>
#include <tlhelp32.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

constexpr DWORD find_limit_ms = 30000;
constexpr DWORD find_pause_ms = 20;
constexpr int class_name_capacity = 256;
constexpr int text_capacity = 16384;
constexpr int message_text_id = 0xFFFF;  // the static control that holds a message box's text
constexpr const wchar_t dialog_class[] = L"#32770";

struct Search {
  std::vector<DWORD> pids;  // the process first, then the processes it created
  std::vector<HWND> boxes;
  std::vector<DWORD> owners;
};

BOOL CALLBACK collect_box(HWND window, LPARAM context) {
  Search* search = reinterpret_cast<Search*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t name[class_name_capacity] = L"";
  GetClassNameW(window, name, class_name_capacity);
  for (const DWORD pid : search->pids) {
    if (owner == pid && wcscmp(name, dialog_class) == 0) {
      search->boxes.push_back(window);
      search->owners.push_back(owner);
    }
  }
  return TRUE;
}

// pid and the processes it created that still run.
std::vector<DWORD> family_of(DWORD pid) {
  std::vector<DWORD> pids = {pid};
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  PROCESSENTRY32W entry{};
  entry.dwSize = sizeof entry;
  for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
    if (entry.th32ParentProcessID == pid) pids.push_back(entry.th32ProcessID);
  }
  CloseHandle(snapshot);
  return pids;
}

Search boxes_of(DWORD pid) {
  Search search;
  const ULONGLONG deadline = GetTickCount64() + find_limit_ms;
  for (;;) {
    search.pids = family_of(pid);
    search.boxes.clear();
    search.owners.clear();
    EnumWindows(collect_box, reinterpret_cast<LPARAM>(&search));
    // A box is found while it is still being made; it is read once it is shown.
    const bool shown = !search.boxes.empty() && IsWindowVisible(search.boxes[0]) &&
                       GetWindowTextLengthW(GetDlgItem(search.boxes[0], message_text_id)) > 0;
    if (shown || GetTickCount64() > deadline) return search;
    Sleep(find_pause_ms);
  }
}

std::string utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 1) return "";
  std::string bytes(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, bytes.data(), size, nullptr, nullptr);
  bytes.pop_back();
  return bytes;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) return 2;
  // The text goes out byte for byte: its own line breaks are what the test compares.
  _setmode(_fileno(stdout), _O_BINARY);
  const DWORD pid = static_cast<DWORD>(wcstoul(argv[1], nullptr, 10));
  const Search found = boxes_of(pid);
  const std::vector<HWND>& boxes = found.boxes;
  printf("boxes %zu\n", boxes.size());
  if (boxes.empty()) return 0;
  printf("owner %s\n", found.owners[0] == pid ? "parent" : "child");
  static wchar_t title[text_capacity];
  static wchar_t text[text_capacity];
  GetWindowTextW(boxes[0], title, text_capacity);
  GetDlgItemTextW(boxes[0], message_text_id, text, text_capacity);
  printf("title %s\ntext %s", utf8(title).c_str(), utf8(text).c_str());
  fflush(stdout);
  PostMessageW(boxes[0], WM_COMMAND, IDOK, 0);
  return 0;
}
