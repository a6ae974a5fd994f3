// A library that the main library e2e_dep_user.dll imports: it must be found in the main
// library's own directory.
#include <windows.h>

extern "C" __declspec(dllexport) int dep_answer() {
  return 4242;
}
