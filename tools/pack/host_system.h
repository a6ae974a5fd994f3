// The two questions the packer asks its operating system directly: where its own
// executable lies, and whether a path is a link (a symbolic link, or on Windows any
// reparse point such as a junction), which std::filesystem cannot tell on every host.
#pragma once

#include <filesystem>

// The packer's own executable; empty when the system does not say.
std::filesystem::path own_executable_path();

// True when path itself (not what it points at) is a link.
bool is_link(const std::filesystem::path& path);
