// notify_test.cpp - ReadDirectoryChangesW: subtree changes wake a waiter, filters, cancel, limits.
#include "fs_fixture.h"

#include <cstdio>
#include <functional>
#include <thread>
#include <utility>
#include <vector>

namespace {

using platform::UniqueHandle;
using Record = std::pair<DWORD, std::wstring>;
constexpr DWORD kNames = FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_DIR_NAME;
constexpr DWORD kWaitMs = 10000;  // generous: the machine is loaded

std::vector<Record> Parse(const BYTE* buffer, DWORD bytes) {
  std::vector<Record> records;
  for (DWORD at = 0; bytes > 0;) {
    const auto* r = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(buffer + at);
    records.emplace_back(r->Action, std::wstring(r->FileName, r->FileNameLength / sizeof(wchar_t)));
    if (r->NextEntryOffset == 0) break;
    at += r->NextEntryOffset;
  }
  return records;
}

// A folder handle with one overlapped read kept armed.
class Watcher {
 public:
  Watcher(const std::wstring& folder, BOOL subtree, DWORD filter, DWORD size = 65536)
      : dir_(CreateFileW(folder.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr)),
        event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        buffer_(size),
        subtree_(subtree),
        filter_(filter) {
    overlapped_.hEvent = event_.get();
  }
  HANDLE Dir() const { return dir_.get(); }
  OVERLAPPED& Overlapped() { return overlapped_; }
  HANDLE Event() const { return event_.get(); }
  void CloseDir() { dir_.reset(); }

  BOOL Arm() {
    return ReadDirectoryChangesW(dir_.get(), buffer_.data(), static_cast<DWORD>(buffer_.size()), subtree_, filter_,
                                 nullptr, &overlapped_, nullptr);
  }
  // Waits for the next completion: its records, or nothing on timeout.
  std::vector<Record> Next(DWORD* bytesOut = nullptr) {
    if (WaitForSingleObject(event_.get(), kWaitMs) != WAIT_OBJECT_0) return {};
    DWORD bytes = 0;
    EXPECT_TRUE(GetOverlappedResult(dir_.get(), &overlapped_, &bytes, FALSE)) << GetLastError();
    if (bytesOut != nullptr) *bytesOut = bytes;
    return Parse(buffer_.data(), bytes);
  }
  // Collects records (re-arming) until count have arrived or time runs out.
  std::vector<Record> Collect(std::size_t count) {
    std::vector<Record> all;
    while (all.size() < count) {
      auto more = Next();
      if (more.empty()) break;
      all.insert(all.end(), more.begin(), more.end());
      if (all.size() < count) {
        EXPECT_TRUE(Arm());
      }
    }
    return all;
  }

