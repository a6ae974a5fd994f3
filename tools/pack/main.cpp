// tavrin-pack: dispatches to a subcommand, which gets the arguments from its own name on.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/pack/cli.h"
#include "tools/pack/commands.h"

#ifdef _WIN32
#include <filesystem>
#endif

namespace {

int dispatch_command(int argc, char** argv) {
  if (argc < 2) {
    print_usage(stderr);
    return pack_exit_usage;
  }
  const std::string command = argv[1];
  if (command == "payload") return run_payload_command(argc - 1, argv + 1);
  if (command == "list") return run_list_command(argc - 1, argv + 1);
  if (command == "exe") return run_exe_command(argc - 1, argv + 1);
  if (command == "extract") return run_extract_command(argc - 1, argv + 1);
  if (command == "help" || command == "--help" || command == "-h") {
    print_usage(stdout);
    return pack_exit_success;
  }
  if (command == "--version") {
    print_version(stdout);
    return pack_exit_success;
  }
  report_error("unknown subcommand " + command, pack_exit_usage);
  print_usage(stderr);
  return pack_exit_usage;
}

}  // namespace

#ifdef _WIN32
// The wide command line, converted to UTF-8 so that every subcommand parses one form.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i) {
    const auto text = std::filesystem::path(argv[i]).u8string();
    arguments.emplace_back(text.begin(), text.end());
  }
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  pointers.push_back(nullptr);
  return dispatch_command(argc, pointers.data());
}
#else
int main(int argc, char** argv) {
  return dispatch_command(argc, argv);
}
#endif
