// HTMLDataSource.cpp - opening, executing, binding and stepping the one command of a query.
//
// The instance makes its own bindings and hands them to the provider, so no
// thread registry is needed to find it from a callback.
#include "REST APIs/HTTP Service/HTMLDataSource.h"
#include "platform/base/errors.h"

#include <algorithm>
#include <cstring>
#include <system_error>

using platform::ComPtr;

namespace {

// Bytes of one parameter slot: length word, status word, then the BSTR pointer.
constexpr DBBYTEOFFSET kParameterSlot = 24;
constexpr DBBYTEOFFSET kParameterStatus = 8;
constexpr DBBYTEOFFSET kParameterValue = 16;
// Bind size of a column whose size the provider does not fix.
constexpr DBLENGTH kVariantBindSize = 8192;

DBBYTEOFFSET RoundUp(DBBYTEOFFSET value, DBBYTEOFFSET to) { return (value + to - 1) / to * to; }

}  // namespace

CHTMLDataSource::CParameter::CParameter(std::wstring name, const VARIANT& value) : m_name(std::move(name)) {
  VariantInit(&m_value);
  const HRESULT hr = VariantCopy(&m_value, &value);
  if (FAILED(hr)) {
    m_value.vt = VT_ERROR;
    m_value.scode = hr;
    throw std::system_error(hr & 0xFFFF, platform::Win32Category(), "VariantCopy");
  }
}

CHTMLDataSource::CParameter::CParameter(const CParameter& other) : CParameter(other.m_name, other.m_value) {}

CHTMLDataSource::CParameter::~CParameter() { VariantClear(&m_value); }

CHTMLDataSource::CHTMLDataSource(bool variantTypes, RowFilter filter, ValueFormatter formatter)
    : m_variantTypes(variantTypes), m_filter(std::move(filter)), m_formatter(std::move(formatter)) {
  InitializeCriticalSection(&m_bufferLock);
}

CHTMLDataSource::~CHTMLDataSource() {
  ReleaseResult();
  if (m_command && m_parameterAccessor != 0) {
    ComPtr<IAccessor> accessor;
    if (SUCCEEDED(m_command.As(&accessor))) accessor->ReleaseAccessor(m_parameterAccessor, nullptr);
  }
  DeleteCriticalSection(&m_bufferLock);
}

HRESULT CHTMLDataSource::Open(const std::wstring& connection) {
  m_session.Reset();
  m_dataSource.Reset();
  ComPtr<IDataInitialize> service;
  HRESULT hr = CoCreateInstance(CLSID_MSDAINITIALIZE, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(service.GetAddressOf()));
  if (SUCCEEDED(hr))
    hr = service->GetDataSource(nullptr, CLSCTX_INPROC_SERVER, connection.c_str(), IID_IDBInitialize,
                                reinterpret_cast<IUnknown**>(m_dataSource.ReleaseAndGetAddressOf()));
  if (SUCCEEDED(hr)) hr = m_dataSource->Initialize();
  if (FAILED(hr)) return hr;
  ComPtr<IDBCreateSession> creator;
  hr = m_dataSource.As(&creator);
  if (SUCCEEDED(hr))
    hr = creator->CreateSession(nullptr, IID_IOpenRowset, reinterpret_cast<IUnknown**>(m_session.ReleaseAndGetAddressOf()));
  return hr;
}

void CHTMLDataSource::AddParameter(std::wstring name, const VARIANT& value) {
  m_parameters.emplace_back(std::move(name), value);
}

