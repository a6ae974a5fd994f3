#include "diag/diag.h"

#include <cstdio>
#include <cstdlib>

#include "diag/messages.h"

void exit_with_message(const char* text) {
  puts(text);
  // exit() flushes the buffered standard output, so the line is complete although
  // the process ends right after it.
  exit(exit_code_reported_failure);
}

void exit_with_open_error(const wchar_t* path) {
  fprintf(stderr, format_open_failed, path);
  exit(exit_code_reported_failure);
}

void abort_with_spec_error(const wchar_t* spec) {
  fprintf(stderr, format_spec_failed, spec);
  // abort() flushes nothing; standard error is unbuffered, but say so explicitly in
  // case a host runtime buffers it.
  fflush(stderr);
  abort();
}

void abort_on_broken_limit() {
  abort();
}
