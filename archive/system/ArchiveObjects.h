// ArchiveObjects.h - the COM objects of the archive stand-in.
//
// SystemObject is what CoCreateInstance makes: it resolves paths and key
// strings into DirectoryObject and FileObject and records event reports. A
// FileObject is one version of one file (its identity is fixed when it is
// made); it answers for the file, its pins, its items and its control codes.
// PinObject is one named pin of a file. Objects hold only values fixed at
// construction, so they need no locks; the pin store and the registry guard
// themselves.
#pragma once

#include "archive/interfaces/ArchiveInterfaces.h"
#include "archive/system/ComObject.h"
#include "archive/system/Diagnostics.h"
#include "archive/system/FileRecords.h"
#include "archive/system/PinStore.h"
#include "archive/system/Volumes.h"

#include <memory>
#include <string>

namespace vnarchive {

class SystemObject final : public ComObject<IArchiveSystem, IProviderEventSink> {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;

  STDMETHODIMP GetVersion(IArchiveVersion** version) override;
  STDMETHODIMP Reserved8() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved9() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved10() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved11() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved12() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved13() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved14() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved15() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved16() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved17() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved18() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved19() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved20() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved21() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved22() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved23() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved24() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved25() override { return E_NOTIMPL; }
  STDMETHODIMP GetArchiveObject(BSTR pathOrKey, IArchiveObject** object) override;
  STDMETHODIMP GetArchiveDirectory(BSTR path, IArchiveObject** object) override;

  // IProviderEventSink
  STDMETHODIMP Reserved3() override { return E_NOTIMPL; }
  STDMETHODIMP ReportEvent(ULONG eventId, SAFEARRAY* strings) override;
};

class VersionObject final : public ComObject<IArchiveVersion> {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP GetVersionText(BSTR* text) override;
};

// What directories and files share: their archive path, slot 8 that gives
// it, and IArchiveObject's reserved slots.
template <class... More>
class ArchiveObjectBase : public ComObject<IArchiveObject, More...> {
 public:
  explicit ArchiveObjectBase(ArchivePath path) : path_(std::move(path)) {}

  STDMETHODIMP GetPath(BSTR* path) override {
    if (path == nullptr) return E_POINTER;
    *path = nullptr;
    if (HRESULT hr = InjectedFailure(L"IArchiveObject", 8); FAILED(hr)) return hr;
    // The root keeps its separator ("D:\"); other folders end without one.
    return ReturnBstr(path_.Text(), path);
  }
  STDMETHODIMP Reserved7() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved9() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved10() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved11() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved12() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved13() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved14() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved15() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved16() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved17() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved18() override { return E_NOTIMPL; }
  STDMETHODIMP Reserved19() override { return E_NOTIMPL; }

 protected:
  const ArchivePath path_;
};

class DirectoryObject final : public ArchiveObjectBase<> {
 public:
  using ArchiveObjectBase::ArchiveObjectBase;

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP GetFile(ULONG id1, ULONG id2, ULONG id0, IArchiveFile** file) override;
};

class FileObject final
    : public ArchiveObjectBase<IArchiveFile, IArchivePins, IArchiveIdentity, IArchiveItems, IArchiveFileControl> {
 public:
  FileObject(ArchivePath path, FileIdentity identity) : ArchiveObjectBase(std::move(path)), identity_(identity) {}

  const FileIdentity& Identity() const { return identity_; }
  const ArchivePath& Path() const { return path_; }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;

  // IArchiveObject (the base's Reserved7 also fills IArchiveFile's and IArchivePins' slot 7)
  STDMETHODIMP GetFile(ULONG id1, ULONG id2, ULONG id0, IArchiveFile** file) override;

  // IArchiveFile
  STDMETHODIMP GetFullPath(BSTR* path) override;
  STDMETHODIMP GetKeyString(BSTR* key) override;

  // IArchivePins
  STDMETHODIMP GetPin(VARIANT name, IArchivePin** pin) override;

  // IArchiveItems
  STDMETHODIMP Reserved3() override { return E_NOTIMPL; }
  STDMETHODIMP GetItem(ULONG itemCode, void* buffer, ULONG bufferBytes) override;

  // IArchiveFileControl
  STDMETHODIMP Control(ULONG code, const void* input, ULONG inputBytes, void* output, ULONG outputBytes,
                       ULONG* bytesReturned) override;

 private:
  HRESULT CompanionControl(ULONG code, const void* input, ULONG inputBytes, void* output, ULONG outputBytes,
                           ULONG* bytesReturned);

  const FileIdentity identity_;
};

class PinObject final : public ComObject<IArchivePin> {
 public:
  PinObject(std::shared_ptr<PinStore> store, PinnedFile file, std::wstring name)
      : store_(std::move(store)), file_(file), name_(std::move(name)) {}

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
  STDMETHODIMP Reserved7() override { return E_NOTIMPL; }
  STDMETHODIMP GetValue(VARIANT* value) override;
  STDMETHODIMP SetValue(VARIANT value) override;

 private:
  // SetValue without its log line.
  HRESULT Store(const VARIANT& value, std::wstring& written);

  const std::shared_ptr<PinStore> store_;
  const PinnedFile file_;
  const std::wstring name_;
};

// Resolves an archive path to the object of an existing file (with its
// current identity), as slot 26 and the directory's GetFile need it.
HRESULT OpenFile(const ArchivePath& path, FileObject** file);

// The version text slot 7 of the version object gives.
inline constexpr const wchar_t* kVersionText = L"Corvellane Archive 1.0 (Vantrel stand-in)";

}  // namespace vnarchive
