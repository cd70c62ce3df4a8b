// notify_test.cpp - change notification: filters, subtree, one-shot and
// re-arm, close and delete, and changes made by another process.
//
// "Did not fire" is decided without timing: after the change under test, a
// second watch on a sentinel key is triggered and awaited. The watcher
// handles changes in commit order, so once the sentinel has fired every
// earlier change has been matched.
#include "platform/registry/registry.h"
#include "platform/registry/tests/test_env.h"
#include "platform/sync/sync.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

using platform::RegKey;
using platform::UniqueHandle;

namespace {

constexpr DWORD kArrivalBoundMs = 5000;

RegKey Create(HKEY parent, const std::wstring& path) {
  RegKey k;
  EXPECT_EQ(RegCreateKeyExW(parent, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr),
            ERROR_SUCCESS);
  return k;
}

UniqueHandle NewEvent() { return UniqueHandle(CreateEventW(nullptr, TRUE, FALSE, nullptr)); }

bool Signalled(HANDLE e) { return WaitForSingleObject(e, 0) == WAIT_OBJECT_0; }
bool Arrives(HANDLE e) { return WaitForSingleObject(e, kArrivalBoundMs) == WAIT_OBJECT_0; }

// Waits until every change committed so far has been seen by the watcher.
void Flush() {
  RegKey sentinel = Create(HKEY_CURRENT_USER, L"Software\\NotifySentinel");
  UniqueHandle e = NewEvent();
  ASSERT_EQ(RegNotifyChangeKeyValue(sentinel.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, e.get(), TRUE), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteDword(sentinel.get(), L"tick", 1), ERROR_SUCCESS);
  ASSERT_TRUE(Arrives(e.get())) << "sentinel change not seen";
}

int RunTool(const std::string& args) { return std::system((std::string(VNREG_PATH) + " " + args + " >/dev/null").c_str()); }

}  // namespace

TEST(RegistryNotify, FiltersAndSubtree) {
  struct Case {
    const char* what;
    BOOL subtree;
    DWORD filter;
    std::function<void(const std::wstring& base)> change;
    bool fires;
  };
  auto setOn = [](const wchar_t* sub) {
    return [sub](const std::wstring& base) {
      RegKey k = Create(HKEY_CURRENT_USER, base + sub);
      ASSERT_EQ(platform::RegWriteDword(k.get(), L"v", 1), ERROR_SUCCESS);
    };
  };
  auto create = [](const wchar_t* sub) {
    return [sub](const std::wstring& base) { Create(HKEY_CURRENT_USER, base + sub); };
  };
  auto deleteKey = [](const wchar_t* sub) {
    return [sub](const std::wstring& base) {
      ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, (base + sub).c_str()), ERROR_SUCCESS);
    };
  };
  auto deleteValue = [](const std::wstring& base) {
    RegKey k = Create(HKEY_CURRENT_USER, base);
    ASSERT_EQ(RegDeleteValueW(k.get(), L"old"), ERROR_SUCCESS);
  };
  const Case cases[] = {
      {"value set on the key", FALSE, REG_NOTIFY_CHANGE_LAST_SET, setOn(L""), true},
      {"value set, name filter only", FALSE, REG_NOTIFY_CHANGE_NAME, setOn(L""), false},
      {"value deleted", FALSE, REG_NOTIFY_CHANGE_LAST_SET, deleteValue, true},
      {"value set on a child, no subtree", FALSE, REG_NOTIFY_CHANGE_LAST_SET, setOn(L"\\Child"), false},
      {"value set on a child, subtree", TRUE, REG_NOTIFY_CHANGE_LAST_SET, setOn(L"\\Child"), true},
      {"value set on a grandchild, subtree", TRUE, REG_NOTIFY_CHANGE_LAST_SET, setOn(L"\\Child\\Grand"), true},
      {"subkey created", FALSE, REG_NOTIFY_CHANGE_NAME, create(L"\\New"), true},
      {"subkey created, last-set filter only", FALSE, REG_NOTIFY_CHANGE_LAST_SET, create(L"\\New"), false},
      {"grandchild created, no subtree", FALSE, REG_NOTIFY_CHANGE_NAME, create(L"\\Child\\New"), false},
      {"grandchild created, subtree", TRUE, REG_NOTIFY_CHANGE_NAME, create(L"\\Child\\New"), true},
      {"chain of new subkeys created at once", FALSE, REG_NOTIFY_CHANGE_NAME, create(L"\\A\\B\\C"), true},
      {"chain of new keys below a child, no subtree", FALSE, REG_NOTIFY_CHANGE_NAME, create(L"\\Child\\A\\B"),
       false},
      {"chain of new keys below a child, subtree", TRUE, REG_NOTIFY_CHANGE_NAME, create(L"\\Child\\A\\B"), true},
      {"subkey deleted", FALSE, REG_NOTIFY_CHANGE_NAME, deleteKey(L"\\Child"), true},
      {"grandchild deleted, no subtree", FALSE, REG_NOTIFY_CHANGE_NAME, deleteKey(L"\\Child\\Grand"), false},
      {"attributes filter, value set", TRUE, REG_NOTIFY_CHANGE_ATTRIBUTES, setOn(L""), false},
      {"security filter, key deleted", FALSE, REG_NOTIFY_CHANGE_SECURITY, deleteKey(L""), true},
      {"value set on the parent", TRUE, REG_NOTIFY_CHANGE_LAST_SET,
       [](const std::wstring&) {
         RegKey parent = Create(HKEY_CURRENT_USER, L"Software\\Notify");
         ASSERT_EQ(platform::RegWriteDword(parent.get(), L"v", 1), ERROR_SUCCESS);
       },
       false},
      {"sibling with a longer name", TRUE, REG_NOTIFY_CHANGE_LAST_SET, setOn(L"x"), false},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::wstring base = L"Software\\Notify\\Case" + std::to_wstring(n++);
    RegKey watched = Create(HKEY_CURRENT_USER, base);
    Create(HKEY_CURRENT_USER, base + L"\\Child\\Grand");
    ASSERT_EQ(platform::RegWriteDword(watched.get(), L"old", 1), ERROR_SUCCESS);
    UniqueHandle e = NewEvent();
    ASSERT_EQ(RegNotifyChangeKeyValue(watched.get(), c.subtree, c.filter, e.get(), TRUE), ERROR_SUCCESS);
    c.change(base);
    Flush();
    EXPECT_EQ(Signalled(e.get()), c.fires);
  }
}

