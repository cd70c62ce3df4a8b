// messages.cpp - message modules over the table files that mc.py writes.
//
// A loaded module is the parsed table held in memory; handles are pointers to
// it, kept in a set so that a stale or foreign handle answers
// ERROR_INVALID_HANDLE instead of being followed. The set's mutex guards only
// the set: a module's table is immutable once loaded, and a caller must not
// free a module while another thread formats from it (as on Windows).
#include "platform/messages/messages.h"

#include "platform/base/bytes.h"
#include "platform/base/format.h"
#include "platform/base/process.h"
#include "platform/base/text.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <unistd.h>
#include <vector>

struct HINSTANCE__ {
  bool hasTable = false;
  // id -> (language -> text); languages in ascending order.
  std::map<DWORD, std::map<DWORD, std::wstring>> texts;
};

namespace {

constexpr char kMagic[8] = {'V', 'N', 'M', 'S', 'G', 'T', 'B', '1'};
constexpr std::size_t kMaxModuleBytes = 64u << 20;  // far above any real table

std::mutex& ModulesLock() {
  static std::mutex* lock = new std::mutex;  // lives to the end of the process
  return *lock;
}
std::set<HMODULE>& Modules() {
  static auto* modules = new std::set<HMODULE>;
  return *modules;
}

// Parses a module file's bytes. A file without the magic is a module without
// a message table; a table whose entries point outside the file is refused.
bool ParseModule(const std::string& data, HINSTANCE__& module) {
  if (data.size() < 12 || std::memcmp(data.data(), kMagic, 8) != 0) return true;
  const DWORD count = platform::LoadLe32(data.data() + 8);
  if (count > (data.size() - 12) / 16) return false;
  for (DWORD i = 0; i < count; ++i) {
    const char* entry = data.data() + 12 + 16 * std::size_t{i};
    const DWORD id = platform::LoadLe32(entry), language = platform::LoadLe32(entry + 4);
    const std::size_t offset = platform::LoadLe32(entry + 8), length = platform::LoadLe32(entry + 12);
    if (offset > data.size() || length > data.size() - offset) return false;
    module.texts[id][language] = platform::WideFromUtf16le(data.data() + offset, length);
  }
  module.hasTable = true;
  return true;
}

std::string ToPath(std::wstring_view name) {
  std::string path = platform::Utf8FromWide(name);
  for (char& c : path)
    if (c == '\\') c = '/';
  return path;
}

bool ValidModule(HMODULE module) {
  std::lock_guard<std::mutex> guard(ModulesLock());
  return Modules().count(module) != 0;
}

// The highest insert number %1..%99 that text names (escapes such as %% are
// skipped), which is how many arguments an insert pass reads.
std::size_t CountInserts(std::wstring_view text) {
  std::size_t highest = 0;
  for (std::size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] != L'%') continue;
    const wchar_t c = text[i + 1];
    if (c >= L'1' && c <= L'9') {
      std::size_t n = c - L'0';
      if (i + 2 < text.size() && text[i + 2] >= L'0' && text[i + 2] <= L'9') n = n * 10 + (text[i + 2] - L'0');
      highest = std::max(highest, n);
    }
    ++i;  // the character after '%' never starts another insert
  }
  return highest;
}

// For any maximum width the text's own line breaks are dropped (only %n
// breaks then); the last one, which ends the text, goes without a space.
std::wstring JoinSourceLines(const std::wstring& text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\r' && i + 1 < text.size() && text[i + 1] == L'\n') {
      if (i + 2 < text.size()) out += L' ';
      ++i;
    } else {
      out += text[i];
    }
  }
  return out;
}

