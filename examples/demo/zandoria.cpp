// zandoria.dll: the main library of the demo application. The launcher loads it in its
// child process and calls run_code; it shows what it was handed: the arguments, the four
// variables of the launcher, a data file from its own unpacked tree, and a call into
// greeting.dll, which Windows found next to it.
#include <tavrin/app.h>
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cwchar>

#include "greeting.h"

namespace {

constexpr size_t line_capacity = 4096;          // one output line, in UTF-16 units
constexpr size_t utf8_line_capacity = 3 * line_capacity;
constexpr size_t path_capacity = 4097;          // module and file paths
constexpr size_t variable_capacity = 4097;      // one environment value
constexpr size_t data_file_capacity = 16384;    // bytes of the data file shown
constexpr size_t greeting_capacity = 256;
constexpr const wchar_t data_file_name[] = L"data\\message.txt";
constexpr const wchar_t exit_code_option[] = L"--exit-code=";
constexpr const char* launcher_variables[] = {"TAVRIN_ONEFILE_PARENT", "TAVRIN_ONEFILE_START",
                                              "TAVRIN_ONEFILE_DIRECTORY", "TAVRIN_ORIGINAL_ARGV0"};

// Writes text to standard output: as UTF-16 to a console (any code page shows it), as
// UTF-8 bytes to a file or a pipe.
void write_text(const wchar_t* text) {
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  const DWORD units = static_cast<DWORD>(std::wcslen(text));
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(output, &mode)) {
    WriteConsoleW(output, text, units, &written, nullptr);
    return;
  }
  char bytes[utf8_line_capacity];
  const int count = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(units), bytes,
                                        static_cast<int>(sizeof bytes), nullptr, nullptr);
  if (count > 0) WriteFile(output, bytes, static_cast<DWORD>(count), &written, nullptr);
}

// Formats one line (a line feed is added) and writes it; a line too long is cut.
void print_line(const wchar_t* format, ...) {
  wchar_t line[line_capacity];
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vswprintf(line, line_capacity - 1, format, arguments);
  va_end(arguments);
  if (length < 0) line[line_capacity - 2] = L'\0';
  std::wcscat(line, L"\n");
  write_text(line);
}

void print_arguments(int argc, wchar_t** argv) {
  print_line(L"arguments (%d):", argc);
  for (int i = 0; i < argc; ++i) print_line(L"  argv[%d] = [%ls]", i, argv[i]);
}

void print_variables() {
  print_line(L"launcher variables:");
  for (const char* name : launcher_variables) {
    wchar_t wide_name[64];
    std::swprintf(wide_name, 64, L"%hs", name);
    wchar_t value[variable_capacity];
    const DWORD length = GetEnvironmentVariableW(wide_name, value, variable_capacity);
    const DWORD error = GetLastError();
    if (length == 0 && error == ERROR_ENVVAR_NOT_FOUND) {
      print_line(L"  %ls is not set", wide_name);
    } else if (length >= variable_capacity) {
      print_line(L"  %ls is longer than %zu units", wide_name, variable_capacity - 1);
    } else {
      print_line(L"  %ls = [%ls]", wide_name, length == 0 ? L"" : value);
    }
  }
}

// The directory that holds this library, which is the unpacked tree: found through the
// module that contains this very function, whatever name the launcher loaded it under.
bool find_own_directory(wchar_t* directory, size_t capacity) {
  HMODULE module = nullptr;
  const DWORD lookup_flags = GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT;
  if (!GetModuleHandleExW(lookup_flags, reinterpret_cast<LPCWSTR>(&find_own_directory), &module)) {
    const DWORD error = GetLastError();
    print_line(L"cannot find the own module (error %lu)", error);
    return false;
  }
  const DWORD length = GetModuleFileNameW(module, directory, static_cast<DWORD>(capacity));
  const DWORD error = GetLastError();
  if (length == 0 || length >= capacity) {
    print_line(L"cannot read the own module path (error %lu)", error);
    return false;
  }
  wchar_t* last_separator = std::wcsrchr(directory, L'\\');
  if (last_separator != nullptr) *last_separator = L'\0';
  return true;
}

// Reads the data file as UTF-8 into text (capacity units); false with a message on failure.
bool read_data_file(const wchar_t* path, wchar_t* text, size_t capacity) {
  const HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    print_line(L"cannot open %ls (error %lu)", path, error);
    return false;
  }
  char bytes[data_file_capacity];
  DWORD count = 0;
  const BOOL read_ok = ReadFile(file, bytes, sizeof bytes, &count, nullptr);
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!read_ok) {
    print_line(L"cannot read %ls (error %lu)", path, error);
    return false;
  }
  const int units = MultiByteToWideChar(CP_UTF8, 0, bytes, static_cast<int>(count), text,
                                        static_cast<int>(capacity - 1));
  text[units > 0 ? units : 0] = L'\0';
  return true;
}

bool print_data_file(const wchar_t* directory) {
  wchar_t path[path_capacity];
  const int length = std::swprintf(path, path_capacity, L"%ls\\%ls", directory, data_file_name);
  if (length < 0) return false;
  static wchar_t text[data_file_capacity + 1];
  if (!read_data_file(path, text, data_file_capacity + 1)) return false;
  print_line(L"data file %ls:", path);
  write_text(text);
  return true;
}

// Calls into greeting.dll and says where Windows loaded it from.
bool print_greeting() {
  wchar_t greeting[greeting_capacity];
  if (compose_greeting(L"Zandoria user", greeting, greeting_capacity) < 0) return false;
  print_line(L"greeting: %ls", greeting);
  wchar_t path[path_capacity];
  const HMODULE module = GetModuleHandleW(L"greeting.dll");
  const DWORD length = module == nullptr ? 0 : GetModuleFileNameW(module, path, path_capacity);
  print_line(L"greeting.dll loaded from %ls", length == 0 || length >= path_capacity ? L"(unknown)" : path);
  return true;
}

// The result asked for with --exit-code=N (any 32-bit value, signed or not), or fallback.
int read_exit_code_request(int argc, wchar_t** argv, int fallback) {
  const size_t prefix = std::wcslen(exit_code_option);
  for (int i = 1; i < argc; ++i) {
    if (std::wcsncmp(argv[i], exit_code_option, prefix) != 0) continue;
    wchar_t* end = nullptr;
    const long long value = std::wcstoll(argv[i] + prefix, &end, 0);
    if (*end == L'\0' && value >= INT32_MIN && value <= static_cast<long long>(UINT32_MAX)) {
      return static_cast<int>(static_cast<unsigned>(value));
    }
  }
  return fallback;
}

}  // namespace

TAVRIN_APP int run_code(int argc, wchar_t** argv) {
  print_line(L"Zandoria demo: run_code called in process %lu", GetCurrentProcessId());
  print_arguments(argc, argv);
  print_variables();
  wchar_t directory[path_capacity];
  bool all_found = find_own_directory(directory, path_capacity);
  if (all_found) {
    print_line(L"unpacked tree: %ls", directory);
    all_found = print_data_file(directory);
  }
  all_found = print_greeting() && all_found;
  const int result = read_exit_code_request(argc, argv, all_found ? 0 : 1);
  print_line(L"run_code returns %d", result);
  return result;
}