// Every value is a BSTR bound whole (by pointer), so no size limit applies;
// names go to the provider as they are, duplicates included, in order.
HRESULT CHTMLDataSource::BindParameters(ICommand* command, DBPARAMS& params) {
  ComPtr<ICommandWithParameters> withParameters;
  HRESULT hr = command->QueryInterface(IID_PPV_ARGS(withParameters.GetAddressOf()));
  if (FAILED(hr)) return hr;
  const std::size_t n = m_parameters.size();
  m_parameterInfo.assign(n, DBPARAMBINDINFO{});
  std::vector<DB_UPARAMS> ordinals(n);
  std::vector<DBBINDING> bindings(n);
  m_parameterBuffer.assign(n * kParameterSlot, 0);
  for (std::size_t i = 0; i < n; ++i) {
    const CParameter& p = m_parameters[i];
    if (p.Value().vt != VT_BSTR) return HRESULT_FROM_WIN32(ERROR_INTERNAL_ERROR);
    m_parameterInfo[i] = DBPARAMBINDINFO{const_cast<LPOLESTR>(L"DBTYPE_WVARCHAR"), const_cast<LPOLESTR>(p.Name().c_str()),
                                         kUnboundedColumnSize, DBPARAMFLAGS_ISINPUT, 0xFF, 0xFF};
    ordinals[i] = i + 1;
    const DBBYTEOFFSET slot = i * kParameterSlot;
    const BSTR text = p.Value().bstrVal;
    const DBLENGTH bytes = SysStringLen(text) * sizeof(wchar_t);
    std::memcpy(&m_parameterBuffer[slot], &bytes, sizeof bytes);
    std::memcpy(&m_parameterBuffer[slot + kParameterValue], &text, sizeof text);
    DBBINDING& b = bindings[i];
    b = DBBINDING{};
    b.iOrdinal = i + 1;
    b.obLength = slot;
    b.obStatus = slot + kParameterStatus;
    b.obValue = slot + kParameterValue;
    b.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
    b.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
    b.eParamIO = DBPARAMIO_INPUT;
    b.cbMaxLen = bytes + sizeof(wchar_t);
    b.wType = DBTYPE_BSTR;
    b.bPrecision = b.bScale = 0xFF;
  }
  hr = withParameters->SetParameterInfo(n, ordinals.data(), m_parameterInfo.data());
  if (FAILED(hr)) return hr;
  ComPtr<IAccessor> accessor;
  hr = command->QueryInterface(IID_PPV_ARGS(accessor.GetAddressOf()));
  if (SUCCEEDED(hr))
    hr = accessor->CreateAccessor(DBACCESSOR_PARAMETERDATA, n, bindings.data(), m_parameterBuffer.size(),
                                  &m_parameterAccessor, nullptr);
  if (FAILED(hr)) return hr;
  params = DBPARAMS{m_parameterBuffer.data(), 1, m_parameterAccessor};
  return S_OK;
}

HRESULT CHTMLDataSource::DescribeColumns(IUnknown* source) {
  ComPtr<IColumnsInfo> info;
  HRESULT hr = source->QueryInterface(IID_PPV_ARGS(info.GetAddressOf()));
  if (FAILED(hr)) return hr;
  DBORDINAL count = 0;
  DBCOLUMNINFO* columns = nullptr;
  OLECHAR* strings = nullptr;
  hr = info->GetColumnInfo(&count, &columns, &strings);
  if (FAILED(hr)) return hr;
  for (DBORDINAL i = 0; i < count; ++i) {
    m_columns.push_back(CColumn{columns[i], columns[i].pwszName == nullptr ? L"" : columns[i].pwszName});
    const DBLENGTH size = GetColumnSize(columns[i]);
    m_columnSizes.push_back(size);
    m_totalSize += size;
  }
  for (auto& c : m_columns) c.info.pwszName = c.name.data();
  CoTaskMemFree(columns);
  CoTaskMemFree(strings);
  return S_OK;
}

