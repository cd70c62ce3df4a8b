// concurrency_test.cpp - several processes and threads writing at once lose
// nothing, and a writer that dies inside a transaction leaves the previous
// state.
#include "platform/registry/registry.h"
#include "platform/registry/store.h"
#include "platform/registry/tests/test_env.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

using platform::RegKey;

namespace {

DWORD ValueCount(HKEY root, const wchar_t* path) {
  RegKey k;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, k.put()) != ERROR_SUCCESS) return 0;
  DWORD values = 0;
  RegQueryInfoKeyW(k.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                   nullptr);
  return values;
}

}  // namespace

TEST(RegistryConcurrency, ProcessesAndThreadsWritingAtOnceLoseNothing) {
  constexpr int kProcesses = 4, kPerProcess = 25, kThreads = 2, kPerThread = 200;
  // Each tool process is a fresh connection; the shell runs them side by side.
  std::string script;
  for (int p = 0; p < kProcesses; ++p) {
    script += "(i=0; while [ $i -lt " + std::to_string(kPerProcess) + " ]; do " + VNREG_PATH +
              " add 'HKCU\\Software\\Concurrent' /v p" + std::to_string(p) +
              "_$i /t REG_DWORD /d $i /f >/dev/null || exit 1; i=$((i+1)); done) & pids=\"$pids $!\"; ";
  }
  script += "fail=0; for j in $pids; do wait $j || fail=1; done; exit $fail";
  std::string scriptFile = registry_test::TempDir() + "/writers.sh";
  std::ofstream(scriptFile) << script << "\n";
  std::thread tool([&] { EXPECT_EQ(std::system(("sh '" + scriptFile + "'").c_str()), 0); });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([t] {
      RegKey k;
      ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\Concurrent", k.put()), ERROR_SUCCESS);
      for (int i = 0; i < kPerThread; ++i)
        ASSERT_EQ(platform::RegWriteDword(k.get(), L"t" + std::to_wstring(t) + L"_" + std::to_wstring(i), i),
                  ERROR_SUCCESS);
    });
  }
  for (auto& w : writers) w.join();
  tool.join();
  EXPECT_EQ(ValueCount(HKEY_CURRENT_USER, L"Software\\Concurrent"),
            static_cast<DWORD>(kProcesses * kPerProcess + kThreads * kPerThread));
  RegKey k;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Concurrent", 0, KEY_READ, k.put()), ERROR_SUCCESS);
  DWORD v = 0;
  EXPECT_EQ(platform::RegReadDword(k.get(), L"p3_24", v), ERROR_SUCCESS);
  EXPECT_EQ(v, 24u);
  EXPECT_EQ(platform::RegReadDword(k.get(), L"t1_199", v), ERROR_SUCCESS);
  EXPECT_EQ(v, 199u);
}

TEST(RegistryConcurrency, WriterDyingMidTransactionLeavesPreviousState) {
  RegKey k;
  ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\Crash", k.put()), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"before", 1), ERROR_SUCCESS);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The child opens its own connection, writes inside one transaction and
    // dies before committing (no exit handlers: they belong to the parent).
    platform::registry_detail::RunInTransaction([] {
      RegKey c;
      RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\Crash\\Half", c.put());
      platform::RegWriteDword(c.get(), L"never", 1);
      RegDeleteValueW(HKEY_CURRENT_USER, L"before");
      ::_exit(0);
      return ERROR_SUCCESS;
    });
    ::_exit(1);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_EQ(WEXITSTATUS(status), 0);
  RegKey half;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Crash\\Half", 0, KEY_READ, half.put()), ERROR_FILE_NOT_FOUND);
  DWORD v = 0;
  EXPECT_EQ(platform::RegReadDword(k.get(), L"before", v), ERROR_SUCCESS);
  // The dead writer's lock is gone: writing works at once.
  EXPECT_EQ(platform::RegWriteDword(k.get(), L"after", 2), ERROR_SUCCESS);
}
