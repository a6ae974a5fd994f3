// hello.dll: the main library of the example. The launcher calls its run_code in the
// unpacked tree; it greets whoever the arguments name, shows texts/welcome.txt from the
// tree and counts its words through words.dll. It returns the number of arguments.
#include <tavrin/app.h>
#include <windows.h>

#include <cstdio>
#include <string>

#include "words.h"

namespace {

constexpr wchar_t welcome_file[] = L"texts\\welcome.txt";
constexpr DWORD first_path_capacity = MAX_PATH;

// The unpacked tree: the directory of the module that holds this very function.
std::wstring find_own_directory() {
  HMODULE module = nullptr;
  const DWORD flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  if (!GetModuleHandleExW(flags, reinterpret_cast<LPCWSTR>(&find_own_directory), &module)) return L"";
  std::wstring path(first_path_capacity, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(module, &path[0], static_cast<DWORD>(path.size()));
    if (length == 0) return L"";
    if (length < path.size()) {
      path.resize(length);
      break;
    }
    path.resize(path.size() * 2);  // cut short: try again with more room
  }
  return path.substr(0, path.find_last_of(L'\\'));
}

bool read_text_file(const std::wstring& path, std::string* text) {
  FILE* file = _wfopen(path.c_str(), L"rb");
  if (file == nullptr) return false;
  char piece[4096];
  size_t count = 0;
  while ((count = std::fread(piece, 1, sizeof piece, file)) > 0) text->append(piece, count);
  const bool complete = std::ferror(file) == 0;
  std::fclose(file);
  return complete;
}

}  // namespace

TAVRIN_APP int run_code(int argc, wchar_t** argv) {
  std::wstring name;
  for (int i = 1; i < argc; ++i) name += (i > 1 ? L" " : L"") + std::wstring(argv[i]);
  std::printf("Hello, %ls!\n", name.empty() ? L"world" : name.c_str());

  std::string text;
  const std::wstring path = find_own_directory() + L"\\" + welcome_file;
  if (!read_text_file(path, &text)) {
    std::printf("cannot read %ls\n", path.c_str());
    std::fflush(stdout);
    return -1;
  }
  std::printf("%s", text.c_str());
  std::printf("%d words in %ls\n", count_words(text.c_str()), welcome_file);
  // The launcher may end the process without the C runtime's exit: nothing stays buffered.
  std::fflush(stdout);
  return argc - 1;
}
