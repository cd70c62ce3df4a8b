// reg_file.cpp - reading and writing ".reg" text.
//
// The parser works on logical lines: a hex list may continue over physical
// lines ending in '\', and each piece remembers its physical line so an
// error names the line that holds the fault. Export writes what the parser
// reads back byte for byte: strings that are not a clean terminated REG_SZ
// go out as hex(1) rather than lose their raw form.
#include "platform/registry/tool/reg_file.h"

#include "platform/base/bytes.h"
#include "platform/base/format.h"
#include "platform/base/text.h"
#include "platform/registry/store.h"

#include <algorithm>
#include <chrono>

namespace vnreg {
namespace {

constexpr wchar_t kHeader[] = L"Windows Registry Editor Version 5.00";

// A logical line and where each of its pieces came from.
struct Logical {
  std::wstring text;
  std::vector<std::pair<std::size_t, int>> pieces;  // (offset in text, physical line)
  int LineAt(std::size_t offset) const {
    int line = pieces.front().second;
    for (const auto& p : pieces)
      if (p.first <= offset) line = p.second;
    return line;
  }
};

std::wstring_view TrimLeft(std::wstring_view s) {
  while (!s.empty() && (s.front() == L' ' || s.front() == L'\t')) s.remove_prefix(1);
  return s;
}
std::wstring_view TrimRight(std::wstring_view s) {
  while (!s.empty() && (s.back() == L' ' || s.back() == L'\t' || s.back() == L'\r')) s.remove_suffix(1);
  return s;
}

class Parser {
 public:
  Parser(std::vector<RegOp>& ops, ParseError& error) : ops_(ops), error_(error) {}

  bool Run(const std::wstring& text) {
    std::vector<std::wstring> lines;
    for (std::size_t start = 0;;) {
      std::size_t end = text.find(L'\n', start);
      lines.emplace_back(TrimRight(std::wstring_view(text).substr(start, end == std::wstring::npos ? end : end - start)));
      if (end == std::wstring::npos) break;
      start = end + 1;
    }
    std::size_t i = 0;
    while (i < lines.size() && TrimLeft(lines[i]).empty()) ++i;
    if (i == lines.size() || TrimLeft(lines[i]) != kHeader)
      return Fail(static_cast<int>(i < lines.size() ? i + 1 : 1), "missing \"Windows Registry Editor Version 5.00\" header");
    for (++i; i < lines.size(); ++i) {
      std::wstring_view line = TrimLeft(lines[i]);
      int number = static_cast<int>(i + 1);
      if (line.empty() || line.front() == L';') continue;
      if (line.front() == L'[') {
        if (!KeyLine(line, number)) return false;
        continue;
      }
      if (line.front() != L'"' && line.front() != L'@') return Fail(number, "unexpected text");
      Logical l;
      l.text = line;
      l.pieces.emplace_back(0, number);
      // Continuations: a line ending in '\' goes on in the next one.
      while (!l.text.empty() && l.text.back() == L'\\' && IsHexEntry(l.text)) {
        l.text.pop_back();
        if (++i == lines.size()) return Fail(number, "continuation at end of file");
        number = static_cast<int>(i + 1);
        l.pieces.emplace_back(l.text.size(), number);
        l.text += TrimLeft(lines[i]);
      }
      if (!ValueLine(l)) return false;
    }
    return true;
  }

 private:
  bool Fail(int line, const std::string& reason) {
    error_.line = line;
    error_.reason = reason;
    return false;
  }

  // Whether a value line's data is a hex list (the only kind that may
  // continue): its name, then "=hex".
  static bool IsHexEntry(const std::wstring& text) {
    std::size_t eq = std::wstring::npos;
    if (text[0] == L'@') {
      eq = 1;
    } else {
      for (std::size_t k = 1; k < text.size(); ++k) {
        if (text[k] == L'\\') {
          ++k;
        } else if (text[k] == L'"') {
          eq = k + 1;
          break;
        }
      }
    }
    if (eq == std::wstring::npos) return false;
    std::wstring_view rest = TrimLeft(std::wstring_view(text).substr(eq));
    if (rest.empty() || rest.front() != L'=') return false;
    rest = TrimLeft(rest.substr(1));
    return rest.size() >= 3 && platform::EqualsNoCase(rest.substr(0, 3), L"hex");
  }

