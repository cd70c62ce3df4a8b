// registrar_test.cpp - registration tables, registrar scripts and type libraries.
#include "platform/com/registrar.h"
#include "platform/com/tests/temp_registry.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::RegistrarReplacements;

bool KeyExists(const std::wstring& path, HKEY root = HKEY_CLASSES_ROOT) {
  platform::RegKey key;
  return RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS;
}

std::wstring ReadText(const std::wstring& path, const std::wstring& name = L"", HKEY root = HKEY_CLASSES_ROOT) {
  platform::RegKey key;
  std::wstring value = L"<missing>";
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.put()) == ERROR_SUCCESS)
    platform::RegReadString(key.get(), name, value);
  return value;
}

void WriteText(const std::wstring& path, const std::wstring& name, const std::wstring& value) {
  platform::RegKey key;
  ASSERT_EQ(RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.put(), nullptr),
            ERROR_SUCCESS);
  ASSERT_EQ(platform::RegWriteString(key.get(), name, value), ERROR_SUCCESS);
}

const wchar_t kServerScript[] = LR"(
HKCR
{
  NoRemove CLSID
  {
    ForceRemove {11111111-2222-3333-4444-555555555555} = s 'Test Server'
    {
      InprocServer32 = s '%MODULE%'
      {
        val ThreadingModel = s 'Both'
      }
      val Flags = d '17'
      'Quoted Key' = s 'it''s'
    }
  }
  Vantrel.Test = s 'Test Server'
  {
    CLSID = s '{11111111-2222-3333-4444-555555555555}'
  }
  Delete Vantrel.Obsolete
}
)";

const std::wstring kClass = L"CLSID\\{11111111-2222-3333-4444-555555555555}";

TEST(Registrar, RegisterScriptWritesKeysAndValues) {
  RegistrarReplacements repl{{L"MODULE", L"/opt/vantrel/libtest.so"}};
  WriteText(L"Vantrel.Obsolete\\Sub", L"", L"old");
  ASSERT_EQ(platform::RegisterServerFromRgs(kServerScript, repl), S_OK);
  EXPECT_EQ(ReadText(kClass), L"Test Server");
  EXPECT_EQ(ReadText(kClass + L"\\InprocServer32"), L"/opt/vantrel/libtest.so");
  EXPECT_EQ(ReadText(kClass + L"\\InprocServer32", L"ThreadingModel"), L"Both");
  EXPECT_EQ(ReadText(kClass + L"\\Quoted Key"), L"it's");
  platform::RegKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, kClass.c_str(), 0, KEY_READ, key.put()), ERROR_SUCCESS);
  DWORD flags = 0;
  ASSERT_EQ(platform::RegReadDword(key.get(), L"Flags", flags), ERROR_SUCCESS);
  EXPECT_EQ(flags, 17u);
  EXPECT_EQ(ReadText(L"Vantrel.Test\\CLSID"), L"{11111111-2222-3333-4444-555555555555}");
  EXPECT_FALSE(KeyExists(L"Vantrel.Obsolete"));  // Delete removes it on register

  // Registering twice changes nothing and fails nothing.
  ASSERT_EQ(platform::RegisterServerFromRgs(kServerScript, repl), S_OK);
  EXPECT_EQ(ReadText(kClass + L"\\InprocServer32"), L"/opt/vantrel/libtest.so");

  ASSERT_EQ(platform::UnregisterServerFromRgs(kServerScript, repl), S_OK);
  EXPECT_FALSE(KeyExists(kClass));
  EXPECT_FALSE(KeyExists(L"Vantrel.Test"));
  EXPECT_TRUE(KeyExists(L"CLSID"));  // NoRemove
  // Unregistering again is no error.
  EXPECT_EQ(platform::UnregisterServerFromRgs(kServerScript, repl), S_OK);
}

