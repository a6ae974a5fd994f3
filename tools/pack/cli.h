// Command-line side of tavrin-pack: option parsing, the usage text and the messages.
// Arguments arrive as UTF-8 on every host (the Windows entry point converts them).
#pragma once

#include <cstdio>
#include <string>

#include "tools/pack/payload_writer.h"

constexpr int pack_exit_success = 0;
constexpr int pack_exit_failure = 1;  // bad input, damaged payload, failed write
constexpr int pack_exit_usage = 2;    // the command line itself is wrong

// argv[0] is the subcommand's name; options and the directory follow.
bool parse_payload_arguments(int argc, char** argv, PackRequest* request, std::string* error);

// Every subcommand and option.
void print_usage(FILE* stream);

// "tavrin-pack: error: text" on standard error; returns the exit code to use.
int report_error(const std::string& text, int exit_code);

// True when standard error is a terminal, where a progress line helps.
bool is_stderr_terminal();
