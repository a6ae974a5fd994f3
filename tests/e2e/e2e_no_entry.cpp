// A library that loads fine but exports no run_code: the launcher must say so.
#include <windows.h>

extern "C" __declspec(dllexport) int not_the_entry_point(int argc, wchar_t**) {
  return argc;
}
