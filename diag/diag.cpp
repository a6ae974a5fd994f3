#include "diag/diag.h"

#include <cstdio>
#include <cstdlib>

#include "diag/messages.h"

namespace {
FailureNotice failure_notice = nullptr;
}

void set_failure_notice(FailureNotice notice) {
  failure_notice = notice;
}

void announce_failure() {
  if (failure_notice != nullptr) failure_notice();
}

void exit_with_message(const char* text) {
  announce_failure();
  puts(text);
  // exit() flushes the buffered standard output, so the line is complete although
  // the process ends right after it.
  exit(exit_code_reported_failure);
}

void exit_with_open_error(const wchar_t* path) {
  announce_failure();
  fprintf(stderr, format_open_failed, path);
  exit(exit_code_reported_failure);
}

void abort_with_spec_error(const wchar_t* spec) {
  announce_failure();
  fprintf(stderr, format_spec_failed, spec);
  // abort() flushes nothing; standard error is unbuffered, but say so explicitly in
  // case a host runtime buffers it.
  fflush(stderr);
  abort();
}

void abort_on_broken_limit() {
  abort();
}
