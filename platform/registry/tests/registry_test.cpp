// registry_test.cpp - key and value semantics of the registry calls.
//
// Cases are tables where the calls differ only in their inputs: naming
// rules, types and sizes, size probes, type restrictions, enumeration order,
// deleted keys and access rights.
#include "platform/registry/registry.h"
#include "platform/registry/tests/test_env.h"
#include "platform/sync/sync.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using platform::RegKey;

namespace {

RegKey Create(HKEY parent, const wchar_t* path, REGSAM access = KEY_ALL_ACCESS, DWORD* disposition = nullptr) {
  RegKey k;
  EXPECT_EQ(RegCreateKeyExW(parent, path, 0, nullptr, 0, access, nullptr, k.put(), disposition), ERROR_SUCCESS)
      << "creating " << testing::PrintToString(std::wstring(path));
  return k;
}

// Names in enumeration order, of subkeys or of values.
std::vector<std::wstring> Names(HKEY key, bool values) {
  std::vector<std::wstring> names;
  for (DWORD i = 0;; ++i) {
    wchar_t name[256];
    DWORD len = 256;
    LSTATUS st = values ? RegEnumValueW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr)
                        : RegEnumKeyExW(key, i, name, &len, nullptr, nullptr, nullptr, nullptr);
    if (st == ERROR_NO_MORE_ITEMS) break;
    EXPECT_EQ(st, ERROR_SUCCESS);
    if (st != ERROR_SUCCESS) break;
    names.emplace_back(name, len);
  }
  return names;
}
std::vector<std::wstring> SubkeyNames(HKEY key) { return Names(key, false); }
std::vector<std::wstring> ValueNames(HKEY key) { return Names(key, true); }

std::string Raw(HKEY key, const wchar_t* name, DWORD* type = nullptr) {
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(key, name, nullptr, type, nullptr, &size), ERROR_SUCCESS);
  std::string b(size, '\0');
  EXPECT_EQ(RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(b.data()), &size), ERROR_SUCCESS);
  return b;
}

LSTATUS SetRaw(HKEY key, const wchar_t* name, DWORD type, const std::string& bytes) {
  return RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                        static_cast<DWORD>(bytes.size()));
}

}  // namespace

// --- key names ---

TEST(RegistryKeys, PathRules) {
  RegKey base = Create(HKEY_CURRENT_USER, L"Software\\PathRules");
  struct Case {
    const wchar_t* path;
    LSTATUS create;
    LSTATUS open;  // after the create
  } cases[] = {
      {L"Plain", ERROR_SUCCESS, ERROR_SUCCESS},
      {L"Nested\\Deep\\Er", ERROR_SUCCESS, ERROR_SUCCESS},
      {L"Trailing\\", ERROR_SUCCESS, ERROR_SUCCESS},
      {L"\\Leading", ERROR_BAD_PATHNAME, ERROR_BAD_PATHNAME},
      {L"Empty\\\\Inside", ERROR_BAD_PATHNAME, ERROR_BAD_PATHNAME},
      {L"\\", ERROR_BAD_PATHNAME, ERROR_BAD_PATHNAME},
  };
  for (const Case& c : cases) {
    RegKey k;
    EXPECT_EQ(RegCreateKeyExW(base.get(), c.path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, k.put(), nullptr), c.create)
        << testing::PrintToString(std::wstring(c.path));
    RegKey o;
    EXPECT_EQ(RegOpenKeyExW(base.get(), c.path, 0, KEY_READ, o.put()), c.open)
        << testing::PrintToString(std::wstring(c.path));
  }
  // The trailing backslash named the same key as without it.
  RegKey t;
  EXPECT_EQ(RegOpenKeyExW(base.get(), L"Trailing", 0, KEY_READ, t.put()), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(base.get()), (std::vector<std::wstring>{L"Nested", L"Plain", L"Trailing"}));
}

