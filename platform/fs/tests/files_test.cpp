// files_test.cpp - opening with its codes, share modes, I/O, mappings, folders, delete and rename.
#include "fs_fixture.h"

#include <sys/file.h>
#include <fcntl.h>

#include <cstring>

namespace {

using platform::UniqueHandle;

UniqueHandle Open(const std::wstring& path, DWORD access, DWORD share, DWORD disposition, DWORD flags = 0) {
  return UniqueHandle(CreateFileW(path.c_str(), access, share, nullptr, disposition, flags, nullptr));
}

struct OpenCase {
  const char* name;
  std::wstring path;
  DWORD access;
  DWORD disposition;
  DWORD flags;
  DWORD code;  // ERROR_SUCCESS: opens
};

TEST_F(FsTest, OpenAnswersTheWindowsCodes) {
  Put(d_ + "/file.txt", "x");
  ASSERT_EQ(::mkdir((d_ + "/folder").c_str(), 0755), 0);
  const DWORD rw = GENERIC_READ | GENERIC_WRITE;
  const OpenCase cases[] = {
      {"existing file", L"D:\\file.txt", GENERIC_READ, OPEN_EXISTING, 0, ERROR_SUCCESS},
      {"missing file", L"D:\\missing.txt", GENERIC_READ, OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND},
      {"missing folder", L"D:\\nofolder\\x.txt", GENERIC_READ, OPEN_EXISTING, 0, ERROR_PATH_NOT_FOUND},
      {"create in a missing folder", L"D:\\nofolder\\x.txt", rw, CREATE_ALWAYS, 0, ERROR_PATH_NOT_FOUND},
      {"a file used as a folder", L"D:\\file.txt\\x", GENERIC_READ, OPEN_EXISTING, 0, ERROR_PATH_NOT_FOUND},
      {"folder without backup semantics", L"D:\\folder", GENERIC_READ, OPEN_EXISTING, 0, ERROR_ACCESS_DENIED},
      {"folder with backup semantics", L"D:\\folder", GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
       ERROR_SUCCESS},
      {"folder as a change-notification root (overlapped, backup, directory)", L"D:/folder/", GENERIC_READ,
       OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_FLAG_BACKUP_SEMANTICS | FILE_ATTRIBUTE_DIRECTORY, ERROR_SUCCESS},
      {"drive root with backup and POSIX semantics", L"D:\\", GENERIC_READ, OPEN_EXISTING,
       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_POSIX_SEMANTICS | FILE_ATTRIBUTE_DIRECTORY, ERROR_SUCCESS},
      {"create new over an existing file", L"D:\\file.txt", rw, CREATE_NEW, 0, ERROR_FILE_EXISTS},
      {"truncate without write access", L"D:\\file.txt", GENERIC_READ, TRUNCATE_EXISTING, 0, ERROR_INVALID_PARAMETER},
      {"invalid name", L"D:\\a\"b", GENERIC_READ, OPEN_EXISTING, 0, ERROR_INVALID_NAME},
      {"climb above the root", L"D:\\..\\e\\x", GENERIC_READ, OPEN_EXISTING, 0, ERROR_BAD_PATHNAME},
      {"unknown drive", L"Q:\\x", GENERIC_READ, OPEN_EXISTING, 0, ERROR_PATH_NOT_FOUND},
      {"pipe nobody serves", L"\\\\.\\pipe\\vnfs-nobody", rw, OPEN_EXISTING, 0, ERROR_FILE_NOT_FOUND},
  };
  ::setenv("VANTREL_PIPE_DIR", base_.c_str(), 1);
  for (const auto& c : cases) {
    SetLastError(12345);
    UniqueHandle h = Open(c.path, c.access, FILE_SHARE_READ, c.disposition, c.flags);
    EXPECT_EQ(static_cast<bool>(h), c.code == ERROR_SUCCESS) << c.name;
    if (c.code != ERROR_SUCCESS) {
      EXPECT_EQ(GetLastError(), c.code) << c.name;
    }
  }
}

TEST_F(FsTest, ExistingFilesAreReportedByCreateAlwaysAndOpenAlways) {
  const DWORD rw = GENERIC_READ | GENERIC_WRITE;
  UniqueHandle first = Open(L"D:\\f.bin", rw, 0, CREATE_ALWAYS);
  ASSERT_TRUE(first);
  EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(first.get(), "hello", 5, &written, nullptr));
  first.reset();
  UniqueHandle again = Open(L"D:\\f.bin", rw, 0, OPEN_ALWAYS);
  ASSERT_TRUE(again);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Get(d_ + "/f.bin"), "hello");  // OPEN_ALWAYS keeps the content
  again.reset();
  UniqueHandle replaced = Open(L"D:\\f.bin", rw, 0, CREATE_ALWAYS);
  ASSERT_TRUE(replaced);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Get(d_ + "/f.bin"), "");  // CREATE_ALWAYS empties it
}

