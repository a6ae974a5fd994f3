// tavrin-pack payload, list and extract: the commands that make or read a payload file.
#include "tools/pack/commands.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "tools/pack/cli.h"
#include "tools/pack/extract.h"
#include "tools/pack/identity.h"
#include "tools/pack/launcher_options.h"
#include "tools/pack/payload_list.h"
#include "tools/pack/tree.h"

namespace fs = std::filesystem;

namespace {

constexpr int percent_scale = 100;

void print_listing(const std::vector<ListedEntry>& entries, size_t packed_size) {
  uint64_t total = 0;
  for (const ListedEntry& entry : entries) {
    printf("%s\t%llu\n", describe_name(entry.name).c_str(), static_cast<unsigned long long>(entry.size));
    total += entry.size;
  }
  const double ratio = total == 0 ? 0.0 : percent_scale * static_cast<double>(packed_size) / total;
  printf("%zu entries, %llu bytes unpacked, %zu bytes packed (%.1f%%)\n", entries.size(),
         static_cast<unsigned long long>(total), packed_size, ratio);
}

// A packed executable also tells how it starts: as a console program or a windowed one. A
// payload file is no image and has no such line.
void print_subsystem(const std::vector<unsigned char>& input) {
  uint16_t subsystem = 0;
  std::string not_an_image;
  if (read_subsystem(input, &subsystem, &not_an_image)) {
    printf("subsystem: %s\n", describe_subsystem(subsystem).c_str());
  }
}

// The payload that list and extract look at: the whole input file, and where the payload
// lies in it (all of a payload file, or the resource of a packed executable).
struct PayloadInput {
  std::vector<unsigned char> bytes;
  const unsigned char* data = nullptr;
  size_t size = 0;
};

bool read_payload_input(const fs::path& input, PayloadInput* payload, std::string* error) {
  if (!read_whole_file(input, &payload->bytes, error)) return false;
  if (!select_payload(payload->bytes, &payload->data, &payload->size, error)) {
    *error = "'" + describe_path(input) + "' is " + *error;
    return false;
  }
  return true;
}

}  // namespace

int run_payload_command(int argc, char** argv) {
  PackRequest request;
  const LineOutcome outcome = parse_payload_line(argc, argv, &request);
  if (outcome != LineOutcome::run) return exit_code_of(outcome);
  std::string error;
  request.show_progress = is_stderr_terminal();
  if (!write_payload_file(request, &error)) return report_error(error, pack_exit_failure);
  std::error_code code;
  const uintmax_t size = fs::file_size(request.output, code);
  fprintf(stderr, "tavrin-pack: wrote %s (%llu bytes)\n", describe_path(request.output).c_str(),
          static_cast<unsigned long long>(code ? 0 : size));
  return pack_exit_success;
}

int run_list_command(int argc, char** argv) {
  InspectRequest request;
  const LineOutcome outcome = parse_list_line(argc, argv, &request);
  if (outcome != LineOutcome::run) return exit_code_of(outcome);
  std::string error;
  PayloadInput payload;
  if (!read_payload_input(request.input, &payload, &error)) return report_error(error, pack_exit_failure);
  std::vector<ListedEntry> entries;
  if (!list_payload(payload.data, payload.size, &entries, &error)) {
    return report_error("'" + describe_path(request.input) + "' is not a valid payload: " + error,
                        pack_exit_failure);
  }
  print_listing(entries, payload.size);
  print_subsystem(payload.bytes);
  // An executable packed with options names them; without any the listing is as it was.
  const uint32_t options = payload.data != payload.bytes.data() ? read_exe_options(payload.bytes) : 0;
  if (options != 0) printf("launcher options: %s\n", describe_options(options).c_str());
  return pack_exit_success;
}

int run_extract_command(int argc, char** argv) {
  InspectRequest request;
  const LineOutcome outcome = parse_extract_line(argc, argv, &request);
  if (outcome != LineOutcome::run) return exit_code_of(outcome);
  std::string error;
  PayloadInput payload;
  if (!read_payload_input(request.input, &payload, &error)) return report_error(error, pack_exit_failure);
  if (!extract_payload(payload.data, payload.size, request.directory, &error)) {
    return report_error("'" + describe_path(request.input) + "': " + error, pack_exit_failure);
  }
  fprintf(stderr, "tavrin-pack: extracted into %s\n", describe_path(request.directory).c_str());
  return pack_exit_success;
}