TEST(RegistryKeys, NameLengthLimit) {
  RegKey base = Create(HKEY_CURRENT_USER, L"Software\\Lengths");
  std::wstring longest(255, L'k'), tooLong(256, L'k');
  RegKey a, b;
  EXPECT_EQ(RegCreateKeyExW(base.get(), longest.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, a.put(), nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(RegCreateKeyExW(base.get(), tooLong.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, b.put(), nullptr),
            ERROR_INVALID_PARAMETER);
  EXPECT_FALSE(b);
}

TEST(RegistryKeys, DepthLimit) {
  // 512 levels below the hive, as Windows allows; one more is refused.
  std::wstring path = L"Software";
  for (int i = 1; i < 512; ++i) path += L"\\d";
  RegKey deepest;
  EXPECT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, path.c_str(), deepest.put()), ERROR_SUCCESS);
  RegKey tooDeep;
  EXPECT_EQ(RegCreateKeyW(deepest.get(), L"x", tooDeep.put()), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, (path + L"\\x\\y").c_str(), tooDeep.put()), ERROR_INVALID_PARAMETER);
  RegKey classes;
  EXPECT_EQ(RegCreateKeyW(HKEY_CLASSES_ROOT, path.substr(0, path.size() - 4).c_str(), classes.put()),
            ERROR_SUCCESS);  // 2 + 510 levels
  EXPECT_EQ(RegCreateKeyW(classes.get(), L"x", tooDeep.put()), ERROR_INVALID_PARAMETER);
  RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\d");
}

TEST(RegistryKeys, CaseInsensitiveAndCasePreserving) {
  DWORD disposition = 0;
  RegKey first = Create(HKEY_CURRENT_USER, L"Software\\CaseTest\\Foo", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
  RegKey again = Create(HKEY_CURRENT_USER, L"SOFTWARE\\casetest\\foo", KEY_ALL_ACCESS, &disposition);
  EXPECT_EQ(disposition, static_cast<DWORD>(REG_OPENED_EXISTING_KEY));
  RegKey parent;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"software\\CASETEST", 0, KEY_READ, parent.put()), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(parent.get()), std::vector<std::wstring>{L"Foo"});

  // Same rules for value names: the first spelling is kept.
  ASSERT_EQ(platform::RegWriteDword(first.get(), L"Level", 1), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteDword(again.get(), L"LEVEL", 2), ERROR_SUCCESS);
  DWORD v = 0;
  EXPECT_EQ(platform::RegReadDword(first.get(), L"level", v), ERROR_SUCCESS);
  EXPECT_EQ(v, 2u);
  EXPECT_EQ(ValueNames(first.get()), std::vector<std::wstring>{L"Level"});
}

TEST(RegistryKeys, EmptySubkeyOpensSameKeyAndMissingKeyIsNotFound) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\Same");
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"x", 7), ERROR_SUCCESS);
  for (const wchar_t* sub : {static_cast<const wchar_t*>(nullptr), L""}) {
    RegKey o;
    ASSERT_EQ(RegOpenKeyExW(k.get(), sub, 0, KEY_READ, o.put()), ERROR_SUCCESS);
    DWORD v = 0;
    EXPECT_EQ(platform::RegReadDword(o.get(), L"x", v), ERROR_SUCCESS);
    EXPECT_EQ(v, 7u);
  }
  RegKey missing;
  EXPECT_EQ(RegOpenKeyExW(k.get(), L"Nope\\Deeper", 0, KEY_READ, missing.put()), ERROR_FILE_NOT_FOUND);
  EXPECT_FALSE(missing);
}

TEST(RegistryKeys, ClassesRootIsMachineSoftwareClasses) {
  RegKey k = Create(HKEY_CLASSES_ROOT, L"CLSID\\{0}");
  ASSERT_EQ(platform::RegWriteString(k.get(), L"", L"server"), ERROR_SUCCESS);
  RegKey m;
  ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\clsid\\{0}", 0, KEY_READ, m.put()), ERROR_SUCCESS);
  std::wstring s;
  EXPECT_EQ(platform::RegReadString(m.get(), L"", s), ERROR_SUCCESS);
  EXPECT_EQ(s, L"server");
}

