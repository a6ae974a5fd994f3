// Spec expansion: keywords, literal text, room accounting and the environment it keeps.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "paths/env.h"
#include "paths/spec.h"
#include "support/files.h"
#include "support/process.h"

namespace {

constexpr size_t output_capacity = 4096;

struct Expansion {
  bool ok;
  std::wstring text;
};

Expansion expand(const std::wstring& spec, size_t capacity = output_capacity) {
  std::wstring buffer(capacity, L'#');
  const bool ok = expand_spec(buffer.data(), spec.c_str(), capacity);
  return {ok, buffer.c_str()};
}

std::wstring without_trailing_backslashes(std::wstring path) {
  while (!path.empty() && path.back() == L'\\') path.pop_back();
  return path;
}

std::wstring temp_path() {
  wchar_t buffer[MAX_PATH + 1];
  GetTempPathW(MAX_PATH + 1, buffer);
  return buffer;
}

std::wstring folder_path(int folder_id) {
  wchar_t buffer[MAX_PATH];
  if (SHGetFolderPathW(nullptr, folder_id, nullptr, SHGFP_TYPE_CURRENT, buffer) != S_OK) return L"";
  return buffer;
}

std::wstring own_pid() {
  return std::to_wstring(GetCurrentProcessId());
}

bool all_digits(const std::wstring& text) {
  if (text.empty()) return false;
  for (wchar_t unit : text) {
    if (unit < L'0' || unit > L'9') return false;
  }
  return true;
}

std::wstring env_value(const char* name) {
  wchar_t* value = env_get(name);
  std::wstring text = value != nullptr ? value : L"(absent)";
  free(value);
  return text;
}

// Each test starts from a parent id and start time that are not set.
class SpecExpansion : public ::testing::Test {
 protected:
  void SetUp() override {
    env_unset(env_parent);
    env_unset(env_start);
    env_unset(env_cache_dir);
  }
  void TearDown() override { SetUp(); }
};

// Runs the probe's expansion with argument 0 of the probe set to argv0.
ProcessResult expand_in_probe(const std::wstring& spec, size_t capacity, const RunOptions& options = {},
                              const std::wstring& argv0 = L"") {
  if (argv0.empty()) return run_probe(L"expand", {spec, std::to_wstring(capacity)}, options);
  const std::wstring probe = sibling_path(L"tavrin_probe.exe");
  return run_process(probe, L"\"" + argv0 + L"\" expand \"" + spec + L"\" " + std::to_wstring(capacity), options);
}

std::string probe_line(const std::string& result, const std::string& text) {
  return result + " [" + text + "] guards intact\r\n";
}

TEST_F(SpecExpansion, LiteralTextAndEmptySpec) {
  EXPECT_EQ(expand(L"").ok, true);
  EXPECT_EQ(expand(L"").text, L"");
  const Expansion plain = expand(L"C:\\plain/text with blanks");
  EXPECT_TRUE(plain.ok);
  EXPECT_EQ(plain.text, L"C:\\plain/text with blanks");
}

TEST_F(SpecExpansion, TempLosesOnlyItsOwnTrailingBackslashes) {
  const std::wstring temp = temp_path();
  ASSERT_EQ(temp.back(), L'\\');
  EXPECT_EQ(expand(L"{TEMP}").text, without_trailing_backslashes(temp));
  const Expansion below = expand(L"{TEMP}\\x\\");
  EXPECT_TRUE(below.ok);
  EXPECT_EQ(below.text, without_trailing_backslashes(temp) + L"\\x\\");
}

TEST_F(SpecExpansion, KeywordNamesIgnoreLetterCase) {
  const std::wstring temp = without_trailing_backslashes(temp_path());
  for (const wchar_t* spec : {L"{temp}", L"{Temp}", L"{tEmP}"}) EXPECT_EQ(expand(spec).text, temp) << spec;
  EXPECT_EQ(expand(L"{product}-{Version}").text, L"Zandoria-1.0.0.0");
  EXPECT_EQ(expand(L"{pid}").text, own_pid());
}

TEST_F(SpecExpansion, FolderKeywordsGiveShellFoldersWithoutTrailingBackslash) {
  const std::wstring home = folder_path(CSIDL_PROFILE);
  const std::wstring cache = folder_path(CSIDL_LOCAL_APPDATA);
  ASSERT_FALSE(home.empty());
  ASSERT_FALSE(cache.empty());
  EXPECT_EQ(expand(L"{HOME}").text, without_trailing_backslashes(home));
  EXPECT_EQ(expand(L"{home}\\a").text, without_trailing_backslashes(home) + L"\\a");
  EXPECT_EQ(expand(L"{CACHE_DIR}").text, without_trailing_backslashes(cache));
}

TEST_F(SpecExpansion, AppendFolderPathAddsToWhatIsThereOrLeavesItAlone) {
  wchar_t buffer[output_capacity] = L"x>";
  ASSERT_TRUE(append_folder_path(buffer, CSIDL_PROFILE, output_capacity));
  EXPECT_EQ(std::wstring(buffer), L"x>" + folder_path(CSIDL_PROFILE));
  wchar_t untouched[output_capacity] = L"keep";
  EXPECT_FALSE(append_folder_path(untouched, 0x7FFF /* no such folder */, output_capacity));
  EXPECT_EQ(std::wstring(untouched), L"keep");
}

TEST_F(SpecExpansion, UnknownAndEmptyKeywordsFailKeepingWhatCameBefore) {
  const Expansion unknown = expand(L"ab{NOPE}cd");
  EXPECT_FALSE(unknown.ok);
  EXPECT_EQ(unknown.text, L"ab");
  EXPECT_FALSE(expand(L"{}").ok);
  EXPECT_EQ(expand(L"{}").text, L"");
  EXPECT_FALSE(expand(L"{TEMPX}").ok);
  EXPECT_FALSE(expand(L"{ TEMP}").ok);
}

TEST_F(SpecExpansion, OpenKeywordAtTheEndAddsNothing) {
  const Expansion open = expand(L"abc{TEM");
  EXPECT_TRUE(open.ok);
  EXPECT_EQ(open.text, L"abc");
}

TEST_F(SpecExpansion, SecondOpeningBraceStartsTheKeywordAfresh) {
  const Expansion restarted = expand(L"{X{PID}");
  EXPECT_TRUE(restarted.ok);
  EXPECT_EQ(restarted.text, own_pid());
  EXPECT_EQ(expand(L"a{NOPE{VERSION}b").text, L"a1.0.0.0b");
}

TEST_F(SpecExpansion, StrayClosingBraceIsRejected) {
  const Expansion stray = expand(L"ab}cd");
  EXPECT_FALSE(stray.ok);
  EXPECT_EQ(stray.text, L"ab");
  EXPECT_FALSE(expand(L"{PID}}").ok);
}

TEST_F(SpecExpansion, KeywordNamesOverTheKeywordBufferAreRejected) {
  // 1,023 units fill the keyword buffer exactly: an unknown name, so false.
  EXPECT_FALSE(expand(L"{" + std::wstring(1023, L'K') + L"}").ok);
  // Longer names are never stored; the name is rejected at its brace, also when its first
  // 1,023 units would make a known keyword.
  const Expansion overlong = expand(L"x{" + std::wstring(5000, L'K') + L"}y");
  EXPECT_FALSE(overlong.ok);
  EXPECT_EQ(overlong.text, L"x");
  EXPECT_FALSE(expand(L"{TIME" + std::wstring(2000, L' ') + L"}").ok);
  // An overlong name that is never closed adds nothing, like any open keyword.
  EXPECT_EQ(expand(L"x{" + std::wstring(3000, L'K')).text, L"x");
  // A fresh brace forgets the overlong name.
  EXPECT_EQ(expand(L"{" + std::wstring(3000, L'K') + L"{PRODUCT}").text, L"Zandoria");
}

TEST_F(SpecExpansion, LiteralUnitsNeedRoomForThemselvesAndTheTerminator) {
  const Expansion cut = expand(L"abcd", 3);
  EXPECT_FALSE(cut.ok);
  EXPECT_EQ(cut.text, L"ab");
  const Expansion exact = expand(L"abc", 4);
  EXPECT_TRUE(exact.ok);
  EXPECT_EQ(exact.text, L"abc");
  const Expansion after_keyword = expand(L"{VERSION}x", 8);
  EXPECT_FALSE(after_keyword.ok);
  EXPECT_EQ(after_keyword.text, L"1.0.0.0");
}

TEST_F(SpecExpansion, KeywordTextThatDoesNotFitEndsTheProcess) {
  const ProcessResult fits = expand_in_probe(L"{PRODUCT}", 9);
  EXPECT_EQ(fits.exit_code, 0u);
  EXPECT_EQ(fits.out, probe_line("true", "Zandoria"));
  EXPECT_EQ(expand_in_probe(L"{PRODUCT}", 8).exit_code, abort_exit_code);
  const ProcessResult tiny = expand_in_probe(L"{PRODUCT}", 3);
  EXPECT_EQ(tiny.exit_code, abort_exit_code);
  EXPECT_EQ(tiny.out, "");
  EXPECT_EQ(expand_in_probe(L"ab{VERSION}", 9).exit_code, abort_exit_code);
  EXPECT_EQ(expand_in_probe(L"{PID}", 2).exit_code, abort_exit_code);
}

TEST_F(SpecExpansion, TempThatDoesNotFitAddsNothingAndGoesOn) {
  const ProcessResult result = expand_in_probe(L"ab{TEMP}c", 6);
  EXPECT_EQ(result.exit_code, 0u);
  EXPECT_EQ(result.out, probe_line("true", "abc"));
}

TEST_F(SpecExpansion, DriveRootTempGivesTheDriveAlone) {
  RunOptions options;
  options.set_variables = {{L"TMP", L"D:\\"}, {L"TEMP", L"D:\\"}};
  const ProcessResult root = expand_in_probe(L"{TEMP}", 64, options);
  EXPECT_EQ(root.exit_code, 0u);
  EXPECT_EQ(root.out, probe_line("true", "D:"));
  const ProcessResult below = expand_in_probe(L"{TEMP}\\onefile", 64, options);
  EXPECT_EQ(below.out, probe_line("true", "D:\\onefile"));
  options.set_variables = {{L"TMP", L"C:\\Scratch\\Tmp"}, {L"TEMP", L"C:\\Scratch\\Tmp"}};
  // The system supplies the final backslash when the variable has none; it goes as well.
  EXPECT_EQ(expand_in_probe(L"{TEMP}", 64, options).out, probe_line("true", "C:\\Scratch\\Tmp"));
}

TEST_F(SpecExpansion, ProgramKeywordsCutTheFirstArgument) {
  EXPECT_EQ(expand_in_probe(L"{PROGRAM}", 64, {}, L"C:\\app\\Tool.EXE").out, probe_line("true", "C:\\app\\Tool.EXE"));
  EXPECT_EQ(expand_in_probe(L"{PROGRAM_BASE}", 64, {}, L"C:\\app\\Tool.EXE").out, probe_line("true", "C:\\app\\Tool"));
  EXPECT_EQ(expand_in_probe(L"[{PROGRAM_BASE}]", 64, {}, L".exe").out, probe_line("true", "[]"));
  EXPECT_EQ(expand_in_probe(L"{PROGRAM_BASE}", 64, {}, L"tool.exe.bak").out, probe_line("true", "tool.exe.bak"));
  EXPECT_EQ(expand_in_probe(L"{PROGRAM_BASE}", 64, {}, L"exe").out, probe_line("true", "exe"));
  EXPECT_EQ(expand_in_probe(L"{PROGRAM_DIR}", 64, {}, L"C:\\app\\tool.exe").out, probe_line("true", "C:\\app"));
  EXPECT_EQ(expand_in_probe(L"{PROGRAM_DIR}", 64, {}, L"C:\\tool.exe").out, probe_line("true", "C:"));
  EXPECT_EQ(expand_in_probe(L"{PROGRAM_DIR}", 64, {}, L"tool.exe").out, probe_line("true", "tool.exe"));
  EXPECT_EQ(expand_in_probe(L"{PROGRAM_DIR}", 64, {}, L"C:/app/tool.exe").out,
            probe_line("true", "C:/app/tool.exe"));
  // The cut happens in the appended text only, after what came before it.
  EXPECT_EQ(expand_in_probe(L"x\\{PROGRAM_DIR}", 64, {}, L"tool.exe").out, probe_line("true", "x\\tool.exe"));
}

TEST_F(SpecExpansion, ProgramTextThatDoesNotFitEndsTheProcess) {
  EXPECT_EQ(expand_in_probe(L"{PROGRAM_BASE}", 13, {}, L"C:\\app\\Tool.EXE").exit_code, abort_exit_code);
  EXPECT_EQ(expand_in_probe(L"{PROGRAM_DIR}", 8, {}, L"C:\\app\\x").exit_code, abort_exit_code);
  EXPECT_EQ(expand_in_probe(L"{PROGRAM_DIR}", 9, {}, L"C:\\app\\x").out, probe_line("true", "C:\\app"));
}

TEST_F(SpecExpansion, PidTakesAnInheritedParentIdWhenPresent) {
  env_set(env_parent, L"4711");
  EXPECT_EQ(expand(L"onefile_{PID}").text, L"onefile_4711");
  env_set(env_parent, L"");
  EXPECT_EQ(expand(L"{PID}").text, own_pid());
  env_unset(env_parent);
  EXPECT_EQ(expand(L"{PID}").text, own_pid());
}

TEST_F(SpecExpansion, PidRejectsAnInheritedValueWithANonDigit) {
  for (const wchar_t* value : {L"12a", L"-12", L" 12", L"1.2"}) {
    RunOptions options;
    options.set_variables = {{L"TAVRIN_ONEFILE_PARENT", value}};
    const ProcessResult result = expand_in_probe(L"{PID}", 64, options);
    EXPECT_EQ(result.exit_code, abort_exit_code) << narrow(value);
    EXPECT_EQ(result.out, "");
  }
  RunOptions digits;
  digits.set_variables = {{L"TAVRIN_ONEFILE_PARENT", L"0012"}};
  EXPECT_EQ(expand_in_probe(L"{PID}", 64, digits).out, probe_line("true", "0012"));
}

TEST_F(SpecExpansion, CacheDirIsLookedUpOnceAndHandedOnThroughTheEnvironment) {
  const std::wstring cache = without_trailing_backslashes(folder_path(CSIDL_LOCAL_APPDATA));
  EXPECT_EQ(expand(L"{CACHE_DIR}\\x").text, cache + L"\\x");
  EXPECT_EQ(env_value(env_cache_dir), cache) << "stored for the child";
  // The child's expansion takes the inherited value, trailing backslashes removed.
  env_set(env_cache_dir, L"D:\\inherited\\");
  EXPECT_EQ(expand(L"{cache_dir}\\x").text, L"D:\\inherited\\x");
}

TEST_F(SpecExpansion, TimeIsStoredOnFirstUseAndReusedAfter) {
  const Expansion first = expand(L"{TIME}");
  ASSERT_TRUE(first.ok);
  EXPECT_TRUE(all_digits(first.text)) << narrow(first.text);
  EXPECT_EQ(env_value(env_start), first.text);
  EXPECT_EQ(expand(L"{time}").text, first.text);
  env_set(env_start, L"abc");
  EXPECT_EQ(expand(L"{TIME}").text, L"abc");
  EXPECT_EQ(env_value(env_start), L"abc");
}

TEST_F(SpecExpansion, TimeIsARecentFileTimeCount) {
  FILETIME before = {};
  GetSystemTimeAsFileTime(&before);
  const Expansion time = expand(L"{TIME}");
  FILETIME after = {};
  GetSystemTimeAsFileTime(&after);
  const auto count = [](const FILETIME& t) { return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
  const uint64_t value = std::stoull(time.text);
  EXPECT_GE(value, count(before));
  EXPECT_LE(value, count(after));
}

TEST_F(SpecExpansion, InheritedStartTimeThatCouldSteerThePathIsReplaced) {
  const std::wstring temp = without_trailing_backslashes(temp_path());
  for (const wchar_t* hostile : {L"x\\..\\..\\victim", L"x/../../victim", L"C:\\victim", L"..\\victim", L"a:b"}) {
    env_set(env_start, hostile);
    const Expansion target = expand(target_spec);
    ASSERT_TRUE(target.ok);
    const std::wstring prefix = temp + L"\\onefile_" + own_pid() + L"_";
    ASSERT_EQ(target.text.compare(0, prefix.size(), prefix), 0) << narrow(target.text);
    const std::wstring time = target.text.substr(prefix.size());
    EXPECT_TRUE(all_digits(time)) << narrow(target.text);
    EXPECT_EQ(env_value(env_start), time);
  }
  // Values without a separator or colon still pass unchanged.
  env_set(env_start, L"..");
  EXPECT_EQ(expand(L"{TIME}").text, L"..");
}

TEST_F(SpecExpansion, TargetSpecMatchesItsParts) {
  env_set(env_parent, L"321");
  env_set(env_start, L"13371337");
  EXPECT_EQ(expand(target_spec).text, without_trailing_backslashes(temp_path()) + L"\\onefile_321_13371337");
}

}  // namespace
