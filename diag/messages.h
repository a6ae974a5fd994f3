// Every message text the launcher writes. They are part of its interface: scripts that
// start a packaged application match them, so they never change.
#pragma once

constexpr const char message_register_handler_failed[] = "Error, failed to register signal handler.";
constexpr const char message_header_not_found[] = "Error, couldn't find attached data header.";
constexpr const char message_allocation_failed[] = "Error, couldn't allocate memory.";
constexpr const char message_decode_failed[] = "Error, couldn't decode attached data.";
constexpr const char message_write_failed[] = "Error, couldn't unpack file to target path.";
constexpr const char message_launch_failed[] = "Error, couldn't launch child";
constexpr const char message_load_failed[] = "Error, load DLL.";
constexpr const char message_entry_point_missing[] = "Error, DLL entry point not found.";
constexpr const char message_parent_unreadable[] = "Error, couldn't check the launching process.";

constexpr const char format_system_error[] = "%s ([Error %ld] %s)\n";
constexpr const char format_open_failed[] = "Error, failed to open '%ls' for writing.\n";
constexpr const char format_spec_failed[] = "Error, couldn't runtime expand spec '%ls'.\n";

// Stands in the system-error line when the system has no US English text for the code.
constexpr const char system_text_unavailable[] = "no system description available";

constexpr int exit_code_reported_failure = 2;