  bool KeyLine(std::wstring_view line, int number) {
    if (line.back() != L']') return Fail(number, "key name not closed by ']'");
    std::wstring_view inner = line.substr(1, line.size() - 2);
    bool remove = !inner.empty() && inner.front() == L'-';
    if (remove) inner.remove_prefix(1);
    HKEY root;
    std::wstring sub;
    if (!SplitRootPath(std::wstring(inner), root, sub)) return Fail(number, "unknown root key");
    if (!KeyPathIsSound(root, sub, remove, number)) return false;
    ops_.push_back(
        RegOp{remove ? RegOp::kDeleteTree : RegOp::kCreateKey, std::wstring(inner), L"", REG_NONE, {}, number});
    key_ = remove ? std::wstring() : std::wstring(inner);
    return true;
  }

  // The names below the root: none empty, none with a NUL, none too long,
  // not too many; and a removal never reaches a root, HKEY_CLASSES_ROOT or a
  // key above it.
  bool KeyPathIsSound(HKEY root, std::wstring_view sub, bool remove, int number) {
    if (!sub.empty() && sub.back() == L'\\') sub.remove_suffix(1);  // one trailing backslash, as the API allows
    std::vector<std::wstring_view> names;
    for (std::size_t start = 0; !sub.empty() && start <= sub.size();) {
      std::size_t end = std::min(sub.find(L'\\', start), sub.size());
      std::wstring_view name = sub.substr(start, end - start);
      if (name.empty()) return Fail(number, "empty key name in the path");
      if (name.find(L'\0') != std::wstring_view::npos) return Fail(number, "NUL in a key name");
      if (platform::Utf16Length(name) > platform::kRegMaxKeyNameChars)
        return Fail(number, "key name longer than 255 characters");
      names.push_back(name);
      start = end + 1;
    }
    const std::size_t classesDepth = 2;  // HKEY_CLASSES_ROOT is HKLM\Software\Classes
    if (names.size() + (root == HKEY_CLASSES_ROOT ? classesDepth : 0) > platform::kRegMaxKeyDepth)
      return Fail(number, "key deeper than 512 levels");
    if (!remove) return true;
    static constexpr std::wstring_view kAboveClasses[] = {L"Software", L"Classes"};
    bool holdsClasses = root == HKEY_LOCAL_MACHINE && names.size() <= classesDepth;
    for (std::size_t i = 0; holdsClasses && i < names.size(); ++i)
      holdsClasses = platform::EqualsNoCase(names[i], kAboveClasses[i]);
    if (names.empty() || holdsClasses) return Fail(number, "a root key cannot be deleted");
    return true;
  }

  // Reads a quoted string starting at text[pos] == '"'; pos ends after it.
  bool Quoted(const Logical& l, std::size_t& pos, std::wstring& out) {
    const std::wstring& t = l.text;
    out.clear();
    for (++pos; pos < t.size(); ++pos) {
      wchar_t c = t[pos];
      if (c == L'"') {
        ++pos;
        return true;
      }
      if (c == L'\\') {
        if (pos + 1 >= t.size() || (t[pos + 1] != L'\\' && t[pos + 1] != L'"'))
          return Fail(l.LineAt(pos), "bad escape in string");
        c = t[++pos];
      }
      out.push_back(c);
    }
    return Fail(l.LineAt(t.size()), "string not closed");
  }

  bool AtEnd(const Logical& l, std::size_t pos) {
    std::wstring_view rest = TrimLeft(std::wstring_view(l.text).substr(pos));
    if (!rest.empty() && rest.front() != L';') return Fail(l.LineAt(pos), "unexpected text after value");
    return true;
  }

