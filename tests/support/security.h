// Reading security descriptors back through the test's own calls, never the launcher's.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// The process token's user as SID text, and the last sub-authority of its integrity label.
std::wstring own_user_sid();
DWORD own_integrity_rid();

// One access entry of a list: its type, flags, mask and SID as text.
struct AccessEntry {
  BYTE type;
  BYTE flags;
  ACCESS_MASK mask;
  std::wstring sid;
};
struct ReadDescriptor {
  bool read = false;
  bool protected_list = false;
  std::vector<AccessEntry> entries;
};
// The access list of a file or directory as GetFileSecurityW gives it.
ReadDescriptor read_file_access(const std::wstring& path);
// The label entries (the system list) of a descriptor in memory.
std::vector<AccessEntry> label_entries(PSECURITY_DESCRIPTOR descriptor);
// descriptor as SDDL text with the given parts; empty when it cannot be converted.
std::wstring descriptor_text(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts);
