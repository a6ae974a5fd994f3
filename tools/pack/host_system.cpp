#include "tools/pack/host_system.h"

#include <system_error>

#ifdef _WIN32
#include <process.h>
#include <windows.h>

#include <vector>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace fs = std::filesystem;

#ifdef _WIN32

namespace {

// Long enough for any path Windows hands out: 32,767 units and the terminator.
constexpr DWORD max_module_path_units = 32768;

}  // namespace

fs::path own_executable_path() {
  std::vector<wchar_t> buffer(max_module_path_units);
  const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), max_module_path_units);
  if (length == 0 || length >= max_module_path_units) return {};
  return fs::path(std::wstring(buffer.data(), length));
}

bool is_link(const fs::path& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

std::string temporary_suffix() {
  return ".tmp-" + std::to_string(_getpid());
}

#else

fs::path own_executable_path() {
  std::error_code code;
  const fs::path path = fs::read_symlink("/proc/self/exe", code);
  return code ? fs::path() : path;
}

bool is_link(const fs::path& path) {
  struct stat status;
  return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

std::string temporary_suffix() {
  return ".tmp-" + std::to_string(static_cast<long>(getpid()));
}

#endif