TEST(RegistryKeys, BadHandles) {
  int dummy = 0;
  auto bogus = reinterpret_cast<HKEY>(&dummy);
  DWORD size = 0;
  EXPECT_EQ(RegQueryValueExW(bogus, L"x", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(bogus), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(nullptr), ERROR_INVALID_HANDLE);
  HKEY k = nullptr;
  ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\Closed", &k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_SUCCESS);
  EXPECT_EQ(RegCloseKey(k), ERROR_INVALID_HANDLE);
  EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
}

// --- values ---

TEST(RegistryValues, StoredRawWithExactSizes) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\Raw");
  struct Case {
    const wchar_t* name;
    DWORD type;
    std::string bytes;
  } cases[] = {
      {L"sz", REG_SZ, platform::RegStringBytes(L"hello")},
      {L"odd sized sz", REG_SZ, std::string("h\0e", 3)},
      {L"unterminated sz", REG_SZ, std::string("h\0i\0", 4)},
      {L"expand", REG_EXPAND_SZ, platform::RegStringBytes(L"%HOME%")},
      {L"dword", REG_DWORD, std::string("\x0a\0\0\0", 4)},
      {L"three byte dword", REG_DWORD, std::string("\x01\x02\x03", 3)},
      {L"qword", REG_QWORD, std::string("\x01\0\0\0\0\0\0\x80", 8)},
      {L"binary", REG_BINARY, std::string("\0\xff\0", 3)},
      {L"empty binary", REG_BINARY, std::string()},
      {L"multi", REG_MULTI_SZ, std::string("a\0\0\0b\0\0\0\0\0", 10)},
      {L"odd type", 0x1234, std::string("zz")},
      {L"", REG_SZ, platform::RegStringBytes(L"default")},
  };
  for (const Case& c : cases) ASSERT_EQ(SetRaw(k.get(), c.name, c.type, c.bytes), ERROR_SUCCESS);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)));
    DWORD type = 0, size = 0;
    // Size probe: null data answers the size.
    ASSERT_EQ(RegQueryValueExW(k.get(), c.name, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(size, c.bytes.size());
    EXPECT_EQ(Raw(k.get(), c.name), c.bytes);
    if (!c.bytes.empty()) {
      // One byte short: ERROR_MORE_DATA with the size needed.
      std::string buf(c.bytes.size() - 1, '\0');
      DWORD shortSize = static_cast<DWORD>(buf.size());
      EXPECT_EQ(RegQueryValueExW(k.get(), c.name, nullptr, &type, reinterpret_cast<BYTE*>(buf.data()), &shortSize),
                ERROR_MORE_DATA);
      EXPECT_EQ(shortSize, c.bytes.size());
    }
  }
  // A null name is the default value.
  EXPECT_EQ(Raw(k.get(), nullptr), platform::RegStringBytes(L"default"));
}

