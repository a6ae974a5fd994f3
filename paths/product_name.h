// The name an executable gives itself: the ProductName of its version resource, which the
// failure box's title and the progress window show.
#pragma once

#include <windows.h>

#include <cstddef>

// The version resource is a few kilobytes; a larger one is not read.
constexpr DWORD version_info_capacity = 16384;

// The ProductName string of module_path's version resource, in the first language and code
// page the resource lists, into name (capacity units, cut to fit); false without one.
// Safe on any thread: the resource is read into memory of the call's own.
bool read_product_name(const wchar_t* module_path, wchar_t* name, size_t capacity);
