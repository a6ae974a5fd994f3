// The two shell32 calls the parent role makes, with shell32 loaded on their first use.
// The child role never needs the library, and loading it is a noticeable share of a small
// application's start.
#pragma once

#include <windows.h>

// SHGetFolderPathW; E_FAIL when shell32 cannot be loaded.
HRESULT shell_get_folder_path(int folder_id, wchar_t* path);
// CommandLineToArgvW; nullptr (with the last error set) when shell32 cannot be loaded.
wchar_t** shell_split_command_line(const wchar_t* line, int* count);
