#include "tools/pack/tree.h"

#include <algorithm>
#include <set>
#include <system_error>

#include "payload/entry_stream.h"
#include "payload/format.h"

namespace fs = std::filesystem;

namespace {

constexpr char16_t first_printable_unit = 0x20;
constexpr char16_t forbidden_units[] = u"\\:<>\"|?*";
// Device names that Win32 opens instead of a file, with or without an extension.
const char* const reserved_device_names[] = {"CON", "PRN", "AUX", "NUL"};
const char* const numbered_device_names[] = {"COM", "LPT"};
constexpr size_t numbered_device_prefix = 3;

char16_t fold_ascii(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - u'a' + u'A') : unit;
}

bool equals_ascii_folded(const std::u16string& text, const char* upper) {
  size_t i = 0;
  for (; upper[i] != '\0'; ++i) {
    if (i >= text.size() || fold_ascii(text[i]) != static_cast<char16_t>(upper[i])) return false;
  }
  return i == text.size();
}

// "nul", "NUL.txt", "com1.log": Win32 maps these to devices in any directory.
bool is_device_name(const std::u16string& component) {
  std::u16string base = component.substr(0, component.find(u'.'));
  while (!base.empty() && base.back() == u' ') base.pop_back();
  for (const char* device : reserved_device_names) {
    if (equals_ascii_folded(base, device)) return true;
  }
  if (base.size() != numbered_device_prefix + 1) return false;
  if (base.back() < u'1' || base.back() > u'9') return false;
  const std::u16string prefix = base.substr(0, numbered_device_prefix);
  for (const char* device : numbered_device_names) {
    if (equals_ascii_folded(prefix, device)) return true;
  }
  return false;
}

// The entry name of path below directory; false when a component has no UTF-16 form or
// breaks a name rule.
bool make_entry_name(const fs::path& relative, std::u16string* name, std::string* error) {
  name->clear();
  for (const fs::path& component : relative) {
    std::u16string unit_text;
    try {
      unit_text = component.u16string();
    } catch (const std::exception&) {
      *error = "'" + describe_path(relative) + "' has a name that is not valid Unicode";
      return false;
    }
    if (!check_name_component(unit_text, error)) {
      if (component != relative) *error = "'" + describe_path(relative) + "': " + *error;
      return false;
    }
    if (!name->empty()) name->push_back(u'\\');
    name->append(unit_text);
  }
  return check_entry_name(*name, error);
}

void split_entry_name(const std::u16string& name, std::u16string* directory,
                      std::u16string* file) {
  const size_t separator = name.rfind(u'\\');
  if (separator == std::u16string::npos) {
    directory->clear();
    *file = name;
  } else {
    *directory = name.substr(0, separator);
    *file = name.substr(separator + 1);
  }
}

bool precedes_in_tree(const TreeFile& left, const TreeFile& right) {
  std::u16string left_directory, left_file, right_directory, right_file;
  split_entry_name(left.name, &left_directory, &left_file);
  split_entry_name(right.name, &right_directory, &right_file);
  if (left_directory != right_directory) return left_directory < right_directory;
  return left_file < right_file;
}

// Windows compares names without regard to case: two names that differ only so would
// become one file there, the later silently replacing the earlier.
bool check_case_collisions(const std::vector<TreeFile>& files, std::string* error) {
  std::set<std::u16string> seen;
  for (const TreeFile& file : files) {
    std::u16string folded = file.name;
    for (char16_t& unit : folded) unit = fold_ascii(unit);
    if (!seen.insert(folded).second) {
      *error = "'" + describe_name(file.name) +
               "' differs from another file only in letter case, which Windows cannot hold";
      return false;
    }
  }
  return true;
}

}  // namespace

std::string describe_name(const std::u16string& name) {
  std::string text;
  for (size_t i = 0; i < name.size(); ++i) {
    uint32_t code = name[i];
    if (code >= 0xD800 && code < 0xDC00 && i + 1 < name.size() && name[i + 1] >= 0xDC00 &&
        name[i + 1] < 0xE000) {
      code = 0x10000 + ((code - 0xD800) << 10) + (name[i + 1] - 0xDC00);
      ++i;
    }
    if (code < first_printable_unit) {
      const char hex[] = "0123456789abcdef";
      text += "\\x";
      text += hex[code >> 4];
      text += hex[code & 0xF];
    } else if (code < 0x80) {
      text += static_cast<char>(code);
    } else if (code < 0x800) {
      text += static_cast<char>(0xC0 | (code >> 6));
      text += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      text += static_cast<char>(0xE0 | (code >> 12));
      text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      text += static_cast<char>(0xF0 | (code >> 18));
      text += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      text += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      text += static_cast<char>(0x80 | (code & 0x3F));
    }
  }
  return text;
}

