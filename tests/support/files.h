// File helpers for tests: fresh directories, whole-file reads and writes, tree removal.
#pragma once

#include <string>
#include <vector>

// A new, empty directory below the temporary directory; its name starts with prefix.
std::wstring make_temp_directory(const std::wstring& prefix);
// Removes a directory tree (files first); true when nothing of it is left.
bool remove_tree(const std::wstring& path);
bool file_exists(const std::wstring& path);
bool directory_exists(const std::wstring& path);
bool write_file(const std::wstring& path, const std::string& bytes);
std::string read_file(const std::wstring& path);
// Relative paths (backslash-separated) of every file below root, sorted.
std::vector<std::wstring> list_files(const std::wstring& root);
// Narrow (UTF-8) and wide conversions for messages and comparisons.
std::string narrow(const std::wstring& text);
std::wstring widen(const std::string& text);
