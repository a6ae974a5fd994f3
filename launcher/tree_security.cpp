#include "launcher/tree_security.h"

#include <cwchar>

#include "paths/system_library.h"

namespace {

// The descriptor in SDDL: "P" protects the list from the folder above, "OICI" hands each
// entry on to every directory and file below, "FA" is full access, "NW" the no-write-up
// policy of a mandatory label ("ML"). SY and BA are SYSTEM and the Administrators group.
constexpr wchar_t access_head[] = L"D:P(A;OICI;FA;;;";
constexpr wchar_t access_tail[] = L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
constexpr wchar_t label_head[] = L"S:(ML;OICI;NW;;;";
constexpr wchar_t label_tail[] = L")";
constexpr DWORD sddl_revision = 1;
// Off only in the build that the benchmark compares against (a CMake option, never anything
// a shipped launcher reads at run time).
#if defined(TAVRIN_BENCHMARK_UNPROTECTED_TREE)
constexpr bool tree_protection = false;
#else
constexpr bool tree_protection = true;
#endif

// The longest SID text: "S-1-", a 48-bit authority (15 digits) and 15 sub-authorities of
// up to 10 digits, each after a hyphen; and the terminator.
constexpr size_t sid_text_capacity = 4 + 15 + 15 * 11 + 1;
// One SID and its attributes (TOKEN_USER and TOKEN_MANDATORY_LABEL alike) with the largest SID.
constexpr size_t token_information_bytes = sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE;
constexpr size_t tree_kind_count = 2;

using OpenProcessTokenFunction = BOOL(WINAPI*)(HANDLE, DWORD, PHANDLE);
using GetTokenInformationFunction = BOOL(WINAPI*)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
using ConvertSidToStringSidFunction = BOOL(WINAPI*)(PSID, LPWSTR*);
using ConvertStringDescriptorFunction = BOOL(WINAPI*)(LPCWSTR, DWORD, PSECURITY_DESCRIPTOR*, PULONG);

// advapi32 is loaded only by a parent that creates a tree: the launcher imports kernel32 and
// the C runtime alone, and the child never needs it.
struct SecurityFunctions {
  OpenProcessTokenFunction open_process_token;
  GetTokenInformationFunction get_token_information;
  ConvertSidToStringSidFunction convert_sid_to_text;
  ConvertStringDescriptorFunction convert_text_to_descriptor;
};

struct TokenFacts {
  wchar_t user_sid[sid_text_capacity];
  wchar_t level_sid[sid_text_capacity];
  DWORD integrity_rid;
};

SECURITY_ATTRIBUTES built_attributes[tree_kind_count];
bool attributes_tried[tree_kind_count];
bool attributes_ready[tree_kind_count];
bool attributes_labelled[tree_kind_count];

bool append_text(wchar_t* output, size_t capacity, size_t* length, const wchar_t* text) {
  const size_t added = wcslen(text);
  if (*length + added >= capacity) return false;
  wmemcpy(output + *length, text, added + 1);
  *length += added;
  return true;
}

bool find_security_functions(SecurityFunctions* functions) {
  const HMODULE advapi = load_system_library(L"advapi32.dll");
  functions->open_process_token = find_library_function<OpenProcessTokenFunction>(advapi, "OpenProcessToken");
  functions->get_token_information =
      find_library_function<GetTokenInformationFunction>(advapi, "GetTokenInformation");
  functions->convert_sid_to_text = find_library_function<ConvertSidToStringSidFunction>(advapi, "ConvertSidToStringSidW");
  functions->convert_text_to_descriptor = find_library_function<ConvertStringDescriptorFunction>(
      advapi, "ConvertStringSecurityDescriptorToSecurityDescriptorW");
  return functions->open_process_token != nullptr && functions->get_token_information != nullptr &&
         functions->convert_sid_to_text != nullptr && functions->convert_text_to_descriptor != nullptr;
}

// sid as text into output (sid_text_capacity units).
bool copy_sid_text(const SecurityFunctions& functions, PSID sid, wchar_t* output) {
  wchar_t* text = nullptr;
  if (!functions.convert_sid_to_text(sid, &text)) return false;
  const bool fits = wcslen(text) < sid_text_capacity;
  if (fits) wcscpy(output, text);
  LocalFree(text);
  return fits;
}

// One SID with its attributes (the token's user or its integrity label) into sid_text.
bool read_token_sid(const SecurityFunctions& functions, HANDLE token, TOKEN_INFORMATION_CLASS kind,
                    wchar_t* sid_text, DWORD* last_rid) {
  alignas(TOKEN_USER) unsigned char information[token_information_bytes];
  DWORD needed = 0;
  if (!functions.get_token_information(token, kind, information, sizeof information, &needed)) return false;
  // TOKEN_USER and TOKEN_MANDATORY_LABEL are both one SID_AND_ATTRIBUTES.
  const SID* sid = static_cast<const SID*>(reinterpret_cast<const TOKEN_USER*>(information)->User.Sid);
  if (sid->SubAuthorityCount == 0) return false;
  *last_rid = sid->SubAuthority[sid->SubAuthorityCount - 1];
  return copy_sid_text(functions, const_cast<SID*>(sid), sid_text);
}

bool read_token_facts(const SecurityFunctions& functions, TokenFacts* facts) {
  HANDLE token = nullptr;
  if (!functions.open_process_token(GetCurrentProcess(), TOKEN_QUERY, &token)) return false;
  DWORD user_rid = 0;
  const bool read = read_token_sid(functions, token, TokenUser, facts->user_sid, &user_rid) &&
                    read_token_sid(functions, token, TokenIntegrityLevel, facts->level_sid, &facts->integrity_rid);
  CloseHandle(token);
  return read;
}

// The descriptor is made once per kind and kept for the whole process.
bool build_attributes(TreeKind kind, SECURITY_ATTRIBUTES* attributes, bool* labelled_out) {
  SecurityFunctions functions;
  TokenFacts facts;
  if (!find_security_functions(&functions) || !read_token_facts(functions, &facts)) return false;
  const bool labelled = kind == TreeKind::temporary && needs_integrity_label(facts.integrity_rid);
  *labelled_out = labelled;
  wchar_t text[tree_descriptor_capacity];
  if (!compose_tree_descriptor(text, tree_descriptor_capacity, facts.user_sid, labelled ? facts.level_sid : nullptr)) {
    return false;
  }
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!functions.convert_text_to_descriptor(text, sddl_revision, &descriptor, nullptr /* size */)) return false;
  attributes->nLength = sizeof(SECURITY_ATTRIBUTES);
  attributes->lpSecurityDescriptor = descriptor;
  attributes->bInheritHandle = FALSE;
  return true;
}

}  // namespace

