// vnreg.cpp - the registry command-line tool.
//
//   vnreg query KEY [/v NAME | /ve] [/s]
//   vnreg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/s SEPARATOR] [/f]
//   vnreg delete KEY [/v NAME | /ve | /va] [/f]
//   vnreg import FILE
//   vnreg export KEY FILE [/y]
//
// KEY starts with HKLM, HKCU or HKCR (or their long names). Errors go to
// stderr with exit code 1. The tool never prompts: add refuses to overwrite
// an existing value without /f, export an existing file without /y; delete
// proceeds with or without /f.
#include "platform/base/bytes.h"
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/registry/registry.h"
#include "platform/registry/store.h"
#include "platform/registry/tool/reg_file.h"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Options {
  std::vector<std::wstring> positional;
  bool hasName = false, defaultValue = false, allValues = false, recurse = false, force = false;
  std::wstring name, type = L"REG_SZ", data, separator = L"\\0";
  bool hasData = false;
};

int Fail(const std::string& message) {
  std::cerr << "ERROR: " << message << "\n";
  return 1;
}

// A missing key or value: also say which registry file was looked in.
constexpr char kNotFound[] = "The system was unable to find the specified registry key or value.";
std::string NotFoundNote() {
  return "(registry " + platform::RegistryFileName() + "; VANTREL_REGISTRY names another)";
}
int FailNotFound() { return Fail(kNotFound + ("\n" + NotFoundNote())); }

std::string Utf8(const std::wstring& s) { return platform::Utf8FromWide(s); }

std::string Describe(LSTATUS st) {
  std::string text = Utf8(platform::SystemMessageText(st));
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text.empty() ? "error " + std::to_string(st) : text;
}

bool ParseOptions(int argc, char** argv, Options& o, std::string& error) {
  for (int i = 2; i < argc; ++i) {
    std::wstring a = platform::WideFromUtf8(argv[i]);
    // Only the known switches: a path such as /tmp/x.reg is an argument.
    std::wstring sw = a.size() >= 2 && (a[0] == L'/' || a[0] == L'-') ? platform::ToLower(a.substr(1)) : L"";
    static const wchar_t* const kSwitches[] = {L"v", L"ve", L"va", L"t", L"d", L"s", L"f", L"y"};
    if (std::find(std::begin(kSwitches), std::end(kSwitches), sw) == std::end(kSwitches)) {
      o.positional.push_back(a);
      continue;
    }
    auto next = [&](std::wstring& out) {
      if (i + 1 >= argc) {
        error = "missing argument after " + Utf8(a);
        return false;
      }
      out = platform::WideFromUtf8(argv[++i]);
      return true;
    };
    if (sw == L"v") {
      o.hasName = true;
      if (!next(o.name)) return false;
    } else if (sw == L"ve") {
      o.defaultValue = true;
    } else if (sw == L"va") {
      o.allValues = true;
    } else if (sw == L"t") {
      if (!next(o.type)) return false;
    } else if (sw == L"d") {
      o.hasData = true;
      if (!next(o.data)) return false;
    } else if (sw == L"s" && std::string(argv[1]) == "add") {
      if (!next(o.separator)) return false;
    } else if (sw == L"s") {
      o.recurse = true;
    } else if (sw == L"f" || sw == L"y") {
      o.force = true;
    }
  }
  return true;
}

bool OpenKey(const std::wstring& path, REGSAM access, platform::RegKey& key, std::wstring* canonical, bool create,
             std::string& error) {
  HKEY root;
  std::wstring sub, longRoot;
  if (!vnreg::SplitRootPath(path, root, sub, &longRoot)) {
    error = "Invalid key name: " + Utf8(path);
    return false;
  }
  while (!sub.empty() && sub.back() == L'\\') sub.pop_back();
  LSTATUS st = create ? RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, access, nullptr, key.put(), nullptr)
                      : RegOpenKeyExW(root, sub.c_str(), 0, access, key.put());
  if (st != ERROR_SUCCESS) {
    error = st == ERROR_FILE_NOT_FOUND ? kNotFound + ("\n" + NotFoundNote()) : Describe(st);
    return false;
  }
  if (canonical != nullptr) *canonical = sub.empty() ? longRoot : longRoot + L"\\" + sub;
  return true;
}

