#include "support/security.h"

#include <sddl.h>

namespace {

std::wstring sid_text(PSID sid) {
  wchar_t* text = nullptr;
  if (!ConvertSidToStringSidW(sid, &text)) return {};
  std::wstring result = text;
  LocalFree(text);
  return result;
}

// One SID_AND_ATTRIBUTES from the token (TokenUser or TokenIntegrityLevel).
std::vector<unsigned char> token_sid(TOKEN_INFORMATION_CLASS kind) {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return {};
  std::vector<unsigned char> buffer(sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE);
  DWORD needed = 0;
  const BOOL read = GetTokenInformation(token, kind, buffer.data(), static_cast<DWORD>(buffer.size()), &needed);
  CloseHandle(token);
  if (!read) buffer.clear();
  return buffer;
}

PSID sid_of(std::vector<unsigned char>& information) {
  return information.empty() ? nullptr : reinterpret_cast<TOKEN_USER*>(information.data())->User.Sid;
}

// Every entry of a list; allowed and label entries share the layout read here.
std::vector<AccessEntry> list_entries(PACL list) {
  std::vector<AccessEntry> entries;
  for (DWORD i = 0; list != nullptr && i < list->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(list, i, &entry)) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    PSID sid = const_cast<DWORD*>(&allowed->SidStart);
    entries.push_back({allowed->Header.AceType, allowed->Header.AceFlags, allowed->Mask, sid_text(sid)});
  }
  return entries;
}

}  // namespace

std::wstring own_user_sid() {
  std::vector<unsigned char> information = token_sid(TokenUser);
  PSID sid = sid_of(information);
  return sid == nullptr ? std::wstring() : sid_text(sid);
}

DWORD own_integrity_rid() {
  std::vector<unsigned char> information = token_sid(TokenIntegrityLevel);
  PSID sid = sid_of(information);
  if (sid == nullptr) return 0;
  return *GetSidSubAuthority(sid, *GetSidSubAuthorityCount(sid) - 1);
}

ReadDescriptor read_file_access(const std::wstring& path) {
  ReadDescriptor result;
  DWORD needed = 0;
  GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, nullptr, 0, &needed);
  if (needed == 0) return result;
  std::vector<unsigned char> buffer(needed);
  PSECURITY_DESCRIPTOR descriptor = buffer.data();
  if (!GetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor, needed, &needed)) return result;
  SECURITY_DESCRIPTOR_CONTROL control = 0;
  DWORD revision = 0;
  BOOL present = FALSE, defaulted = FALSE;
  PACL list = nullptr;
  if (!GetSecurityDescriptorControl(descriptor, &control, &revision) ||
      !GetSecurityDescriptorDacl(descriptor, &present, &list, &defaulted) || !present || list == nullptr) {
    return result;
  }
  result.read = true;
  result.protected_list = (control & SE_DACL_PROTECTED) != 0;
  result.entries = list_entries(list);
  return result;
}

std::vector<AccessEntry> label_entries(PSECURITY_DESCRIPTOR descriptor) {
  BOOL present = FALSE, defaulted = FALSE;
  PACL list = nullptr;
  if (!GetSecurityDescriptorSacl(descriptor, &present, &list, &defaulted) || !present) return {};
  return list_entries(list);
}

std::wstring descriptor_text(PSECURITY_DESCRIPTOR descriptor, SECURITY_INFORMATION parts) {
  wchar_t* text = nullptr;
  if (!ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1, parts, &text, nullptr)) {
    return {};
  }
  std::wstring result = text;
  LocalFree(text);
  return result;
}
