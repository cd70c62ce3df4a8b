// FileObject.cpp - an archived file's object: identity, items, pins and control codes.
//
// Buffers and records come from callers in other programs, so each length is
// checked before a byte is read or written: a short buffer or a malformed
// record is a failure, never a partial write.
#include "archive/system/ArchiveObjects.h"

#include "archive/system/Diagnostics.h"
#include "platform/base/bytes.h"
#include "platform/base/errors.h"
#include "platform/base/text.h"
#include "platform/com/comptr.h"

#include <cstring>
#include <filesystem>
#include <optional>

namespace vnarchive {

namespace {

constexpr ULONG kAny = 0xFFFFFFFFu;

}  // namespace

STDMETHODIMP FileObject::QueryInterface(REFIID riid, void** ppv) {
  IArchiveObject* object = this;
  return Answer(riid, ppv,
                {{&IID_IUnknown, static_cast<IUnknown*>(object)},
                 {&IID_IDispatch, static_cast<IDispatch*>(object)},
                 {&IID_IArchiveObject, object},
                 {&IID_IArchiveFile, static_cast<IArchiveFile*>(this)},
                 {&IID_IArchivePins, static_cast<IArchivePins*>(this)},
                 {&IID_IArchiveIdentity, static_cast<IArchiveIdentity*>(this)},
                 {&IID_IArchiveItems, static_cast<IArchiveItems*>(this)},
                 {&IID_IArchiveFileControl, static_cast<IArchiveFileControl*>(this)}});
}

STDMETHODIMP FileObject::GetFile(ULONG id1, ULONG id2, ULONG id0, IArchiveFile** file) {
  if (file == nullptr) return E_POINTER;
  *file = nullptr;
  if (HRESULT hr = InjectedFailure(L"IArchiveObject", 20); FAILED(hr)) return hr;
  if (HRESULT hr = InjectedFailure(L"IArchiveObject", 20, MakeKeyString(path_, identity_)); FAILED(hr)) return hr;
  FileIdentity current;
  if (DWORD rc = ReadIdentity(path_, current); rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
  if (id0 != kAny && id0 != current.id0) return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
  const FileIdentity asked{current.id0, id1 == kAny ? current.id1 : id1, id2 == kAny ? current.id2 : id2};
  *file = new FileObject(path_, asked);
  return S_OK;
}

STDMETHODIMP FileObject::GetFullPath(BSTR* path) {
  if (path == nullptr) return E_POINTER;
  *path = nullptr;
  if (HRESULT hr = InjectedFailure(L"IArchiveFile", 8); FAILED(hr)) return hr;
  return ReturnBstr(path_.Text(), path);
}

STDMETHODIMP FileObject::GetKeyString(BSTR* key) {
  if (key == nullptr) return E_POINTER;
  *key = nullptr;
  if (HRESULT hr = InjectedFailure(L"IArchiveFile", 9); FAILED(hr)) return hr;
  return ReturnBstr(MakeKeyString(path_, identity_), key);
}

STDMETHODIMP FileObject::GetPin(VARIANT name, IArchivePin** pin) {
  if (pin == nullptr) return E_POINTER;
  *pin = nullptr;
  if (HRESULT hr = InjectedFailure(L"IArchivePins", 8); FAILED(hr)) return hr;
  const std::wstring key = MakeKeyString(path_, identity_);
  if (HRESULT hr = InjectedFailure(L"IArchivePins", 8, key); FAILED(hr)) return hr;
  if (name.vt != VT_BSTR || SysStringLen(name.bstrVal) == 0) return E_INVALIDARG;
  *pin = new PinObject(CurrentPinStore(), PinnedFile{path_.drive, identity_.id0, identity_.id1, identity_.id2, key},
                       std::wstring(BstrView(name.bstrVal)));
  return S_OK;
}

STDMETHODIMP FileObject::GetItem(ULONG itemCode, void* buffer, ULONG bufferBytes) {
  if (HRESULT hr = InjectedFailure(L"IArchiveItems", 4); FAILED(hr)) return hr;
  if (itemCode != kItemIdentity && itemCode != kItemRecord) return E_INVALIDARG;
  if (buffer == nullptr) return E_POINTER;
  if (bufferBytes < itemCode) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  auto* out = static_cast<BYTE*>(buffer);
  if (itemCode == kItemIdentity) {
    platform::StoreLe32(out + 0, identity_.id0);
    platform::StoreLe32(out + 4, identity_.id1);
    platform::StoreLe32(out + 8, identity_.id2);
  } else {
    BYTE record[kRecordSize];
    FillRecord(path_, identity_, record);
    std::memcpy(out, record, kRecordSize);
  }
  return S_OK;
}

STDMETHODIMP FileObject::Control(ULONG code, const void* input, ULONG inputBytes, void* output, ULONG outputBytes,
                                 ULONG* bytesReturned) {
  if (bytesReturned == nullptr) return E_POINTER;
  *bytesReturned = 0;
  if (HRESULT hr = InjectedFailure(L"IArchiveFileControl", 3); FAILED(hr)) return hr;
  if (output == nullptr && outputBytes != 0) return E_POINTER;

  switch (code) {
    case kControlIdentityPair: {
      if (outputBytes < 8) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
      FileIdentity current;
      if (DWORD rc = ReadIdentity(path_, current); rc != ERROR_SUCCESS) return HRESULT_FROM_WIN32(rc);
      platform::StoreLe32(static_cast<BYTE*>(output), current.id1);
      platform::StoreLe32(static_cast<BYTE*>(output) + 4, current.id2);
      *bytesReturned = 8;
      return S_OK;
    }
    case kControlCompanionPath:
    case kControlOutputPath:
      return CompanionControl(code, input, inputBytes, output, outputBytes, bytesReturned);
    default:
      return HRESULT_FROM_WIN32(ERROR_INVALID_FUNCTION);
  }
}

HRESULT FileObject::CompanionControl(ULONG code, const void* input, ULONG inputBytes, void* output,
                                     ULONG outputBytes, ULONG* bytesReturned) {
  if (input == nullptr || inputBytes < kCompanionHeaderSize) return E_INVALIDARG;
  const auto* request = static_cast<const BYTE*>(input);
  const DWORD id1 = platform::LoadLe32(request);
  const DWORD id2 = platform::LoadLe32(request + 4);
  const std::size_t nameBytes = platform::LoadLe16(request + 8);
  // The length must be whole UTF-16 units, fit the name field and lie within
  // what the caller says it passed.
  if (nameBytes % 2 != 0 || nameBytes > kCompanionNameMaxChars * 2 || inputBytes < kCompanionHeaderSize + nameBytes)
    return E_INVALIDARG;
  const std::wstring name = platform::WideFromUtf16le(request + kCompanionHeaderSize, nameBytes);
  if (!IsValidCompanionName(name)) return HRESULT_FROM_WIN32(ERROR_INVALID_NAME);

  const std::wstring relative = CompanionPath(path_, id1, id2, name);
  const std::string bytes = platform::Utf16leFromWide(relative);
  if (bytes.size() > outputBytes) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

  if (code == kControlOutputPath) {
    // The writer needs the folder; the kept path is only a name until then.
    ArchivePath companion;
    if (DWORD rc = ResolveArchivePath(path_.Text().substr(0, 3) + relative, companion); rc != ERROR_SUCCESS)
      return HRESULT_FROM_WIN32(rc);
    std::error_code ec;
    std::filesystem::create_directories(companion.host.parent_path(), ec);
    if (ec) return HRESULT_FROM_WIN32(platform::Win32FromErrno(ec.value(), platform::ErrnoContext::CreateDirectory));
  }
  std::memcpy(output, bytes.data(), bytes.size());
  *bytesReturned = static_cast<ULONG>(bytes.size());
  return S_OK;
}

// --- PinObject ---

STDMETHODIMP PinObject::QueryInterface(REFIID riid, void** ppv) {
  IArchivePin* pin = this;
  return Answer(riid, ppv,
                {{&IID_IUnknown, static_cast<IUnknown*>(pin)},
                 {&IID_IDispatch, static_cast<IDispatch*>(pin)},
                 {&IID_IArchivePin, pin}});
}

STDMETHODIMP PinObject::GetValue(VARIANT* value) {
  if (value == nullptr) return E_POINTER;
  VariantInit(value);
  if (HRESULT hr = InjectedFailure(L"IArchivePin", 8); FAILED(hr)) return hr;
  if (HRESULT hr = InjectedFailure(L"IArchivePin", 8, file_.keyString); FAILED(hr)) return hr;
  std::optional<std::wstring> stored;
  if (HRESULT hr = store_->Read(file_, name_, stored); FAILED(hr)) return hr;
  if (!stored) return S_OK;
  BSTR text = nullptr;
  if (HRESULT hr = ReturnBstr(*stored, &text); FAILED(hr)) return hr;
  value->vt = VT_BSTR;
  value->bstrVal = text;
  return S_OK;
}

STDMETHODIMP PinObject::SetValue(VARIANT value) {
  const bool release = value.vt == VT_EMPTY;
  std::wstring written;
  const HRESULT hr = Store(value, written);
  RecordPin(release, file_.keyString, name_, written, hr);
  return hr;
}

HRESULT PinObject::Store(const VARIANT& value, std::wstring& written) {
  if (HRESULT hr = InjectedFailure(L"IArchivePin", 9); FAILED(hr)) return hr;
  if (HRESULT hr = InjectedFailure(L"IArchivePin", 9, file_.keyString); FAILED(hr)) return hr;
  if (value.vt == VT_EMPTY) return store_->Release(file_, name_);
  platform::ComVariant text;
  if (HRESULT hr = VariantChangeType(&text, &value, 0, VT_BSTR); FAILED(hr)) return hr;
  // An empty operation could not be told from "not pinned" by its reader.
  if (SysStringLen(text.bstrVal) == 0) return E_INVALIDARG;
  written = BstrView(text.bstrVal);
  return store_->Write(file_, name_, written);
}

}  // namespace vnarchive