// A width below 255 also wraps the result: a line longer than width breaks
// at its last space, or, without one, right at the width.
std::wstring Wrap(const std::wstring& text, DWORD width) {
  if (width == 0 || width == FORMAT_MESSAGE_MAX_WIDTH_MASK) return text;
  std::wstring out;
  std::size_t lineStart = 0;
  for (const wchar_t c : text) {
    out += c;
    if (c == L'\n') {
      lineStart = out.size();
      continue;
    }
    if (out.size() - lineStart <= width) continue;
    const std::size_t space = out.rfind(L' ');
    if (space != std::wstring::npos && space > lineStart) {
      out.replace(space, 1, L"\r\n");
      lineStart = space + 2;
    } else {
      out.insert(out.size() - 1, L"\r\n");
      lineStart = out.size() - 1;
    }
  }
  return out;
}

DWORD FindModuleText(HMODULE module, DWORD id, DWORD language, std::wstring& text) {
  if (!module->hasTable) return ERROR_RESOURCE_TYPE_NOT_FOUND;
  auto entry = module->texts.find(id);
  if (entry == module->texts.end()) return ERROR_MR_MID_NOT_FOUND;
  if (language == LANG_NEUTRAL || language == LANG_USER_DEFAULT) {
    auto english = entry->second.find(0x409);
    text = english != entry->second.end() ? english->second : entry->second.begin()->second;
    return ERROR_SUCCESS;
  }
  auto exact = entry->second.find(language);
  if (exact == entry->second.end()) return ERROR_MR_MID_NOT_FOUND;
  text = exact->second;
  return ERROR_SUCCESS;
}

}  // namespace

HMODULE LoadLibraryExW(LPCWSTR fileName, HANDLE, DWORD) {
  if (fileName == nullptr || *fileName == 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  std::wstring name = fileName;
  const std::size_t lastSep = name.find_last_of(L"\\/");
  const std::wstring leaf = lastSep == std::wstring::npos ? name : name.substr(lastSep + 1);
  if (leaf.find(L'.') == std::wstring::npos) name += L".msg";
  if (lastSep == std::wstring::npos) name = platform::ExecutableDirectory() + name;

  const std::string path = ToPath(name);
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    const int err = errno;
    SetLastError(err == ENOENT || err == ENOTDIR ? ERROR_MOD_NOT_FOUND : platform::Win32FromErrno(err));
    return nullptr;
  }
  std::string data;
  char chunk[8192];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    data.append(chunk, static_cast<std::size_t>(in.gcount()));
    if (data.size() > kMaxModuleBytes) {
      SetLastError(ERROR_BAD_FORMAT);
      return nullptr;
    }
  }
  auto module = new HINSTANCE__;
  if (!ParseModule(data, *module)) {
    delete module;
    SetLastError(ERROR_BAD_FORMAT);
    return nullptr;
  }
  std::lock_guard<std::mutex> guard(ModulesLock());
  Modules().insert(module);
  return module;
}

BOOL FreeLibrary(HMODULE module) {
  {
    std::lock_guard<std::mutex> guard(ModulesLock());
    if (Modules().erase(module) == 0) {
      SetLastError(ERROR_INVALID_HANDLE);
      return FALSE;
    }
  }
  delete module;
  return TRUE;
}

HLOCAL LocalFree(HLOCAL memory) {
  std::free(memory);
  return nullptr;
}