// --- query ---

std::wstring TypeName(DWORD type) {
  switch (type) {
    case REG_NONE: return L"REG_NONE";
    case REG_SZ: return L"REG_SZ";
    case REG_EXPAND_SZ: return L"REG_EXPAND_SZ";
    case REG_BINARY: return L"REG_BINARY";
    case REG_DWORD: return L"REG_DWORD";
    case REG_DWORD_BIG_ENDIAN: return L"REG_DWORD_BIG_ENDIAN";
    case REG_LINK: return L"REG_LINK";
    case REG_MULTI_SZ: return L"REG_MULTI_SZ";
    case REG_QWORD: return L"REG_QWORD";
    default: return platform::FormatW(L"0x%x", type);
  }
}

bool TypeFromName(const std::wstring& name, DWORD& type) {
  for (DWORD t : {REG_NONE, REG_SZ, REG_EXPAND_SZ, REG_BINARY, REG_DWORD, REG_DWORD_BIG_ENDIAN, REG_LINK,
                  REG_MULTI_SZ, REG_QWORD}) {
    if (platform::EqualsNoCase(name, TypeName(t))) {
      type = t;
      return true;
    }
  }
  return false;
}

std::wstring DataText(DWORD type, const std::string& b) {
  if ((type == REG_SZ || type == REG_EXPAND_SZ) )
    return platform::RegStringFromBytes(reinterpret_cast<const BYTE*>(b.data()), static_cast<DWORD>(b.size()));
  if (type == REG_MULTI_SZ) {
    std::wstring all = platform::WideFromUtf16le(b.data(), b.size() & ~static_cast<std::size_t>(1));
    while (!all.empty() && all.back() == L'\0') all.pop_back();
    std::wstring shown;
    for (wchar_t c : all) shown += c == L'\0' ? std::wstring(L"\\0") : std::wstring(1, c);
    return shown;
  }
  if (type == REG_DWORD && b.size() == 4) return platform::FormatW(L"0x%x", platform::LoadLe32(b.data()));
  if (type == REG_QWORD && b.size() == 8) return platform::FormatW(L"0x%I64x", platform::LoadLe64(b.data()));
  return platform::HexEncodeW(b.data(), b.size());
}

void PrintValue(const std::wstring& name, DWORD type, const std::string& data) {
  std::cout << "    " << (name.empty() ? "(Default)" : Utf8(name)) << "    " << Utf8(TypeName(type)) << "    "
            << Utf8(DataText(type, data)) << "\n";
}

LSTATUS QueryKey(HKEY key, const std::wstring& path, bool recurse) {
  std::cout << "\n" << Utf8(path) << "\n";
  std::vector<vnreg::ValueEntry> values;
  LSTATUS st = vnreg::ReadValues(key, values);
  if (st != ERROR_SUCCESS) return st;
  for (const vnreg::ValueEntry& v : values) PrintValue(v.name, v.type, v.data);
  std::vector<std::wstring> children;
  if ((st = vnreg::ReadSubkeyNames(key, children)) != ERROR_SUCCESS) return st;
  if (!recurse) {
    if (!children.empty()) std::cout << "\n";
    for (const std::wstring& c : children) std::cout << Utf8(path + L"\\" + c) << "\n";
    return ERROR_SUCCESS;
  }
  for (const std::wstring& c : children) {
    platform::RegKey sub;
    if ((st = RegOpenKeyExW(key, c.c_str(), 0, KEY_READ, sub.put())) != ERROR_SUCCESS) return st;
    if ((st = QueryKey(sub.get(), path + L"\\" + c, true)) != ERROR_SUCCESS) return st;
  }
  return ERROR_SUCCESS;
}

