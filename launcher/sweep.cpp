#include "launcher/sweep.h"

#include <atomic>
#include <cwchar>

#include "launcher/retire.h"
#include "launcher/state.h"
#include "launcher/unpack_folder.h"
#include "paths/bounded.h"
#include "paths/spec.h"

namespace {

constexpr wchar_t tree_prefix[] = L"onefile_";
constexpr size_t tree_prefix_length = 8;
constexpr wchar_t tree_pattern[] = L"onefile_*";
constexpr wchar_t swept_mark[] = L"~old_";
constexpr size_t swept_mark_length = 5;
constexpr uint64_t largest_pid = 0xFFFFFFFFull;
constexpr uint64_t largest_time = 0x7FFFFFFFFFFFFFFFull;  // written with "%lld"
constexpr size_t counter_text_capacity = 16;
constexpr ACCESS_MASK folder_access = FILE_LIST_DIRECTORY | SYNCHRONIZE;
// What a rename needs of the tree. Asked for before anything else is tried: a tree this
// start may not rename (an elevated start's, with its high label or protected descriptor)
// is refused right at the open, costs one open and never counts against the bound.
constexpr ACCESS_MASK tree_access = DELETE | FILE_READ_ATTRIBUTES | FILE_LIST_DIRECTORY | SYNCHRONIZE;
// Without delete sharing: two starts sweeping at once never both rename one tree.
constexpr DWORD tree_share = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr DWORD directory_flags = FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT;

// One sweep of one folder: its path, the final path of its handle (what a tree's own
// handle must show below it), and the name this start gives the trees it removes.
struct Folder {
  HANDLE handle;
  wchar_t path[path_capacity];
  wchar_t final_path[path_capacity];
  size_t final_length;
  wchar_t own_name[path_capacity];
};

Folder folder;
unsigned swept_counter = 0;
// Set when the parent is about to end: the sweep leaves the rest for a later start.
std::atomic<bool> sweep_stopping{false};

// Digits from text into *value, as the launcher writes a number: at least one, no leading
// zero, at most largest. Returns the unit after them, or nullptr.
const wchar_t* parse_number(const wchar_t* text, uint64_t largest, uint64_t* value) {
  if (*text < L'1' || *text > L'9') return nullptr;
  uint64_t number = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    const uint64_t digit = static_cast<uint64_t>(*text - L'0');
    if (number > (largest - digit) / 10) return nullptr;
    number = number * 10 + digit;
  }
  *value = number;
  return text;
}

// Fills folder from the temporary tree's path (launcher/unpack_folder); false when it
// cannot be expanded or names no folder.
bool find_temporary_folder() {
  if (!compute_temporary_tree(folder.path)) return false;
  wchar_t* last = wcsrchr(folder.path, L'\\');
  if (last == nullptr || last == folder.path) return false;
  copy_bounded(folder.own_name, last + 1, path_capacity);
  *last = L'\0';
  return true;
}

// The folder's handle and final path: the trees' own handles are judged against it.
bool open_folder() {
  folder.handle = CreateFileW(folder.path, folder_access, share_all, nullptr /* security */, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr /* template */);
  if (folder.handle == INVALID_HANDLE_VALUE) return false;
  const DWORD length = GetFinalPathNameByHandleW(folder.handle, folder.final_path, path_capacity, 0);
  if (length == 0 || length >= path_capacity) {
    CloseHandle(folder.handle);
    return false;
  }
  folder.final_length = length;
  return true;
}

// True when tree's handle is the plain directory of that name in the folder: not a link,
// whether the system shows it as one (Windows) or resolves it and shows its target's path
// (wine).
bool is_tree_in_place(HANDLE tree, const wchar_t* name) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(tree, &information) ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  wchar_t final_path[path_capacity];
  const DWORD length = GetFinalPathNameByHandleW(tree, final_path, path_capacity, 0);
  const size_t name_length = wcslen(name);
  if (length == 0 || length != folder.final_length + 1 + name_length) return false;
  return final_path[folder.final_length] == L'\\' &&
         CompareStringOrdinal(final_path, static_cast<int>(folder.final_length), folder.final_path,
                              static_cast<int>(folder.final_length), TRUE) == CSTR_EQUAL &&
         CompareStringOrdinal(final_path + folder.final_length + 1, static_cast<int>(name_length), name,
                              static_cast<int>(name_length), TRUE) == CSTR_EQUAL;
}

// A fresh name of this start's in the same folder, as a whole path below the folder's
// final path.
bool make_swept_path(wchar_t* new_path) {
  wchar_t counter[counter_text_capacity];
  swprintf(counter, counter_text_capacity, L"%u", swept_counter++);
  const size_t name_length = wcslen(folder.own_name) + swept_mark_length + wcslen(counter);
  if (folder.final_length + 1 + name_length >= path_capacity) return false;
  wchar_t new_name[path_capacity];
  copy_bounded(new_name, folder.own_name, path_capacity);
  append_bounded(new_name, swept_mark, path_capacity);
  append_bounded(new_name, counter, path_capacity);
  return join_path(new_path, path_capacity, folder.final_path, new_name);
}

// Moves one tree whose start is over out of its name and removes it through the handle it
// was judged and renamed on. False when it stays as it was (refused, in use, a link); a
// tree renamed but not wholly removed keeps the new name, which a later sweep judges by
// this start.
bool sweep_tree(const wchar_t* name) {
  wchar_t path[path_capacity];
  if (!join_path(path, path_capacity, folder.path, name)) return false;
  HANDLE tree = CreateFileW(path, tree_access, tree_share, nullptr /* security */, OPEN_EXISTING, directory_flags,
                            nullptr /* template */);
  if (tree == INVALID_HANDLE_VALUE) return false;
  wchar_t new_path[path_capacity];
  if (!is_tree_in_place(tree, name) || !make_swept_path(new_path)) {
    CloseHandle(tree);
    return false;
  }
  return retire_tree(tree, new_path, &sweep_stopping);
}