TEST(RegistryValues, MissingValueAndBadArguments) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\Missing");
  DWORD size = 4, type = 0;
  BYTE buf[4];
  EXPECT_EQ(RegQueryValueExW(k.get(), L"none", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegQueryValueExW(k.get(), L"none", nullptr, &type, buf, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(RegDeleteValueW(k.get(), L"none"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegSetValueExW(k.get(), L"x", 0, REG_BINARY, nullptr, 4), ERROR_NOACCESS);
  std::wstring longName(16384, L'v'), okName(16383, L'v');
  EXPECT_EQ(platform::RegWriteDword(k.get(), longName, 1), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(platform::RegWriteDword(k.get(), okName, 1), ERROR_SUCCESS);
}

TEST(RegistryValues, TypedHelpersRoundTrip) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\Typed");
  ASSERT_EQ(platform::RegWriteString(k.get(), L"s", L"caf\u00e9 \U0001F600"), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteString(k.get(), L"e", L"%PATH%", REG_EXPAND_SZ), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"d", 0xDEADBEEF), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteQword(k.get(), L"q", 0x0123456789ABCDEFull), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteMultiString(k.get(), L"m", {L"one", L"two"}), ERROR_SUCCESS);
  const BYTE bin[] = {1, 2, 3};
  ASSERT_EQ(platform::RegWriteBinary(k.get(), L"b", bin, 3), ERROR_SUCCESS);

  std::wstring s;
  DWORD type = 0;
  EXPECT_EQ(platform::RegReadString(k.get(), L"s", s, &type), ERROR_SUCCESS);
  EXPECT_EQ(s, L"caf\u00e9 \U0001F600");
  EXPECT_EQ(type, REG_SZ);
  // Sizes count UTF-16 units: 5 BMP characters, one surrogate pair, terminator.
  EXPECT_EQ(Raw(k.get(), L"s").size(), (5u + 2u + 1u) * 2u);
  EXPECT_EQ(platform::RegReadString(k.get(), L"e", s, &type), ERROR_SUCCESS);
  EXPECT_EQ(s, L"%PATH%");
  EXPECT_EQ(type, REG_EXPAND_SZ);
  DWORD d = 0;
  EXPECT_EQ(platform::RegReadDword(k.get(), L"d", d), ERROR_SUCCESS);
  EXPECT_EQ(d, 0xDEADBEEFu);
  EXPECT_EQ(Raw(k.get(), L"d"), std::string("\xef\xbe\xad\xde", 4));
  ULONGLONG q = 0;
  EXPECT_EQ(platform::RegReadQword(k.get(), L"q", q), ERROR_SUCCESS);
  EXPECT_EQ(q, 0x0123456789ABCDEFull);
  std::vector<std::wstring> m;
  EXPECT_EQ(platform::RegReadMultiString(k.get(), L"m", m), ERROR_SUCCESS);
  EXPECT_EQ(m, (std::vector<std::wstring>{L"one", L"two"}));
  EXPECT_EQ(Raw(k.get(), L"m"), std::string("o\0n\0e\0\0\0t\0w\0o\0\0\0\0\0", 18));
  std::vector<BYTE> b;
  EXPECT_EQ(platform::RegReadBinary(k.get(), L"b", b, &type), ERROR_SUCCESS);
  EXPECT_EQ(b, (std::vector<BYTE>{1, 2, 3}));
  // Typed reads refuse the wrong type.
  EXPECT_EQ(platform::RegReadDword(k.get(), L"s", d), ERROR_UNSUPPORTED_TYPE);
  EXPECT_EQ(platform::RegReadString(k.get(), L"d", s), ERROR_UNSUPPORTED_TYPE);
}

TEST(RegistryValues, GetValueRestrictionsTerminatorsAndExpansion) {
  ::setenv("VNREG_TEST_DIR", "/opt/x", 1);
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\GetValue\\Sub");
  ASSERT_EQ(SetRaw(k.get(), L"sz", REG_SZ, platform::RegStringBytes(L"ab")), ERROR_SUCCESS);
  ASSERT_EQ(SetRaw(k.get(), L"unterminated", REG_SZ, std::string("a\0b\0", 4)), ERROR_SUCCESS);
  ASSERT_EQ(SetRaw(k.get(), L"odd", REG_SZ, std::string("a\0b", 3)), ERROR_SUCCESS);
  ASSERT_EQ(SetRaw(k.get(), L"multi", REG_MULTI_SZ, std::string("a\0\0\0", 4)), ERROR_SUCCESS);
  ASSERT_EQ(SetRaw(k.get(), L"exp", REG_EXPAND_SZ, platform::RegStringBytes(L"%VNREG_TEST_DIR%\\bin")),
            ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"dw", 5), ERROR_SUCCESS);

  struct Case {
    const wchar_t* name;
    DWORD flags;
    LSTATUS status;
    DWORD type;
    std::string bytes;
  } cases[] = {
      {L"sz", RRF_RT_REG_SZ, ERROR_SUCCESS, REG_SZ, platform::RegStringBytes(L"ab")},
      {L"sz", RRF_RT_ANY, ERROR_SUCCESS, REG_SZ, platform::RegStringBytes(L"ab")},
      {L"sz", RRF_RT_REG_DWORD, ERROR_UNSUPPORTED_TYPE, 0, ""},
      {L"dw", RRF_RT_REG_DWORD, ERROR_SUCCESS, REG_DWORD, std::string("\5\0\0\0", 4)},
      {L"dw", RRF_RT_REG_SZ | RRF_RT_REG_MULTI_SZ, ERROR_UNSUPPORTED_TYPE, 0, ""},
      {L"unterminated", RRF_RT_REG_SZ, ERROR_SUCCESS, REG_SZ, platform::RegStringBytes(L"ab")},
      {L"odd", RRF_RT_REG_SZ, ERROR_SUCCESS, REG_SZ, std::string("a\0b\0\0\0", 6)},
      {L"multi", RRF_RT_REG_MULTI_SZ, ERROR_SUCCESS, REG_MULTI_SZ, std::string("a\0\0\0\0\0", 6)},
      {L"exp", RRF_RT_REG_SZ, ERROR_SUCCESS, REG_SZ, platform::RegStringBytes(L"/opt/x\\bin")},
      {L"exp", RRF_RT_ANY, ERROR_SUCCESS, REG_SZ, platform::RegStringBytes(L"/opt/x\\bin")},
      {L"exp", RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, ERROR_SUCCESS, REG_EXPAND_SZ,
       platform::RegStringBytes(L"%VNREG_TEST_DIR%\\bin")},
      {L"exp", RRF_RT_REG_SZ | RRF_NOEXPAND, ERROR_UNSUPPORTED_TYPE, 0, ""},
      {L"exp", RRF_RT_REG_EXPAND_SZ, ERROR_INVALID_PARAMETER, 0, ""},
      {L"sz", 0, ERROR_INVALID_PARAMETER, 0, ""},
      {L"missing", RRF_RT_ANY, ERROR_FILE_NOT_FOUND, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(std::wstring(c.name)) + " flags " + std::to_string(c.flags));
    DWORD type = 0, size = 0;
    // Through the parent and a subkey name, as callers usually do.
    ASSERT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\GetValue\\Sub", c.name, c.flags, &type, nullptr, &size),
              c.status);
    if (c.status != ERROR_SUCCESS) continue;
    EXPECT_EQ(size, c.bytes.size());
    std::string buf(size, '\0');
    ASSERT_EQ(RegGetValueW(k.get(), nullptr, c.name, c.flags, &type, buf.data(), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, c.type);
    EXPECT_EQ(buf.substr(0, size), c.bytes);
    DWORD shortSize = size - 1;
    EXPECT_EQ(RegGetValueW(k.get(), nullptr, c.name, c.flags, &type, buf.data(), &shortSize), ERROR_MORE_DATA);
    EXPECT_EQ(shortSize, size);
  }
  DWORD size = 0;
  EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, L"Software\\GetValue\\Nope", L"sz", RRF_RT_ANY, nullptr, nullptr, &size),
            ERROR_FILE_NOT_FOUND);
}

