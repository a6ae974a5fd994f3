// Removal of the trees that earlier starts left behind. A start that never reached its
// clean-up (its parent killed, a crash, a power cut) leaves its whole tree; a later parent
// removes it once the start that made it is provably over: no process has the PID its name
// records, or the process with that PID was created after the launch time it records (the
// PID was reused). Whatever cannot be judged, opened, renamed or removed stays, silently,
// for a later start.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>

// Trees one sweep removes at most: a folder with thousands of them costs each start a
// bounded time, and the rest go at later starts.
constexpr int sweep_tree_limit = 4;
// How long the parent lets its child start before it sweeps (less when the child ends
// sooner): the sweep's file traffic then never slows the application's way to run_code.
constexpr DWORD sweep_delay_ms = 1000;
// How long the parent, its run and clean-up over, waits at most for a sweep still at work
// before it ends (and with it the sweep). The removal looks at the request to stop before
// each entry, and one entry takes a few milliseconds even on a slow disk.
constexpr DWORD sweep_exit_wait_ms = 50;
// No further tree is judged once a sweep has run this long.
constexpr ULONGLONG sweep_time_limit_ms = 1500;
// A tree whose recorded launch time is less than this old is left alone whatever its PID
// says (100-nanosecond units: five minutes). Also a tree whose time lies ahead of the clock.
constexpr uint64_t young_tree_age = 5ull * 60 * 10000000;

// The start a tree's name records.
struct TreeStamp {
  DWORD pid;
  uint64_t time;
};

// "<PID>_<TIME>" at the start of text, both decimal as the launcher writes them (no sign,
// no leading zero, PID in 32 bits, TIME in 63). Returns the unit after it, or nullptr.
const wchar_t* parse_tree_stamp(const wchar_t* text, TreeStamp* stamp);
// A name of the temporary place's shape: "onefile_<PID>_<TIME>", or the name a sweep
// gives a tree it is removing, "onefile_<PID>_<TIME>~old_<N>", which records the sweeping
// start (a sweep cut short leaves it to be swept once that start is over too).
bool parse_temporary_tree_name(const wchar_t* name, TreeStamp* stamp);

enum class StartVerdict {
  over,     // no such process, or the PID now belongs to a process created after the start
  running,  // the process that made the tree runs (or cannot be told from it)
  young,    // too young to judge: left alone
  unknown,  // a process with that PID exists but cannot be queried: not provably over
};
// now: the current system time as a FILETIME count.
StartVerdict judge_start(const TreeStamp& stamp, uint64_t now);

// One sweep's allowance: trees removed so far and the tick count at which it ends.
struct SweepBudget {
  int removed;
  ULONGLONG deadline;
};
SweepBudget begin_sweep();
bool budget_left(const SweepBudget& budget);

// Parent role, right after the child's creation: a thread of its own that, once the child
// has run for sweep_delay_ms (or ended), runs sweep_stale_trees. Without a thread nothing
// is swept this time.
void start_sweep(HANDLE child);
// Parent role, at the very end: asks the sweep to stop and waits for it at most
// sweep_exit_wait_ms. A tree whose removal is cut short keeps the "~old_" name the sweep
// gave it, and a later start's sweep finishes it.
void finish_sweep();

// Once the child has started (see sweep_delay_ms): removes up to sweep_tree_limit trees of
// the temporary place's shape whose start is over from the folder the temporary target
// directory lies in. Never reports, never ends the process.
void sweep_stale_trees();
