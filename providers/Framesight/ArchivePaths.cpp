// ArchivePaths.cpp - the path request, the volume-root join and the file-control call.
#include "providers/Framesight/ArchivePaths.h"

#include "VNService/Extensions/Taskweave/ProviderInterfaces.h"
#include "platform/base/bytes.h"
#include "platform/base/errors.h"
#include "platform/base/text.h"

#include <algorithm>
#include <utility>

namespace framesight {

namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// End of the "server\share" part that starts at from (the index behind the
// share's name), or npos when either name is missing.
std::size_t UncShareEnd(std::wstring_view path, std::size_t from) {
  std::size_t at = from;
  while (at < path.size() && !IsSeparator(path[at])) ++at;
  if (at == from || at == path.size()) return std::wstring_view::npos;
  const std::size_t share = at + 1;
  at = share;
  while (at < path.size() && !IsSeparator(path[at])) ++at;
  return at == share ? std::wstring_view::npos : at;
}

// The root of path without its trailing separator, and the separator the
// path uses after it; false when the path has none.
bool SplitRoot(std::wstring_view path, std::wstring_view& root, wchar_t& separator) {
  separator = L'\\';
  std::size_t end = std::wstring_view::npos;
  const bool extended = path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
                        (path[2] == L'?' || path[2] == L'.') && IsSeparator(path[3]);
  if (extended && path.size() >= 8 && platform::EqualsNoCase(path.substr(4, 3), L"UNC") && IsSeparator(path[7])) {
    end = UncShareEnd(path, 8);
  } else if (extended && path.size() >= 6 && IsDriveLetter(path[4]) && path[5] == L':') {
    end = 6;
  } else if (extended) {
    return false;  // a volume name or device: not a root the archive's answer can follow
  } else if (path.size() >= 2 && IsSeparator(path[0]) && IsSeparator(path[1])) {
    end = UncShareEnd(path, 2);
  } else if (path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == L':') {
    end = 2;
  } else if (!path.empty() && IsSeparator(path[0])) {
    root = path.substr(0, 0);
    separator = path[0];
    return true;
  }
  if (end == std::wstring_view::npos) return false;
  root = path.substr(0, end);
  if (end < path.size() && IsSeparator(path[end])) separator = path[end];
  return true;
}

}  // namespace

HRESULT BuildPathRequest(ULONG i1, ULONG i2, std::wstring_view name, std::vector<BYTE>& record, ULONG& inputBytes) {
  if (platform::Utf16Length(name) > kMaxOutputNameUnits) return E_INVALIDARG;
  const std::string bytes = platform::Utf16leFromWide(name);
  record.assign(kPathRequestSize, 0);
  platform::StoreLe32(record.data(), i1);
  platform::StoreLe32(record.data() + 4, i2);
  platform::StoreLe16(record.data() + 8, static_cast<WORD>(bytes.size()));
  std::copy(bytes.begin(), bytes.end(), record.begin() + kPathRequestHeader);
  inputBytes = static_cast<ULONG>(kPathRequestHeader + bytes.size());
  return S_OK;
}

HRESULT JoinArchivePath(std::wstring_view fullPath, std::wstring_view reply, std::wstring& out) {
  out.clear();
  std::wstring_view root;
  wchar_t separator = L'\\';
  if (!SplitRoot(fullPath, root, separator)) return HRESULT_FROM_WIN32(ERROR_BAD_PATHNAME);
  while (!reply.empty() && IsSeparator(reply.front())) reply.remove_prefix(1);
  out.reserve(root.size() + 1 + reply.size());
  out.append(root);
  out += separator;
  out.append(reply);
  return S_OK;
}

HRESULT QueryArchivePath(IArchiveFile* file, ULONG i1, ULONG i2, ULONG code, std::wstring_view name,
                         std::wstring& out) {
  out.clear();
  if (file == nullptr) return E_POINTER;
  std::vector<BYTE> request;
  ULONG requestBytes = 0;
  if (HRESULT hr = BuildPathRequest(i1, i2, name, request, requestBytes); FAILED(hr)) return hr;

  platform::ComPtr<IArchiveFileControl> control;
  if (HRESULT hr = file->QueryInterface(IID_IArchiveFileControl, control.PutVoid()); FAILED(hr)) return hr;
  platform::ComBstr fullPath;
  if (HRESULT hr = file->GetFullPath(fullPath.ReleaseAndGetAddressOf()); FAILED(hr)) return hr;

  // The answer is UTF-16, so its buffer counts 2 bytes per unit.
  const std::size_t replyUnits = platform::Utf16Length(fullPath.View()) + kReplyReserveUnits;
  std::vector<BYTE> reply(replyUnits * 2);
  ULONG returned = 0;
  if (HRESULT hr = control->Control(code, request.data(), requestBytes, reply.data(),
                                    static_cast<ULONG>(reply.size()), &returned);
      FAILED(hr))
    return hr;
  // A count beyond the buffer cannot be trusted, and is not read.
  if (returned > reply.size()) return HRESULT_FROM_WIN32(ERROR_INVALID_DATA);
  const std::wstring relative = platform::WideFromUtf16le(reply.data(), returned & ~1u);
  return JoinArchivePath(fullPath.View(), relative, out);
}

HRESULT MapArchivePath(IPostProcessParameters* parameters, ULONG code, std::wstring_view name,
                       platform::ComBstr& path) {
  if (parameters == nullptr) return E_POINTER;
  platform::ComPtr<IArchiveFile> file;
  if (HRESULT hr = parameters->QueryInterface(IID_IArchiveFile, file.PutVoid()); FAILED(hr)) return hr;
  ULONG identity[3] = {};
  if (HRESULT hr = parameters->GetItem(kItemIdentity, identity); FAILED(hr)) return hr;
  std::wstring mapped;
  if (HRESULT hr = QueryArchivePath(file.Get(), identity[1], identity[2], code, name, mapped); FAILED(hr))
    return hr;
  platform::ComBstr result(mapped);
  if (result.Get() == nullptr) return E_OUTOFMEMORY;
  path = std::move(result);
  return S_OK;
}

}  // namespace framesight
