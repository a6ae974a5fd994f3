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
#include "tools/pack/host_system.h"
#include "tools/pack/identity.h"
#include "tools/pack/launcher_options.h"
#include "tools/pack/pe_resources.h"
#include "tools/pack/tree.h"
#include "tools/pack/unpack_place.h"

namespace fs = std::filesystem;

namespace {

// A PE image cannot exceed 4 GiB; a larger input is refused before it is read.
constexpr uintmax_t max_input_size = 0xFFFFFFFF;

// The largest .ico the packer reads: far beyond any real icon (256 images of 256 pixels,
// uncompressed, take about 64 MiB).
constexpr uintmax_t max_icon_file_size = uintmax_t{128} << 20;
constexpr const char stub_file_name[] = "tavrin-launcher.exe";

// The stub when --launcher is left out: the installed kit's (bin/tavrin-pack beside
// share/tavrin/), then one beside the packer itself.
bool find_default_stub(fs::path* stub, std::string* error) {
  const fs::path own = own_executable_path();
  if (own.empty()) {
    *error = "no --launcher STUB given, and the packer cannot tell where it is installed";
    return false;
  }
  const fs::path bin = own.parent_path();
  const fs::path candidates[] = {(bin / ".." / "share" / "tavrin" / stub_file_name).lexically_normal(),
                                 bin / stub_file_name};
  std::error_code code;
  for (const fs::path& candidate : candidates) {
    if (fs::is_regular_file(candidate, code)) {
      *stub = candidate;
      return true;
    }
  }
  *error = "no --launcher STUB given, and no stub at '" + describe_path(candidates[0]) + "' or '" +
           describe_path(candidates[1]) + "'";
  return false;
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

// Writes beside the output and renames over it, so that a failure at any point leaves
// either the old file or none, never a partial executable.
bool write_file_replacing(const fs::path& output, const Bytes& bytes, std::string* error) {
  fs::path temporary = output;
  temporary += temporary_suffix();
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

// The .ico's images into request->identity; nothing is packed when the icon is refused.
bool read_icon(ExeRequest* request, std::string* error) {
  if (request->icon.empty()) return true;
  Bytes ico;
  std::error_code code;
  const uintmax_t size = fs::file_size(request->icon, code);
  if (!code && size > max_icon_file_size) {
    *error = "'" + describe_path(request->icon) + "' is too large for an icon";
    return false;
  }
  if (!read_input_file(request->icon, &ico, error)) return false;
  if (!parse_icon_file(ico.data(), ico.size(), &request->identity.icon, error)) {
    *error = "'" + describe_path(request->icon) + "' is not a usable icon: " + *error;
    return false;
  }
  return true;
}

}  // namespace

int run_exe_command(int argc, char** argv) {
  ExeRequest request;
  const LineOutcome outcome = parse_exe_line(argc, argv, &request);
  if (outcome != LineOutcome::run) return exit_code_of(outcome);
  std::string error;
  if (request.launcher.empty() && !find_default_stub(&request.launcher, &error)) {
    return report_error(error, pack_exit_failure);
  }
  Bytes stub;
  Bytes payload;
  Bytes exe;
  // The stub and the icon are read first: a wrong one should not cost a long compression.
  if (!read_input_file(request.launcher, &stub, &error) || !read_icon(&request, &error)) {
    return report_error(error, pack_exit_failure);
  }
  if (request.payload.empty()) {
    request.request.show_progress = is_stderr_terminal();
    if (!build_payload_bytes(request.request, &payload, &error)) return report_error(error, pack_exit_failure);
  } else if (!read_payload_file(request.payload, &payload, &error)) {
    return report_error(error, pack_exit_failure);
  }
  if (request.place == UnpackPlace::cache && !check_payload_fits_cache(payload.data(), payload.size(), &error)) {
    return report_error(error, pack_exit_failure);
  }
  const AppIdentity& identity = request.identity;
  PlaceIdentity place_identity = place_identity_of(identity);
  // Without a product name of its own, the exe's name tells one application's trees from
  // another's: the stub's name would put every such application in one folder, where each
  // start of one retires the trees of the others.
  if (place_identity.product.empty()) place_identity.product = request.request.output.stem().u8string();
  const std::u16string folder = request.folder.empty() ? u"" : resolve_folder_spec(request.folder, place_identity);
  if (build_place_spec(place_identity, payload_digest_text(payload.data(), payload.size()), folder).size() >=
      place_spec_capacity) {
    return report_error("the unpacking folder's spec is too long for the launcher (" +
                            std::to_string(place_spec_capacity - 1) + " units at most with the tree's name)",
                        pack_exit_usage);
  }
  const std::vector<ResourceItem> place =
      make_place_resources(request.place, place_identity, payload.data(), payload.size(), folder);
  const std::vector<ResourceItem> options =
      make_options_resources(request.progress_window ? option_progress_window : 0);
  const bool cached = request.place == UnpackPlace::cache;
  const ResourceEdit edit = [&identity, &place, &options, cached](std::vector<ResourceItem>* items,
                                                                  std::string* fault) {
    set_place_resources(place, items);
    set_options_resources(options, items);
    return apply_identity(identity, items, fault) && (!cached || check_cache_runs_as_invoker(*items, fault));
  };
  if (!attach_payload(stub, payload.data(), payload.size(), &exe, &error, edit) ||
      !apply_subsystem(identity, &exe, &error)) {
    return report_error("launcher stub '" + describe_path(request.launcher) + "': " + error, pack_exit_failure);
  }
  if (!write_file_replacing(request.request.output, exe, &error)) return report_error(error, pack_exit_failure);
  fprintf(stderr, "tavrin-pack: wrote %s (%zu bytes, payload %zu bytes%s)\n",
          describe_path(request.request.output).c_str(), exe.size(), payload.size(),
          request.place == UnpackPlace::cache ? ", unpacked once into the cache"
          : request.folder.empty()            ? ""
                                              : ", unpacked below its own folder");
  return pack_exit_success;
}