DWORD FormatMessageW(DWORD flags, LPCVOID source, DWORD messageId, DWORD languageId, LPWSTR buffer, DWORD size,
                     va_list* args) {
  std::wstring text;
  DWORD status = ERROR_MR_MID_NOT_FOUND;
  if (flags & FORMAT_MESSAGE_FROM_STRING) {
    if (source == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    text = static_cast<const wchar_t*>(source);
    status = ERROR_SUCCESS;
  } else {
    if (flags & FORMAT_MESSAGE_FROM_HMODULE) {
      auto module = static_cast<HMODULE>(const_cast<void*>(source));
      if (module != nullptr) {
        if (!ValidModule(module)) {
          SetLastError(ERROR_INVALID_HANDLE);
          return 0;
        }
        status = FindModuleText(module, messageId, languageId, text);
      }
    }
    if (status != ERROR_SUCCESS && (flags & FORMAT_MESSAGE_FROM_SYSTEM)) {
      text = platform::SystemMessageText(messageId);
      status = text.empty() ? ERROR_MR_MID_NOT_FOUND : ERROR_SUCCESS;
    } else if (status != ERROR_SUCCESS && !(flags & (FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_FROM_SYSTEM))) {
      status = ERROR_INVALID_PARAMETER;
    }
  }
  if (status != ERROR_SUCCESS) {
    SetLastError(status);
    return 0;
  }

  const DWORD width = flags & FORMAT_MESSAGE_MAX_WIDTH_MASK;
  if (width != 0) text = JoinSourceLines(text);
  const bool ignoreInserts = (flags & FORMAT_MESSAGE_IGNORE_INSERTS) != 0;
  std::vector<DWORD_PTR> fromList;
  const DWORD_PTR* argArray = nullptr;
  std::size_t argCount = 0;
  if (!ignoreInserts && args != nullptr) {
    argCount = CountInserts(text);
    if (flags & FORMAT_MESSAGE_ARGUMENT_ARRAY) {
      argArray = reinterpret_cast<const DWORD_PTR*>(args);
    } else {
      // Each insert of a va_list is one pointer-sized argument (the Windows
      // contract for 64-bit callers); read them once, in order.
      va_list copy;
      va_copy(copy, *args);
      for (std::size_t i = 0; i < argCount; ++i) fromList.push_back(va_arg(copy, DWORD_PTR));
      va_end(copy);
      argArray = fromList.data();
    }
  }
  // Ignoring inserts hands the text over exactly as stored, escapes and
  // printf-style format specs included, for the caller to format later.
  std::wstring out;
  if (ignoreInserts) {
    out = std::move(text);
  } else {
    status = platform::ExpandMessageInserts(text, argArray, argCount, false, out);
    if (status != ERROR_SUCCESS) {
      SetLastError(status);
      return 0;
    }
  }
  out = Wrap(out, width);

  if (flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) {
    if (buffer == nullptr) {
      SetLastError(ERROR_INVALID_PARAMETER);
      return 0;
    }
    const std::size_t chars = std::max<std::size_t>(out.size() + 1, size);
    auto* memory = static_cast<wchar_t*>(std::calloc(chars, sizeof(wchar_t)));
    if (memory == nullptr) {
      SetLastError(ERROR_NOT_ENOUGH_MEMORY);
      return 0;
    }
    std::wmemcpy(memory, out.data(), out.size());
    *reinterpret_cast<LPWSTR*>(buffer) = memory;
  } else {
    if (buffer == nullptr || out.size() + 1 > size) {
      SetLastError(ERROR_INSUFFICIENT_BUFFER);
      return 0;
    }
    std::wmemcpy(buffer, out.data(), out.size());
    buffer[out.size()] = 0;
  }
  SetLastError(ERROR_SUCCESS);
  return static_cast<DWORD>(out.size());
}

namespace platform {

std::wstring FormatModuleMessage(HMODULE module, DWORD messageId, const std::vector<std::wstring>& strings) {
  // FormatMessage cannot know how long an argument array is, so it is always
  // as long as the highest insert number allows.
  constexpr std::size_t kMaxInserts = 99;
  std::vector<std::wstring> placeholders;
  std::vector<DWORD_PTR> args(kMaxInserts);
  placeholders.reserve(kMaxInserts);
  for (std::size_t i = 0; i < kMaxInserts; ++i) {
    if (i < strings.size()) {
      args[i] = reinterpret_cast<DWORD_PTR>(strings[i].c_str());
    } else {
      placeholders.push_back(L"%" + std::to_wstring(i + 1));
      args[i] = reinterpret_cast<DWORD_PTR>(placeholders.back().c_str());
    }
  }
  LPWSTR text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                           module, messageId, 0, reinterpret_cast<LPWSTR>(&text), 0,
                           reinterpret_cast<va_list*>(args.data()));
  std::wstring result = n != 0 && text != nullptr ? std::wstring(text, n) : std::wstring();
  if (text != nullptr) LocalFree(text);
  return result;
}

}  // namespace platform
