// Path specs: templates with keywords in braces ({TEMP}, {PID}, {TIME}, ...).
#pragma once

#include <cstddef>
#include <cstdint>

#include "resources/version.h"

constexpr const wchar_t target_spec[] = L"{TEMP}\\onefile_{PID}_{TIME}";
constexpr const wchar_t home_spec[] = L"{HOME}";
// The same values as the executable's version resource: one home in resources/version.h.
constexpr const wchar_t product_name[] = L"" TAVRIN_PRODUCT_NAME;
constexpr const wchar_t product_version[] = L"" TAVRIN_PRODUCT_VERSION;

// Expands spec into output (capacity units, terminator included). False when a keyword is
// unknown, a literal unit does not fit, or a folder lookup fails; output then holds the
// expansion so far. Broken limits end the process.
bool expand_spec(wchar_t* output, const wchar_t* spec, size_t capacity);
// The current system time as a FILETIME count: what {TIME} writes when nothing fixed it.
uint64_t current_file_time();
// Appends the path of shell folder folder_id (a CSIDL) to output. False, output unchanged,
// when the lookup fails.
bool append_folder_path(wchar_t* output, int folder_id, size_t capacity);
