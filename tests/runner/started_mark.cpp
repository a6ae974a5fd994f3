// Linked into every Windows test program run by run_windows_test.sh: a file that tells the
// runner the program's own code was reached, so that it never starts a program twice that
// did start. The variable is removed here, so the programs a test starts never see it.
#include <windows.h>

namespace {

constexpr wchar_t mark_variable[] = L"TAVRIN_TEST_STARTED_MARK";

struct StartedMark {
  StartedMark() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(mark_variable, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return;
    const HANDLE file = CreateFileW(path, GENERIC_WRITE, 0 /* no sharing */, nullptr /* security */, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr /* template */);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    SetEnvironmentVariableW(mark_variable, nullptr);
  }
};

const StartedMark started_mark;

}  // namespace