TEST(RegistryNotify, OneShotThenRearm) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\OneShot");
  UniqueHandle e = NewEvent();
  ASSERT_EQ(RegNotifyChangeKeyValue(k.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, e.get(), TRUE), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"a", 1), ERROR_SUCCESS);
  ASSERT_TRUE(Arrives(e.get()));
  ResetEvent(e.get());
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"a", 2), ERROR_SUCCESS);
  Flush();
  EXPECT_FALSE(Signalled(e.get())) << "a spent watch fired again";
  // A change made before arming is not reported by the new watch.
  ASSERT_EQ(RegNotifyChangeKeyValue(k.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, e.get(), TRUE), ERROR_SUCCESS);
  Flush();
  EXPECT_FALSE(Signalled(e.get()));
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"a", 3), ERROR_SUCCESS);
  EXPECT_TRUE(Arrives(e.get()));
}

TEST(RegistryNotify, SeveralWatchesOnOneKeyAndOnPredefinedKeys) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\Several");
  UniqueHandle a = NewEvent(), b = NewEvent(), root = NewEvent();
  ASSERT_EQ(RegNotifyChangeKeyValue(k.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, a.get(), TRUE), ERROR_SUCCESS);
  ASSERT_EQ(RegNotifyChangeKeyValue(k.get(), FALSE, REG_NOTIFY_CHANGE_NAME, b.get(), TRUE), ERROR_SUCCESS);
  ASSERT_EQ(RegNotifyChangeKeyValue(HKEY_CURRENT_USER, TRUE, REG_NOTIFY_CHANGE_LAST_SET, root.get(), TRUE),
            ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"v", 1), ERROR_SUCCESS);
  EXPECT_TRUE(Arrives(a.get()));
  EXPECT_TRUE(Arrives(root.get()));
  Flush();
  EXPECT_FALSE(Signalled(b.get()));
  Create(k.get(), L"sub");
  EXPECT_TRUE(Arrives(b.get()));
}