struct ShareCase {
  const char* name;
  DWORD firstAccess, firstShare, secondAccess, secondShare;
  bool admitted;
};

TEST_F(FsTest, ShareModesFollowTheWindowsRule) {
  Put(d_ + "/s.bin", "data");
  const DWORD r = GENERIC_READ, w = GENERIC_WRITE, rw = r | w;
  const DWORD sr = FILE_SHARE_READ, sw = FILE_SHARE_WRITE, srw = sr | sw;
  const ShareCase cases[] = {
      {"two readers sharing reading", r, sr, r, sr, true},
      {"reader that denies writing, then a writer", r, sr, w, srw, false},
      {"writer, then a reader that does not share writing", w, srw, r, sr, false},
      {"writer sharing reading, then a reader sharing both", w, sr, r, srw, true},
      {"no sharing at all, then a reader", rw, 0, r, srw, false},
      {"no sharing, then an attribute-only open", rw, 0, 0, 0, true},
      {"delete without delete sharing", r, srw, DELETE, srw | FILE_SHARE_DELETE, false},
      {"delete with delete sharing", r, srw | FILE_SHARE_DELETE, DELETE, srw | FILE_SHARE_DELETE, true},
  };
  for (const auto& c : cases) {
    UniqueHandle first = Open(L"D:\\s.bin", c.firstAccess, c.firstShare, OPEN_EXISTING);
    ASSERT_TRUE(first) << c.name;
    UniqueHandle second = Open(L"D:\\s.bin", c.secondAccess, c.secondShare, OPEN_EXISTING);
    EXPECT_EQ(static_cast<bool>(second), c.admitted) << c.name;
    if (!c.admitted) {
      EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION) << c.name;
    }
  }
  // The table forgets closed handles: after all of the above, no sharing works.
  EXPECT_TRUE(Open(L"D:\\s.bin", rw, 0, OPEN_EXISTING));
}

