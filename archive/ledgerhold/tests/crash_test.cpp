// crash_test.cpp - two processes on one list: the pin tool inserts while this process walks index 6, and is
// killed mid-insert; the walk never waits long and the list stays consistent.
#include "archive/interfaces/FragmentList/FragmentList.h"

#include "platform/base/errors.h"
#include "platform/base/testing/temp_dir.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

extern char** environ;

namespace {

const char kClsid[] = "{1B353362-C59F-4258-9819-0C742EC7F32F}";

pid_t StartFill(const std::string& list, int count, int first) {
  const std::string countText = std::to_string(count), firstText = std::to_string(first);
  const char* argv[] = {VNPIN_PROGRAM, "--list", list.c_str(), "fill", kClsid, countText.c_str(), firstText.c_str(),
                        nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, VNPIN_PROGRAM, nullptr, nullptr, const_cast<char**>(argv), environ) != 0) return -1;
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return status;
}

// Walks index 6 again and again until told to stop, keeping the longest
// single step.
class Walker {
 public:
  explicit Walker(const std::wstring& path) : m_fragments(path) {}
  DWORD Attach() { return m_fragments.Attach(); }
  void Start() {
    m_thread = std::thread([this] { Run(); });
  }
  void Stop() {
    m_stop = true;
    m_thread.join();
  }
  std::chrono::steady_clock::duration Longest() const { return m_longest; }
  long Walks() const { return m_walks; }
  long Failures() const { return m_failures; }
  DWORD LastCode() const { return m_lastCode; }

 private:
  void Run() {
    CFileListInternal& list = m_fragments.List();
    const unsigned index = CFragmentItem::kPinIndex;
    while (!m_stop) {
      try {
        auto step = std::chrono::steady_clock::now();
        for (auto it = list.begin(index); it != list.end(index); ++it) {
          try {
            CFileListPointer<CFragmentItem> pointer(list, it);
            pointer.Load(true);
          } catch (DWORD code) {
            if (code != ERROR_DELETE_PENDING) ++m_failures, m_lastCode = code;
          }
          const auto now = std::chrono::steady_clock::now();
          m_longest = std::max(m_longest, now - step);
          step = now;
        }
        ++m_walks;
      } catch (DWORD code) {
        ++m_failures;
        m_lastCode = code;
      }
    }
  }

  CFragmentList m_fragments;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::chrono::steady_clock::duration m_longest{};
  long m_walks = 0;
  long m_failures = 0;
  DWORD m_lastCode = 0;
};

TEST(LedgerholdCrash, AWriterKilledMidInsertNeitherBlocksNorCorruptsAReader) {
  const std::string dir = platform::testing::MakeTempDir("ledgerhold-crash-");
  const std::string list = dir + "/fragments.ldg";
  Walker walker(std::wstring(list.begin(), list.end()));
  ASSERT_EQ(walker.Attach(), ERROR_SUCCESS);
  walker.Start();

  const pid_t fill = StartFill(list, 10000, 1);
  ASSERT_GT(fill, 0);
  const int status = Wait(fill);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;

  for (int round = 0; round < 20; ++round) {
    const pid_t victim = StartFill(list, 1000000, 100000 + round * 1000000);
    ASSERT_GT(victim, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + (round * 37) % 60));
    kill(victim, SIGKILL);
    Wait(victim);
  }
  walker.Stop();
  EXPECT_LT(walker.Longest(), std::chrono::seconds(1))
      << std::chrono::duration_cast<std::chrono::milliseconds>(walker.Longest()).count() << " ms";
  EXPECT_GT(walker.Walks(), 0);
  EXPECT_EQ(walker.Failures(), 0) << "last code " << walker.LastCode();

  CFragmentList checker(std::wstring(list.begin(), list.end()));
  ASSERT_EQ(checker.Attach(), ERROR_SUCCESS);
  std::wstring report;
  EXPECT_TRUE(checker.List().Check(report)) << std::string(report.begin(), report.end());
  EXPECT_GE(checker.List().Count(CFragmentItem::kPinIndex), 10000u);
  // The tool's own check agrees.
  const std::string command = std::string("'") + VNPIN_PROGRAM + "' --list '" + list + "' check >/dev/null";
  EXPECT_EQ(std::system(command.c_str()), 0);
}

}  // namespace
