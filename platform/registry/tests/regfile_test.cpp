// regfile_test.cpp - the .reg format: what import reads, export round trips,
// and malformed files refused with their line and nothing written.
#include "platform/base/text.h"
#include "platform/registry/registry.h"
#include "platform/registry/tests/test_env.h"
#include "platform/registry/tool/reg_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

using platform::RegKey;

namespace {

std::string Raw(HKEY root, const wchar_t* path, const wchar_t* name, DWORD* type = nullptr) {
  RegKey k;
  if (RegOpenKeyExW(root, path, 0, KEY_READ, k.put()) != ERROR_SUCCESS) return "<no key>";
  DWORD size = 0;
  if (RegQueryValueExW(k.get(), name, nullptr, type, nullptr, &size) != ERROR_SUCCESS) return "<no value>";
  std::string b(size, '\0');
  RegQueryValueExW(k.get(), name, nullptr, type, reinterpret_cast<BYTE*>(b.data()), &size);
  return b;
}

bool KeyExists(const wchar_t* path) {
  RegKey k;
  return RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, KEY_READ, k.put()) == ERROR_SUCCESS;
}

LSTATUS Import(const std::string& bytes) {
  std::vector<vnreg::RegOp> ops;
  vnreg::ParseError error;
  if (!vnreg::ParseRegFile(bytes, ops, error)) return ERROR_BAD_FORMAT;
  return vnreg::ApplyRegOps(ops);
}

std::string Utf16File(const std::wstring& text) { return "\xFF\xFE" + platform::Utf16leFromWide(text); }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TEST(RegFileImport, ReadsEveryForm) {
  const std::string text =
      "Windows Registry Editor Version 5.00\r\n"
      "\r\n"
      "; a comment\r\n"
      "[HKEY_CURRENT_USER\\Software\\Forms]\r\n"
      "@=\"default\"\r\n"
      "\"quoted \\\"name\\\"\"=\"C:\\\\dir\\\\\"\r\n"
      "\"dw\"=dword:0000000a\r\n"
      "\"short dw\"=dword:ff\r\n"
      "\"bin\"=hex:de,ad,\\\r\n"
      "  be,ef\r\n"
      "\"empty bin\"=hex:\r\n"
      "\"exp\"=hex(2):25,00,41,00,25,00,00,00\r\n"
      "\"multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\r\n"
      "\"qw\"=hex(b):01,00,00,00,00,00,00,00\r\n"
      "\"odd\"=hex(1234):07\r\n"
      "\"gone\"=\"x\"\r\n"
      "\"gone\"=-\r\n"
      "\r\n"
      "[HKCU\\Software\\Forms\\Doomed\\Inner]\r\n"
      "[-HKCU\\Software\\Forms\\Doomed]\r\n"
      "[hkcr\\.ext]\r\n"
      "@=\"ext file\"\r\n";
  struct Encoding {
    const char* name;
    std::string bytes;
  } encodings[] = {
      {"utf-8", text},
      {"utf-8 with bom", "\xEF\xBB\xBF" + text},
      {"utf-16le with bom", Utf16File(platform::WideFromUtf8(text))},
      {"lf line ends", [&] {
         std::string lf;
         for (char c : text)
           if (c != '\r') lf.push_back(c);
         return lf;
       }()},
  };
  const wchar_t* forms = L"Software\\Forms";
  for (const Encoding& e : encodings) {
    SCOPED_TRACE(e.name);
    RegDeleteTreeW(HKEY_CURRENT_USER, forms);
    ASSERT_EQ(Import(e.bytes), ERROR_SUCCESS);
    DWORD type = 0;
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, forms, L"", &type), platform::RegStringBytes(L"default"));
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, forms, L"quoted \"name\""), platform::RegStringBytes(L"C:\\dir\\"));
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, forms, L"dw", &type), std::string("\x0a\0\0\0", 4));
    EXPECT_EQ(type, REG_DWORD);
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, forms, L"short dw"), std::string("\xff\0\0\0", 4));
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, forms, L"bin", &type), "\xde\xad\xbe\xef");
    EXPECT_EQ(type, REG_BINARY);
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, forms, L"empty bin"), "");
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, forms, L"exp", &type), platform::RegStringBytes(L"%A%"));
    EXPECT_EQ(type, REG_EXPAND_SZ);
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, forms, L"multi", &type), std::string("a\0\0\0b\0\0\0\0\0", 10));
    EXPECT_EQ(type, REG_MULTI_SZ);
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, forms, L"qw", &type), std::string("\1\0\0\0\0\0\0\0", 8));
    EXPECT_EQ(type, REG_QWORD);
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, forms, L"odd", &type), "\x07");
    EXPECT_EQ(type, 0x1234u);
    EXPECT_EQ(Raw(HKEY_CURRENT_USER, forms, L"gone"), "<no value>");
    EXPECT_FALSE(KeyExists(L"Software\\Forms\\Doomed"));
    EXPECT_EQ(Raw(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.ext", L""), platform::RegStringBytes(L"ext file"));
  }
}

