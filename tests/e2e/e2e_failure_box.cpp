// Finds the message box of one process and answers it, as a user would:
//
//   e2e_failure_box PID     waits (30 s at most) for a dialog window of that process,
//                           then prints "boxes N", "title T" and "text X" (UTF-8, the
//                           text last and as it is, line breaks included) and closes it
//                           with OK. "boxes 0" when none came.
#include <windows.h>

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
  DWORD pid;
  std::vector<HWND> boxes;
};

BOOL CALLBACK collect_box(HWND window, LPARAM context) {
  Search* search = reinterpret_cast<Search*>(context);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  wchar_t name[class_name_capacity] = L"";
  GetClassNameW(window, name, class_name_capacity);
  if (owner == search->pid && wcscmp(name, dialog_class) == 0) search->boxes.push_back(window);
  return TRUE;
}

std::vector<HWND> boxes_of(DWORD pid) {
  Search search{pid, {}};
  const ULONGLONG deadline = GetTickCount64() + find_limit_ms;
  for (;;) {
    search.boxes.clear();
    EnumWindows(collect_box, reinterpret_cast<LPARAM>(&search));
    if (!search.boxes.empty() || GetTickCount64() > deadline) return search.boxes;
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
  const std::vector<HWND> boxes = boxes_of(pid);
  printf("boxes %zu\n", boxes.size());
  if (boxes.empty()) return 0;
  static wchar_t title[text_capacity];
  static wchar_t text[text_capacity];
  GetWindowTextW(boxes[0], title, text_capacity);
  GetDlgItemTextW(boxes[0], message_text_id, text, text_capacity);
  printf("title %s\ntext %s", utf8(title).c_str(), utf8(text).c_str());
  fflush(stdout);
  PostMessageW(boxes[0], WM_COMMAND, IDOK, 0);
  return 0;
}
