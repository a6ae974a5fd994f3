// The files of a staging directory reach the disk before the tree is recorded and published:
// otherwise a power cut can leave NTFS with the files' sizes but not their contents, and
// the size check would pass a tree of zeros at every later start.
#pragma once

#include <windows.h>

#include <cstddef>

// Threads that flush while the entry loop goes on writing; each flush mostly waits for the
// disk, so two of them overlap that wait with the decompression.
constexpr size_t staged_flush_helpers = 2;
// Written files waiting for a helper; when it is full the entry loop flushes one itself.
constexpr size_t staged_flush_queue_capacity = 64;

// Takes a written file's handle (with write access): flushes it and closes it, on a helper
// thread when one can be had, else right here.
void flush_staged_file(HANDLE file);

// Waits until every file handed over is flushed and closed, and ends the helpers. True when
// every flush succeeded.
bool finish_staged_flushes();
