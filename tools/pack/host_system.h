// The two questions the packer asks its operating system directly: where its own
// executable lies, and whether a path is a link (a symbolic link, or on Windows any
// reparse point such as a junction), which std::filesystem cannot tell on every host.
#pragma once

#include <filesystem>
#include <string>

// The packer's own executable; empty when the system does not say.
std::filesystem::path own_executable_path();

// ".tmp-<this process's ID>": the suffix of a file the packer writes beside its final place
// and renames into it, so that a failure never leaves a partial output under the real name.
std::string temporary_suffix();

// True when path itself (not what it points at) is a link.
bool is_link(const std::filesystem::path& path);