TEST(RegistryNotify, CloseAndDeleteSignal) {
  UniqueHandle closed = NewEvent(), deleted = NewEvent(), below = NewEvent();
  {
    RegKey k = Create(HKEY_CURRENT_USER, L"Software\\CloseMe");
    ASSERT_EQ(RegNotifyChangeKeyValue(k.get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, closed.get(), TRUE), ERROR_SUCCESS);
  }
  EXPECT_TRUE(Signalled(closed.get())) << "closing the key must signal at once";

  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\DeleteMe");
  RegKey inner = Create(k.get(), L"Inner");
  ASSERT_EQ(RegNotifyChangeKeyValue(k.get(), FALSE, REG_NOTIFY_CHANGE_ATTRIBUTES, deleted.get(), TRUE),
            ERROR_SUCCESS);
  ASSERT_EQ(RegNotifyChangeKeyValue(inner.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, below.get(), TRUE),
            ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\DeleteMe"), ERROR_SUCCESS);
  EXPECT_TRUE(Arrives(deleted.get()));
  EXPECT_TRUE(Arrives(below.get()));
}

TEST(RegistryNotify, BadArguments) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\BadNotify");
  UniqueHandle e = NewEvent();
  EXPECT_EQ(RegNotifyChangeKeyValue(k.get(), FALSE, REG_NOTIFY_CHANGE_NAME, e.get(), FALSE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegNotifyChangeKeyValue(k.get(), FALSE, REG_NOTIFY_CHANGE_NAME, nullptr, TRUE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegNotifyChangeKeyValue(k.get(), FALSE, 0, e.get(), TRUE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegNotifyChangeKeyValue(k.get(), FALSE, 0x40, e.get(), TRUE), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegNotifyChangeKeyValue(k.get(), FALSE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_THREAD_AGNOSTIC, e.get(), TRUE),
            ERROR_SUCCESS);
}

// The tool runs as another process with its own connection.
TEST(RegistryNotify, ChangeByAnotherProcessWakesTheWaiter) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\CrossProcess");
  UniqueHandle value = NewEvent();
  ASSERT_EQ(RegNotifyChangeKeyValue(k.get(), TRUE, REG_NOTIFY_CHANGE_LAST_SET, value.get(), TRUE), ERROR_SUCCESS);
  ASSERT_EQ(RunTool("add 'HKCU\\Software\\CrossProcess\\Deep' /v Level /t REG_DWORD /d 3 /f"), 0);
  EXPECT_TRUE(Arrives(value.get()));

  UniqueHandle gone = NewEvent();
  ASSERT_EQ(RegNotifyChangeKeyValue(k.get(), FALSE, REG_NOTIFY_CHANGE_LAST_SET, gone.get(), TRUE), ERROR_SUCCESS);
  ASSERT_EQ(RunTool("delete 'HKCU\\Software\\CrossProcess' /f"), 0);
  EXPECT_TRUE(Arrives(gone.get()));
  DWORD v = 0;
  EXPECT_EQ(platform::RegReadDword(k.get(), L"Level", v), ERROR_KEY_DELETED);
}

// A configuration imported by the tool in another process reaches a waiting
// program, values included, in one notification.
TEST(RegistryNotify, ImportByAnotherProcessWakesTheWaiter) {
  RegKey k = Create(HKEY_LOCAL_MACHINE, L"Software\\Imported");
  UniqueHandle changed = NewEvent();
  ASSERT_EQ(RegNotifyChangeKeyValue(k.get(), TRUE, REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET, changed.get(),
                                    TRUE),
            ERROR_SUCCESS);
  std::string file = registry_test::TempDir() + "/import.reg";
  FILE* f = std::fopen(file.c_str(), "w");
  ASSERT_NE(f, nullptr);
  std::fputs("Windows Registry Editor Version 5.00\r\n\r\n"
             "[HKEY_LOCAL_MACHINE\\Software\\Imported\\Hosts\\web]\r\n"
             "\"Port\"=dword:00001f90\r\n\"Root\"=\"/srv/www\"\r\n",
             f);
  std::fclose(f);
  ASSERT_EQ(RunTool("import '" + file + "'"), 0);
  ASSERT_TRUE(Arrives(changed.get()));
  RegKey host;
  ASSERT_EQ(RegOpenKeyExW(k.get(), L"Hosts\\web", 0, KEY_READ, host.put()), ERROR_SUCCESS);
  DWORD port = 0;
  std::wstring root;
  EXPECT_EQ(platform::RegReadDword(host.get(), L"Port", port), ERROR_SUCCESS);
  EXPECT_EQ(port, 8080u);
  EXPECT_EQ(platform::RegReadString(host.get(), L"Root", root), ERROR_SUCCESS);
  EXPECT_EQ(root, L"/srv/www");
}
