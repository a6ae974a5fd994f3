// Part of the small-application breakdown: a process that does nothing but what makes the
// launcher's process heavier than a plain one under wine, loading shell32 (the launcher
// imports it for CommandLineToArgvW and SHFileOperationW).
#include <windows.h>
#include <shellapi.h>

int wmain(int, wchar_t**) {
  int count = 0;
  wchar_t** arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  LocalFree(arguments);
  return 0;
}
