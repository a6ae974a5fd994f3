// Replaces diag/diag.cpp in the fuzz targets and their replay programs, and only there.
// The shipped functions end the process with exit code 2 on a reported failure; a fuzzer
// would take every such exit for a crash. Here they throw ReportedFailure back to the
// target instead, which satisfies [[noreturn]] just as well. The abnormal ends stay
// abnormal: a broken limit, or a path that cannot be expanded, reached from payload bytes
// is a finding.
#include "fuzz/fuzz_diag.h"

#include <cstdlib>

#include "diag/diag.h"
#include "diag/messages.h"

void exit_with_message(const char* text) {
  throw ReportedFailure{text};
}

void exit_with_open_error(const wchar_t*) {
  throw ReportedFailure{format_open_failed};
}

void abort_with_spec_error(const wchar_t*) {
  abort();
}

void abort_on_broken_limit() {
  abort();
}

// Not part of diag.h: how a fuzz target reports a broken property of its own.
#include <cstdio>

#include "fuzz/fuzz_target.h"

void report_finding(const char* what) {
  fprintf(stderr, "fuzz finding: %s\n", what);
  abort();
}