  bool ValueLine(const Logical& l) {
    const std::wstring& t = l.text;
    int first = l.pieces.front().second;
    if (key_.empty()) return Fail(first, "value outside a key");
    RegOp op{RegOp::kSetValue, key_, L"", REG_NONE, {}};
    std::size_t pos = 0;
    if (t[0] == L'@') {
      pos = 1;
    } else if (!Quoted(l, pos, op.name)) {
      return false;
    }
    if (op.name.find(L'\0') != std::wstring::npos) return Fail(first, "NUL in a value name");
    if (platform::Utf16Length(op.name) > platform::kRegMaxValueNameChars)
      return Fail(first, "value name longer than 16383 characters");
    op.line = first;
    while (pos < t.size() && (t[pos] == L' ' || t[pos] == L'\t')) ++pos;
    if (pos >= t.size() || t[pos] != L'=') return Fail(l.LineAt(pos), "expected '=' after the value name");
    ++pos;
    while (pos < t.size() && (t[pos] == L' ' || t[pos] == L'\t')) ++pos;
    std::wstring_view data = std::wstring_view(t).substr(pos);
    if (data.starts_with(L"-")) {
      op.kind = RegOp::kDeleteValue;
      if (!AtEnd(l, pos + 1)) return false;
    } else if (data.starts_with(L"\"")) {
      std::wstring s;
      if (!Quoted(l, pos, s) || !AtEnd(l, pos)) return false;
      op.type = REG_SZ;
      op.data = platform::RegStringBytes(s);
    } else if (data.size() >= 6 && platform::EqualsNoCase(data.substr(0, 6), L"dword:")) {
      pos += 6;
      std::size_t digits = 0;
      DWORD v = 0;
      while (pos < t.size() && platform::HexDigitValue(t[pos]) >= 0) {
        v = (v << 4) | static_cast<DWORD>(platform::HexDigitValue(t[pos]));
        ++pos;
        ++digits;
      }
      if (digits == 0 || digits > 8) return Fail(l.LineAt(pos), "dword needs 1 to 8 hex digits");
      if (!AtEnd(l, pos)) return false;
      op.type = REG_DWORD;
      platform::AppendLe32(op.data, v);
    } else if (data.size() >= 3 && platform::EqualsNoCase(data.substr(0, 3), L"hex")) {
      pos += 3;
      op.type = REG_BINARY;
      if (pos < t.size() && t[pos] == L'(') {
        std::size_t close = t.find(L')', pos);
        if (close == std::wstring::npos || close == pos + 1 || close - pos > 9)
          return Fail(l.LineAt(pos), "bad hex(type)");
        DWORD type = 0;
        for (std::size_t k = pos + 1; k < close; ++k) {
          if (platform::HexDigitValue(t[k]) < 0) return Fail(l.LineAt(k), "bad hex(type)");
          type = (type << 4) | static_cast<DWORD>(platform::HexDigitValue(t[k]));
        }
        op.type = type;
        pos = close + 1;
      }
      if (pos >= t.size() || t[pos] != L':') return Fail(l.LineAt(pos), "expected ':' after hex");
      if (!HexList(l, pos + 1, op.data)) return false;
    } else {
      return Fail(l.LineAt(pos), "unrecognised value data");
    }
    ops_.push_back(std::move(op));
    return true;
  }

  bool HexList(const Logical& l, std::size_t pos, std::string& out) {
    const std::wstring& t = l.text;
    auto skipSpace = [&] {
      while (pos < t.size() && (t[pos] == L' ' || t[pos] == L'\t')) ++pos;
    };
    skipSpace();
    if (pos >= t.size() || t[pos] == L';') return true;  // empty list
    for (;;) {
      skipSpace();
      int hi = pos < t.size() ? platform::HexDigitValue(t[pos]) : -1;
      if (hi < 0) return Fail(l.LineAt(pos), "bad hex byte");
      int v = hi;
      ++pos;
      if (pos < t.size() && platform::HexDigitValue(t[pos]) >= 0) v = v * 16 + platform::HexDigitValue(t[pos++]);
      out.push_back(static_cast<char>(v));
      skipSpace();
      if (pos >= t.size() || t[pos] == L';') return true;
      if (t[pos] != L',') return Fail(l.LineAt(pos), "bad hex byte");
      ++pos;
    }
  }