// --- enumeration and key info ---

TEST(RegistryEnum, SubkeysSortedIgnoringCase) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\Sorted");
  for (const wchar_t* n : {L"b", L"_under", L"C", L"a", L"B2", L"a10", L"a9"}) Create(k.get(), n);
  // Upper-cased comparison puts '_' after the letters.
  EXPECT_EQ(SubkeyNames(k.get()), (std::vector<std::wstring>{L"a", L"a10", L"a9", L"b", L"B2", L"C", L"_under"}));
}

TEST(RegistryEnum, ValuesInCreationOrder) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\Order");
  for (const wchar_t* n : {L"zeta", L"Alpha", L"mid", L""}) ASSERT_EQ(platform::RegWriteDword(k.get(), n, 1), 0);
  ASSERT_EQ(platform::RegWriteString(k.get(), L"ALPHA", L"again"), ERROR_SUCCESS);  // keeps its place
  ASSERT_EQ(RegDeleteValueW(k.get(), L"zeta"), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"Zeta", 2), ERROR_SUCCESS);  // a new value goes last
  EXPECT_EQ(ValueNames(k.get()), (std::vector<std::wstring>{L"Alpha", L"mid", L"", L"Zeta"}));

  // Enumerating the data comes with the same size rules as a query.
  wchar_t name[16];
  DWORD len = 16, type = 0, size = 0;
  ASSERT_EQ(RegEnumValueW(k.get(), 0, name, &len, nullptr, &type, nullptr, &size), ERROR_SUCCESS);
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(size, platform::RegStringBytes(L"again").size());
  BYTE small[2];
  DWORD smallSize = 2;
  len = 16;
  EXPECT_EQ(RegEnumValueW(k.get(), 0, name, &len, nullptr, &type, small, &smallSize), ERROR_MORE_DATA);
  EXPECT_EQ(smallSize, size);
}

