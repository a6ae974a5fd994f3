// Executables packed with the resource rewriter, as Windows itself sees them: the packed
// probe finds its payload through the resource functions and still runs, the loader's
// lookup finds every resource (named ones too), and the checksum is the system's.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/files.h"
#include "support/process.h"
#include "tools/pack/commands.h"
#include "tools/pack/pe_resources.h"

namespace {

constexpr uint64_t fnv_offset_basis = 0xCBF29CE484222325;
constexpr uint64_t fnv_prime = 0x100000001B3;
constexpr DWORD load_as_image_resource = LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE;

uint64_t hash_bytes(const Bytes& data) {
  uint64_t hash = fnv_offset_basis;
  for (unsigned char byte : data) hash = (hash ^ byte) * fnv_prime;
  return hash;
}

Bytes make_payload(size_t size, uint32_t seed) {
  Bytes payload = {'V', 'Z', 'Y'};
  uint32_t state = seed;
  while (payload.size() < size) {
    state = state * 1664525u + 1013904223u;
    payload.push_back(static_cast<unsigned char>(state >> 24));
  }
  return payload;
}

Bytes as_bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
std::string as_text(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

Bytes pack(const Bytes& stub, const Bytes& payload) {
  Bytes exe;
  std::string error;
  EXPECT_TRUE(attach_payload(stub, payload.data(), payload.size(), &exe, &error)) << error;
  return exe;
}

std::string expected_digest(const Bytes& payload) {
  char line[128];
  snprintf(line, sizeof line, "payload %zu %016llx compressed %zu\r\n", payload.size(),
           static_cast<unsigned long long>(hash_bytes(payload)), payload.size() - 3);
  return line;
}

ProcessResult run_scenario(const std::wstring& exe, const std::wstring& scenario) {
  return run_process(exe, L"\"" + exe + L"\" " + scenario);
}

// The bytes of one resource as the system's own lookup finds them; false when it does not.
bool load_resource(const std::wstring& exe, const wchar_t* type, const wchar_t* name, Bytes* data) {
  HMODULE module = LoadLibraryExW(exe.c_str(), nullptr, load_as_image_resource);
  if (module == nullptr) return false;
  HRSRC found = FindResourceW(module, name, type);
  HGLOBAL loaded = found == nullptr ? nullptr : LoadResource(module, found);
  const void* bytes = loaded == nullptr ? nullptr : LockResource(loaded);
  if (bytes != nullptr) {
    const auto* first = static_cast<const unsigned char*>(bytes);
    data->assign(first, first + SizeofResource(module, found));
  }
  FreeLibrary(module);
  return bytes != nullptr;
}

class PackedExe : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = make_temp_directory(L"tavrin_packed_");
    probe_ = as_bytes(read_file(sibling_path(L"tavrin_probe.exe")));
    ASSERT_FALSE(probe_.empty());
  }
  void TearDown() override { remove_tree(directory_); }

  std::wstring write_exe(const std::wstring& name, const Bytes& bytes) {
    const std::wstring path = directory_ + L"\\" + name;
    EXPECT_TRUE(write_file(path, as_text(bytes)));
    return path;
  }

  std::wstring directory_;
  Bytes probe_;
};

TEST_F(PackedExe, ProbeFindsItsPayloadByteForByteAndStillRuns) {
  const Bytes payload = make_payload(300001, 7);
  const std::wstring packed = write_exe(L"packed_probe.exe", pack(probe_, payload));
  const ProcessResult digest = run_scenario(packed, L"payload_digest");
  EXPECT_EQ(digest.exit_code, 0u) << digest.err;
  EXPECT_EQ(digest.out, expected_digest(payload));
  const ProcessResult other = run_scenario(packed, L"message_line");
  EXPECT_EQ(other.exit_code, 2u);
  EXPECT_EQ(other.out, "Error, couldn't decode attached data.\r\n");
  // The unpacked probe has no payload at all and says so.
  const ProcessResult bare = run_probe(L"payload_digest");
  EXPECT_EQ(bare.exit_code, 2u);
  EXPECT_EQ(bare.out, "Error, couldn't find attached data header.\r\n");
}

TEST_F(PackedExe, RepackedProbeCarriesOnlyTheNewPayload) {
  const Bytes first = pack(probe_, make_payload(200000, 1));
  const Bytes second_payload = make_payload(1000, 2);
  const std::wstring repacked = write_exe(L"repacked.exe", pack(first, second_payload));
  const ProcessResult digest = run_scenario(repacked, L"payload_digest");
  EXPECT_EQ(digest.exit_code, 0u) << digest.err;
  EXPECT_EQ(digest.out, expected_digest(second_payload));
}

