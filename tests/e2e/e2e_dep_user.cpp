// A main library with a load-time import of a sibling library (e2e_dep.dll): run_code
// returns what the sibling answers, so the exit code shows the import was resolved.
#include <windows.h>

extern "C" __declspec(dllimport) int dep_answer();

extern "C" __declspec(dllexport) int run_code(int, wchar_t**) {
  return dep_answer();
}