namespace {

std::wstring ValueAt(HKEY key, DWORD index) {
  wchar_t name[64];
  DWORD length = 64;
  LSTATUS st = RegEnumValueW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
  return st == ERROR_SUCCESS ? std::wstring(name, length) : L"<" + std::to_wstring(st) + L">";
}

std::wstring SubkeyAt(HKEY key, DWORD index) {
  wchar_t name[64];
  DWORD length = 64;
  LSTATUS st = RegEnumKeyExW(key, index, name, &length, nullptr, nullptr, nullptr, nullptr);
  return st == ERROR_SUCCESS ? std::wstring(name, length) : L"<" + std::to_wstring(st) + L">";
}

}  // namespace

// A walk by index that is interrupted by a change answers what a fresh handle
// answers at the same index: positions that a change moved are not taken from
// where the walk stood.
TEST(RegistryEnum, WalkByIndexFollowsChangesMadeMeanwhile) {
  struct Case {
    const char* what;
    void (*change)(HKEY other);
  } cases[] = {
      {"a value before the walk's position removed", [](HKEY o) { RegDeleteValueW(o, L"v1"); }},
      {"the value at the walk's position removed", [](HKEY o) { RegDeleteValueW(o, L"v3"); }},
      {"a value added", [](HKEY o) { platform::RegWriteDword(o, L"added", 1); }},
      {"a value rewritten", [](HKEY o) { platform::RegWriteDword(o, L"v2", 9); }},
      {"all values removed", [](HKEY o) { RegDeleteTreeW(o, nullptr); }},
      {"a subkey sorting first added", [](HKEY o) {
         RegKey k;
         RegCreateKeyW(o, L"a0", k.put());
       }},
      {"a subkey before the walk's position removed", [](HKEY o) { RegDeleteKeyW(o, L"k1"); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Walk");
    RegKey other;
    ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\Walk", other.put()), ERROR_SUCCESS);
    for (int i = 0; i < 6; ++i) {
      ASSERT_EQ(platform::RegWriteDword(other.get(), L"v" + std::to_wstring(i), i), ERROR_SUCCESS);
      RegKey sub;
      ASSERT_EQ(RegCreateKeyW(other.get(), (L"k" + std::to_wstring(i)).c_str(), sub.put()), ERROR_SUCCESS);
    }
    RegKey walker;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Walk", 0, KEY_READ, walker.put()), ERROR_SUCCESS);
    for (DWORD i = 0; i < 4; ++i) {
      EXPECT_EQ(ValueAt(walker.get(), i), L"v" + std::to_wstring(i));
      EXPECT_EQ(SubkeyAt(walker.get(), i), L"k" + std::to_wstring(i));
    }
    c.change(other.get());
    RegKey fresh;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Walk", 0, KEY_READ, fresh.put()), ERROR_SUCCESS);
    for (DWORD i : {3u, 4u, 5u, 6u}) {
      EXPECT_EQ(ValueAt(walker.get(), i), ValueAt(fresh.get(), i)) << i;
      EXPECT_EQ(SubkeyAt(walker.get(), i), SubkeyAt(fresh.get(), i)) << i;
    }
  }
}

TEST(RegistryEnum, NameBufferLimits) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\NameBuffers");
  Create(k.get(), L"abcd");
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"wxyz", 1), ERROR_SUCCESS);
  struct Case {
    DWORD buffer;
    LSTATUS status;
  } cases[] = {{3, ERROR_MORE_DATA}, {4, ERROR_MORE_DATA}, {5, ERROR_SUCCESS}, {6, ERROR_SUCCESS}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.buffer);
    wchar_t name[8];
    DWORD len = c.buffer;
    EXPECT_EQ(RegEnumKeyExW(k.get(), 0, name, &len, nullptr, nullptr, nullptr, nullptr), c.status);
    if (c.status == ERROR_SUCCESS) {
      EXPECT_EQ(len, 4u);
    }
    len = c.buffer;
    EXPECT_EQ(RegEnumValueW(k.get(), 0, name, &len, nullptr, nullptr, nullptr, nullptr), c.status);
    if (c.status == ERROR_SUCCESS) {
      EXPECT_EQ(std::wstring(name), L"wxyz");
    }
  }
  wchar_t name[8];
  DWORD len = 8;
  EXPECT_EQ(RegEnumKeyExW(k.get(), 1, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
  len = 8;
  EXPECT_EQ(RegEnumValueW(k.get(), 1, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_NO_MORE_ITEMS);
}

TEST(RegistryEnum, QueryInfoKeyCounts) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\Info");
  DWORD subKeys = 9, maxSub = 9, maxClass = 9, values = 9, maxName = 9, maxData = 9, classLen = 9;
  ASSERT_EQ(RegQueryInfoKeyW(k.get(), nullptr, &classLen, nullptr, &subKeys, &maxSub, &maxClass, &values, &maxName,
                             &maxData, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ((std::vector<DWORD>{classLen, subKeys, maxSub, maxClass, values, maxName, maxData}),
            (std::vector<DWORD>{0, 0, 0, 0, 0, 0, 0}));
  Create(k.get(), L"ab");
  Create(k.get(), L"x\U0001F600");  // 3 UTF-16 units
  Create(k.get(), L"ab\\longer-grandchild-not-counted");
  ASSERT_EQ(platform::RegWriteString(k.get(), L"name", L"12345"), ERROR_SUCCESS);  // 12 bytes
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"longer name", 1), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"", 1), ERROR_SUCCESS);
  FILETIME ft{};
  ASSERT_EQ(RegQueryInfoKeyW(k.get(), nullptr, &classLen, nullptr, &subKeys, &maxSub, &maxClass, &values, &maxName,
                             &maxData, nullptr, &ft),
            ERROR_SUCCESS);
  EXPECT_EQ((std::vector<DWORD>{classLen, subKeys, maxSub, maxClass, values, maxName, maxData}),
            (std::vector<DWORD>{0, 2, 3, 0, 3, 11, 12}));
  EXPECT_NE(ft.dwHighDateTime, 0u);
}

