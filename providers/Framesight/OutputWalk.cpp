// OutputWalk.cpp - WalkOutputs and the delete and rename walks built on it.
#include "providers/Framesight/OutputWalk.h"

#include "providers/Framesight/ArchivePaths.h"
#include "providers/Framesight/OutputVersions.h"

#include "platform/base/errors.h"
#include "platform/com/comptr.h"
#include "platform/fs/fs.h"

#include <regex>
#include <utility>

namespace framesight {

namespace {

constexpr std::wstring_view kGroup = L"(*)";
constexpr std::wstring_view kRegexSpecials = L"^$\\.*+?()[]{}|/";

const HRESULT kBadTemplate = HRESULT_FROM_WIN32(ERROR_INVALID_NAME);

// The three groups of a rename template: placeholder, identity part with its
// dot, placeholder.
const std::wregex& RenameTemplatePattern() {
  static const std::wregex pattern(L"\\((\\*[0-9])\\)((?:-[0-9A-F]{1,8}){2}.)\\((\\*.*)\\)",
                                   std::regex::ECMAScript | std::regex::icase);
  return pattern;
}

// "*0" or "*1": the part it picks; -1 for anything else.
int Placeholder(std::wstring_view group) {
  if (group.size() != 2 || group[0] != L'*') return -1;
  if (group[1] == L'0') return 0;
  if (group[1] == L'1') return 1;
  return -1;
}

std::size_t CountGroups(std::wstring_view text) {
  std::size_t count = 0;
  for (std::size_t at = text.find(kGroup); at != std::wstring_view::npos; at = text.find(kGroup, at + kGroup.size()))
    ++count;
  return count;
}

// The archived file that keyString names, and the companion path of name
// for its version (i1, i2).
HRESULT TemplatePath(IArchiveSystem* system, std::wstring_view keyString, ULONG i1, ULONG i2, const wchar_t* name,
                     std::wstring& path) {
  if (system == nullptr) return E_POINTER;
  platform::ComBstr key(keyString);
  if (key.Get() == nullptr && !keyString.empty()) return E_OUTOFMEMORY;
  platform::ComPtr<IArchiveObject> object;
  if (HRESULT hr = system->GetArchiveObject(key, object.ReleaseAndGetAddressOf()); FAILED(hr)) return hr;
  if (!object) return E_POINTER;
  platform::ComPtr<IArchiveFile> file;
  if (HRESULT hr = object->QueryInterface(IID_IArchiveFile, file.PutVoid()); FAILED(hr)) return hr;
  return QueryArchivePath(file.Get(), i1, i2, kControlCompanionPath, name, path);
}

// Whether a file's own name carries version (i1, i2).
bool NamesVersion(std::wstring_view name, ULONG i1, ULONG i2) {
  std::wstring_view stem;
  std::wstring_view extension;
  SplitFileName(name, stem, extension);
  std::wstring base;
  DWORD id1 = 0;
  DWORD id2 = 0;
  return ParseVersionName(stem, base, id1, id2) && id1 == i1 && id2 == i2;
}

}  // namespace

std::wstring WalkPattern(std::wstring_view nameTemplate) {
  std::wstring pattern = L"^";
  for (std::size_t at = 0; at < nameTemplate.size();) {
    if (nameTemplate.substr(at, kGroup.size()) == kGroup) {
      pattern += L"(.*)";
      at += kGroup.size();
      continue;
    }
    const wchar_t c = nameTemplate[at++];
    if (c == L'*') {
      pattern += L".*";
      continue;
    }
    if (kRegexSpecials.find(c) != std::wstring_view::npos) pattern += L'\\';
    pattern += c;
  }
  pattern += L'$';
  return pattern;
}

HRESULT ParseRenameTemplate(std::wstring_view nameTemplate, RenameTemplate& out) {
  const std::wstring text(nameTemplate);
  std::wsmatch match;
  if (!std::regex_match(text, match, RenameTemplatePattern())) return kBadTemplate;
  const int first = Placeholder(match.str(1));
  const int second = Placeholder(match.str(3));
  if (first < 0 || second < 0) return kBadTemplate;
  out.firstPart = first;
  out.identity = match.str(2);
  out.secondPart = second;
  return S_OK;
}

std::wstring RenamedName(const RenameTemplate& tmpl, const std::wstring (&parts)[2]) {
  return parts[tmpl.firstPart] + tmpl.identity + parts[tmpl.secondPart];
}

HRESULT WalkOutputs(IArchiveSystem* system, std::wstring_view keyString, ULONG i1, ULONG i2,
                    const WalkCallback& callback) {
  std::wstring templatePath;
  if (HRESULT hr = TemplatePath(system, keyString, i1, i2, kWalkTemplateName, templatePath); FAILED(hr)) return hr;
  std::wstring_view folder;
  std::wstring_view nameTemplate;
  // Both parts of every output are needed by the callers.
  if (!SplitOutputPath(templatePath, folder, nameTemplate) || CountGroups(nameTemplate) != 2) return kBadTemplate;

  std::wregex pattern;
  try {
    pattern.assign(WalkPattern(nameTemplate), std::regex::ECMAScript);
  } catch (const std::regex_error&) {
    return kBadTemplate;
  }

  std::vector<std::wstring> names;
  if (HRESULT hr = ListFolderFiles(folder, names); FAILED(hr)) return hr;
  // Found first, acted on after: a callback that deletes or renames does not
  // disturb the listing.
  std::vector<WalkedOutput> outputs;
  for (const std::wstring& name : names) {
    std::wsmatch match;
    if (!std::regex_match(name, match, pattern) || !NamesVersion(name, i1, i2)) continue;
    WalkedOutput output;
    output.path.assign(folder);
    output.path += L'\\';
    output.path += name;
    output.parts[0] = match.str(1);
    output.parts[1] = match.str(2);
    outputs.push_back(std::move(output));
  }
  for (const WalkedOutput& output : outputs) {
    if (HRESULT hr = callback(output); FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT DeleteOutputs(IArchiveSystem* system, std::wstring_view keyString, ULONG i1, ULONG i2) {
  return WalkOutputs(system, keyString, i1, i2, [](const WalkedOutput& output) -> HRESULT {
    if (DeleteFileW(output.path.c_str())) return S_OK;
    const DWORD error = GetLastError();
    // Gone already (another walk, or its owner): nothing left to delete.
    return error == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(error);
  });
}

HRESULT RenameOutputs(IArchiveSystem* system, std::wstring_view keyString, ULONG i1, ULONG i2,
                      std::wstring_view newKeyString, ULONG newI1, ULONG newI2) {
  std::wstring newTemplatePath;
  if (HRESULT hr = TemplatePath(system, newKeyString, newI1, newI2, kRenameTemplateName, newTemplatePath);
      FAILED(hr))
    return hr;
  std::wstring_view newFolderView;
  std::wstring_view newNameTemplate;
  if (!SplitOutputPath(newTemplatePath, newFolderView, newNameTemplate)) return kBadTemplate;
  RenameTemplate tmpl;
  if (HRESULT hr = ParseRenameTemplate(newNameTemplate, tmpl); FAILED(hr)) return hr;
  const std::wstring newFolder(newFolderView);

  return WalkOutputs(system, keyString, i1, i2, [&](const WalkedOutput& output) -> HRESULT {
    const std::wstring target = newFolder + L"\\" + RenamedName(tmpl, output.parts);
    if (target == output.path) return S_OK;  // already where and what it should be
    if (DWORD error = platform::CreateDirectoryTree(newFolder); error != ERROR_SUCCESS)
      return HRESULT_FROM_WIN32(error);
    // No flags: an output already at the new path is never replaced.
    if (!MoveFileExW(output.path.c_str(), target.c_str(), 0)) return HRESULT_FROM_WIN32(GetLastError());
    return S_OK;
  });
}

}  // namespace framesight
