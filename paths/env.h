// The launcher's own process environment, by narrow (ASCII) variable name.
#pragma once

// The value as a heap copy owned by the caller, or nullptr when the variable is unset,
// empty, too long for the 32,768-unit buffer, or the copy cannot be allocated.
wchar_t* env_get(const char* name);
// SetEnvironmentVariableW's result; no caller depends on it.
bool env_set(const char* name, const wchar_t* value);
// Removes the variable; SetEnvironmentVariableW's result.
bool env_unset(const char* name);

constexpr const char env_parent[] = "TAVRIN_ONEFILE_PARENT";
constexpr const char env_start[] = "TAVRIN_ONEFILE_START";
constexpr const char env_directory[] = "TAVRIN_ONEFILE_DIRECTORY";
constexpr const char env_original_argv0[] = "TAVRIN_ORIGINAL_ARGV0";
// The local application data folder as the parent looked it up, for its child's {CACHE_DIR}.
constexpr const char env_cache_dir[] = "TAVRIN_ONEFILE_CACHE_DIR";
// The folder of every start's tree, temporary and cached alike, over what the exe was
// packed with: what an administrator sets once where programs may not run from %TEMP%.
constexpr const char env_unpack_root[] = "TAVRIN_UNPACK_ROOT";
// The mark a waiting parent gives its own child (launcher/role).
constexpr const char env_child_mark[] = "TAVRIN_ONEFILE_CHILD_MARK";