HRESULT CHTMLDataSource::Execute(const std::wstring& text, bool prepareOnly) {
  m_totalSize = 0;
  m_columnSizes.clear();
  m_columns.clear();
  if (!m_session) return HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
  ReleaseResult();
  if (m_command && m_parameterAccessor != 0) {
    ComPtr<IAccessor> accessor;
    if (SUCCEEDED(m_command.As(&accessor))) accessor->ReleaseAccessor(m_parameterAccessor, nullptr);
    m_parameterAccessor = 0;
  }
  ComPtr<ICommand> created;
  HRESULT hr = S_OK;
  // The command that declared the parameters has this text compiled already.
  const bool declared = m_declared && m_declaredText == text;
  if (declared) {
    created = std::move(m_declared);
  } else {
    ComPtr<IDBCreateCommand> creator;
    hr = m_session.As(&creator);
    if (SUCCEEDED(hr))
      hr = creator->CreateCommand(nullptr, IID_ICommand, reinterpret_cast<IUnknown**>(created.GetAddressOf()));
  }
  m_declared.Reset();
  m_declaredText.clear();
  {
    platform::SrwExclusiveLock hold(m_cancelLock);
    m_command = created;
    if (m_cancelled) return HRESULT_FROM_WIN32(ERROR_CANCELLED);
  }
  if (!declared) {
    ComPtr<ICommandText> commandText;
    if (SUCCEEDED(hr)) hr = m_command.As(&commandText);
    if (SUCCEEDED(hr)) hr = commandText->SetCommandText(DBGUID_DEFAULT, text.c_str());
  }
  if (FAILED(hr)) return hr;
  if (prepareOnly) {
    ComPtr<ICommandPrepare> prepare;
    hr = m_command.As(&prepare);
    if (SUCCEEDED(hr)) hr = prepare->Prepare(0);
    return SUCCEEDED(hr) ? DescribeColumns(m_command) : hr;
  }
  DBPARAMS params{};
  if (!m_parameters.empty()) {
    hr = BindParameters(m_command, params);
    if (FAILED(hr)) return hr;
  }
  if (IsCancelled()) return HRESULT_FROM_WIN32(ERROR_CANCELLED);
  hr = m_command->Execute(nullptr, IID_IRowset, m_parameters.empty() ? nullptr : &params, nullptr,
                          reinterpret_cast<IUnknown**>(m_rowset.GetAddressOf()));
  // A cancel that came while the command ran is the outcome, whatever the
  // provider made of its interruption.
  if (IsCancelled()) return HRESULT_FROM_WIN32(ERROR_CANCELLED);
  if (FAILED(hr)) return hr;
  // A statement without a result (an UPDATE, say) has taken effect and has no rows.
  if (!m_rowset) return S_OK;
  m_rowset.As(&m_rowsetChange);
  return DescribeColumns(m_rowset);
}

void CHTMLDataSource::Cancel() {
  platform::SrwExclusiveLock hold(m_cancelLock);
  m_cancelled = true;
  if (m_command) m_command->Cancel();
}

bool CHTMLDataSource::IsCancelled() const {
  platform::SrwSharedLock hold(m_cancelLock);
  return m_cancelled;
}

HRESULT CHTMLDataSource::DeclaredParameters(const std::wstring& text, std::vector<std::wstring>& names) {
  names.clear();
  if (!m_session) return HRESULT_FROM_WIN32(ERROR_INVALID_STATE);
  ComPtr<IDBCreateCommand> creator;
  ComPtr<ICommand> command;
  ComPtr<ICommandText> commandText;
  ComPtr<ICommandPrepare> prepare;
  ComPtr<ICommandWithParameters> withParameters;
  HRESULT hr = m_session.As(&creator);
  if (SUCCEEDED(hr))
    hr = creator->CreateCommand(nullptr, IID_ICommand, reinterpret_cast<IUnknown**>(command.GetAddressOf()));
  if (SUCCEEDED(hr)) hr = command.As(&commandText);
  if (SUCCEEDED(hr)) hr = commandText->SetCommandText(DBGUID_DEFAULT, text.c_str());
  if (SUCCEEDED(hr)) hr = command.As(&prepare);
  if (SUCCEEDED(hr)) hr = prepare->Prepare(0);
  if (SUCCEEDED(hr)) hr = command.As(&withParameters);
  if (FAILED(hr)) return hr;
  DB_UPARAMS count = 0;
  DBPARAMINFO* info = nullptr;
  OLECHAR* strings = nullptr;
  hr = withParameters->GetParameterInfo(&count, &info, &strings);
  if (FAILED(hr)) return hr;
  for (DB_UPARAMS i = 0; i < count; ++i) names.emplace_back(info[i].pwszName == nullptr ? L"" : info[i].pwszName);
  CoTaskMemFree(info);
  CoTaskMemFree(strings);
  // Kept for an Execute of the same text, which then runs what was compiled here.
  m_declared = command;
  m_declaredText = text;
  return S_OK;
}

