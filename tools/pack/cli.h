// Command-line side of tavrin-pack: option parsing, help texts and messages. Arguments
// arrive as UTF-8 on every host (the Windows entry point converts them). Each subcommand
// has one parse function that fills a request and prints its own help on --help.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

#include "tools/pack/identity.h"
#include "tools/pack/payload_writer.h"
#include "tools/pack/unpack_place.h"

constexpr int pack_exit_success = 0;
constexpr int pack_exit_failure = 1;  // bad input, damaged payload, failed write
constexpr int pack_exit_usage = 2;    // the command line itself is wrong

// What a parse function found: a request to carry out, or a reason to stop at once (its
// help was asked for and printed; or the line is wrong, which has been reported).
enum class LineOutcome { run, help_shown, usage_error };

// The exit code for a line that is not run.
int exit_code_of(LineOutcome outcome);

struct ExeRequest {
  std::filesystem::path launcher;  // empty: the stub of the kit the packer belongs to
  std::filesystem::path payload;   // --payload FILE; empty when a directory is packed
  std::filesystem::path icon;      // --icon FILE.ico; empty: the stub's icon stays
  PackRequest request;             // the directory form; request.output is the exe
  AppIdentity identity;            // every identity option; its icon images come from icon
  UnpackPlace place = UnpackPlace::temp;  // --unpack-to
  // --unpack-to FOLDER (temp) or --cache-root FOLDER (cache): a checked folder spec as the
  // user gave it; empty for the default folder.
  std::string folder;
  bool progress_window = false;           // --progress-window
};

// list FILE and extract FILE DIR.
struct InspectRequest {
  std::filesystem::path input;      // a packed executable or a payload file
  std::filesystem::path directory;  // extract only
};

// argv[0] is the subcommand's name; its options and operands follow.
LineOutcome parse_payload_line(int argc, char** argv, PackRequest* request);
LineOutcome parse_exe_line(int argc, char** argv, ExeRequest* request);
LineOutcome parse_list_line(int argc, char** argv, InspectRequest* request);
LineOutcome parse_extract_line(int argc, char** argv, InspectRequest* request);

// The subcommands, one line each, and where to find their options.
void print_usage(FILE* stream);

// "tavrin-pack VERSION": the version of the launcher it ships with (resources/version.h).
void print_version(FILE* stream);

// "tavrin-pack: error: text" on standard error; returns the exit code to use.
int report_error(const std::string& text, int exit_code);

// True when standard error is a terminal, where a progress line helps.
bool is_stderr_terminal();
