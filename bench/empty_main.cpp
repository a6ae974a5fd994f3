// The memory baseline: a process of the same kind that does nothing, held open on request
// so that its peak resident memory can be read.
#include "bench/stamp.h"

int wmain(int, wchar_t**) {
  write_time_stamp();
  hold_if_asked();
  return 0;
}
