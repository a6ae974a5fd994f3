// The launcher executable: a windowed program that opens no window. All of its work is in
// run_launcher, so that the same code is linked into the tests.
#include <windows.h>

#include "launcher/driver.h"

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  return run_launcher();
}
