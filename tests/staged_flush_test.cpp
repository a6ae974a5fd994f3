// The flush of a staged tree's files: each handed-over file is flushed and closed by the
// time the wait is over, with the helpers' queue filled to one less than its capacity,
// exactly and past it; a flush that fails makes the whole wait report it.
#include "launcher/staged_flush.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/files.h"

namespace {

HANDLE write_one(const std::wstring& path, DWORD access) {
  HANDLE file = CreateFileW(path.c_str(), access, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD written = 0;
  if (file != INVALID_HANDLE_VALUE && (access & GENERIC_WRITE) != 0) WriteFile(file, path.data(), 8, &written, nullptr);
  return file;
}

TEST(StagedFlush, EveryFileIsFlushedAndClosedBeforeTheWaitEnds) {
  const std::wstring folder = make_temp_directory(L"tavrin_flush");
  ASSERT_FALSE(folder.empty());
  for (const size_t count : {staged_flush_queue_capacity - 1, staged_flush_queue_capacity,
                             staged_flush_queue_capacity + 1, 3 * staged_flush_queue_capacity}) {
    SCOPED_TRACE(count);
    std::vector<HANDLE> handles;
    for (size_t i = 0; i < count; ++i) {
      handles.push_back(write_one(folder + L"\\f" + std::to_wstring(i), GENERIC_WRITE));
      ASSERT_NE(handles.back(), INVALID_HANDLE_VALUE);
      flush_staged_file(handles.back());
    }
    EXPECT_TRUE(finish_staged_flushes());
    size_t open = 0;
    DWORD flags = 0;
    for (const HANDLE handle : handles) open += GetHandleInformation(handle, &flags) ? 1 : 0;
    EXPECT_EQ(open, 0u);
    EXPECT_EQ(read_file(folder + L"\\f0").size(), 8u);
  }
  // Without write access a flush is refused: the tree must not be recorded as complete.
  flush_staged_file(write_one(folder + L"\\readable", GENERIC_WRITE));
  flush_staged_file(write_one(folder + L"\\read-only handle", GENERIC_READ));
  EXPECT_FALSE(finish_staged_flushes());
  EXPECT_TRUE(finish_staged_flushes()) << "a later staging starts afresh";
  remove_tree(folder);
}

}  // namespace
