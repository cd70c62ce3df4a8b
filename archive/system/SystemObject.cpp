// SystemObject.cpp - the system object, its version object, and archive directories.
//
// Paths come in from the system's configuration and from HTTP requests, so
// every one is resolved inside its volume (Volumes.h) before anything on disk
// is touched, and every failure is an HRESULT the caller can act on.
#include "archive/system/ArchiveObjects.h"

#include "archive/system/Diagnostics.h"
#include "platform/base/errors.h"
#include "platform/base/text.h"

#include <sys/stat.h>

#include <filesystem>
#include <vector>

namespace vnarchive {

std::atomic<long>& LiveObjects() {
  static std::atomic<long> count{0};
  return count;
}

std::atomic<long>& ServerLocks() {
  static std::atomic<long> count{0};
  return count;
}

// --- SystemObject ---

STDMETHODIMP SystemObject::QueryInterface(REFIID riid, void** ppv) {
  IArchiveSystem* system = this;
  return Answer(riid, ppv,
                {{&IID_IUnknown, static_cast<IUnknown*>(system)},
                 {&IID_IDispatch, static_cast<IDispatch*>(system)},
                 {&IID_IArchiveSystem, system},
                 {&IID_IProviderEventSink, static_cast<IProviderEventSink*>(this)}});
}

STDMETHODIMP SystemObject::GetVersion(IArchiveVersion** version) {
  if (version == nullptr) return E_POINTER;
  *version = nullptr;
  if (HRESULT hr = InjectedFailure(L"IArchiveSystem", 7); FAILED(hr)) return hr;
  *version = new VersionObject();
  return S_OK;
}

namespace {

// The regular file of a volume whose id0 is id0, outside the companions'
// folder; false when there is none.
bool FindById0(wchar_t drive, DWORD id0, ArchivePath& out) {
  const std::filesystem::path root = VolumeFolder(drive);
  if (root.empty()) return false;
  std::error_code ec;
  auto options = std::filesystem::directory_options::skip_permission_denied;
  for (std::filesystem::recursive_directory_iterator it(root, options, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename() == ".companions") {
      it.disable_recursion_pending();
      continue;
    }
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode) || static_cast<DWORD>(st.st_ino) != id0) continue;
    const std::wstring relative = platform::WideFromUtf8(std::filesystem::relative(it->path(), root, ec).string());
    return !ec && ResolveArchivePath(std::wstring(1, drive) + L":\\" + relative, out) == ERROR_SUCCESS;
  }
  return false;
}

}  // namespace

