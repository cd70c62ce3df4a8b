// PostProcess.cpp - records of operations in progress and the post-process objects.
#include "VNService/Extensions/Taskweave/PostProcess.h"

#include <cstring>

namespace {

constexpr HRESULT kPinOffline = HRESULT_FROM_WIN32(ERROR_FILE_OFFLINE);
constexpr ULONG kIdentityBytes = 3 * sizeof(ULONG);

int CompareIds(ULONG a, ULONG b, bool wildcard) {
  if (wildcard && (a == kAnyIdentity || b == kAnyIdentity)) return 0;
  return a < b ? -1 : (a > b ? 1 : 0);
}

int CompareText(const std::wstring& a, const std::wstring& b) {
  const int c = a.compare(b);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

}  // namespace

void MaskIdentity(ULONG mode, ULONG values[3]) {
  // Mode n covers the first n of (id1, id2, id0); values[] holds id0, id1, id2.
  if (mode == 0) values[1] = values[2] = kAnyIdentity;
  if (mode <= 1) values[2] = kAnyIdentity;
  if (mode <= 2) values[0] = kAnyIdentity;
}

// --- PostProcessRecord ---

int PostProcessRecord::Compare(const PostProcessRecord& other, bool wildcard) const {
  if (int c = CompareText(m_operation, other.m_operation)) return c;
  if (int c = CompareText(m_keyString, other.m_keyString)) return c;
  if (int c = CompareIds(m_id1, other.m_id1, wildcard)) return c;
  if (int c = CompareIds(m_id2, other.m_id2, wildcard)) return c;
  return CompareIds(m_id0, other.m_id0, wildcard);
}

HRESULT PostProcessRecord::Build(BSTR operation, IPostProcessParameters* parameters, PostProcessRecord& out) {
  if (parameters == nullptr) return E_INVALIDARG;
  ULONG values[3] = {0, 0, 0};
  HRESULT hr = parameters->GetItem(kPostProcessIdentityItem, values);
  if (FAILED(hr)) return hr;
  platform::ComPtr<IArchiveFile> file;
  hr = parameters->QueryInterface(IID_IArchiveFile, file.PutVoid());
  if (FAILED(hr)) return hr;
  if (!file) return E_NOINTERFACE;
  auto* ours = dynamic_cast<CPostProcessParameters*>(parameters);
  std::wstring keyString = ours != nullptr ? ours->KeyString() : std::wstring();
  if (keyString.empty()) {
    platform::ComBstr key;
    hr = file->GetKeyString(key.ReleaseAndGetAddressOf());
    if (FAILED(hr)) return hr;
    keyString = key.Str();
  }
  out = PostProcessRecord(platform::ComBstr::FromBstr(operation).Str(), std::move(keyString), values[1], values[2],
                          values[0]);
  return S_OK;
}

HRESULT PostProcessRecord::MakePinKey(IUnknown* identity, const std::wstring& pinName, PinKey& out) {
  if (identity == nullptr) return E_INVALIDARG;
  platform::ComPtr<IArchiveItems> items;
  HRESULT hr = identity->QueryInterface(IID_IArchiveItems, items.PutVoid());
  if (FAILED(hr)) return hr;
  if (!items) return E_NOINTERFACE;
  ULONG values[3] = {0, 0, 0};
  hr = items->GetItem(kPostProcessIdentityItem, values, kIdentityBytes);
  if (FAILED(hr)) return hr;
  out = PinKey(values[0], values[2], values[1], pinName);
  return S_OK;
}

void PostProcessRecord::AddPin(const PinKey& key, IArchivePin* pin) const {
  if (pin == nullptr) return;
  auto [where, added] = m_pins.try_emplace(key);
  if (added) where->second.pin = pin;
}

HRESULT PostProcessRecord::ReleasePins() const {
  HRESULT result = S_OK;
  for (auto& [key, entry] : m_pins) {
    // Claim the pin first, so that two releases running at once under the
    // shared lock do not both reach the archive.
    if (entry.released->exchange(true)) continue;
    platform::ComVariant empty;
    result = entry.pin->SetValue(empty);
    if (result == kPinOffline) result = S_OK;
    if (FAILED(result)) {
      entry.released->store(false);
      return result;
    }
  }
  return result;
}

std::vector<std::wstring> PostProcessRecord::KeptPinNames() const {
  std::vector<std::wstring> names;
  for (const auto& [key, entry] : m_pins) {
    if (!entry.released->load()) names.push_back(std::get<3>(key));
  }
  return names;
}

// --- CPostProcessOperation ---

CPostProcessOperation::CPostProcessOperation(const CExtensionRegistryOperations::Operation& operation)
    : m_name(SysAllocStringLen(operation.name.data(), static_cast<UINT>(operation.name.size()))),
      m_values(operation.parameters) {
  if (m_name == nullptr) throw E_OUTOFMEMORY;
}

CPostProcessOperation::~CPostProcessOperation() { SysFreeString(m_name); }

STDMETHODIMP CPostProcessOperation::GetName(BSTR* name) {
  if (name == nullptr) return E_POINTER;
  *name = m_name;
  return S_OK;
}

STDMETHODIMP CPostProcessOperation::GetValue(BSTR valueName, VARIANT* value) {
  if (value == nullptr) return E_POINTER;
  const auto found = m_values.find(platform::ComBstr::FromBstr(valueName).Str());
  if (found == m_values.end()) return S_FALSE;
  std::memcpy(static_cast<void*>(value), static_cast<const VARIANT*>(&found->second), sizeof(VARIANT));
  return S_OK;
}

// --- CPostProcessOperations ---

STDMETHODIMP CPostProcessOperations::Next(IPostProcessOperation** operation) {
  if (operation == nullptr) return E_POINTER;
  *operation = nullptr;
  if (m_cursor + 1 >= static_cast<long>(m_operations.size())) {
    m_cursor = static_cast<long>(m_operations.size());
    return S_OK;
  }
  ++m_cursor;
  CPostProcessOperation* next = nullptr;
  try {
    next = new CPostProcessOperation(m_operations[static_cast<std::size_t>(m_cursor)]);
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  next->AddRef();
  *operation = next;
  return S_OK;
}

// --- CPostProcessParameters ---

CPostProcessParameters::CPostProcessParameters(IUnknown* file, IUnknown* pin, std::wstring pinName,
                                               std::shared_ptr<CExtensionRegistryOperations> rules)
    : m_file(file), m_pin(pin), m_pinName(std::move(pinName)), m_rules(std::move(rules)) {}

STDMETHODIMP CPostProcessParameters::QueryInterface(REFIID riid, void** ppv) {
  if (ppv == nullptr) return E_FAIL;
  if (m_file && SUCCEEDED(m_file->QueryInterface(riid, ppv))) return S_OK;
  if (m_pin && SUCCEEDED(m_pin->QueryInterface(riid, ppv))) return S_OK;
  return CComBase::QueryInterface(riid, ppv);
}

STDMETHODIMP CPostProcessParameters::SetMode(ULONG mode) {
  m_mode.store(mode);
  return S_OK;
}

STDMETHODIMP CPostProcessParameters::GetOperations(IPostProcessOperations** operations) {
  platform::ComPtr<IArchiveFile> file;
  HRESULT hr = QueryInterface(IID_IArchiveFile, file.PutVoid());
  if (FAILED(hr)) return hr;
  platform::ComBstr path;
  hr = file->GetFullPath(path.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;
  if (!m_rules) return E_UNEXPECTED;
  std::vector<CExtensionRegistryOperations::Operation> selected;
  hr = m_rules->FindOperations(path.View(), selected);
  if (hr != S_OK) return hr;
  if (selected.empty()) return S_FALSE;
  if (operations == nullptr) return S_OK;
  CPostProcessOperations* list = nullptr;
  try {
    list = new CPostProcessOperations(std::move(selected));
  } catch (...) {
    return E_OUTOFMEMORY;
  }
  list->AddRef();
  *operations = list;
  return S_OK;
}

STDMETHODIMP CPostProcessParameters::GetItem(USHORT itemId, ULONG* values) {
  // Only the identity item fits a three-value array: refuse others before
  // anything is written into it.
  if (itemId != kPostProcessIdentityItem || values == nullptr) return E_INVALIDARG;
  platform::ComPtr<IArchiveItems> items;
  HRESULT hr = QueryInterface(IID_IArchiveItems, items.PutVoid());
  if (FAILED(hr)) return hr;
  hr = items->GetItem(itemId, values, kIdentityBytes);
  if (FAILED(hr)) return hr;
  MaskIdentity(m_mode.load(), values);
  return hr;
}