TEST(Registrar, ForceRemoveWipesStaleSubkeys) {
  WriteText(kClass + L"\\Stale", L"", L"left over");
  RegistrarReplacements repl{{L"MODULE", L"/lib/x.so"}};
  ASSERT_EQ(platform::RegisterServerFromRgs(kServerScript, repl), S_OK);
  EXPECT_FALSE(KeyExists(kClass + L"\\Stale"));
  EXPECT_TRUE(KeyExists(kClass + L"\\InprocServer32"));
  ASSERT_EQ(platform::UnregisterServerFromRgs(kServerScript, repl), S_OK);
}

TEST(Registrar, SharedParentKeptWhileSiblingRemains) {
  const wchar_t script[] = LR"(
HKCR
{
  Vantrel.Shared
  {
    Mine = s 'a'
    {
      val Extra = s 'b'
    }
  }
  NoRemove Vantrel.Kept
  {
    Child = s 'c'
  }
})";
  WriteText(L"Vantrel.Shared\\Theirs", L"", L"other server");
  ASSERT_EQ(platform::RegisterServerFromRgs(script), S_OK);
  EXPECT_EQ(ReadText(L"Vantrel.Shared\\Mine", L"Extra"), L"b");
  ASSERT_EQ(platform::UnregisterServerFromRgs(script), S_OK);
  EXPECT_FALSE(KeyExists(L"Vantrel.Shared\\Mine"));
  EXPECT_TRUE(KeyExists(L"Vantrel.Shared\\Theirs"));
  EXPECT_TRUE(KeyExists(L"Vantrel.Shared"));
  EXPECT_FALSE(KeyExists(L"Vantrel.Kept\\Child"));
  EXPECT_TRUE(KeyExists(L"Vantrel.Kept"));

  // Once the sibling is gone the parent goes with the table's keys.
  ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, L"Vantrel.Shared\\Theirs"), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegisterServerFromRgs(script), S_OK);
  ASSERT_EQ(platform::UnregisterServerFromRgs(script), S_OK);
  EXPECT_FALSE(KeyExists(L"Vantrel.Shared"));
}

TEST(Registrar, KeyWithForeignValueIsKept) {
  const wchar_t script[] = L"HKCR { Vantrel.Valued = s 'mine' { val Own = s '1' } }";
  ASSERT_EQ(platform::RegisterServerFromRgs(script), S_OK);
  WriteText(L"Vantrel.Valued", L"Foreign", L"x");
  ASSERT_EQ(platform::UnregisterServerFromRgs(script), S_OK);
  EXPECT_TRUE(KeyExists(L"Vantrel.Valued"));
  EXPECT_EQ(ReadText(L"Vantrel.Valued", L"Own"), L"<missing>");
  EXPECT_EQ(ReadText(L"Vantrel.Valued", L"Foreign"), L"x");
}

TEST(Registrar, PerUserGoesUnderCurrentUserClasses) {
  const wchar_t script[] = L"HKCR { Vantrel.PerUser = s 'u' }";
  platform::RegistrarOptions options;
  options.perUser = true;
  ASSERT_EQ(platform::RegisterServerFromRgs(script, {}, options), S_OK);
  EXPECT_EQ(ReadText(L"Software\\Classes\\Vantrel.PerUser", L"", HKEY_CURRENT_USER), L"u");
  EXPECT_FALSE(KeyExists(L"Vantrel.PerUser"));
  ASSERT_EQ(platform::UnregisterServerFromRgs(script, {}, options), S_OK);
  EXPECT_FALSE(KeyExists(L"Software\\Classes\\Vantrel.PerUser", HKEY_CURRENT_USER));
}