HRESULT CHTMLDataSource::StepRow() {
  platform::CriticalSectionLock hold(m_bufferLock);
  if (IsCancelled()) return HRESULT_FROM_WIN32(ERROR_CANCELLED);
  if (!m_rowset) return DB_S_ENDOFROWSET;
  if (m_row != 0) {
    m_rowset->ReleaseRows(1, &m_row, nullptr, nullptr, nullptr);
    m_row = 0;
  }
  if (m_position == -1) {
    // Only a rowset rows were taken from goes back to its start: a provider
    // may run the command again there (INSERT ... RETURNING twice).
    if (m_fetched) {
      const HRESULT hr = m_rowset->RestartPosition(0);
      if (FAILED(hr)) return hr;
      m_fetched = false;
    }
    m_position = 0;
  }
  DBCOUNTITEM obtained = 0;
  HROW* rows = &m_row;
  const HRESULT hr = m_rowset->GetNextRows(0, 0, 1, &obtained, &rows);
  if (hr != S_OK) return hr;
  if (obtained == 0) return DB_S_ENDOFROWSET;
  m_fetched = true;
  m_position = static_cast<LONG_PTR>(m_row);
  return S_OK;
}

void CHTMLDataSource::ReleaseResult() {
  platform::CriticalSectionLock hold(m_bufferLock);
  if (m_rowset && m_row != 0) m_rowset->ReleaseRows(1, &m_row, nullptr, nullptr, nullptr);
  m_row = 0;
  m_rowsetChange.Reset();
  m_rowset.Reset();
  m_fetched = false;
}

HRESULT CHTMLDataSource::Close() {
  m_columnSizes.clear();
  m_columns.clear();
  m_position = -1;
  ReleaseResult();
  m_parameterInfo.clear();
  m_parameters.clear();
  return S_OK;
}

CHTMLDataBuffer::~CHTMLDataBuffer() { ReleaseStringBinding(); }

DBLENGTH CHTMLDataBuffer::GetColumnSize(const DBCOLUMNINFO& column) {
  if (column.wType == DBTYPE_VARIANT || column.ulColumnSize == kUnboundedColumnSize) return kVariantBindSize;
  return column.ulColumnSize;
}

HRESULT CHTMLDataBuffer::BuildStringBinding() {
  platform::CriticalSectionLock hold(m_bufferLock);
  if (!m_rowset) return S_OK;
  HRESULT hr = m_rowset.As(&m_rowAccessor);
  if (FAILED(hr)) return hr;
  m_bound.assign(m_columns.size(), CBoundColumn{});  // sized once: the variant records must not move
  std::vector<DBBINDING> bindings(m_columns.size());
  DBBYTEOFFSET offset = 0;
  for (std::size_t i = 0; i < m_columns.size(); ++i) {
    const DBCOLUMNINFO& c = m_columns[i].info;
    CBoundColumn& b = m_bound[i];
    b.ordinal = c.iOrdinal;
    b.name = m_columns[i].name;
    b.declaredType = c.wType;
    // Every column by reference: whatever the declared type, a value may be
    // any text (a REAL column holding a long text, a GUID stored as text), so
    // no fixed width holds every value the provider can write.
    b.byReference = true;
    const DBLENGTH size = sizeof(wchar_t*);
    b.value = RoundUp(offset, alignof(wchar_t*));
    b.length = RoundUp(b.value + size, 8);
    b.status = b.length + 8;
    offset = b.status + 8;
    DBBINDING& d = bindings[i];
    d = DBBINDING{};
    d.iOrdinal = c.iOrdinal;
    d.obValue = b.value;
    d.obLength = b.length;
    d.obStatus = b.status;
    d.dwPart = DBPART_VALUE | DBPART_LENGTH | DBPART_STATUS;
    d.dwMemOwner = DBMEMOWNER_CLIENTOWNED;
    d.cbMaxLen = size;
    d.wType = b.byReference ? (DBTYPE_WSTR | DBTYPE_BYREF) : DBTYPE_WSTR;
    d.bPrecision = c.bPrecision;
    d.bScale = c.bScale;
    if (c.wType == DBTYPE_VARIANT) {
      b.variant.self = reinterpret_cast<BYTE*>(&b.variant.type);
      b.variant.count = 2;
      b.variant.type = DBTYPE_WSTR;
      if (m_variantTypes) d.pBindExt = reinterpret_cast<DBBINDEXT*>(&b.variant);
    }
  }
  m_rowBuffer.assign(offset, 0);
  hr = m_rowAccessor->CreateAccessor(DBACCESSOR_ROWDATA, bindings.size(), bindings.data(), offset, &m_stringAccessor,
                                     nullptr);
  if (FAILED(hr)) {
    m_stringAccessor = 0;
    m_bound.clear();
    m_rowBuffer.clear();
  }
  return hr;
}