// Whether name is a tree of another start whose start is over.
bool is_stale_tree(const WIN32_FIND_DATAW& found, uint64_t now) {
  if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
      (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return false;
  }
  TreeStamp stamp{};
  if (!parse_temporary_tree_name(found.cFileName, &stamp) || wcscmp(found.cFileName, folder.own_name) == 0) {
    return false;
  }
  return judge_start(stamp, now) == StartVerdict::over;
}

void sweep_folder() {
  wchar_t pattern[path_capacity];
  if (!join_path(pattern, path_capacity, folder.path, tree_pattern)) return;
  SweepBudget budget = begin_sweep();
  const uint64_t now = current_file_time();
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileExW(pattern, FindExInfoBasic, &found, FindExSearchNameMatch, nullptr,
                                   FIND_FIRST_EX_LARGE_FETCH);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    if (is_stale_tree(found, now) && sweep_tree(found.cFileName)) ++budget.removed;
  } while (budget_left(budget) && !sweep_stopping.load() && FindNextFileW(search, &found));
  FindClose(search);
}

// The sweep's thread: it lets the child start first (see sweep_delay_ms), then removes the
// stale temporary trees.
DWORD WINAPI run_sweep(void* child) {
  if (child != nullptr) {
    WaitForSingleObject(child, sweep_delay_ms);
    CloseHandle(child);
  } else {
    Sleep(sweep_delay_ms);
  }
  sweep_stale_trees();
  return 0;
}

HANDLE sweep_thread = nullptr;

}  // namespace

const wchar_t* parse_tree_stamp(const wchar_t* text, TreeStamp* stamp) {
  uint64_t pid = 0;
  uint64_t time = 0;
  text = parse_number(text, largest_pid, &pid);
  if (text == nullptr || *text != L'_') return nullptr;
  text = parse_number(text + 1, largest_time, &time);
  if (text == nullptr) return nullptr;
  stamp->pid = static_cast<DWORD>(pid);
  stamp->time = time;
  return text;
}

bool parse_temporary_tree_name(const wchar_t* name, TreeStamp* stamp) {
  if (wcsncmp(name, tree_prefix, tree_prefix_length) != 0) return false;
  const wchar_t* rest = parse_tree_stamp(name + tree_prefix_length, stamp);
  if (rest == nullptr) return false;
  if (*rest == L'\0') return true;
  uint64_t counter = 0;
  if (wcsncmp(rest, swept_mark, swept_mark_length) != 0) return false;
  // The counter starts at 0, which parse_number refuses as a leading zero.
  rest += swept_mark_length;
  if (rest[0] == L'0') return rest[1] == L'\0';
  rest = parse_number(rest, largest_pid, &counter);
  return rest != nullptr && *rest == L'\0';
}

StartVerdict judge_start(const TreeStamp& stamp, uint64_t now) {
  if (stamp.time > now || now - stamp.time < young_tree_age) return StartVerdict::young;
  HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, stamp.pid);
  if (process == nullptr) {
    const DWORD error = GetLastError();
    // The one answer that says no process has that PID; a refusal says one does.
    return error == ERROR_INVALID_PARAMETER ? StartVerdict::over : StartVerdict::unknown;
  }
  FILETIME created{}, exited{}, kernel{}, user{};
  const BOOL known = GetProcessTimes(process, &created, &exited, &kernel, &user);
  CloseHandle(process);
  if (!known) return StartVerdict::unknown;
  const uint64_t creation = (static_cast<uint64_t>(created.dwHighDateTime) << 32) | created.dwLowDateTime;
  // An ended process whose object someone still holds keeps its PID from reuse: over too.
  if (exited.dwHighDateTime != 0 || exited.dwLowDateTime != 0) return StartVerdict::over;
  // The launch time is read after the process was created: a later creation is another process.
  return creation > stamp.time ? StartVerdict::over : StartVerdict::running;
}

SweepBudget begin_sweep() {
  return SweepBudget{0, GetTickCount64() + sweep_time_limit_ms};
}

bool budget_left(const SweepBudget& budget) {
  return budget.removed < sweep_tree_limit && GetTickCount64() < budget.deadline;
}

void start_sweep(HANDLE child) {
  const HANDLE self = GetCurrentProcess();
  HANDLE waited = nullptr;
  if (!DuplicateHandle(self, child, self, &waited, SYNCHRONIZE, FALSE /* not inherited */, 0)) waited = nullptr;
  sweep_thread = CreateThread(nullptr /* security */, 0 /* default stack */, run_sweep, waited, 0, nullptr /* id */);
  // Without a thread there is no sweep this time; a later start sweeps.
  if (sweep_thread == nullptr && waited != nullptr) CloseHandle(waited);
}

void finish_sweep() {
  if (sweep_thread == nullptr) return;
  sweep_stopping.store(true);
  WaitForSingleObject(sweep_thread, sweep_exit_wait_ms);
}

void sweep_stale_trees() {
  if (!find_temporary_folder() || !open_folder()) return;
  // Behind the application's own start for processor and disk, where the system offers it.
  const bool background = SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_BEGIN) != FALSE;
  sweep_folder();
  if (background) SetThreadPriority(GetCurrentThread(), THREAD_MODE_BACKGROUND_END);
  CloseHandle(folder.handle);
  folder.handle = INVALID_HANDLE_VALUE;
}