HRESULT OpenFile(const ArchivePath& path, FileObject** file) {
  *file = nullptr;
  bool isDirectory = false;
  if (DWORD rc = Probe(path, isDirectory); rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  if (isDirectory) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  FileIdentity identity;
  if (DWORD rc = ReadIdentity(path, identity); rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  *file = new FileObject(path, identity);
  return S_OK;
}

STDMETHODIMP SystemObject::GetArchiveObject(BSTR pathOrKey, IArchiveObject** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (HRESULT hr = InjectedFailure(L"IArchiveSystem", 26); FAILED(hr)) return hr;

  std::wstring_view text = BstrView(pathOrKey);
  DWORD keyId0 = 0;
  const bool isKey = ParseKeyString(text, keyId0, text);
  ArchivePath path;
  if (DWORD rc = ResolveArchivePath(text, path); rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  FileObject* file = nullptr;
  HRESULT hr = OpenFile(path, &file);
  // A key names one file; another file now at its path is not that file. A
  // key whose file was renamed finds it by its id0 on the same volume, so
  // that pins, which keep the key they were made with, still lead to it.
  if (isKey && (FAILED(hr) || file->Identity().id0 != keyId0)) {
    if (file != nullptr) file->Release();
    file = nullptr;
    ArchivePath moved;
    hr = FindById0(path.drive, keyId0, moved) ? OpenFile(moved, &file) : HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  }
  if (FAILED(hr)) return hr;
  if (HRESULT injected = InjectedFailure(L"IArchiveSystem", 26, MakeKeyString(file->Path(), file->Identity()));
      FAILED(injected)) {
    file->Release();
    return injected;
  }
  *object = static_cast<IArchiveObject*>(file);
  return S_OK;
}

STDMETHODIMP SystemObject::GetArchiveDirectory(BSTR pathText, IArchiveObject** object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (HRESULT hr = InjectedFailure(L"IArchiveSystem", 27); FAILED(hr)) return hr;

  ArchivePath path;
  if (DWORD rc = ResolveArchivePath(BstrView(pathText), path); rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  bool isDirectory = false;
  if (DWORD rc = Probe(path, isDirectory); rc != ERROR_SUCCESS)
    return HRESULT_FROM_WIN32(rc == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : rc);
  if (!isDirectory) return HRESULT_FROM_WIN32(ERROR_DIRECTORY);
  *object = new DirectoryObject(std::move(path));
  return S_OK;
}

STDMETHODIMP SystemObject::ReportEvent(ULONG eventId, SAFEARRAY* strings) {
  if (HRESULT hr = InjectedFailure(L"IProviderEventSink", 4); FAILED(hr)) return hr;
  std::vector<std::wstring> texts;
  if (strings != nullptr) {
    VARTYPE vt = VT_EMPTY;
    if (SafeArrayGetDim(strings) != 1 || FAILED(SafeArrayGetVartype(strings, &vt)) || vt != VT_BSTR)
      return E_INVALIDARG;
    LONG lower = 0, upper = -1;
    if (HRESULT hr = SafeArrayGetLBound(strings, 1, &lower); FAILED(hr)) return hr;
    if (HRESULT hr = SafeArrayGetUBound(strings, 1, &upper); FAILED(hr)) return hr;
    for (LONG i = lower; i <= upper; ++i) {
      BSTR element = nullptr;
      if (HRESULT hr = SafeArrayGetElement(strings, &i, &element); FAILED(hr)) return hr;
      texts.emplace_back(BstrView(element));
      SysFreeString(element);
    }
  }
  return RecordEvent(eventId, texts);
}

// --- VersionObject ---

STDMETHODIMP VersionObject::QueryInterface(REFIID riid, void** ppv) {
  IArchiveVersion* version = this;
  return Answer(riid, ppv,
                {{&IID_IUnknown, static_cast<IUnknown*>(version)},
                 {&IID_IDispatch, static_cast<IDispatch*>(version)},
                 {&IID_IArchiveVersion, version}});
}

STDMETHODIMP VersionObject::GetVersionText(BSTR* text) {
  if (text == nullptr) return E_POINTER;
  *text = nullptr;
  if (HRESULT hr = InjectedFailure(L"IArchiveVersion", 7); FAILED(hr)) return hr;
  return ReturnBstr(kVersionText, text);
}

// --- DirectoryObject ---

STDMETHODIMP DirectoryObject::QueryInterface(REFIID riid, void** ppv) {
  IArchiveObject* object = this;
  return Answer(riid, ppv,
                {{&IID_IUnknown, static_cast<IUnknown*>(object)},
                 {&IID_IDispatch, static_cast<IDispatch*>(object)},
                 {&IID_IArchiveObject, object}});
}

STDMETHODIMP DirectoryObject::GetFile(ULONG id1, ULONG id2, ULONG id0, IArchiveFile** file) {
  if (file == nullptr) return E_POINTER;
  *file = nullptr;
  if (HRESULT hr = InjectedFailure(L"IArchiveObject", 20); FAILED(hr)) return hr;
  if (id0 == 0xFFFFFFFFu) return E_INVALIDARG;  // a folder holds many files

  std::error_code ec;
  for (std::filesystem::directory_iterator it(path_.host, ec), end; !ec && it != end; it.increment(ec)) {
    struct stat st {};
    if (::lstat(it->path().c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    if (static_cast<DWORD>(st.st_ino) != id0) continue;
    ArchivePath entry = path_;
    entry.components.push_back(platform::WideFromUtf8(it->path().filename().string()));
    entry.host = it->path();
    FileObject* found = nullptr;
    if (HRESULT hr = OpenFile(entry, &found); FAILED(hr)) return hr;
    const HRESULT hr = found->GetFile(id1, id2, id0, file);
    found->Release();
    return hr;
  }
  if (ec) return HRESULT_FROM_WIN32(platform::Win32FromErrnoForPath(ec.value(), path_.host.string()));
  return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
}

}  // namespace vnarchive
