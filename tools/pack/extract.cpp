#include "tools/pack/extract.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "payload/format.h"
#include "tools/pack/host_system.h"
#include "tools/pack/payload_list.h"
#include "tools/pack/tree.h"

namespace fs = std::filesystem;

namespace {

constexpr char16_t entry_separator_unit = u'\\';

bool fail(std::string* error, const std::string& text) {
  *error = text;
  return false;
}

std::vector<std::u16string> split_entry_name(const std::u16string& name) {
  std::vector<std::u16string> components(1);
  for (char16_t unit : name) {
    if (unit == entry_separator_unit) {
      components.emplace_back();
    } else {
      components.back().push_back(unit);
    }
  }
  return components;
}

// Writes each entry beside its place and renames it in; remembers what it created so that
// a failure can take it away again.
class ExtractingVisitor : public PayloadVisitor {
 public:
  explicit ExtractingVisitor(const fs::path& root) : root_(root) {}

  bool begin_entry(const std::u16string& name, uint64_t, std::string* error) override {
    const std::vector<std::u16string> components = split_entry_name(name);
    fs::path directory = root_;
    for (size_t i = 0; i + 1 < components.size(); ++i) {
      directory /= fs::path(components[i]);
      if (!enter_directory(directory, error)) return false;
    }
    target_ = directory / fs::path(components.back());
    std::error_code code;
    if (is_link(target_)) return fail(error, "'" + describe_path(target_) + "' is a link; not following it");
    if (fs::is_directory(target_, code)) return fail(error, "'" + describe_path(target_) + "' is a directory");
    target_existed_ = fs::exists(target_, code);
    temporary_ = target_;
    temporary_ += temporary_suffix();
    stream_.open(temporary_, std::ios::binary | std::ios::trunc);
    if (!stream_) return fail(error, "cannot create '" + describe_path(temporary_) + "'");
    return true;
  }

  bool entry_data(const unsigned char* data, size_t size, std::string* error) override {
    stream_.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!stream_) return fail(error, "cannot write '" + describe_path(temporary_) + "'");
    return true;
  }

  bool end_entry(std::string* error) override {
    stream_.close();
    if (!stream_) return fail(error, "cannot write '" + describe_path(temporary_) + "'");
    std::error_code code;
    fs::rename(temporary_, target_, code);
    if (code) return fail(error, "cannot write '" + describe_path(target_) + "': " + code.message());
    temporary_.clear();
    if (!target_existed_) created_files_.push_back(target_);
    return true;
  }

  // Removes the unfinished file and everything this visitor created, newest first.
  void roll_back() {
    std::error_code ignored;
    if (stream_.is_open()) stream_.close();
    if (!temporary_.empty()) fs::remove(temporary_, ignored);
    for (auto file = created_files_.rbegin(); file != created_files_.rend(); ++file) fs::remove(*file, ignored);
    for (auto dir = created_directories_.rbegin(); dir != created_directories_.rend(); ++dir) {
      fs::remove(*dir, ignored);
    }
  }

  void note_created_directory(const fs::path& directory) { created_directories_.push_back(directory); }

 private:
  // A directory on an entry's path: an existing real directory, or one made now.
  bool enter_directory(const fs::path& directory, std::string* error) {
    std::error_code code;
    if (is_link(directory)) return fail(error, "'" + describe_path(directory) + "' is a link; not following it");
    if (fs::is_directory(directory, code)) return true;
    if (fs::exists(directory, code)) return fail(error, "'" + describe_path(directory) + "' is not a directory");
    if (!fs::create_directory(directory, code) || code) {
      return fail(error, "cannot create '" + describe_path(directory) + "': " + code.message());
    }
    created_directories_.push_back(directory);
    return true;
  }

  fs::path root_;
  fs::path target_;
  fs::path temporary_;
  bool target_existed_ = false;
  std::ofstream stream_;
  std::vector<fs::path> created_files_;
  std::vector<fs::path> created_directories_;
};

bool prepare_root(const fs::path& directory, bool* created, std::string* error) {
  std::error_code code;
  *created = false;
  if (is_link(directory)) return fail(error, "'" + describe_path(directory) + "' is a link; not following it");
  if (fs::is_directory(directory, code)) return true;
  if (fs::exists(directory, code)) return fail(error, "'" + describe_path(directory) + "' is not a directory");
  fs::create_directories(directory, code);
  if (code) return fail(error, "cannot create '" + describe_path(directory) + "': " + code.message());
  *created = true;
  return true;
}

}  // namespace

bool extract_payload(const unsigned char* data, size_t size, const fs::path& directory, std::string* error) {
  std::vector<ListedEntry> entries;
  if (!list_payload(data, size, &entries, error)) return fail(error, "not a valid payload: " + *error);
  bool created = false;
  if (!prepare_root(directory, &created, error)) return false;
  ExtractingVisitor visitor(directory);
  if (created) visitor.note_created_directory(directory);
  bool done = false;
  try {
    done = visit_payload(data, size, &visitor, error);
  } catch (const std::exception& exception) {
    // A name that this host cannot turn into a path (an unpaired surrogate, say).
    *error = std::string("cannot write an entry: ") + exception.what();
  }
  if (!done) visitor.roll_back();
  return done;
}