bool compose_tree_descriptor(wchar_t* output, size_t capacity, const wchar_t* user_sid, const wchar_t* label_sid) {
  size_t length = 0;
  if (capacity == 0) return false;
  output[0] = L'\0';
  bool fits = append_text(output, capacity, &length, access_head) && append_text(output, capacity, &length, user_sid) &&
              append_text(output, capacity, &length, access_tail);
  if (label_sid != nullptr) {
    fits = fits && append_text(output, capacity, &length, label_head) &&
           append_text(output, capacity, &length, label_sid) && append_text(output, capacity, &length, label_tail);
  }
  return fits;
}

bool needs_integrity_label(DWORD integrity_rid) {
  return integrity_rid >= SECURITY_MANDATORY_HIGH_RID;
}

SECURITY_ATTRIBUTES* tree_security(TreeKind kind) {
  const size_t index = kind == TreeKind::temporary ? 0 : 1;
  SECURITY_ATTRIBUTES* attributes = &built_attributes[index];
  if (!tree_protection) {
    // The benchmark's comparison build: the same calls with the system's default descriptor.
    *attributes = SECURITY_ATTRIBUTES{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    return attributes;
  }
  if (!attributes_tried[index]) {
    attributes_tried[index] = true;
    attributes_ready[index] = build_attributes(kind, attributes, &attributes_labelled[index]);
  }
  return attributes_ready[index] ? attributes : nullptr;
}

bool tree_carries_label(TreeKind kind) {
  const size_t index = kind == TreeKind::temporary ? 0 : 1;
  return tree_security(kind) != nullptr && attributes_labelled[index];
}