std::string describe_path(const fs::path& path) {
  try {
    const auto text = path.u8string();
    return std::string(text.begin(), text.end());
  } catch (const std::exception&) {
    return path.string();
  }
}

bool check_name_component(const std::u16string& component, std::string* error) {
  const std::string shown = "'" + describe_name(component) + "'";
  if (component.empty()) {
    *error = "an empty name component";
    return false;
  }
  for (char16_t unit : component) {
    if (unit < first_printable_unit) {
      *error = shown + " holds a control character, which Windows file names cannot hold";
      return false;
    }
    if (std::u16string(forbidden_units).find(unit) != std::u16string::npos) {
      *error = shown + " holds one of \\ : < > \" | ? *, which Windows file names cannot hold";
      return false;
    }
  }
  if (component.back() == u'.' || component.back() == u' ') {
    *error = shown + " ends in a dot or a space, which Windows drops from file names";
    return false;
  }
  if (is_device_name(component)) {
    *error = shown + " is a device name on Windows";
    return false;
  }
  return true;
}

bool check_entry_name(const std::u16string& name, std::string* error) {
  if (name.size() >= entry_name_capacity) {
    *error = "'" + describe_name(name) + "' is longer than " +
             std::to_string(entry_name_capacity - 1) + " UTF-16 units";
    return false;
  }
  // One home for the rule of staying below the target directory: the launcher's own.
  std::wstring wide(name.begin(), name.end());
  if (!is_safe_entry_name(wide.c_str())) {
    *error = "'" + describe_name(name) + "' would not stay below the target directory";
    return false;
  }
  return true;
}

bool collect_tree(const fs::path& directory, std::vector<TreeFile>* files, std::string* error) {
  std::error_code code;
  if (!fs::is_directory(directory, code)) {
    *error = "'" + describe_path(directory) + "' is not a directory" +
             (code ? " (" + code.message() + ")" : "");
    return false;
  }
  files->clear();
  fs::recursive_directory_iterator walk(directory, code);
  for (; !code && walk != fs::recursive_directory_iterator(); walk.increment(code)) {
    const fs::path& path = walk->path();
    const fs::file_status status = walk->symlink_status(code);
    if (code) break;
    if (fs::is_directory(status)) continue;
    if (fs::is_symlink(status)) {
      *error = "'" + describe_path(path) + "' is a symbolic link; links are not packed";
      return false;
    }
    if (!fs::is_regular_file(status)) {
      *error = "'" + describe_path(path) + "' is not a regular file";
      return false;
    }
    TreeFile file{u"", path, walk->file_size(code)};
    if (code) break;
    if (!make_entry_name(path.lexically_relative(directory), &file.name, error)) return false;
    files->push_back(std::move(file));
  }
  if (code) {
    *error = "cannot read '" + describe_path(directory) + "': " + code.message();
    return false;
  }
  return true;
}

bool resolve_main_name(const fs::path& directory, const fs::path& main_library,
                       std::u16string* name, std::string* error) {
  fs::path relative = main_library.lexically_normal();
  if (main_library.is_absolute()) {
    std::error_code code;
    const fs::path base = fs::absolute(directory, code).lexically_normal();
    relative = code ? fs::path() : relative.lexically_relative(base);
  }
  const bool outside = relative.empty() || relative == "." || *relative.begin() == "..";
  if (outside || relative.is_absolute() || relative.has_root_name()) {
    *error = "the main library '" + describe_path(main_library) + "' is not inside '" +
             describe_path(directory) + "'";
    return false;
  }
  return make_entry_name(relative, name, error);
}

bool order_entries(std::vector<TreeFile>* files, const std::u16string& main_name,
                   std::string* error) {
  const auto main = std::find_if(files->begin(), files->end(),
                                 [&](const TreeFile& file) { return file.name == main_name; });
  if (main == files->end()) {
    *error = "the main library '" + describe_name(main_name) +
             "' is not a regular file of the directory";
    return false;
  }
  std::iter_swap(files->begin(), main);
  std::sort(files->begin() + 1, files->end(), precedes_in_tree);
  return check_case_collisions(*files, error);
}
