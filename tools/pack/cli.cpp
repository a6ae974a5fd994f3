#include "tools/pack/cli.h"

#include <CLI/CLI.hpp>

#include <optional>
#include <vector>

#include "resources/version.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

namespace {

// The identity options that set one string of the version resource.
struct TextOption {
  const char* name;
  const char* help;
  std::optional<std::string> AppIdentity::*field;
};

const TextOption text_options[] = {
    {"--product-name", "ProductName of the version resource", &AppIdentity::product_name},
    {"--company", "CompanyName", &AppIdentity::company},
    {"--description", "FileDescription (the name Windows shows for a running program)",
     &AppIdentity::description},
    {"--copyright", "LegalCopyright", &AppIdentity::copyright},
    {"--original-filename", "OriginalFilename", &AppIdentity::original_filename},
};

void report_usage_error(const CLI::App& app, const std::string& text) {
  report_error(text, pack_exit_usage);
  fprintf(stderr, "Run '%s --help' for its options.\n", app.get_name().c_str());
}

LineOutcome parse_line(CLI::App& app, int argc, char** argv) {
  try {
    app.parse(argc, argv);
    return LineOutcome::run;
  } catch (const CLI::CallForHelp&) {
    fputs(app.help().c_str(), stdout);
    return LineOutcome::help_shown;
  } catch (const CLI::ParseError& fault) {
    report_usage_error(app, fault.what());
    return LineOutcome::usage_error;
  }
}

// Text the user typed for a path (UTF-8 on every host) as a path of this host.
fs::path to_path(const std::string& text) { return fs::u8path(text); }

// The options both `payload` and `exe` take to pack a directory.
struct PackOptions {
  std::string main;
  std::string directory;
  std::vector<CLI::Option*> all;
};

void add_pack_options(CLI::App& app, PackRequest* request, PackOptions* options) {
  options->all.push_back(
      app.add_option("--main", options->main, "the main library, a path relative to DIR; packed first")
          ->type_name("NAME"));
  options->all.push_back(app.add_option("--level", request->level, "zstd level, 1 to 22")
                             ->type_name("N")
                             ->check(CLI::Range(pack_min_level, pack_max_level))
                             ->capture_default_str());
  options->all.push_back(app.add_flag("--checksum", request->checksum, "store a content checksum in the frame"));
  options->all.push_back(app.add_option("--threads", request->threads, "compress with N worker threads (0: none)")
                             ->type_name("N")
                             ->check(CLI::Range(0, pack_max_threads))
                             ->capture_default_str());
  options->all.push_back(app.add_option("DIR", options->directory,
                                        "the application's directory: every regular file below it is packed")
                            ->type_name("DIR"));
}

const CLI::Validator version_quad_check(
    [](std::string& text) {
      VersionQuad quad;
      return parse_version_quad(text, &quad) ? std::string() : "'" + text + "' is not four numbers of 0 to 65535";
    },
    "A.B.C.D");

// The identity options; their values land in *texts and *versions until the line is read.
struct IdentityOptions {
  std::string icon;
  std::string texts[std::size(text_options)];
  std::string product_version;
  std::string file_version;
  std::string execution_level;
  std::string subsystem;
  std::vector<CLI::Option*> text_flags;
};

void add_identity_options(CLI::App& app, IdentityOptions* options) {
  CLI::Option_group* group = app.add_option_group(
      "Identity", "The application's own identity; each option left out keeps the stub's resource as it is");
  group->add_option("--icon", options->icon, "replaces icon group 1 and its images")->type_name("FILE.ico");
  for (size_t i = 0; i < std::size(text_options); ++i) {
    options->text_flags.push_back(
        group->add_option(text_options[i].name, options->texts[i], text_options[i].help)->type_name("TEXT"));
  }
  group->add_option("--product-version", options->product_version, "each of the four numbers 0 to 65535")
      ->type_name("")
      ->check(version_quad_check);
  group->add_option("--file-version", options->file_version, "each of the four numbers 0 to 65535")
      ->type_name("")
      ->check(version_quad_check);
  group
      ->add_option("--execution-level", options->execution_level,
                   "the level the manifest requests (most applications want asInvoker; the stub "
                   "requests requireAdministrator)")
      ->type_name("")
      ->check(CLI::IsMember(std::vector<std::string>(std::begin(execution_levels), std::end(execution_levels))));
  std::vector<std::string> subsystems;
  for (const SubsystemName& subsystem : subsystem_names) subsystems.emplace_back(subsystem.name);
  group
      ->add_option("--subsystem", options->subsystem,
                   "console: a command-line tool, which a prompt waits for and which shares its console "
                   "with the application; windows: a program with windows of its own, which a prompt "
                   "does not wait for (the kit's stub is windows)")
      ->type_name("console|windows")
      ->check(CLI::IsMember(subsystems));
}

void take_identity(const IdentityOptions& options, ExeRequest* request) {
  AppIdentity& identity = request->identity;
  if (!options.icon.empty()) request->icon = to_path(options.icon);
  for (size_t i = 0; i < std::size(text_options); ++i) {
    if (options.text_flags[i]->count() != 0) identity.*(text_options[i].field) = options.texts[i];
  }
  VersionQuad quad;
  if (!options.product_version.empty() && parse_version_quad(options.product_version, &quad)) {
    identity.product_version = quad;
  }
  if (!options.file_version.empty() && parse_version_quad(options.file_version, &quad)) {
    identity.file_version = quad;
  }
  identity.execution_level = options.execution_level;
  identity.subsystem = options.subsystem;
}

}  // namespace