int Query(const Options& o) {
  if (o.positional.size() != 1) return Fail("query needs one KEY");
  platform::RegKey key;
  std::wstring path;
  std::string error;
  if (!OpenKey(o.positional[0], KEY_READ, key, &path, false, error)) return Fail(error);
  if (o.hasName || o.defaultValue) {
    std::wstring name = o.defaultValue ? L"" : o.name;
    DWORD type = 0;
    std::string data;
    LSTATUS st = vnreg::ReadValue(key.get(), name, type, data);
    if (st == ERROR_FILE_NOT_FOUND) return FailNotFound();
    if (st != ERROR_SUCCESS) return Fail(Describe(st));
    std::cout << "\n" << Utf8(path) << "\n";
    PrintValue(name, type, data);
    return 0;
  }
  LSTATUS st = QueryKey(key.get(), path, o.recurse);
  return st == ERROR_SUCCESS ? 0 : Fail(Describe(st));
}

// --- add ---

bool EncodeData(DWORD type, const Options& o, std::string& out, std::string& error) {
  const std::wstring& d = o.data;
  auto number = [&](ULONGLONG max, ULONGLONG& v) {
    std::string s = Utf8(d.empty() ? L"0" : d);
    char* end = nullptr;
    errno = 0;
    v = std::strtoull(s.c_str(), &end, 0);
    if (s[0] == '-' || *end != '\0' || errno != 0 || v > max) {
      error = "Invalid number: " + s;
      return false;
    }
    return true;
  };
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      out = platform::RegStringBytes(d);
      return true;
    case REG_MULTI_SZ: {
      std::size_t start = 0;
      while (!d.empty()) {
        std::size_t end = d.find(o.separator, start);
        std::wstring part = d.substr(start, end == std::wstring::npos ? end : end - start);
        platform::AppendUtf16le(out, part);
        out.append(2, '\0');
        if (end == std::wstring::npos) break;
        start = end + o.separator.size();
      }
      out.append(2, '\0');
      return true;
    }
    case REG_DWORD:
    case REG_DWORD_BIG_ENDIAN:
    case REG_QWORD: {
      ULONGLONG v = 0;
      if (!number(type == REG_QWORD ? ~0ull : 0xFFFFFFFFull, v)) return false;
      if (type == REG_DWORD_BIG_ENDIAN)
        platform::AppendBe(out, v, 4);
      else
        platform::AppendLe(out, v, type == REG_QWORD ? 8 : 4);
      return true;
    }
    default: {
      // Binary kinds: a string of hex digits.
      if (d.size() % 2 != 0) {
        error = "Binary data needs an even number of hex digits";
        return false;
      }
      std::vector<BYTE> bytes;
      if (!platform::HexDecode(d, bytes)) {
        error = "Invalid hex data: " + Utf8(d);
        return false;
      }
      out.append(bytes.begin(), bytes.end());
      return true;
    }
  }
}

int Add(const Options& o) {
  if (o.positional.size() != 1) return Fail("add needs one KEY");
  platform::RegKey key;
  std::string error;
  if (!OpenKey(o.positional[0], KEY_ALL_ACCESS, key, nullptr, true, error)) return Fail(error);
  if (!o.hasName && !o.defaultValue) return 0;
  DWORD type = 0;
  if (!TypeFromName(o.type, type)) return Fail("Invalid type: " + Utf8(o.type));
  std::string bytes;
  if (!EncodeData(type, o, bytes, error)) return Fail(error);
  std::wstring name = o.defaultValue ? L"" : o.name;
  // The test and the write are one transaction, so a value another process
  // creates meanwhile is never overwritten without /f.
  LSTATUS st = platform::registry_detail::RunInTransaction([&]() -> LSTATUS {
    DWORD size = 0;
    if (!o.force && RegQueryValueExW(key.get(), name.c_str(), nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS)
      return ERROR_ALREADY_EXISTS;
    return RegSetValueExW(key.get(), name.c_str(), 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size()));
  });
  if (st == ERROR_ALREADY_EXISTS)
    return Fail("The value " + Utf8(name.empty() ? L"(Default)" : name) + " exists; use /f to overwrite it.");
  if (st != ERROR_SUCCESS) return Fail(Describe(st));
  std::cout << "The operation completed successfully.\n";
  return 0;
}

// --- delete ---

