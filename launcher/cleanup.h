// Removal of the target directory and the grace period for a running child, run at the
// child's end and by the console handler (launcher/console) when the user interrupts the parent.
#pragma once

#include <windows.h>

constexpr DWORD child_grace_period_ms = 5000;
constexpr int further_removal_attempts = 20;
constexpr DWORD removal_pause_ms = 100;
// The exit code given to a child that had to be terminated: what Windows reports for a
// console program ended by Ctrl+C, so that an interrupted run never reads as a success.
constexpr UINT terminated_child_exit_code = 0xC000013A;  // STATUS_CONTROL_C_EXIT

// Ends the child if one is still registered (after the grace period), then, once unpacking
// has started and this start has created its tree (tree_created), removes the target
// directory (remove_tree) in up to 21 attempts; a shared cached tree (tree_kept) is never
// removed. Several threads may call it at once: the
// child's handle goes to one of them, and the removals take turns.
void clean_up();

// Seams for tests: the pause between removal attempts and the child's grace period. The
// launcher itself never calls them.
using CleanupSleep = void (*)(DWORD milliseconds);
void set_cleanup_sleep(CleanupSleep sleep);  // nullptr restores Sleep
void set_child_grace_period(DWORD milliseconds);