// --- deletion ---

TEST(RegistryDelete, KeyWithSubkeysIsRefusedTreeIsNot) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\Del\\Parent\\Child\\Grandchild");
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"v", 1), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Del\\Parent"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Del\\Missing"), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\Del\\Parent\\Child\\Grandchild"), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Del\\Parent"), ERROR_SUCCESS);
  RegKey gone;
  EXPECT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Del\\Parent", 0, KEY_READ, gone.put()), ERROR_FILE_NOT_FOUND);
  // A sibling whose name extends the deleted one is untouched.
  Create(HKEY_CURRENT_USER, L"Software\\Del\\A\\x");
  Create(HKEY_CURRENT_USER, L"Software\\Del\\AB\\y");
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Del\\A"), ERROR_SUCCESS);
  RegKey del;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Del", 0, KEY_READ, del.put()), ERROR_SUCCESS);
  EXPECT_EQ(SubkeyNames(del.get()), std::vector<std::wstring>{L"AB"});
  // Roots cannot go.
  EXPECT_EQ(RegDeleteKeyW(HKEY_CLASSES_ROOT, L""), ERROR_ACCESS_DENIED);
}

TEST(RegistryDelete, TreeWithoutSubkeyEmptiesTheKey) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\Empty");
  Create(k.get(), L"a\\b");
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"v", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeW(k.get(), nullptr), ERROR_SUCCESS);
  DWORD subKeys = 9, values = 9;
  ASSERT_EQ(RegQueryInfoKeyW(k.get(), nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                             nullptr, nullptr, nullptr),
            ERROR_SUCCESS);
  EXPECT_EQ(subKeys, 0u);
  EXPECT_EQ(values, 0u);
}

