// Threads that delete the files a removal lists while its walk goes on. Each file costs a
// few round trips to the file system (open, final path, disposition, close), most of which
// wait rather than compute, so a second and third thread shorten a large tree's removal
// even on two processors. Directories stay with the walk: a directory is deleted only after
// every file queued before it is done (finish_file_tasks).
#pragma once

#include <windows.h>

#include <cstddef>

// One entry listed as a file, for a helper to delete: the handle of the directory that
// lists it (the walk keeps it open until every queued file is done) and the entry's
// expected path, the directory's verified path followed by the name (heap memory that the
// runner frees).
struct FileTask {
  HANDLE directory;
  wchar_t* path;
  size_t path_length;
  size_t name_length;
};

// Deletes one listed file and frees its path; final_path is the thread's scratch.
using FileTaskRunner = void (*)(const FileTask& task, wchar_t* final_path);

struct RemovalHelpers;

// Starts up to count threads (at most max_removal_helpers) that run queued tasks with
// runner, each with scratch of scratch_units; nullptr when not one could start.
RemovalHelpers* start_removal_helpers(size_t count, FileTaskRunner runner, size_t scratch_units);
// Queues task. While the queue is full, the calling thread runs queued tasks itself, with
// final_path as its scratch.
void queue_file_task(RemovalHelpers* helpers, const FileTask& task, wchar_t* final_path);
// Returns once every queued task is done, the calling thread taking its share.
void finish_file_tasks(RemovalHelpers* helpers, wchar_t* final_path);
// finish_file_tasks, then ends the threads and frees helpers.
void stop_removal_helpers(RemovalHelpers* helpers, wchar_t* final_path);
