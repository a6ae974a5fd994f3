// tavrin-pack exe: a copy of the launcher stub that carries the payload as its resource.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "payload/format.h"
#include "tools/pack/cli.h"
#include "tools/pack/commands.h"
#include "tools/pack/pe_resources.h"
#include "tools/pack/tree.h"
#include "tools/pack/unpack_place.h"

#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// A PE image cannot exceed 4 GiB; a larger input is refused before it is read.
constexpr uintmax_t max_input_size = 0xFFFFFFFF;

struct ExeOptions {
  fs::path launcher;
  fs::path payload;       // --payload FILE; empty when a directory is packed
  PackRequest request;    // the directory form; request.output is the exe
  UnpackPlace place = UnpackPlace::temp;
};

// The options of the exe command alone, taken out before the rest is parsed.
bool is_exe_option(const std::string& option) {
  return option == "--launcher" || option == "--payload" || option == "--unpack-to";
}

// Takes --launcher, --payload and --unpack-to out of the line and hands the rest (--main, -o, --level,
// --checksum, --threads, DIR) to the payload command's parser, so both agree on them.
bool parse_exe_arguments(int argc, char** argv, ExeOptions* options, std::string* error) {
  std::vector<char*> rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (!is_exe_option(option)) {
      rest.push_back(argv[i]);
      continue;
    }
    if (i + 1 >= argc) {
      *error = "option " + option + " needs a value";
      return false;
    }
    const char* value = argv[++i];
    if (option == "--unpack-to") {
      if (!parse_unpack_place(value, &options->place)) {
        *error = "--unpack-to takes temp or cache";
        return false;
      }
      continue;
    }
    (option == "--launcher" ? options->launcher : options->payload) = fs::u8path(value);
  }
  if (options->launcher.empty()) {
    *error = "--launcher STUB is required";
    return false;
  }
  if (options->payload.empty()) {
    return parse_payload_arguments(static_cast<int>(rest.size()), rest.data(), &options->request, error);
  }
  const bool output_only = rest.size() == 3 && (std::string(rest[1]) == "-o" || std::string(rest[1]) == "--output");
  if (!output_only) {
    *error = "with --payload FILE give only --launcher STUB and -o APP.exe";
    return false;
  }
  options->request.output = fs::u8path(rest[2]);
  return true;
}

bool read_input_file(const fs::path& path, Bytes* bytes, std::string* error) {
  std::error_code code;
  const uintmax_t size = fs::file_size(path, code);
  if (code) {
    *error = "cannot read '" + describe_path(path) + "': " + code.message();
    return false;
  }
  if (size > max_input_size) {
    *error = "'" + describe_path(path) + "' is 4 GiB or larger";
    return false;
  }
  std::ifstream stream(path, std::ios::binary);
  bytes->resize(static_cast<size_t>(size));
  if (!stream || !stream.read(reinterpret_cast<char*>(bytes->data()), static_cast<std::streamsize>(size))) {
    *error = "cannot read '" + describe_path(path) + "'";
    return false;
  }
  return true;
}

// The launcher tests these bytes first; a file without them would only fail at run time.
bool read_payload_file(const fs::path& path, Bytes* payload, std::string* error) {
  if (!read_input_file(path, payload, error)) return false;
  if (payload->size() < payload_header_size || (*payload)[0] != payload_magic_0 ||
      (*payload)[1] != payload_magic_1 || (*payload)[2] != payload_flag_zstd) {
    *error = "'" + describe_path(path) + "' is not a payload file (no VZY header)";
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
      *error = "cannot write '" + describe_path(temporary) + "'";
      return false;
    }
  }
  std::error_code code;
  fs::rename(temporary, output, code);
  if (code) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    *error = "cannot replace '" + describe_path(output) + "': " + code.message();
    return false;
  }
  return true;
}

}  // namespace

int run_exe_command(int argc, char** argv) {
  ExeOptions options;
  std::string error;
  if (!parse_exe_arguments(argc, argv, &options, &error)) {
    report_error(error, pack_exit_usage);
    print_usage(stderr);
    return pack_exit_usage;
  }
  Bytes stub;
  Bytes payload;
  Bytes exe;
  // The stub is read first: a wrong --launcher should not cost a long compression.
  if (!read_input_file(options.launcher, &stub, &error)) return report_error(error, pack_exit_failure);
  if (options.payload.empty()) {
    options.request.show_progress = is_stderr_terminal();
    if (!build_payload_bytes(options.request, &payload, &error)) return report_error(error, pack_exit_failure);
  } else if (!read_payload_file(options.payload, &payload, &error)) {
    return report_error(error, pack_exit_failure);
  }
  if (options.place == UnpackPlace::cache && !check_payload_fits_cache(payload.data(), payload.size(), &error)) {
    return report_error(error, pack_exit_failure);
  }
  const std::vector<ResourceItem> place =
      make_place_resources(options.place, PlaceIdentity{}, payload.data(), payload.size());
  if (!attach_payload(stub, payload.data(), payload.size(), &exe, &error, place)) {
    return report_error("launcher stub '" + describe_path(options.launcher) + "': " + error, pack_exit_failure);
  }
  if (!write_file_replacing(options.request.output, exe, &error)) return report_error(error, pack_exit_failure);
  fprintf(stderr, "tavrin-pack: wrote %s (%zu bytes, payload %zu bytes%s)\n",
          describe_path(options.request.output).c_str(), exe.size(), payload.size(),
          options.place == UnpackPlace::cache ? ", unpacked once into the cache" : "");
  return pack_exit_success;
}