int exit_code_of(LineOutcome outcome) {
  return outcome == LineOutcome::help_shown ? pack_exit_success : pack_exit_usage;
}

LineOutcome parse_payload_line(int argc, char** argv, PackRequest* request) {
  CLI::App app("Packs every regular file of DIR into a payload file, the main library first. "
               "Symbolic links and special files are refused.",
               "tavrin-pack payload");
  PackOptions pack;
  std::string output;
  add_pack_options(app, request, &pack);
  app.add_option("-o,--output", output, "the payload file to write")->type_name("OUT")->required();
  pack.all.front()->required();
  pack.all.back()->required();
  const LineOutcome outcome = parse_line(app, argc, argv);
  if (outcome != LineOutcome::run) return outcome;
  request->main_library = to_path(pack.main);
  request->directory = to_path(pack.directory);
  request->output = to_path(output);
  return LineOutcome::run;
}

// --unpack-to and --cache-root into the request; false when they are wrong (reported).
bool take_unpack_place(const CLI::App& app, const std::string& place, const std::string& cache_root,
                       ExeRequest* request) {
  std::string error;
  if (!parse_unpack_place(place, &request->place)) {
    request->place = UnpackPlace::temp;
    request->folder = place;
  } else if (!cache_root.empty()) {
    if (request->place != UnpackPlace::cache) {
      report_usage_error(app, "--cache-root goes with --unpack-to cache");
      return false;
    }
    request->folder = cache_root;
  }
  if (!request->folder.empty() && !check_folder_spec(request->folder, &error)) {
    report_usage_error(app, error);
    return false;
  }
  return true;
}

