// tavrin-pack exe: a copy of the launcher stub that carries the payload as its resource.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>

#include "payload/format.h"
#include "tools/pack/commands.h"
#include "tools/pack/pe_resources.h"

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr int exe_exit_success = 0;
constexpr int exe_exit_failure = 1;  // bad stub or payload, failed write
constexpr int exe_exit_usage = 2;    // the command line itself is wrong
// A PE image cannot exceed 4 GiB; a larger stub is refused before it is read.
constexpr uintmax_t max_stub_size = 0xFFFFFFFF;

struct ExeOptions {
  fs::path launcher;
  fs::path payload;
  fs::path output;
};

int report_failure(const std::string& text, int exit_code) {
  fprintf(stderr, "tavrin-pack: error: %s\n", text.c_str());
  return exit_code;
}

std::string show_path(const fs::path& path) {
  const auto text = path.u8string();
  return std::string(text.begin(), text.end());
}

bool parse_exe_arguments(int argc, char** argv, ExeOptions* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    fs::path* target = option == "--launcher" ? &options->launcher
                       : option == "--payload" ? &options->payload
                       : option == "-o" || option == "--output" ? &options->output
                                                                : nullptr;
    if (target == nullptr) {
      *error = option[0] == '-' ? "unknown option " + option
                                : "packing a directory is not available in this build; use --payload FILE";
      return false;
    }
    if (i + 1 >= argc) {
      *error = "option " + option + " needs a value";
      return false;
    }
    *target = fs::u8path(argv[++i]);
  }
  if (options->launcher.empty()) *error = "--launcher STUB is required";
  else if (options->output.empty()) *error = "-o APP.exe is required";
  else if (options->payload.empty()) *error = "--payload FILE is required";
  return error->empty();
}

bool read_file_bytes(const fs::path& path, Bytes* bytes, std::string* error) {
  std::error_code code;
  const uintmax_t size = fs::file_size(path, code);
  if (code) {
    *error = "cannot read '" + show_path(path) + "': " + code.message();
    return false;
  }
  if (size > max_stub_size) {
    *error = "'" + show_path(path) + "' is 4 GiB or larger";
    return false;
  }
  std::ifstream stream(path, std::ios::binary);
  bytes->resize(static_cast<size_t>(size));
  if (!stream || !stream.read(reinterpret_cast<char*>(bytes->data()), static_cast<std::streamsize>(size))) {
    *error = "cannot read '" + show_path(path) + "'";
    return false;
  }
  return true;
}

long current_process_id() {
#ifdef _WIN32
  return _getpid();
#else
  return static_cast<long>(getpid());
#endif
}

// Writes beside the output and renames over it, so that a failure at any point leaves
// either the old file or none, never a partial executable.
bool write_file_replacing(const fs::path& output, const Bytes& bytes, std::string* error) {
  fs::path temporary = output;
  temporary += ".tmp-" + std::to_string(current_process_id());
  {
    std::ofstream stream(temporary, std::ios::binary | std::ios::trunc);
    if (stream) stream.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (stream) stream.close();
    if (!stream) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
      *error = "cannot write '" + show_path(temporary) + "'";
      return false;
    }
  }
  std::error_code code;
  fs::rename(temporary, output, code);
  if (code) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    *error = "cannot replace '" + show_path(output) + "': " + code.message();
    return false;
  }
  return true;
}

}  // namespace

int run_exe_command(int argc, char** argv) {
  ExeOptions options;
  std::string error;
  if (!parse_exe_arguments(argc, argv, &options, &error)) return report_failure(error, exe_exit_usage);
  Bytes stub;
  Bytes payload;
  Bytes exe;
  if (!read_file_bytes(options.launcher, &stub, &error) || !read_file_bytes(options.payload, &payload, &error)) {
    return report_failure(error, exe_exit_failure);
  }
  // The launcher tests these bytes first; a file without them would only fail at run time.
  if (payload.size() < payload_header_size || payload[0] != payload_magic_0 || payload[1] != payload_magic_1 ||
      payload[2] != payload_flag_zstd) {
    return report_failure("'" + show_path(options.payload) + "' is not a payload file (no VZY header)",
                          exe_exit_failure);
  }
  if (!attach_payload(stub, payload.data(), payload.size(), &exe, &error)) {
    return report_failure("launcher stub '" + show_path(options.launcher) + "': " + error, exe_exit_failure);
  }
  if (!write_file_replacing(options.output, exe, &error)) return report_failure(error, exe_exit_failure);
  fprintf(stderr, "tavrin-pack: wrote %s (%zu bytes, payload %zu bytes)\n", show_path(options.output).c_str(),
          exe.size(), payload.size());
  return exe_exit_success;
}