int Delete(const Options& o) {
  if (o.positional.size() != 1) return Fail("delete needs one KEY");
  HKEY root;
  std::wstring sub;
  bool wholeKey = !o.hasName && !o.defaultValue && !o.allValues;
  if (wholeKey && vnreg::SplitRootPath(o.positional[0], root, sub) && sub.find_first_not_of(L'\\') == std::wstring::npos)
    return Fail("A root key cannot be deleted.");
  platform::RegKey key;
  std::string error;
  if (!OpenKey(o.positional[0], KEY_ALL_ACCESS, key, nullptr, false, error)) return Fail(error);
  LSTATUS st = ERROR_SUCCESS;
  if (o.hasName || o.defaultValue) {
    st = RegDeleteValueW(key.get(), o.defaultValue ? L"" : o.name.c_str());
  } else if (o.allValues) {
    for (;;) {
      wchar_t name[16384];
      DWORD len = 16384;
      st = RegEnumValueW(key.get(), 0, name, &len, nullptr, nullptr, nullptr, nullptr);
      if (st == ERROR_NO_MORE_ITEMS) {
        st = ERROR_SUCCESS;
        break;
      }
      if (st == ERROR_SUCCESS) st = RegDeleteValueW(key.get(), name);
      if (st != ERROR_SUCCESS) break;
    }
  } else {
    st = RegDeleteTreeW(key.get(), nullptr);
    if (st == ERROR_SUCCESS) st = RegDeleteKeyW(key.get(), L"");
  }
  if (st == ERROR_FILE_NOT_FOUND) return FailNotFound();
  if (st != ERROR_SUCCESS) return Fail(Describe(st));
  std::cout << "The operation completed successfully.\n";
  return 0;
}

// --- import / export ---

int Import(const Options& o) {
  if (o.positional.size() != 1) return Fail("import needs one FILE");
  std::string file = Utf8(o.positional[0]);
  std::ifstream in(file, std::ios::binary);
  if (!in) return Fail("Cannot open " + file);
  std::stringstream buf;
  buf << in.rdbuf();
  std::vector<vnreg::RegOp> ops;
  vnreg::ParseError pe;
  if (!vnreg::ParseRegFile(buf.str(), ops, pe)) {
    std::cerr << file << ":" << pe.line << ": " << pe.reason << "\n";
    return 1;
  }
  int line = 0;
  LSTATUS st = vnreg::ApplyRegOps(ops, &line);
  if (st != ERROR_SUCCESS) {
    std::cerr << file << ":" << line << ": " << Describe(st) << "\n";
    return 1;
  }
  std::cout << "The operation completed successfully.\n";
  return 0;
}

int Export(const Options& o) {
  if (o.positional.size() != 2) return Fail("export needs KEY and FILE");
  std::string file = Utf8(o.positional[1]);
  if (!o.force && std::ifstream(file).good()) return Fail(file + " exists; use /y to overwrite it.");
  std::string bytes;
  LSTATUS st = vnreg::ExportRegFile(o.positional[0], bytes);
  if (st == ERROR_FILE_NOT_FOUND) return FailNotFound();
  if (st != ERROR_SUCCESS) return Fail(Describe(st));
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out.flush()) return Fail("Cannot write " + file);
  std::cout << "The operation completed successfully.\n";
  return 0;
}

int Usage() {
  std::cerr << "usage: vnreg query KEY [/v NAME | /ve] [/s]\n"
               "       vnreg add KEY [/v NAME | /ve] [/t TYPE] [/d DATA] [/s SEP] [/f]\n"
               "       vnreg delete KEY [/v NAME | /ve | /va] [/f]\n"
               "       vnreg import FILE\n"
               "       vnreg export KEY FILE [/y]\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage();
  std::string command = platform::Utf8FromWide(platform::ToLower(platform::WideFromUtf8(argv[1])));
  Options o;
  std::string error;
  if (!ParseOptions(argc, argv, o, error)) return Fail(error);
  if (command == "query") return Query(o);
  if (command == "add") return Add(o);
  if (command == "delete") return Delete(o);
  if (command == "import") return Import(o);
  if (command == "export") return Export(o);
  return Usage();
}