  std::vector<RegOp>& ops_;
  ParseError& error_;
  std::wstring key_;  // current key; empty before any or after a deleted one
};

// --- export ---

class Exporter {
 public:
  std::wstring out;

  LSTATUS Key(HKEY key, const std::wstring& path) {
    out += L"[" + path + L"]\r\n";
    std::vector<ValueEntry> values;
    LSTATUS st = ReadValues(key, values);
    if (st != ERROR_SUCCESS) return st;
    for (const ValueEntry& v : values) Value(v.name, v.type, v.data);
    out += L"\r\n";
    std::vector<std::wstring> children;
    if ((st = ReadSubkeyNames(key, children)) != ERROR_SUCCESS) return st;
    for (const std::wstring& child : children) {
      platform::RegKey sub;
      if ((st = RegOpenKeyExW(key, child.c_str(), 0, KEY_READ, sub.put())) != ERROR_SUCCESS) return st;
      if ((st = Key(sub.get(), path + L"\\" + child)) != ERROR_SUCCESS) return st;
    }
    return ERROR_SUCCESS;
  }

 private:
  static std::wstring Escape(const std::wstring& s) {
    std::wstring e;
    for (wchar_t c : s) {
      if (c == L'\\' || c == L'"') e.push_back(L'\\');
      e.push_back(c);
    }
    return e;
  }

  // A REG_SZ that reads back to the same bytes when written as "text".
  static bool CleanString(const std::string& b) {
    if (b.size() < 2 || b.size() % 2 != 0 || b[b.size() - 1] != 0 || b[b.size() - 2] != 0) return false;
    std::wstring s = platform::WideFromUtf16le(b.data(), b.size() - 2);
    if (platform::RegStringBytes(s) != b) return false;  // embedded NUL or bad surrogates
    for (wchar_t c : s)
      if (c == L'\r' || c == L'\n') return false;
    return true;
  }

