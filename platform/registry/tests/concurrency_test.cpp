// concurrency_test.cpp - several processes and threads writing at once lose
// nothing, and a writer that dies inside a transaction leaves the previous
// state.
#include "platform/registry/registry.h"
#include "platform/registry/store.h"
#include "platform/registry/tests/test_env.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
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

namespace {

int RunTool(const std::string& arguments) {
  const int rc = std::system((std::string(VNREG_PATH) + " " + arguments + " >/dev/null 2>&1").c_str());
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string Sqlite(const std::string& sql) { return registry_test::Sqlite(std::getenv("VANTREL_REGISTRY"), sql); }

}  // namespace

// Readers in other processes while this one adds and grows values: every
// query and export sizes its buffers again instead of failing.
TEST(RegistryConcurrency, QueryAndExportWhileAnotherProcessAddsValues) {
  RegKey k;
  ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\Growing", k.put()), ERROR_SUCCESS);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(platform::RegWriteDword(k.get(), L"seed" + std::to_wstring(i), i), ERROR_SUCCESS);
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; !stop; ++i) {
      // Each value a little longer in name and data than any before.
      const std::wstring name = L"grow" + std::wstring(static_cast<std::size_t>(i % 300), L'n');
      ASSERT_EQ(platform::RegWriteString(k.get(), name, std::wstring(static_cast<std::size_t>(i % 3000), L'd')),
                ERROR_SUCCESS);
      ASSERT_EQ(platform::RegWriteString(k.get(), L"one", std::wstring(static_cast<std::size_t>(i % 3000), L'o')),
                ERROR_SUCCESS);
    }
  });
  const std::string file = registry_test::TempDir() + "/growing.reg";
  int failures = 0;
  for (int round = 0; round < 10; ++round) {
    if (RunTool("query 'HKCU\\Software\\Growing'") != 0) ++failures;
    if (RunTool("query 'HKCU\\Software\\Growing' /v one") != 0) ++failures;
    if (RunTool("export 'HKCU\\Software\\Growing' '" + file + "' /y") != 0) ++failures;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(failures, 0);
}

// In each round several tool processes, released together, add the same new
// value without /f: exactly one of them writes it, the others are refused.
TEST(RegistryConcurrency, AddWithoutForceNeverOverwritesARacingCreate) {
  constexpr int kRounds = 40, kWriters = 8;
  const std::string gate = registry_test::TempDir() + "/gate";
  // Every writer spins until its round's gate file appears.
  std::string script = "i=0; while [ $i -lt " + std::to_string(kRounds) + " ]; do ";
  for (int w = 0; w < kWriters; ++w)
    script += "(until [ -e '" + gate + "'$i ]; do :; done; " + VNREG_PATH + " add 'HKCU\\Software\\Race' /v r$i /d w" +
              std::to_string(w) + " >/dev/null 2>&1 && echo won) & ";
  script += "sleep 0.05; : > '" + gate + "'$i; wait; i=$((i+1)); done";
  const std::string scriptFile = registry_test::TempDir() + "/race.sh";
  std::ofstream(scriptFile) << script << "\n";
  FILE* p = ::popen(("sh '" + scriptFile + "'").c_str(), "r");
  ASSERT_NE(p, nullptr);
  int won = 0;
  char line[64];
  while (std::fgets(line, sizeof line, p) != nullptr) ++won;
  ::pclose(p);
  EXPECT_EQ(won, kRounds) << "writes that succeeded, one per round";
}

// Change rows older than a minute go when any process next opens the
// registry, even when every writer lives only for one call.
TEST(RegistryConcurrency, OldChangeRowsArePrunedWhenAProcessOpens) {
  ASSERT_EQ(RunTool("add 'HKCU\\Software\\Pruned' /v v /d 1 /f"), 0);
  ASSERT_EQ(Sqlite("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2000)"
                   " INSERT INTO changes(path, kind, at) SELECT 'HKEY_CURRENT_USER\\OLD', 4, 1000 FROM n;"
                   " SELECT COUNT(*) FROM changes WHERE at = 1000;"),
            "2000");
  ASSERT_EQ(RunTool("add 'HKCU\\Software\\Pruned' /v v /d 2 /f"), 0);
  EXPECT_EQ(Sqlite("SELECT COUNT(*) FROM changes WHERE at = 1000;"), "0");
  EXPECT_NE(Sqlite("SELECT COUNT(*) FROM changes;"), "0") << "recent rows stay for the watchers";
  // A reader finding a log that its writers left long ago prunes it too.
  ASSERT_EQ(Sqlite("UPDATE changes SET at = 1000;"), "");
  ASSERT_EQ(RunTool("query 'HKCU\\Software\\Pruned'"), 0);
  EXPECT_EQ(Sqlite("SELECT COUNT(*) FROM changes;"), "0");
}