 private:
  UniqueHandle dir_;
  UniqueHandle event_;
  OVERLAPPED overlapped_{};
  std::vector<BYTE> buffer_;
  BOOL subtree_;
  DWORD filter_;
};

bool Has(const std::vector<Record>& records, DWORD action, const std::wstring& name) {
  for (const auto& r : records) {
    if (r.first == action && r.second == name) return true;
  }
  return false;
}

TEST_F(FsTest, ChangesTwoFoldersDownWakeAWaiter) {
  ASSERT_EQ(platform::CreateDirectoryTree(L"D:\\w\\a\\b"), ERROR_SUCCESS);
  Watcher w(L"D:\\w", TRUE, kNames);
  ASSERT_TRUE(w.Dir());
  ASSERT_TRUE(w.Arm());
  EXPECT_EQ(WaitForSingleObject(w.Event(), 0), WAIT_TIMEOUT);  // nothing yet
  const std::string folder = d_ + "/w/a/b";
  const struct {
    const char* name;
    std::function<void()> change;
    std::vector<Record> expected;
  } steps[] = {
      {"created", [&] { Put(folder + "/f.txt", "x"); }, {{FILE_ACTION_ADDED, L"a\\b\\f.txt"}}},
      {"renamed", [&] { std::rename((folder + "/f.txt").c_str(), (folder + "/g.txt").c_str()); },
       {{FILE_ACTION_RENAMED_OLD_NAME, L"a\\b\\f.txt"}, {FILE_ACTION_RENAMED_NEW_NAME, L"a\\b\\g.txt"}}},
      {"deleted", [&] { std::remove((folder + "/g.txt").c_str()); }, {{FILE_ACTION_REMOVED, L"a\\b\\g.txt"}}},
  };
  for (const auto& step : steps) {
    step.change();
    EXPECT_EQ(w.Collect(step.expected.size()), step.expected) << step.name;
    ASSERT_TRUE(w.Arm()) << step.name;
  }
}

// A reader can wake between a rename's two halves; each rename must still
// arrive as one old-name/new-name pair, never as a removal and an addition.
TEST_F(FsTest, EveryRenameArrivesAsAPair) {
  ASSERT_EQ(platform::CreateDirectoryTree(L"D:\\w"), ERROR_SUCCESS);
  Put(d_ + "/w/n0", "x");
  Watcher w(L"D:\\w", FALSE, kNames);
  ASSERT_TRUE(w.Arm());
  constexpr int kRenames = 300;
  std::thread renamer([&] {
    for (int i = 0; i < kRenames; ++i) {
      const std::string from = d_ + "/w/n" + std::to_string(i), to = d_ + "/w/n" + std::to_string(i + 1);
      ASSERT_EQ(std::rename(from.c_str(), to.c_str()), 0);
    }
  });
  const auto records = w.Collect(2 * kRenames);
  renamer.join();
  ASSERT_EQ(records.size(), 2u * kRenames);
  for (int i = 0; i < kRenames; ++i) {
    EXPECT_EQ(records[2 * i], Record(FILE_ACTION_RENAMED_OLD_NAME, L"n" + std::to_wstring(i))) << i;
    EXPECT_EQ(records[2 * i + 1], Record(FILE_ACTION_RENAMED_NEW_NAME, L"n" + std::to_wstring(i + 1))) << i;
  }
}

TEST_F(FsTest, NewSubfoldersAreWatchedAndRenamedFoldersKeepTheirWatches) {
  ASSERT_EQ(platform::CreateDirectoryTree(L"D:\\w"), ERROR_SUCCESS);
  Watcher w(L"D:\\w", TRUE, kNames);
  ASSERT_TRUE(w.Arm());
  ASSERT_EQ(::mkdir((d_ + "/w/new").c_str(), 0755), 0);
  Put(d_ + "/w/new/x.txt", "x");
  auto records = w.Collect(2);
  EXPECT_TRUE(Has(records, FILE_ACTION_ADDED, L"new")) << records.size();
  EXPECT_TRUE(Has(records, FILE_ACTION_ADDED, L"new\\x.txt")) << records.size();
  ASSERT_TRUE(w.Arm());
  ASSERT_EQ(std::rename((d_ + "/w/new").c_str(), (d_ + "/w/renamed").c_str()), 0);
  records = w.Collect(2);
  EXPECT_TRUE(Has(records, FILE_ACTION_RENAMED_NEW_NAME, L"renamed"));
  ASSERT_TRUE(w.Arm());
  Put(d_ + "/w/renamed/y.txt", "y");
  records = w.Collect(1);
  EXPECT_TRUE(Has(records, FILE_ACTION_ADDED, L"renamed\\y.txt"));
}

struct FilterCase {
  const char* name;
  BOOL subtree;
  DWORD filter;
  bool fileSeen, folderSeen, deepSeen;
};

TEST_F(FsTest, FiltersAndSubtreeChooseWhatIsReported) {
  const FilterCase cases[] = {
      {"file names only", TRUE, FILE_NOTIFY_CHANGE_FILE_NAME, true, false, true},
      {"folder names only", TRUE, FILE_NOTIFY_CHANGE_DIR_NAME, false, true, false},
      {"not the subtree", FALSE, kNames, true, true, false},
  };
  int round = 0;
  for (const auto& c : cases) {
    const std::wstring folder = L"D:\\f" + std::to_wstring(round);
    const std::string host = d_ + "/f" + std::to_string(round++);
    ASSERT_EQ(platform::CreateDirectoryTree(folder + L"\\deep"), ERROR_SUCCESS);
    Watcher w(folder, c.subtree, c.filter);
    ASSERT_TRUE(w.Arm()) << c.name;
    Put(host + "/file.txt", "x");
    ASSERT_EQ(::mkdir((host + "/sub").c_str(), 0755), 0);
    Put(host + "/deep/inner.txt", "x");
    Put(host + "/last.txt", "x");  // a file and a folder event to end on
    ASSERT_EQ(::mkdir((host + "/lastdir").c_str(), 0755), 0);
    std::vector<Record> all;
    while (!Has(all, FILE_ACTION_ADDED, c.filter & FILE_NOTIFY_CHANGE_FILE_NAME ? L"last.txt" : L"lastdir")) {
      auto more = w.Next();
      ASSERT_FALSE(more.empty()) << c.name;
      all.insert(all.end(), more.begin(), more.end());
      ASSERT_TRUE(w.Arm());
    }
    EXPECT_EQ(Has(all, FILE_ACTION_ADDED, L"file.txt"), c.fileSeen) << c.name;
    EXPECT_EQ(Has(all, FILE_ACTION_ADDED, L"sub"), c.folderSeen) << c.name;
    EXPECT_EQ(Has(all, FILE_ACTION_ADDED, L"deep\\inner.txt"), c.deepSeen) << c.name;
  }
}

TEST_F(FsTest, CancelAndCloseEndAPendingReadWithOperationAborted) {
  ASSERT_EQ(platform::CreateDirectoryTree(L"D:\\w"), ERROR_SUCCESS);
  Watcher w(L"D:\\w", TRUE, kNames);
  ASSERT_TRUE(w.Arm());
  DWORD bytes = 0;
  EXPECT_FALSE(GetOverlappedResult(w.Dir(), &w.Overlapped(), &bytes, FALSE));
  EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);
  EXPECT_FALSE(w.Arm());  // one read at a time
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  ASSERT_TRUE(CancelIo(w.Dir()));
  EXPECT_EQ(WaitForSingleObject(w.Event(), kWaitMs), WAIT_OBJECT_0);
  EXPECT_FALSE(GetOverlappedResult(w.Dir(), &w.Overlapped(), &bytes, TRUE));
  EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
  EXPECT_FALSE(CancelIo(w.Dir()));  // nothing left to cancel
  EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
  // Changes made meanwhile wait for the next read.
  Put(d_ + "/w/later.txt", "x");
  ASSERT_TRUE(w.Arm());
  EXPECT_TRUE(Has(w.Collect(1), FILE_ACTION_ADDED, L"later.txt"));
  ASSERT_TRUE(w.Arm());
  w.CloseDir();
  EXPECT_EQ(WaitForSingleObject(w.Event(), kWaitMs), WAIT_OBJECT_0);
  EXPECT_EQ(w.Overlapped().Internal, ERROR_OPERATION_ABORTED);
}