  void Value(const std::wstring& name, DWORD type, const std::string& data) {
    std::wstring line = name.empty() ? L"@=" : L"\"" + Escape(name) + L"\"=";
    if (type == REG_SZ && CleanString(data)) {
      out += line + L"\"" + Escape(platform::WideFromUtf16le(data.data(), data.size() - 2)) + L"\"\r\n";
      return;
    }
    if (type == REG_DWORD && data.size() == 4) {
      out += line + platform::FormatW(L"dword:%08x", platform::LoadLe32(data.data())) + L"\r\n";
      return;
    }
    if (type == REG_BINARY) {
      line += L"hex:";
    } else {
      line += platform::FormatW(L"hex(%x):", type);
    }
    // Lines wrap before 80 columns, as regedit wraps them.
    std::size_t column = line.size();
    for (std::size_t i = 0; i < data.size(); ++i) {
      line += platform::HexEncodeW(&data[i], 1, platform::HexCase::Lower);
      column += 2;
      if (i + 1 < data.size()) {
        line += L",";
        ++column;
        if (column > 76) {
          line += L"\\\r\n  ";
          column = 2;
        }
      }
    }
    out += line + L"\r\n";
  }
};

}  // namespace

namespace {

// Another process may add or grow values while we read. A value that no
// longer fits grows the buffers to at least twice their size, so a writer
// that keeps growing one is soon outrun; the reads go on until they succeed
// or this long has passed, however slow this process runs.
constexpr auto kResizeTimeLimit = std::chrono::seconds(60);

bool WithinResizeTime(std::chrono::steady_clock::time_point start) {
  return std::chrono::steady_clock::now() - start < kResizeTimeLimit;
}

}  // namespace

LSTATUS ReadValues(HKEY key, std::vector<ValueEntry>& out) {
  const auto start = std::chrono::steady_clock::now();
  out.clear();
  std::vector<wchar_t> name;
  std::string data;
  // needed: the data size the last short read reported (0 when none).
  auto size = [&](DWORD needed) -> LSTATUS {
    DWORD maxName = 0, maxData = 0;
    LSTATUS st = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &maxName,
                                  &maxData, nullptr, nullptr);
    const bool grow = needed != 0;
    name.resize(std::max<std::size_t>({grow ? 2 * name.size() : name.size(), std::size_t{maxName} + 2}));
    data.resize(std::max<std::size_t>({grow ? 2 * data.size() : data.size(), std::size_t{maxData} + 1,
                                       std::size_t{needed} + 1}));
    return st;
  };
  LSTATUS st = size(0);
  for (DWORD i = 0; st == ERROR_SUCCESS;) {
    DWORD nameLen = static_cast<DWORD>(name.size()), got = static_cast<DWORD>(data.size()), type = 0;
    st = RegEnumValueW(key, i, name.data(), &nameLen, nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &got);
    if (st == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (st == ERROR_MORE_DATA && WithinResizeTime(start)) {
      // A short name leaves got as it was; a short data buffer reports its need.
      st = size(std::max<DWORD>(got, 1));
      continue;
    }
    if (st != ERROR_SUCCESS) return st;
    out.push_back(ValueEntry{std::wstring(name.data(), nameLen), type, data.substr(0, got)});
    ++i;
  }
  return st;
}

LSTATUS ReadValue(HKEY key, const std::wstring& name, DWORD& type, std::string& data) {
  const auto start = std::chrono::steady_clock::now();
  DWORD size = 0;
  LSTATUS st = RegQueryValueExW(key, name.c_str(), nullptr, &type, nullptr, &size);
  while (st == ERROR_SUCCESS || (st == ERROR_MORE_DATA && WithinResizeTime(start))) {
    data.resize(std::max<std::size_t>(size, st == ERROR_MORE_DATA ? 2 * data.size() : 0));
    size = static_cast<DWORD>(data.size());
    st = RegQueryValueExW(key, name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
    if (st == ERROR_SUCCESS) {
      data.resize(size);
      return st;
    }
  }
  return st;
}

LSTATUS ReadSubkeyNames(HKEY key, std::vector<std::wstring>& out) {
  out.clear();
  for (DWORD i = 0;; ++i) {
    wchar_t child[256];
    DWORD len = 256;
    LSTATUS st = RegEnumKeyExW(key, i, child, &len, nullptr, nullptr, nullptr, nullptr);
    if (st == ERROR_NO_MORE_ITEMS) return ERROR_SUCCESS;
    if (st != ERROR_SUCCESS) return st;
    out.emplace_back(child, len);
  }
}

bool SplitRootPath(const std::wstring& path, HKEY& root, std::wstring& subKey, std::wstring* longRoot) {
  std::size_t slash = path.find(L'\\');
  std::wstring name = path.substr(0, slash);
  struct Root {
    const wchar_t *longName, *shortName;
    HKEY key;
  } roots[] = {{L"HKEY_LOCAL_MACHINE", L"HKLM", HKEY_LOCAL_MACHINE},
               {L"HKEY_CURRENT_USER", L"HKCU", HKEY_CURRENT_USER},
               {L"HKEY_CLASSES_ROOT", L"HKCR", HKEY_CLASSES_ROOT}};
  for (const Root& r : roots) {
    if (platform::EqualsNoCase(name, r.longName) || platform::EqualsNoCase(name, r.shortName)) {
      root = r.key;
      subKey = slash == std::wstring::npos ? std::wstring() : path.substr(slash + 1);
      if (longRoot != nullptr) *longRoot = r.longName;
      return true;
    }
  }
  return false;
}

bool ParseRegFile(const std::string& bytes, std::vector<RegOp>& ops, ParseError& error) {
  ops.clear();
  std::wstring text;
  if (bytes.size() >= 2 && static_cast<BYTE>(bytes[0]) == 0xFF && static_cast<BYTE>(bytes[1]) == 0xFE) {
    std::size_t bad = 0;
    if (!platform::WideFromUtf16leStrict(bytes.data() + 2, bytes.size() - 2, text, &bad)) {
      // The line of the first unit at fault: the lines before it decode.
      const std::wstring before = platform::WideFromUtf16le(bytes.data() + 2, 2 * bad);
      error.line = 1 + static_cast<int>(std::count(before.begin(), before.end(), L'\n'));
      error.reason = "text is neither UTF-8 nor UTF-16LE with a byte order mark";
      return false;
    }
  } else {
    std::string_view utf8(bytes);
    if (utf8.starts_with("\xEF\xBB\xBF")) utf8.remove_prefix(3);
    if (!platform::WideFromUtf8Strict(utf8, text)) {
      // Name the first line that does not decode.
      int line = 1;
      for (std::size_t start = 0; start <= utf8.size(); ++line) {
        std::size_t end = utf8.find('\n', start);
        std::string_view piece = utf8.substr(start, end == std::string_view::npos ? end : end - start);
        std::wstring ignored;
        if (!platform::WideFromUtf8Strict(piece, ignored)) break;
        if (end == std::string_view::npos) break;
        start = end + 1;
      }
      error.line = line;
      error.reason = "text is neither UTF-8 nor UTF-16LE with a byte order mark";
      return false;
    }
  }
  Parser parser(ops, error);
  if (parser.Run(text)) return true;
  ops.clear();
  return false;
}

LSTATUS ApplyRegOps(const std::vector<RegOp>& ops, int* failedLine) {
  return platform::registry_detail::RunInTransaction([&ops, failedLine]() -> LSTATUS {
    platform::RegKey current;
    std::wstring currentPath;
    for (const RegOp& op : ops) {
      HKEY root;
      std::wstring sub;
      if (!SplitRootPath(op.key, root, sub)) return ERROR_BAD_PATHNAME;
      LSTATUS st = ERROR_SUCCESS;
      switch (op.kind) {
        case RegOp::kDeleteTree:
          current.reset();
          currentPath.clear();
          st = RegDeleteTreeW(root, sub.c_str());
          if (st == ERROR_FILE_NOT_FOUND) st = ERROR_SUCCESS;
          break;
        case RegOp::kCreateKey:
          st = RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, current.put(), nullptr);
          currentPath = op.key;
          break;
        case RegOp::kSetValue:
        case RegOp::kDeleteValue:
          if (!current || currentPath != op.key) {
            st = RegCreateKeyExW(root, sub.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, current.put(), nullptr);
            currentPath = op.key;
            if (st != ERROR_SUCCESS) break;
          }
          if (op.kind == RegOp::kSetValue) {
            st = RegSetValueExW(current.get(), op.name.c_str(), 0, op.type,
                                reinterpret_cast<const BYTE*>(op.data.data()), static_cast<DWORD>(op.data.size()));
          } else {
            st = RegDeleteValueW(current.get(), op.name.c_str());
            if (st == ERROR_FILE_NOT_FOUND) st = ERROR_SUCCESS;
          }
          break;
      }
      if (st != ERROR_SUCCESS) {
        if (failedLine != nullptr) *failedLine = op.line;
        return st;
      }
    }
    return ERROR_SUCCESS;
  });
}

LSTATUS ExportRegFile(const std::wstring& path, std::string& bytes) {
  HKEY root;
  std::wstring sub, longRoot;
  if (!SplitRootPath(path, root, sub, &longRoot)) return ERROR_BAD_PATHNAME;
  if (!sub.empty() && sub.back() == L'\\') sub.pop_back();
  platform::RegKey key;
  LSTATUS st = RegOpenKeyExW(root, sub.c_str(), 0, KEY_READ, key.put());
  if (st != ERROR_SUCCESS) return st;
  Exporter ex;
  ex.out = std::wstring(kHeader) + L"\r\n\r\n";
  if ((st = ex.Key(key.get(), sub.empty() ? longRoot : longRoot + L"\\" + sub)) != ERROR_SUCCESS) return st;
  bytes = "\xFF\xFE" + platform::Utf16leFromWide(ex.out);
  return ERROR_SUCCESS;
}

}  // namespace vnreg
