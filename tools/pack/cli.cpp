#include "tools/pack/cli.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "tools/pack/commands.h"
#include "tools/pack/payload_list.h"
#include "tools/pack/tree.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

constexpr int percent_scale = 100;

bool parse_bounded_int(const char* text, int low, int high, int* value) {
  errno = 0;
  char* end = nullptr;
  const long parsed = strtol(text, &end, 10);
  if (errno != 0 || end == text || *end != '\0' || parsed < low || parsed > high) return false;
  *value = static_cast<int>(parsed);
  return true;
}

// The value after an option such as --main; false when the line ends first.
bool take_value(int argc, char** argv, int* index, const char** value, std::string* error) {
  if (*index + 1 >= argc) {
    *error = std::string("option ") + argv[*index] + " needs a value";
    return false;
  }
  *value = argv[++*index];
  return true;
}

// One option at argv[*index]; false with *error when it is unknown or malformed.
bool parse_payload_option(int argc, char** argv, int* index, PackRequest* request,
                          std::string* error) {
  const std::string option = argv[*index];
  const char* value = nullptr;
  if (option == "--checksum") {
    request->checksum = true;
    return true;
  }
  if (option != "--main" && option != "-o" && option != "--output" && option != "--level" &&
      option != "--threads") {
    *error = "unknown option " + option;
    return false;
  }
  if (!take_value(argc, argv, index, &value, error)) return false;
  if (option == "--main") {
    request->main_library = fs::u8path(value);
  } else if (option == "-o" || option == "--output") {
    request->output = fs::u8path(value);
  } else if (option == "--level" &&
             !parse_bounded_int(value, pack_min_level, pack_max_level, &request->level)) {
    *error = "--level takes a whole number from " + std::to_string(pack_min_level) + " to " +
             std::to_string(pack_max_level);
    return false;
  } else if (option == "--threads" &&
             !parse_bounded_int(value, 0, pack_max_threads, &request->threads)) {
    *error = "--threads takes a whole number from 0 to " + std::to_string(pack_max_threads);
    return false;
  }
  return true;
}

bool parse_list_arguments(int argc, char** argv, fs::path* file, std::string* error) {
  if (argc != 2 || argv[1][0] == '-') {
    *error = "list takes exactly one payload file";
    return false;
  }
  *file = fs::u8path(argv[1]);
  return true;
}

void print_listing(const std::vector<ListedEntry>& entries, size_t packed_size) {
  uint64_t total = 0;
  for (const ListedEntry& entry : entries) {
    printf("%s\t%llu\n", describe_name(entry.name).c_str(),
           static_cast<unsigned long long>(entry.size));
    total += entry.size;
  }
  const double ratio = total == 0 ? 0.0 : percent_scale * static_cast<double>(packed_size) / total;
  printf("%zu entries, %llu bytes unpacked, %zu bytes packed (%.1f%%)\n", entries.size(),
         static_cast<unsigned long long>(total), packed_size, ratio);
}

}  // namespace

bool parse_payload_arguments(int argc, char** argv, PackRequest* request, std::string* error) {
  std::vector<const char*> directories;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] == '-' && argv[i][1] != '\0') {
      if (!parse_payload_option(argc, argv, &i, request, error)) return false;
    } else {
      directories.push_back(argv[i]);
    }
  }
  if (request->main_library.empty()) {
    *error = "--main NAME is required";
  } else if (request->output.empty()) {
    *error = "-o OUT is required";
  } else if (directories.size() != 1) {
    *error = "give exactly one directory to pack";
  } else {
    request->directory = fs::u8path(directories[0]);
    return true;
  }
  return false;
}

void print_usage(FILE* stream) {
  fputs(
      "usage:\n"
      "  tavrin-pack payload --main NAME -o OUT [--level N] [--checksum] [--threads N] DIR\n"
      "      Packs every regular file of DIR into a payload file, the main library NAME\n"
      "      (a path relative to DIR) first. Symbolic links and special files are refused.\n"
      "      --level N     zstd level, 1 to 22 (default 19: packed once, unpacked often)\n"
      "      --checksum    store a content checksum in the frame\n"
      "      --threads N   compress with N worker threads (0: none, the default)\n"
      "  tavrin-pack list FILE\n"
      "      Checks a payload file and lists its entries (name, size) with totals.\n"
      "  tavrin-pack exe --launcher STUB --main NAME -o APP.exe [--level N] [--unpack-to P] DIR\n"
      "  tavrin-pack exe --launcher STUB --payload FILE -o APP.exe [--unpack-to P]\n"
      "      Writes the application's executable: a copy of STUB carrying the payload.\n"
      "      --unpack-to temp   a fresh temporary tree at every start, removed at the end\n"
      "                         (the default)\n"
      "      --unpack-to cache  one tree per payload below the user's local application\n"
      "                         data, unpacked by the first start and kept: later starts\n"
      "                         skip unpacking\n",
      stream);
}

int report_error(const std::string& text, int exit_code) {
  fprintf(stderr, "tavrin-pack: error: %s\n", text.c_str());
  return exit_code;
}

bool is_stderr_terminal() {
#ifdef _WIN32
  return _isatty(_fileno(stderr)) != 0;
#else
  return isatty(fileno(stderr)) != 0;
#endif
}

int run_payload_command(int argc, char** argv) {
  PackRequest request;
  std::string error;
  if (!parse_payload_arguments(argc, argv, &request, &error)) {
    report_error(error, pack_exit_usage);
    print_usage(stderr);
    return pack_exit_usage;
  }
  request.show_progress = is_stderr_terminal();
  if (!write_payload_file(request, &error)) return report_error(error, pack_exit_failure);
  std::error_code code;
  const uintmax_t size = fs::file_size(request.output, code);
  fprintf(stderr, "tavrin-pack: wrote %s (%llu bytes)\n", describe_path(request.output).c_str(),
          static_cast<unsigned long long>(code ? 0 : size));
  return pack_exit_success;
}

int run_list_command(int argc, char** argv) {
  fs::path file;
  std::string error;
  if (!parse_list_arguments(argc, argv, &file, &error)) {
    report_error(error, pack_exit_usage);
    print_usage(stderr);
    return pack_exit_usage;
  }
  std::vector<unsigned char> bytes;
  if (!read_whole_file(file, &bytes, &error)) return report_error(error, pack_exit_failure);
  std::vector<ListedEntry> entries;
  if (!list_payload(bytes.data(), bytes.size(), &entries, &error)) {
    return report_error("'" + describe_path(file) + "' is not a valid payload: " + error,
                        pack_exit_failure);
  }
  print_listing(entries, bytes.size());
  return pack_exit_success;
}
