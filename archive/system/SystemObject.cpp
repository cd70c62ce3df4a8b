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
  if (HRESULT hr = OpenFile(path, &file); FAILED(hr)) return hr;
  // A key names one file; another file now at its path is not that file.
  if (isKey && file->Identity().id0 != keyId0) {
    file->Release();
    return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
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