TEST(RegFileImport, MalformedFilesAreRefusedWithTheirLineAndWriteNothing) {
  const std::string head = "Windows Registry Editor Version 5.00\n\n[HKEY_CURRENT_USER\\Software\\Bad]\n\"ok\"=\"1\"\n";
  struct Case {
    const char* what;
    std::string text;
    int line;
  } cases[] = {
      {"no header", "[HKEY_CURRENT_USER\\Software\\Bad]\n", 1},
      {"REGEDIT4 header", "REGEDIT4\n\n[HKEY_CURRENT_USER\\Software\\Bad]\n", 1},
      {"unknown root", head + "[HKEY_NOWHERE\\x]\n", 5},
      {"unclosed key", head + "[HKEY_CURRENT_USER\\Software\\Bad\n", 5},
      {"value before any key", "Windows Registry Editor Version 5.00\n\"a\"=\"b\"\n", 2},
      {"value after a deleted key", head + "[-HKCU\\Software\\Gone]\n\"a\"=\"b\"\n", 6},
      {"unclosed string", head + "\"a\"=\"b\n", 5},
      {"unclosed name", head + "\"a=\"b\"\n", 5},
      {"bad escape", head + "\"a\"=\"\\n\"\n", 5},
      {"missing =", head + "\"a\" \"b\"\n", 5},
      {"text after string", head + "\"a\"=\"b\" c\n", 5},
      {"dword too long", head + "\"a\"=dword:123456789\n", 5},
      {"dword not hex", head + "\"a\"=dword:xyz\n", 5},
      {"bad hex byte", head + "\"a\"=hex:01,zz\n", 5},
      {"bad hex byte on a continuation line", head + "\"a\"=hex:01,02,\\\n  03,0g\n", 6},
      {"trailing comma", head + "\"a\"=hex:01,\n", 5},
      {"bad hex type", head + "\"a\"=hex(q):01\n", 5},
      {"unknown data", head + "\"a\"=word:1\n", 5},
      {"stray text", head + "garbage\n", 5},
      {"continuation into an empty line", head + "\"a\"=hex:01,\\\n", 6},
      {"continuation at end of file", head + "\"a\"=hex:01,\\", 5},
      {"invalid utf-8", head + "\"a\"=\"\xC3\x28\"\n", 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<vnreg::RegOp> ops;
    vnreg::ParseError error;
    EXPECT_FALSE(vnreg::ParseRegFile(c.text, ops, error));
    EXPECT_EQ(error.line, c.line);
    EXPECT_FALSE(error.reason.empty());
    EXPECT_TRUE(ops.empty());
  }
  // Through the tool: file name, line and reason on stderr, exit code 1, and
  // the valid lines before the fault were not applied.
  std::string file = registry_test::TempDir() + "/bad.reg";
  std::ofstream(file, std::ios::binary) << head << "\"a\"=hex:01,zz\n";
  std::string errFile = registry_test::TempDir() + "/stderr.txt";
  int rc = std::system((std::string(VNREG_PATH) + " import '" + file + "' 2>'" + errFile + "'").c_str());
  EXPECT_EQ(WEXITSTATUS(rc), 1);
  EXPECT_NE(ReadFile(errFile).find(file + ":5: "), std::string::npos) << ReadFile(errFile);
  EXPECT_FALSE(KeyExists(L"Software\\Bad"));
}

TEST(RegFileImport, FailureWhileApplyingRollsBackEverything) {
  // A parsable file whose second key cannot be created (a name too long).
  std::string text = "Windows Registry Editor Version 5.00\n[HKCU\\Software\\Partial]\n\"v\"=dword:1\n[HKCU\\Software\\" +
                     std::string(300, 'x') + "]\n";
  EXPECT_NE(Import(text), ERROR_SUCCESS);
  EXPECT_FALSE(KeyExists(L"Software\\Partial"));
}

TEST(RegFileExport, RoundTripIsIdentical) {
  RegKey k;
  ASSERT_EQ(RegCreateKeyW(HKEY_CURRENT_USER, L"Software\\Trip", k.put()), ERROR_SUCCESS);
  auto set = [&](HKEY key, const wchar_t* name, DWORD type, const std::string& b) {
    ASSERT_EQ(RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(b.data()), static_cast<DWORD>(b.size())),
              ERROR_SUCCESS);
  };
  set(k.get(), L"", REG_SZ, platform::RegStringBytes(L"default"));
  set(k.get(), L"text \"quoted\" \\ back", REG_SZ, platform::RegStringBytes(L"va\"l\\ue \u00e9\U0001F600"));
  set(k.get(), L"empty", REG_SZ, platform::RegStringBytes(L""));
  set(k.get(), L"two lines", REG_SZ, platform::RegStringBytes(L"a\r\nb"));
  set(k.get(), L"odd sz", REG_SZ, std::string("a\0b", 3));
  set(k.get(), L"unterminated", REG_SZ, std::string("a\0", 2));
  set(k.get(), L"embedded nul", REG_SZ, std::string("a\0\0\0b\0\0\0", 8));
  set(k.get(), L"dword", REG_DWORD, std::string("\x0a\0\0\x80", 4));
  set(k.get(), L"3-byte dword", REG_DWORD, std::string("\1\2\3", 3));
  set(k.get(), L"qword", REG_QWORD, std::string("\1\2\3\4\5\6\7\x08", 8));
  set(k.get(), L"expand", REG_EXPAND_SZ, platform::RegStringBytes(L"%HOME%\\x"));
  set(k.get(), L"multi", REG_MULTI_SZ, std::string("a\0\0\0b\0\0\0\0\0", 10));
  set(k.get(), L"none", REG_NONE, std::string());
  std::string big;
  for (int i = 0; i < 300; ++i) big.push_back(static_cast<char>(i));
  set(k.get(), L"long binary", REG_BINARY, big);
  RegKey sub;
  ASSERT_EQ(RegCreateKeyW(k.get(), L"Sub\\Deeper", sub.put()), ERROR_SUCCESS);
  set(sub.get(), L"inner", REG_DWORD, std::string("\1\0\0\0", 4));
  RegKey other;
  ASSERT_EQ(RegCreateKeyW(k.get(), L"another", other.put()), ERROR_SUCCESS);

  std::string first;
  ASSERT_EQ(vnreg::ExportRegFile(L"HKCU\\Software\\Trip", first), ERROR_SUCCESS);
  std::wstring text = platform::WideFromUtf16le(first.data() + 2, first.size() - 2);
  EXPECT_EQ(first.substr(0, 2), "\xFF\xFE");
  EXPECT_TRUE(text.starts_with(L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Trip]\r\n"));
  EXPECT_NE(text.find(L"\r\n\"dword\"=dword:8000000a\r\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"\r\n\"3-byte dword\"=hex(4):01,02,03\r\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"\r\n\"odd sz\"=hex(1):61,00,62\r\n"), std::wstring::npos);
  EXPECT_NE(text.find(L"\r\n@=\"default\"\r\n"), std::wstring::npos);
  // Subkeys follow in sorted order.
  EXPECT_LT(text.find(L"[HKEY_CURRENT_USER\\Software\\Trip\\another]"),
            text.find(L"[HKEY_CURRENT_USER\\Software\\Trip\\Sub]"));
  for (std::size_t pos = 0; (pos = text.find(L"\r\n", pos)) != std::wstring::npos; pos += 2) {
    std::size_t next = text.find(L"\r\n", pos + 2);
    if (next != std::wstring::npos) {
      EXPECT_LE(next - pos - 2, 80u) << "line longer than 80 columns";
    }
  }

  ASSERT_EQ(RegDeleteTreeW(HKEY_CURRENT_USER, L"Software\\Trip"), ERROR_SUCCESS);
  ASSERT_EQ(Import(first), ERROR_SUCCESS);
  std::string second;
  ASSERT_EQ(vnreg::ExportRegFile(L"HKCU\\Software\\Trip", second), ERROR_SUCCESS);
  EXPECT_EQ(first, second);
  EXPECT_EQ(Raw(HKEY_CURRENT_USER, L"Software\\Trip", L"odd sz"), std::string("a\0b", 3));
  EXPECT_EQ(Raw(HKEY_CURRENT_USER, L"Software\\Trip", L"long binary"), big);

  // And through the tool, which refuses to overwrite without /y.
  std::string file = registry_test::TempDir() + "/trip.reg";
  std::string tool = std::string(VNREG_PATH) + " ";
  ASSERT_EQ(std::system((tool + "export HKCU\\\\Software\\\\Trip '" + file + "' >/dev/null").c_str()), 0);
  EXPECT_EQ(ReadFile(file), first);
  EXPECT_NE(std::system((tool + "export HKCU\\\\Software\\\\Trip '" + file + "' >/dev/null 2>&1").c_str()), 0);
  EXPECT_EQ(std::system((tool + "export HKCU\\\\Software\\\\Trip '" + file + "' /y >/dev/null").c_str()), 0);
}

namespace {

// Runs `vnreg import FILE` on bytes written to a file of their own; the exit
// code, and stderr in error.
int ImportThroughTool(const std::string& name, const std::string& bytes, std::string& file, std::string& error) {
  file = registry_test::TempDir() + "/" + name + ".reg";
  std::ofstream(file, std::ios::binary) << bytes;
  const std::string errFile = file + ".stderr";
  const int rc = std::system((std::string(VNREG_PATH) + " import '" + file + "' >/dev/null 2>'" + errFile + "'").c_str());
  error = ReadFile(errFile);
  return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string Levels(int count) {
  std::string path;
  for (int i = 0; i < count; ++i) path += "\\l";
  return path;
}

}  // namespace

// Hostile files from outside: each is refused by the tool with its file and
// line, and the registry is left as it was (the hives and HKCR included).
TEST(RegFileImport, HostileFilesAreRefusedWithFileAndLine) {
  const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n[HKEY_CURRENT_USER\\Software\\Hostile]\r\n";
  const std::wstring wideHead = platform::WideFromUtf8(head);
  auto utf16WithUnit = [&](char16_t unit) {
    std::string b = Utf16File(wideHead + L"\"v\"=\"a");
    b.push_back(static_cast<char>(unit & 0xFF));
    b.push_back(static_cast<char>(unit >> 8));
    return b + platform::Utf16leFromWide(L"b\"\r\n");
  };
  struct Case {
    const char* name;
    std::string bytes;
    int line;
  } cases[] = {
      {"delete_hklm", head + "[-HKEY_LOCAL_MACHINE]\r\n", 4},
      {"delete_hkcu", head + "[-HKEY_CURRENT_USER]\r\n", 4},
      {"delete_hkcu_trailing_backslash", head + "[-HKCU\\]\r\n", 4},
      {"delete_hkcr", head + "[-HKEY_CLASSES_ROOT]\r\n", 4},
      {"delete_hklm_software", head + "[-HKLM\\Software]\r\n", 4},
      {"delete_hklm_classes", head + "[-HKLM\\SOFTWARE\\classes]\r\n", 4},
      {"nul_in_value_name", head + std::string("\"a\0bcd\"=\"x\"\r\n", 13), 4},
      {"nul_in_key_name", head + std::string("[HKCU\\Software\\k\0ey]\r\n", 22), 4},
      {"lone_high_surrogate_utf16", utf16WithUnit(0xD800), 4},
      {"lone_low_surrogate_utf16", utf16WithUnit(0xDC00), 4},
      {"odd_byte_utf16", Utf16File(wideHead + L"\"v\"=\"x\"\r\n") + "x", 5},
      {"invalid_utf8", head + "\"v\"=\"\xED\xA0\x80\"\r\n", 4},
      {"key_name_too_long", head + "[HKCU\\Software\\" + std::string(256, 'k') + "]\r\n", 4},
      {"value_name_too_long", head + "\"" + std::string(16384, 'v') + "\"=\"x\"\r\n", 4},
      {"empty_name_inside_path", head + "[HKLM\\\\x]\r\n", 4},
      {"empty_name_in_the_middle", head + "[HKCU\\Software\\\\x]\r\n", 4},
      {"too_deep", head + "[HKCU" + Levels(513) + "]\r\n", 4},
      {"too_deep_below_hkcr", head + "[HKCR" + Levels(511) + "]\r\n", 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string file, error;
    EXPECT_EQ(ImportThroughTool(c.name, c.bytes, file, error), 1);
    EXPECT_NE(error.find(file + ":" + std::to_string(c.line) + ": "), std::string::npos) << error;
    EXPECT_FALSE(KeyExists(L"Software\\Hostile"));
  }
  // The hives and HKCR are whole: HKCR's key is still HKLM\Software\Classes.
  RegKey classes;
  ASSERT_EQ(RegCreateKeyW(HKEY_CLASSES_ROOT, L".hostile", classes.put()), ERROR_SUCCESS);
  RegKey viaHklm;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.hostile", 0, KEY_READ, viaHklm.put()),
            ERROR_SUCCESS);
}

TEST(RegFileImport, TheDeepestKeyAllowedAndTheLimitsOfNamesAreAccepted) {
  const std::string head = "Windows Registry Editor Version 5.00\r\n\r\n";
  const std::string text = head + "[HKCU" + Levels(512) + "]\r\n\"" + std::string(16383, 'v') + "\"=\"x\"\r\n" +
                           "[HKCU\\Software\\Edge\\" + std::string(255, 'k') + "]\r\n[-HKCU\\Software\\Gone]\r\n";
  std::string file, error;
  EXPECT_EQ(ImportThroughTool("limits", text, file, error), 0) << error;
  EXPECT_TRUE(KeyExists((L"Software\\Edge\\" + std::wstring(255, L'k')).c_str()));
}

// Deleting a hive or the keys holding HKCR through the API is refused too,
// and leaves everything in place.
TEST(RegFileImport, HivesCannotBeDeletedThroughTheApi) {
  RegKey k;
  ASSERT_EQ(RegCreateKeyW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\.kept", k.put()), ERROR_SUCCESS);
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, L"Software"), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeW(HKEY_LOCAL_MACHINE, nullptr), ERROR_ACCESS_DENIED);
  EXPECT_EQ(RegDeleteTreeW(HKEY_CLASSES_ROOT, nullptr), ERROR_SUCCESS);  // emptying HKCR keeps its key
  RegKey classes;
  EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes", 0, KEY_READ, classes.put()), ERROR_SUCCESS);
}

// A missing key usually means the tool looked in another registry file than
// the one meant (VANTREL_REGISTRY unset or wrong): the message names the file.
TEST(RegTool, AMissingKeyNamesTheRegistryFile) {
  const std::string errFile = registry_test::TempDir() + "/missing.stderr";
  for (const char* words : {"query 'HKLM\\Software\\NoSuchKey'", "delete 'HKLM\\Software\\NoSuchKey' /f",
                            "query 'HKCU\\Software' /v NoSuchValue"}) {
    const int rc = std::system((std::string(VNREG_PATH) + " " + words + " >/dev/null 2>'" + errFile + "'").c_str());
    EXPECT_EQ(WIFEXITED(rc) ? WEXITSTATUS(rc) : -1, 1) << words;
    const std::string error = ReadFile(errFile);
    EXPECT_NE(error.find("unable to find the specified registry key"), std::string::npos) << words << error;
    EXPECT_NE(error.find("(registry " + platform::RegistryFileName() + ";"), std::string::npos) << words << error;
  }
}
