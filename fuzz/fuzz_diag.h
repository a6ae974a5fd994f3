// The fuzz build's stand-in for the process-ending paths of diag/diag.cpp.
#pragma once

// Thrown instead of exit(2) by the reported failures (header not found, decode failed,
// allocation failed, open failed). A fuzz target catches it: for arbitrary input such an
// end is the expected way out, not a finding.
struct ReportedFailure {
  const char* text;
};
