// The reference for the small-application overhead: a plain exe that loads the same main
// library by path (first argument) and calls its run_code, without any payload.
#include <windows.h>

#include <cstdio>

namespace {

constexpr int exit_code_failed = 3;
using RunCode = int (*)(int, wchar_t**);

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: bench_direct MAIN.dll [arguments]\n");
    return exit_code_failed;
  }
  const HMODULE library = LoadLibraryW(argv[1]);
  if (library == nullptr) {
    const DWORD error = GetLastError();
    fprintf(stderr, "bench_direct: cannot load %ls (error %lu)\n", argv[1], error);
    return exit_code_failed;
  }
  const FARPROC entry = GetProcAddress(library, "run_code");
  if (entry == nullptr) {
    fprintf(stderr, "bench_direct: no run_code in %ls\n", argv[1]);
    return exit_code_failed;
  }
  const auto run_code = reinterpret_cast<RunCode>(reinterpret_cast<void (*)()>(entry));
  return run_code(argc - 1, argv + 1);
}