TEST_F(FsTest, ABufferTooSmallCompletesWithNothing) {
  ASSERT_EQ(platform::CreateDirectoryTree(L"D:\\w"), ERROR_SUCCESS);
  Watcher w(L"D:\\w", TRUE, kNames, 16);
  ASSERT_TRUE(w.Arm());
  Put(d_ + "/w/a-name-longer-than-the-buffer.txt", "x");
  DWORD bytes = 99;
  EXPECT_TRUE(w.Next(&bytes).empty());
  EXPECT_EQ(bytes, 0u);
  EXPECT_EQ(WaitForSingleObject(w.Event(), 0), WAIT_OBJECT_0);
}

TEST_F(FsTest, AnExhaustedWatchLimitIsReported) {
  ::setenv("VANTREL_FS_MAX_WATCHES", "2", 1);
  ASSERT_EQ(platform::CreateDirectoryTree(L"D:\\big\\a\\b"), ERROR_SUCCESS);
  Watcher tooBig(L"D:\\big", TRUE, kNames);
  EXPECT_FALSE(tooBig.Arm());
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
  // Two folders fit; a third that appears later fails the pending read.
  ASSERT_EQ(platform::CreateDirectoryTree(L"D:\\small\\a"), ERROR_SUCCESS);
  Watcher w(L"D:\\small", TRUE, kNames);
  ASSERT_TRUE(w.Arm());
  ASSERT_EQ(::mkdir((d_ + "/small/b").c_str(), 0755), 0);
  DWORD bytes = 0;
  for (int i = 0; i < 3 && WaitForSingleObject(w.Event(), kWaitMs) == WAIT_OBJECT_0; ++i) {
    if (!GetOverlappedResult(w.Dir(), &w.Overlapped(), &bytes, FALSE)) break;
    ASSERT_TRUE(w.Arm());  // the add of "b" may come first
  }
  EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_QUOTA);
  ::unsetenv("VANTREL_FS_MAX_WATCHES");
}

TEST_F(FsTest, ASynchronousReadWaitsForAChange) {
  ASSERT_EQ(platform::CreateDirectoryTree(L"D:\\w"), ERROR_SUCCESS);
  UniqueHandle dir(CreateFileW(L"D:\\w", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  ASSERT_TRUE(dir);
  std::thread writer([&] {
    ::usleep(100 * 1000);
    Put(d_ + "/w/sync.txt", "x");
  });
  BYTE buffer[4096];
  DWORD bytes = 0;
  EXPECT_TRUE(ReadDirectoryChangesW(dir.get(), buffer, sizeof buffer, TRUE, kNames, &bytes, nullptr, nullptr));
  writer.join();
  EXPECT_TRUE(Has(Parse(buffer, bytes), FILE_ACTION_ADDED, L"sync.txt"));
  // A file handle is no folder to watch.
  Put(d_ + "/plain", "x");
  UniqueHandle file(CreateFileW(L"D:\\plain", GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(ReadDirectoryChangesW(file.get(), buffer, sizeof buffer, TRUE, kNames, &bytes, nullptr, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

}  // namespace
