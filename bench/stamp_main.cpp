// The main library of the benchmark trees: run_code records the moment it is called and
// returns at once, so the time from the launcher's start to this stamp is the unpacking.
#include "bench/stamp.h"

extern "C" __declspec(dllexport) int run_code(int, wchar_t**) {
  write_time_stamp();
  hold_if_asked();
  return 0;
}