TEST(Registrar, MalformedScripts) {
  const struct {
    const char* name;
    const wchar_t* text;
  } cases[] = {
      {"unknown root", L"HKXX { A }"},
      {"missing brace", L"HKCR { A = s 'x' "},
      {"unterminated quote", L"HKCR { A = s 'x }"},
      {"unknown type", L"HKCR { A = q 'x' }"},
      {"bad dword", L"HKCR { val A = d 'twelve' }"},
      {"unknown replacement", L"HKCR { A = s '%NOPE%' }"},
      {"val without equals", L"HKCR { A { val X s 'y' } }"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<platform::RegistrarKey> table;
    std::wstring error;
    EXPECT_EQ(platform::ParseRgs(c.text, {}, table, &error), E_INVALIDARG);
    EXPECT_FALSE(error.empty());
  }
  std::vector<platform::RegistrarKey> table;
  ASSERT_EQ(platform::ParseRgs(L"HKLM { A = s '100%% sure' { val B = b '0aFF' } }", {}, table), S_OK);
  ASSERT_EQ(table.size(), 1u);
  ASSERT_EQ(table[0].subkeys.size(), 1u);
  EXPECT_EQ(table[0].subkeys[0].values[0].text, L"100% sure");
  EXPECT_EQ(table[0].subkeys[0].values[1].bytes, (std::vector<BYTE>{0x0A, 0xFF}));
}

TEST(Registrar, TypeLibraryKeys) {
  platform::TypeLibRegistration lib;
  lib.libid = platform::GuidFromString(L"{AAAAAAAA-0000-0000-0000-000000000001}");
  lib.majorVersion = 1;
  lib.minorVersion = 10;
  lib.name = L"Test 1.0 Type Library";
  lib.path = L"/opt/vantrel/libtest.so";
  lib.helpDir = L"/opt/vantrel";
  lib.interfaces.push_back({platform::GuidFromString(L"{BBBBBBBB-0000-0000-0000-000000000002}"), L"ITest"});
  const std::wstring ver = L"TypeLib\\{AAAAAAAA-0000-0000-0000-000000000001}\\1.a";
  const std::wstring itf = L"Interface\\{BBBBBBBB-0000-0000-0000-000000000002}";
  // A second version of the library keeps the LIBID key on unregister.
  WriteText(L"TypeLib\\{AAAAAAAA-0000-0000-0000-000000000001}\\2.0", L"", L"other");

  ASSERT_EQ(platform::RegisterTypeLibrary(lib), S_OK);
  EXPECT_EQ(ReadText(ver), L"Test 1.0 Type Library");
  EXPECT_EQ(ReadText(ver + L"\\0\\win64"), L"/opt/vantrel/libtest.so");
  EXPECT_EQ(ReadText(ver + L"\\FLAGS"), L"0");
  EXPECT_EQ(ReadText(ver + L"\\HELPDIR"), L"/opt/vantrel");
  EXPECT_EQ(ReadText(itf), L"ITest");
  EXPECT_EQ(ReadText(itf + L"\\ProxyStubClsid32"), L"{00020424-0000-0000-C000-000000000046}");
  EXPECT_EQ(ReadText(itf + L"\\TypeLib"), L"{AAAAAAAA-0000-0000-0000-000000000001}");
  EXPECT_EQ(ReadText(itf + L"\\TypeLib", L"Version"), L"1.a");

  ASSERT_EQ(platform::UnregisterTypeLibrary(lib), S_OK);
  EXPECT_FALSE(KeyExists(ver));
  EXPECT_FALSE(KeyExists(itf));
  EXPECT_TRUE(KeyExists(L"TypeLib\\{AAAAAAAA-0000-0000-0000-000000000001}\\2.0"));
  EXPECT_TRUE(KeyExists(L"Interface"));
  ASSERT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, L"TypeLib\\{AAAAAAAA-0000-0000-0000-000000000001}\\2.0"), ERROR_SUCCESS);
  ASSERT_EQ(platform::RegisterTypeLibrary(lib), S_OK);
  ASSERT_EQ(platform::UnregisterTypeLibrary(lib), S_OK);
  EXPECT_FALSE(KeyExists(L"TypeLib\\{AAAAAAAA-0000-0000-0000-000000000001}"));
}

TEST(Registrar, ModulePathOfThisProgram) {
  std::wstring path = platform::ModulePathOf(reinterpret_cast<const void*>(&KeyExists));
  EXPECT_FALSE(path.empty());
  EXPECT_EQ(path[0], L'/');
}

}  // namespace