HRESULT CHTMLDataBuffer::ReadRow() {
  if (!m_rowset || m_row == 0) return DB_E_BADROWHANDLE;
  return m_rowset->GetData(m_row, m_stringAccessor, m_rowBuffer.data());
}

void CHTMLDataBuffer::FreeRowReferences() {
  for (const CBoundColumn& b : m_bound) {
    if (!b.byReference) continue;
    wchar_t*& text = *reinterpret_cast<wchar_t**>(&m_rowBuffer[b.value]);
    CoTaskMemFree(text);
    text = nullptr;
  }
}

void CHTMLDataBuffer::ReleaseStringBinding() {
  FreeRowReferences();
  if (m_rowAccessor && m_stringAccessor != 0) m_rowAccessor->ReleaseAccessor(m_stringAccessor, nullptr);
  m_stringAccessor = 0;
  m_rowAccessor.Reset();
}

std::wstring_view CHTMLDataBuffer::Text(std::size_t i) const {
  const CBoundColumn& b = m_bound[i];
  const wchar_t* text = b.byReference ? *reinterpret_cast<wchar_t* const*>(&m_rowBuffer[b.value])
                                      : reinterpret_cast<const wchar_t*>(&m_rowBuffer[b.value]);
  if (text == nullptr || Status(i) == DBSTATUS_S_ISNULL) return {};
  DBLENGTH bytes;
  std::memcpy(&bytes, &m_rowBuffer[b.length], sizeof bytes);
  std::size_t count = bytes / sizeof(wchar_t);
  if (!b.byReference) count = std::min<std::size_t>(count, std::wcslen(text));  // a cut value ends at its terminator
  return std::wstring_view(text, count);
}

DBSTATUS CHTMLDataBuffer::Status(std::size_t i) const {
  DBSTATUS status;
  std::memcpy(&status, &m_rowBuffer[m_bound[i].status], sizeof status);
  return status;
}

DBTYPE CHTMLDataBuffer::Type(std::size_t i) const {
  const CBoundColumn& b = m_bound[i];
  return b.declaredType == DBTYPE_VARIANT ? b.variant.type : b.declaredType;
}

std::wstring CHTMLDataBuffer::ValueText(std::size_t i) const {
  const std::wstring text(Text(i));
  return m_formatter ? m_formatter(text.c_str(), m_bound[i].ordinal) : text;
}

std::wstring_view CHTMLDataBuffer::ValueView(std::size_t i, std::wstring& scratch) const {
  if (!m_formatter) return Text(i);
  scratch = ValueText(i);
  return scratch;
}

const wchar_t* CHTMLDataBuffer::Lookup(DBORDINAL ordinal) const {
  if (ordinal == 0) return nullptr;
  for (std::size_t i = 0; i < m_bound.size(); ++i) {
    if (m_bound[i].ordinal != ordinal) continue;
    const CBoundColumn& b = m_bound[i];
    const wchar_t* text = b.byReference ? *reinterpret_cast<wchar_t* const*>(&m_rowBuffer[b.value])
                                        : reinterpret_cast<const wchar_t*>(&m_rowBuffer[b.value]);
    // A NULL is an empty text: null means only "no such column".
    return text == nullptr || Status(i) == DBSTATUS_S_ISNULL ? L"" : text;
  }
  return nullptr;
}