LineOutcome parse_exe_line(int argc, char** argv, ExeRequest* request) {
  CLI::App app("Writes the application's single executable: a copy of the launcher stub carrying the "
               "payload, packed from DIR or taken from a payload file, with the application's own identity.",
               "tavrin-pack exe");
  PackOptions pack;
  IdentityOptions identity;
  std::string launcher;
  std::string payload;
  std::string output;
  app.add_option("--launcher", launcher,
                 "the launcher stub (default: share/tavrin/tavrin-launcher.exe of the kit, "
                 "else tavrin-launcher.exe beside tavrin-pack)");
  CLI::Option* payload_option =
      app.add_option("--payload", payload, "a payload file made by `tavrin-pack payload`, instead of --main and DIR")
          ->type_name("FILE");
  app.add_option("-o,--output", output, "the executable to write")->type_name("APP.exe")->required();
  add_pack_options(app, &request->request, &pack);
  for (CLI::Option* option : pack.all) payload_option->excludes(option);
  add_identity_options(app, &identity);
  std::string place = "temp";
  std::string cache_root;
  app.add_option("--unpack-to", place,
                 "temp: a fresh temporary tree at every start below the user's temporary folder, removed at the "
                 "end (the default); FOLDER: the same below that folder, a path spec such as "
                 "\"{PROGRAM_DIR}\\.files\"; cache: one tree per payload below the user's local application data "
                 "(or --cache-root), unpacked by the first start and kept, so that later starts skip unpacking")
      ->type_name("temp|cache|FOLDER");
  app.add_option("--cache-root", cache_root,
                 "with --unpack-to cache: the folder below which the cached trees live (a path spec; default "
                 "\"{CACHE_DIR}\\tavrin\")")
      ->type_name("FOLDER");
  app.add_flag("--progress-window", request->progress_window,
               "a start still unpacking 0.4 s after it began shows a window with its progress until the "
               "application's first window (at most 10 s after the application started)");
  const LineOutcome outcome = parse_line(app, argc, argv);
  if (outcome != LineOutcome::run) return outcome;
  if (payload.empty() && (pack.main.empty() || pack.directory.empty())) {
    report_usage_error(app, "give --main NAME and DIR, or --payload FILE");
    return LineOutcome::usage_error;
  }
  request->launcher = to_path(launcher);
  request->payload = to_path(payload);
  request->request.main_library = to_path(pack.main);
  request->request.directory = to_path(pack.directory);
  request->request.output = to_path(output);
  take_identity(identity, request);
  return take_unpack_place(app, place, cache_root, request) ? LineOutcome::run : LineOutcome::usage_error;
}

LineOutcome parse_list_line(int argc, char** argv, InspectRequest* request) {
  CLI::App app("Checks a payload and lists its entries (name, size) with totals.", "tavrin-pack list");
  std::string input;
  app.add_option("FILE", input, "a packed executable or a payload file")->type_name("FILE")->required();
  const LineOutcome outcome = parse_line(app, argc, argv);
  request->input = to_path(input);
  return outcome;
}

LineOutcome parse_extract_line(int argc, char** argv, InspectRequest* request) {
  CLI::App app("Checks a payload and writes its files below DIR (created when missing). Names the launcher "
               "would refuse, and links already in DIR, are refused; a failure leaves no file of its own behind.",
               "tavrin-pack extract");
  std::string input;
  std::string directory;
  app.add_option("FILE", input, "a packed executable or a payload file")->type_name("FILE")->required();
  app.add_option("DIR", directory, "where the files go")->type_name("DIR")->required();
  const LineOutcome outcome = parse_line(app, argc, argv);
  request->input = to_path(input);
  request->directory = to_path(directory);
  return outcome;
}

void print_usage(FILE* stream) {
  fputs(
      "usage: tavrin-pack COMMAND [OPTIONS] ...\n"
      "  payload --main NAME -o OUT [--level N] [--checksum] [--threads N] DIR\n"
      "      Packs every regular file of DIR into a payload file, the main library first.\n"
      "  exe [--launcher STUB] (--main NAME DIR | --payload FILE) -o APP.exe [identity options]\n"
      "      [--unpack-to temp|cache|FOLDER] [--cache-root FOLDER] [--subsystem console|windows]\n"
      "      [--progress-window]\n"
      "      Writes the application's executable: a copy of the stub carrying the payload, with\n"
      "      the application's icon, version resource and execution level; cache: later starts\n"
      "      use the tree the first start unpacked; FOLDER: a path spec for the trees' folder;\n"
      "      console: a command-line tool; --progress-window: a slow start shows its progress.\n"
      "  list FILE\n"
      "      Checks a payload (a packed executable or a payload file) and lists its entries\n"
      "      (and an executable's launcher options).\n"
      "  extract FILE DIR\n"
      "      Writes the files of a payload below DIR.\n"
      "tavrin-pack COMMAND --help shows a command's options; tavrin-pack --version its version.\n",
      stream);
}

void print_version(FILE* stream) { fprintf(stream, "tavrin-pack %s\n", TAVRIN_PRODUCT_VERSION); }

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