TEST_F(PackedExe, ChecksumMatchesTheSystemsComputation) {
  using CheckSumMappedFileFunction = PIMAGE_NT_HEADERS(WINAPI*)(PVOID, DWORD, PDWORD, PDWORD);
  HMODULE imagehlp = LoadLibraryW(L"imagehlp.dll");
  ASSERT_NE(imagehlp, nullptr);
  const auto check_sum_mapped_file =
      reinterpret_cast<CheckSumMappedFileFunction>(reinterpret_cast<void*>(GetProcAddress(imagehlp, "CheckSumMappedFile")));
  ASSERT_NE(check_sum_mapped_file, nullptr);
  for (const Bytes& exe : {pack(probe_, make_payload(4097, 3)), pack(probe_, make_payload(4098, 4))}) {
    Bytes copy = exe;
    DWORD stored = 0;
    DWORD computed = 0;
    ASSERT_NE(check_sum_mapped_file(copy.data(), static_cast<DWORD>(copy.size()), &stored, &computed), nullptr);
    EXPECT_EQ(stored, computed);
    EXPECT_NE(stored, 0u);
  }
  FreeLibrary(imagehlp);
}

// Named types and names added with the system's own resource writer must still be found
// after the rewrite: the loader searches the sorted tables.
TEST_F(PackedExe, SystemLookupFindsNamedAndNumberedResourcesAfterTheRewrite) {
  const std::wstring stub = write_exe(L"named_stub.exe", probe_);
  const std::vector<std::pair<const wchar_t*, const wchar_t*>> named = {
      {L"ZETA", L"LAST"}, {L"ALPHA", L"FIRST"}, {L"A_B", L"MID"}, {L"AB", L"Z"}, {L"ALPHA", L"AA"}};
  HANDLE update = BeginUpdateResourceW(stub.c_str(), FALSE);
  ASSERT_NE(update, nullptr);
  for (const auto& [type, name] : named) {
    const std::string data = narrow(type) + "/" + narrow(name);
    ASSERT_TRUE(UpdateResourceW(update, type, name, 0, const_cast<char*>(data.data()), static_cast<DWORD>(data.size())));
  }
  std::string rcdata = "rcdata 5";
  ASSERT_TRUE(UpdateResourceW(update, MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(5), 0, rcdata.data(),
                              static_cast<DWORD>(rcdata.size())));
  ASSERT_TRUE(EndUpdateResourceW(update, FALSE));
  const Bytes payload = make_payload(65536, 5);
  const std::wstring packed = write_exe(L"named_packed.exe", pack(as_bytes(read_file(stub)), payload));
  Bytes data;
  for (const auto& [type, name] : named) {
    ASSERT_TRUE(load_resource(packed, type, name, &data)) << narrow(type) << "/" << narrow(name);
    EXPECT_EQ(as_text(data), narrow(type) + "/" + narrow(name));
  }
  ASSERT_TRUE(load_resource(packed, MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(5), &data));
  EXPECT_EQ(as_text(data), rcdata);
  ASSERT_TRUE(load_resource(packed, MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(27), &data));
  EXPECT_EQ(data, payload);
  EXPECT_EQ(run_scenario(packed, L"payload_digest").out, expected_digest(payload));
}

TEST_F(PackedExe, LauncherKeepsIconGroupVersionAndManifest) {
  const std::wstring launcher = sibling_path(L"tavrin-launcher.exe");
  if (!file_exists(launcher)) GTEST_SKIP() << "tavrin-launcher.exe is not built";
  const Bytes payload = make_payload(1 << 20, 6);
  const std::wstring packed = write_exe(L"App.exe", pack(as_bytes(read_file(launcher)), payload));
  for (const auto& [type, label] : {std::pair{RT_GROUP_ICON, "icon group"}, std::pair{RT_VERSION, "version"},
                                    std::pair{RT_MANIFEST, "manifest"}}) {
    Bytes before, after;
    ASSERT_TRUE(load_resource(launcher, type, MAKEINTRESOURCEW(1), &before)) << label;
    ASSERT_TRUE(load_resource(packed, type, MAKEINTRESOURCEW(1), &after)) << label;
    EXPECT_EQ(after, before) << label;
  }
  Bytes found;
  ASSERT_TRUE(load_resource(packed, MAKEINTRESOURCEW(10), MAKEINTRESOURCEW(27), &found));
  EXPECT_EQ(found, payload);
}

// The command replaces an existing exe, which Windows' rename does not do by itself.
TEST_F(PackedExe, ExeCommandReplacesAnExistingOutput) {
  const Bytes payload = make_payload(5000, 8);
  const std::wstring payload_file = directory_ + L"\\app.payload";
  ASSERT_TRUE(write_file(payload_file, as_text(payload)));
  const std::wstring out = write_exe(L"App.exe", as_bytes("an older file"));
  std::vector<std::string> arguments = {"exe", "--launcher", narrow(sibling_path(L"tavrin_probe.exe")),
                                        "--payload", narrow(payload_file), "-o", narrow(out)};
  std::vector<char*> pointers;
  for (std::string& argument : arguments) pointers.push_back(argument.data());
  ASSERT_EQ(run_exe_command(static_cast<int>(pointers.size()), pointers.data()), 0);
  EXPECT_EQ(run_scenario(out, L"payload_digest").out, expected_digest(payload));
  EXPECT_EQ(list_files(directory_), (std::vector<std::wstring>{L"App.exe", L"app.payload"}));
}

}  // namespace