TEST(RegistryDelete, HandlesOfDeletedKeysAnswerKeyDeleted) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\Doomed\\Inner");
  RegKey outer = Create(HKEY_CURRENT_USER, L"Software\\Doomed");
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"v", 1), ERROR_SUCCESS);
  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Doomed"), ERROR_SUCCESS);
  // Re-created under the same name it is a new key: old handles stay dead.
  Create(HKEY_CURRENT_USER, L"Software\\Doomed\\Inner");

  HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  for (HKEY h : {k.get(), outer.get()}) {
    DWORD size = 0, n = 0;
    wchar_t name[8];
    DWORD len = 8;
    RegKey sub;
    EXPECT_EQ(RegQueryValueExW(h, L"v", nullptr, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(RegGetValueW(h, nullptr, L"v", RRF_RT_ANY, nullptr, nullptr, &size), ERROR_KEY_DELETED);
    EXPECT_EQ(platform::RegWriteDword(h, L"v", 2), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteValueW(h, L"v"), ERROR_KEY_DELETED);
    EXPECT_EQ(RegOpenKeyExW(h, L"", 0, KEY_READ, sub.put()), ERROR_KEY_DELETED);
    EXPECT_EQ(RegCreateKeyExW(h, L"x", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, sub.put(), nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumKeyExW(h, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegEnumValueW(h, 0, name, &len, nullptr, nullptr, nullptr, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryInfoKeyW(h, nullptr, nullptr, nullptr, &n, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                               nullptr),
              ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteKeyW(h, L""), ERROR_KEY_DELETED);
    EXPECT_EQ(RegDeleteTreeW(h, nullptr), ERROR_KEY_DELETED);
    EXPECT_EQ(RegNotifyChangeKeyValue(h, FALSE, REG_NOTIFY_CHANGE_LAST_SET, event, TRUE), ERROR_KEY_DELETED);
  }
  CloseHandle(event);
  EXPECT_EQ(RegCloseKey(k.release()), ERROR_SUCCESS);
}

// --- access rights ---

TEST(RegistryAccess, ReadOnlyHandleRefusesWrites) {
  RegKey writable = Create(HKEY_CURRENT_USER, L"Software\\ReadOnly");
  ASSERT_EQ(platform::RegWriteDword(writable.get(), L"v", 1), ERROR_SUCCESS);
  Create(writable.get(), L"child");
  RegKey ro;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\ReadOnly", 0, KEY_READ, ro.put()), ERROR_SUCCESS);
  DWORD v = 0;
  EXPECT_EQ(platform::RegReadDword(ro.get(), L"v", v), ERROR_SUCCESS);
  EXPECT_EQ(platform::RegWriteDword(ro.get(), L"v", 2), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteValueW(ro.get(), L"v"), ERROR_ACCESS_DENIED);
  RegKey sub;
  EXPECT_EQ(RegCreateKeyExW(ro.get(), L"new", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, sub.put(), nullptr),
            ERROR_ACCESS_DENIED);
  // Opening an existing subkey through it needs no write right.
  EXPECT_EQ(RegCreateKeyExW(ro.get(), L"child", 0, nullptr, 0, KEY_READ, nullptr, sub.put(), nullptr), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(ro.get(), L"child"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(platform::RegReadDword(writable.get(), L"v", v), ERROR_SUCCESS);
  EXPECT_EQ(v, 1u);
}

// The file is ordinary SQLite: another client sees committed data.
TEST(RegistryFile, ReadableBySqliteClient) {
  RegKey k = Create(HKEY_CURRENT_USER, L"Software\\Peer");
  ASSERT_EQ(platform::RegWriteDword(k.get(), L"Visible", 42), ERROR_SUCCESS);
  std::string cmd = std::string("sqlite3 '") + std::getenv("VANTREL_REGISTRY") +
                    "' \"SELECT hex(data) FROM vals WHERE name = 'Visible'\"";
  EXPECT_EQ(platform::testing::RunCommand(cmd).second, "2A000000\n");
}
