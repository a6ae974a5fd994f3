#include "diag/diag.h"

#include <cstdio>
#include <cstdlib>

#include "diag/messages.h"

namespace {

FailurePrelude failure_prelude = nullptr;
FailureNotice failure_notice = nullptr;

// Tells the notice, if any, of the line just written.
void notice_line(FailureStream stream, const char* format, const wchar_t* argument) {
  if (failure_notice == nullptr) return;
  static wchar_t line[failure_line_capacity];
  format_failure_line(line, format, argument);
  failure_notice(FailureReport{stream, line, false, 0});
}

}  // namespace

void set_failure_notice(FailureNotice notice) {
  failure_notice = notice;
}

void notify_failure(const FailureReport& report) {
  if (failure_notice != nullptr) failure_notice(report);
}

void format_failure_line(wchar_t* line, const char* format, const wchar_t* argument) {
  // The message texts and formats are ASCII, so each byte is one unit; the one "%ls"
  // takes the argument's units as they are (a path the C runtime's narrow output may not
  // be able to show).
  size_t length = 0;
  const auto put = [line, &length](wchar_t unit) {
    if (length + 1 < failure_line_capacity) line[length++] = unit;
  };
  for (const char* byte = format; *byte != '\0'; ++byte) {
    if (argument != nullptr && byte[0] == '%' && byte[1] == 'l' && byte[2] == 's') {
      for (const wchar_t* unit = argument; *unit != L'\0'; ++unit) put(*unit);
      byte += 2;
    } else {
      put(static_cast<wchar_t>(static_cast<unsigned char>(*byte)));
    }
  }
  if (length > 0 && line[length - 1] == L'\n') --length;
  line[length] = L'\0';
}

void set_failure_prelude(FailurePrelude prelude) {
  failure_prelude = prelude;
}

void announce_failure() {
  if (failure_prelude != nullptr) failure_prelude();
}

void exit_with_message(const char* text) {
  announce_failure();
  puts(text);
  notice_line(FailureStream::output, text, nullptr);
  // exit() flushes the buffered standard output, so the line is complete although
  // the process ends right after it.
  exit(exit_code_reported_failure);
}

void exit_with_open_error(const wchar_t* path) {
  announce_failure();
  fprintf(stderr, format_open_failed, path);
  notice_line(FailureStream::error, format_open_failed, path);
  exit(exit_code_reported_failure);
}

void abort_with_spec_error(const wchar_t* spec) {
  announce_failure();
  fprintf(stderr, format_spec_failed, spec);
  // abort() flushes nothing; standard error is unbuffered, but say so explicitly in
  // case a host runtime buffers it.
  fflush(stderr);
  notice_line(FailureStream::error, format_spec_failed, spec);
  abort();
}

void abort_on_broken_limit() {
  abort();
}