TEST_F(FsTest, AHolderOutsideTheProcessTableIsASharingViolation) {
  Put(d_ + "/locked.bin", "data");
  // Another opener's exclusive hold, as a process that denies sharing keeps it.
  const int holder = ::open((d_ + "/locked.bin").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  EXPECT_FALSE(Open(L"D:\\locked.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
  EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  ::close(holder);
  // And our own no-sharing handle holds the file against a shared locker.
  UniqueHandle exclusive = Open(L"D:\\locked.bin", GENERIC_READ, 0, OPEN_EXISTING);
  ASSERT_TRUE(exclusive);
  const int other = ::open((d_ + "/locked.bin").c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_NE(::flock(other, LOCK_SH | LOCK_NB), 0);
  ::close(other);
}

TEST_F(FsTest, ReadWriteSeekSizeAndTimes) {
  UniqueHandle f = Open(L"D:\\io.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_NEW);
  ASSERT_TRUE(f);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(f.get(), "0123456789", 10, &n, nullptr));
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(SetFilePointer(f.get(), 4, nullptr, FILE_BEGIN), 4u);
  char buffer[16] = {};
  ASSERT_TRUE(ReadFile(f.get(), buffer, 3, &n, nullptr));
  EXPECT_EQ(std::string(buffer, n), "456");
  EXPECT_EQ(SetFilePointer(f.get(), -2, nullptr, FILE_END), 8u);
  EXPECT_EQ(SetFilePointer(f.get(), -20, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
  EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
  // At the end a read succeeds with nothing.
  EXPECT_EQ(SetFilePointer(f.get(), 0, nullptr, FILE_END), 10u);
  ASSERT_TRUE(ReadFile(f.get(), buffer, 4, &n, nullptr));
  EXPECT_EQ(n, 0u);
  // Overlapped I/O on a file completes in the call, at the given offset.
  OVERLAPPED ov{};
  ov.Offset = 2;
  ov.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  ASSERT_TRUE(ReadFile(f.get(), buffer, 2, nullptr, &ov));
  EXPECT_EQ(WaitForSingleObject(ov.hEvent, 0), WAIT_OBJECT_0);
  ASSERT_TRUE(GetOverlappedResult(f.get(), &ov, &n, FALSE));
  EXPECT_EQ(std::string(buffer, n), "23");
  CloseHandle(ov.hEvent);
  // Size follows SetEndOfFile at the position.
  SetFilePointer(f.get(), 6, nullptr, FILE_BEGIN);
  ASSERT_TRUE(SetEndOfFile(f.get()));
  LARGE_INTEGER size{};
  ASSERT_TRUE(GetFileSizeEx(f.get(), &size));
  EXPECT_EQ(size.QuadPart, 6);
  FILETIME created{}, written{};
  ASSERT_TRUE(GetFileTime(f.get(), &created, nullptr, &written));
  const ULONGLONG ticks = (ULONGLONG{written.dwHighDateTime} << 32) | written.dwLowDateTime;
  // Since 1601 in 100 ns: 2020 is above 132,000,000,000,000,000.
  EXPECT_GT(ticks, 132000000000000000ull);
  WIN32_FILE_ATTRIBUTE_DATA data{};
  ASSERT_TRUE(GetFileAttributesExW(L"D:\\io.bin", GetFileExInfoStandard, &data));
  EXPECT_EQ(data.nFileSizeLow, 6u);
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(GetFileAttributesW(L"D:\\"), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(GetFileAttributesW(L"D:\\nothing"), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  // A handle opened for reading only cannot write.
  UniqueHandle reader = Open(L"D:\\io.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING);
  EXPECT_FALSE(reader);  // the first handle shares nothing
  f.reset();
  reader = Open(L"D:\\io.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  ASSERT_TRUE(reader);
  EXPECT_FALSE(WriteFile(reader.get(), "x", 1, &n, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
}

TEST_F(FsTest, MappingsWriteThroughAndGrowTheFile) {
  UniqueHandle f = Open(L"D:\\map.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  ASSERT_TRUE(f);
  // An empty file cannot be mapped at its own size.
  EXPECT_FALSE(UniqueHandle(CreateFileMappingW(f.get(), nullptr, PAGE_READWRITE, 0, 0, nullptr)));
  EXPECT_EQ(GetLastError(), ERROR_FILE_INVALID);
  UniqueHandle mapping(CreateFileMappingW(f.get(), nullptr, PAGE_READWRITE, 0, 100000, nullptr));
  ASSERT_TRUE(mapping);
  void* view = MapViewOfFile(mapping.get(), FILE_MAP_WRITE, 0, 0, 100000);
  ASSERT_NE(view, nullptr);
  std::memcpy(static_cast<char*>(view) + 99990, "end", 3);
  mapping.reset();  // the view outlives its mapping handle
  std::memcpy(view, "start", 5);
  EXPECT_EQ(MapViewOfFile(nullptr, FILE_MAP_READ, 0, 0, 0), nullptr);
  ASSERT_TRUE(UnmapViewOfFile(view));
  EXPECT_FALSE(UnmapViewOfFile(view));
  f.reset();
  const std::string content = Get(d_ + "/map.bin");
  ASSERT_EQ(content.size(), 100000u);
  EXPECT_EQ(content.substr(0, 5), "start");
  EXPECT_EQ(content.substr(99990, 3), "end");
  // A read-only file handle gives no writable mapping, and offsets keep the granularity.
  UniqueHandle reader = Open(L"D:\\map.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
  EXPECT_FALSE(UniqueHandle(CreateFileMappingW(reader.get(), nullptr, PAGE_READWRITE, 0, 0, nullptr)));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  UniqueHandle readMapping(CreateFileMappingW(reader.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
  ASSERT_TRUE(readMapping);
  EXPECT_EQ(MapViewOfFile(readMapping.get(), FILE_MAP_READ, 0, 4096, 10), nullptr);
  EXPECT_EQ(GetLastError(), ERROR_MAPPED_ALIGNMENT);
  EXPECT_EQ(MapViewOfFile(readMapping.get(), FILE_MAP_WRITE, 0, 0, 0), nullptr);
  const void* tail = MapViewOfFile(readMapping.get(), FILE_MAP_READ, 0, 65536, 0);
  ASSERT_NE(tail, nullptr);
  EXPECT_EQ(std::memcmp(static_cast<const char*>(tail) + 99990 - 65536, "end", 3), 0);
  EXPECT_TRUE(UnmapViewOfFile(tail));
}

TEST_F(FsTest, FoldersDeleteAndRename) {
  // Create folders with parents; one level fails without its parent.
  EXPECT_FALSE(CreateDirectoryW(L"D:\\p\\q", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
  EXPECT_EQ(platform::CreateDirectoryTree(L"D:\\p\\q\\r"), ERROR_SUCCESS);
  EXPECT_EQ(platform::CreateDirectoryTree(L"D:/p/q/r"), ERROR_SUCCESS);  // already there
  EXPECT_FALSE(CreateDirectoryW(L"D:\\p", nullptr));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  Put(d_ + "/p/file", "1");
  EXPECT_EQ(platform::CreateDirectoryTree(L"D:\\p\\file\\x"), ERROR_PATH_NOT_FOUND);
  EXPECT_FALSE(RemoveDirectoryW(L"D:\\p"));
  EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
  EXPECT_TRUE(RemoveDirectoryW(L"D:\\p\\q\\r"));

  // Rename never replaces unless asked.
  Put(d_ + "/a.txt", "A");
  Put(d_ + "/b.txt", "B");
  EXPECT_FALSE(MoveFileExW(L"D:\\a.txt", L"D:\\b.txt", 0));
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Get(d_ + "/b.txt"), "B");
  EXPECT_TRUE(MoveFileExW(L"D:\\a.txt", L"D:\\b.txt", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(Get(d_ + "/b.txt"), "A");
  EXPECT_FALSE(Exists(d_ + "/a.txt"));
  EXPECT_FALSE(MoveFileExW(L"D:\\b.txt", L"D:\\p", MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(MoveFileExW(L"D:\\missing", L"D:\\c.txt", 0));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(MoveFileExW(L"D:\\b.txt", L"E:\\moved.txt", 0));  // another drive, same file system
  EXPECT_EQ(Get(e_ + "/moved.txt"), "A");

  // Delete: folders are refused, held files without delete sharing too.
  EXPECT_FALSE(DeleteFileW(L"D:\\p"));
  EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
  {
    UniqueHandle held = Open(L"E:\\moved.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    EXPECT_FALSE(DeleteFileW(L"E:\\moved.txt"));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileExW(L"E:\\moved.txt", L"E:\\other.txt", 0));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
  }
  EXPECT_TRUE(DeleteFileW(L"E:\\moved.txt"));
  EXPECT_FALSE(DeleteFileW(L"E:\\moved.txt"));
  EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(FsTest, ReplacementFilesAppearWholeOrNotAtAll) {
  Put(d_ + "/r.txt", "old");
  {
    platform::ReplacementFile dropped;
    ASSERT_EQ(dropped.Create(L"D:\\r.txt"), ERROR_SUCCESS);
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(dropped.Handle(), "half", 4, &n, nullptr));
  }
  EXPECT_EQ(Get(d_ + "/r.txt"), "old");
  WIN32_FIND_DATAW data;
  UniqueHandle search(FindFirstFileW(L"D:\\*.tmp", &data));
  EXPECT_FALSE(search);  // the dropped temporary file is gone

  platform::ReplacementFile kept;
  ASSERT_EQ(kept.Create(L"D:\\r.txt"), ERROR_SUCCESS);
  DWORD n = 0;
  ASSERT_TRUE(WriteFile(kept.Handle(), "new", 3, &n, nullptr));
  EXPECT_EQ(kept.Commit(false), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(Get(d_ + "/r.txt"), "old");

  EXPECT_EQ(platform::WriteFileReplacing(L"D:\\r.txt", "newer", 5), ERROR_SUCCESS);
  EXPECT_EQ(Get(d_ + "/r.txt"), "newer");
  EXPECT_EQ(platform::WriteFileReplacing(L"D:\\none\\r.txt", "x", 1), ERROR_PATH_NOT_FOUND);
}

}  // namespace
