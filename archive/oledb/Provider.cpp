// Provider.cpp - the data source, session, command and rowset objects of the provider.
//
// A command compiles a fresh statement for every Execute and hands it to the
// rowset it returns, so rowsets of one command are independent. Execute runs
// the statement to its first row: errors that SQLite finds at once (a
// constraint, a missing table) fail Execute rather than the first fetch, and
// a statement that returns rows (INSERT ... RETURNING included) takes effect
// exactly once, because RestartPosition before the first fetch leaves the
// position where it is.
#include "archive/oledb/Provider.h"

#include "archive/system/ComObject.h"
#include "platform/base/text.h"
#include "platform/com/comptr.h"
#include "platform/registry/registry.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace vnoledb {
namespace {

using vnarchive::ComObject;

constexpr int kBusyTimeoutMs = 5000;

// The parameter names a statement declares, without their sign; "?" ones are
// named by their position ("1", "2", ...).
std::vector<std::wstring> StatementParameters(sqlite3_stmt* statement) {
  std::vector<std::wstring> names;
  const int count = sqlite3_bind_parameter_count(statement);
  for (int i = 1; i <= count; ++i) {
    const char* name = sqlite3_bind_parameter_name(statement, i);
    names.push_back(name == nullptr ? std::to_wstring(i) : platform::WideFromUtf8(name + 1));
  }
  return names;
}

HRESULT Prepare(const std::shared_ptr<Database>& db, const std::wstring& text, sqlite3_stmt** statement) {
  const std::string utf8 = platform::Utf8FromWide(text);
  *statement = nullptr;
  const int rc = sqlite3_prepare_v2(db->handle, utf8.c_str(), static_cast<int>(utf8.size()), statement, nullptr);
  if (rc != SQLITE_OK || *statement == nullptr) {
    sqlite3_finalize(*statement);
    *statement = nullptr;
    return DB_E_ERRORSINCOMMAND;
  }
  return S_OK;
}

class Rowset final : public ComObject<IRowset, IAccessor, IColumnsInfo> {
 public:
  Rowset(std::shared_ptr<Database> db, sqlite3_stmt* statement, bool onRow)
      : m_db(std::move(db)), m_statement(statement), m_pending(onRow), m_done(!onRow),
        m_columns(DescribeColumns(statement, m_db->bookmarks)) {}
  ~Rowset() override { sqlite3_finalize(m_statement); }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv, {{&IID_IUnknown, static_cast<IRowset*>(this)}, {&IID_IRowset, static_cast<IRowset*>(this)},
                              {&IID_IAccessor, static_cast<IAccessor*>(this)},
                              {&IID_IColumnsInfo, static_cast<IColumnsInfo*>(this)}});
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ComObject::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return ComObject::Release(); }

  // IRowset
  STDMETHODIMP AddRefRows(DBCOUNTITEM count, const HROW[], DBREFCOUNT refCounts[], DBROWSTATUS status[]) override {
    for (DBCOUNTITEM i = 0; i < count; ++i) {
      if (refCounts != nullptr) refCounts[i] = 1;
      if (status != nullptr) status[i] = 0;
    }
    return S_OK;
  }
  STDMETHODIMP GetData(HROW row, HACCESSOR handle, void* data) override;
  STDMETHODIMP GetNextRows(HCHAPTER, DBROWOFFSET offset, DBROWCOUNT rows, DBCOUNTITEM* obtained,
                           HROW** handles) override;
  STDMETHODIMP ReleaseRows(DBCOUNTITEM count, const HROW[], DBROWOPTIONS[], DBREFCOUNT refCounts[],
                           DBROWSTATUS status[]) override {
    return AddRefRows(count, nullptr, refCounts, status);
  }
  STDMETHODIMP RestartPosition(HCHAPTER) override {
    if (!m_fetched) return S_OK;
    sqlite3_reset(m_statement);
    m_fetched = m_pending = m_done = false;
    m_current = 0;
    return S_OK;
  }

  // IAccessor
  STDMETHODIMP AddRefAccessor(HACCESSOR handle, DBREFCOUNT* refs) override { return m_accessors.AddRef(handle, refs); }
  STDMETHODIMP CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM count, const DBBINDING bindings[], DBLENGTH,
                              HACCESSOR* handle, DBBINDSTATUS status[]) override {
    for (DBCOUNTITEM i = 0; i < count && bindings != nullptr; ++i) {
      if (FindColumn(bindings[i].iOrdinal) == nullptr) {
        if (status != nullptr) status[i] = DBBINDSTATUS_BADORDINAL;
        return DB_E_ERRORSOCCURRED;
      }
    }
    return m_accessors.Create(flags, count, bindings, handle, status);
  }
  STDMETHODIMP GetBindings(HACCESSOR handle, DBACCESSORFLAGS* flags, DBCOUNTITEM* count,
                           DBBINDING** bindings) override {
    return m_accessors.Get(handle, flags, count, bindings);
  }
  STDMETHODIMP ReleaseAccessor(HACCESSOR handle, DBREFCOUNT* refs) override { return m_accessors.Release(handle, refs); }

  // IColumnsInfo
  STDMETHODIMP GetColumnInfo(DBORDINAL* count, DBCOLUMNINFO** info, OLECHAR** strings) override {
    return CopyColumnInfo(m_columns, count, info, strings);
  }
  STDMETHODIMP MapColumnIDs(DBORDINAL, const DBID[], DBORDINAL[]) override { return E_NOTIMPL; }

 private:
  const Column* FindColumn(DBORDINAL ordinal) const {
    for (const auto& c : m_columns)
      if (c.ordinal == ordinal) return &c;
    return nullptr;
  }
  // Moves the statement onto the next row; S_OK, DB_S_ENDOFROWSET or a failure.
  HRESULT Step() {
    if (m_pending) {
      m_pending = false;
      return S_OK;
    }
    if (m_done) return DB_S_ENDOFROWSET;
    const int rc = sqlite3_step(m_statement);
    if (rc == SQLITE_ROW) return S_OK;
    m_done = true;
    return rc == SQLITE_DONE ? DB_S_ENDOFROWSET : DB_E_ERRORSOCCURRED;
  }

  std::shared_ptr<Database> m_db;
  sqlite3_stmt* m_statement;
  bool m_pending;        // the statement sits on a row not yet handed out
  bool m_done;           // the statement has no more rows
  bool m_fetched = false;
  HROW m_current = 0;    // the handle of the row the statement sits on; 0 before the first
  HROW m_lastHandle = 0; // handles count up from 1 and are never reused
  std::vector<Column> m_columns;
  AccessorTable m_accessors;
  std::wstring m_text;  // a value's text on its way into a binding; its storage is kept between values
};

STDMETHODIMP Rowset::GetNextRows(HCHAPTER, DBROWOFFSET offset, DBROWCOUNT rows, DBCOUNTITEM* obtained,
                                 HROW** handles) {
  if (obtained == nullptr || handles == nullptr) return E_INVALIDARG;
  *obtained = 0;
  if (offset < 0 || rows < 0) return DB_E_CANTSCROLLBACKWARDS;
  if (rows == 0) return S_OK;
  // Only the row the statement sits on can be read, so one row per call.
  if (rows != 1) return DB_E_NOTSUPPORTED;
  for (DBROWOFFSET skip = 0; skip <= offset; ++skip) {
    const HRESULT hr = Step();
    m_current = 0;
    if (hr != S_OK) return hr;
  }
  m_fetched = true;
  m_current = ++m_lastHandle;
  if (*handles == nullptr) {
    *handles = static_cast<HROW*>(CoTaskMemAlloc(sizeof(HROW)));
    if (*handles == nullptr) return E_OUTOFMEMORY;
  }
  (*handles)[0] = m_current;
  *obtained = 1;
  return S_OK;
}

STDMETHODIMP Rowset::GetData(HROW row, HACCESSOR handle, void* data) {
  if (row == 0 || row != m_current) return DB_E_BADROWHANDLE;
  const Accessor* accessor = m_accessors.Find(handle);
  if (accessor == nullptr) return DB_E_BADACCESSORHANDLE;
  if (data == nullptr) return E_INVALIDARG;
  bool errors = false;
  for (const DBBINDING& binding : accessor->bindings) {
    const Column* column = FindColumn(binding.iOrdinal);
    WriteColumn(m_statement, *column, row, binding, static_cast<BYTE*>(data), m_text);
    if (binding.dwPart & DBPART_STATUS) {
      const DBSTATUS status = *reinterpret_cast<DBSTATUS*>(static_cast<BYTE*>(data) + binding.obStatus);
      errors = errors || (status != DBSTATUS_S_OK && status != DBSTATUS_S_ISNULL && status != DBSTATUS_S_TRUNCATED);
    }
  }
  return errors ? DB_S_ERRORSOCCURRED : S_OK;
}

// Virtual machine steps between looks at a cancel.
constexpr int kCancelCheckSteps = 1000;

class Command final : public ComObject<ICommandText, ICommandPrepare, ICommandWithParameters, IAccessor, IColumnsInfo> {
 public:
  explicit Command(std::shared_ptr<Database> db) : m_db(std::move(db)) {}
  ~Command() override { sqlite3_finalize(m_prepared); }

  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv,
                  {{&IID_IUnknown, static_cast<ICommandText*>(this)}, {&IID_ICommand, static_cast<ICommandText*>(this)},
                   {&IID_ICommandText, static_cast<ICommandText*>(this)},
                   {&IID_ICommandPrepare, static_cast<ICommandPrepare*>(this)},
                   {&IID_ICommandWithParameters, static_cast<ICommandWithParameters*>(this)},
                   {&IID_IAccessor, static_cast<IAccessor*>(this)}, {&IID_IColumnsInfo, static_cast<IColumnsInfo*>(this)}});
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ComObject::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return ComObject::Release(); }

  // ICommand
  STDMETHODIMP Cancel() override {
    m_db->cancelled.store(true);
    sqlite3_interrupt(m_db->handle);
    return S_OK;
  }
  STDMETHODIMP Execute(IUnknown* outer, REFIID riid, DBPARAMS* params, DBROWCOUNT* rowsAffected,
                       IUnknown** rowset) override;
  STDMETHODIMP GetDBSession(REFIID, IUnknown** session) override {
    if (session != nullptr) *session = nullptr;
    return E_NOTIMPL;
  }
  // ICommandText
  STDMETHODIMP GetCommandText(GUID* dialect, LPOLESTR* text) override {
    if (text == nullptr) return E_INVALIDARG;
    if (dialect != nullptr) *dialect = DBGUID_DEFAULT;
    *text = static_cast<LPOLESTR>(CoTaskMemAlloc((m_text.size() + 1) * sizeof(OLECHAR)));
    if (*text == nullptr) return E_OUTOFMEMORY;
    std::wmemcpy(*text, m_text.c_str(), m_text.size() + 1);
    return S_OK;
  }
  STDMETHODIMP SetCommandText(REFGUID dialect, LPCOLESTR text) override {
    if (dialect != DBGUID_DEFAULT) return E_INVALIDARG;
    Unprepare();
    m_text = text == nullptr ? L"" : text;
    return S_OK;
  }
  // ICommandPrepare
  STDMETHODIMP Prepare(ULONG) override {
    if (m_text.empty()) return DB_E_NOCOMMAND;
    if (m_prepared != nullptr) return S_OK;
    const HRESULT hr = vnoledb::Prepare(m_db, m_text, &m_prepared);
    m_isPrepared = SUCCEEDED(hr);
    return hr;
  }
  STDMETHODIMP Unprepare() override {
    sqlite3_finalize(m_prepared);
    m_prepared = nullptr;
    m_isPrepared = false;
    return S_OK;
  }
  // ICommandWithParameters
  STDMETHODIMP GetParameterInfo(DB_UPARAMS* count, DBPARAMINFO** info, OLECHAR** names) override;
  STDMETHODIMP MapParameterNames(DB_UPARAMS, LPCWSTR[], DB_LPARAMS[]) override { return E_NOTIMPL; }
  STDMETHODIMP SetParameterInfo(DB_UPARAMS count, const DB_UPARAMS ordinals[], const DBPARAMBINDINFO info[]) override {
    if (count > 0 && (ordinals == nullptr || info == nullptr)) return E_INVALIDARG;
    m_parameterNames.clear();
    for (DB_UPARAMS i = 0; i < count; ++i)
      m_parameterNames[ordinals[i]] = info[i].pwszName == nullptr ? L"" : info[i].pwszName;
    return S_OK;
  }
  // IAccessor
  STDMETHODIMP AddRefAccessor(HACCESSOR handle, DBREFCOUNT* refs) override { return m_accessors.AddRef(handle, refs); }
  STDMETHODIMP CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM count, const DBBINDING bindings[], DBLENGTH,
                              HACCESSOR* handle, DBBINDSTATUS status[]) override {
    if (!(flags & DBACCESSOR_PARAMETERDATA)) return DB_E_BADBINDINFO;
    return m_accessors.Create(flags, count, bindings, handle, status);
  }
  STDMETHODIMP GetBindings(HACCESSOR handle, DBACCESSORFLAGS* flags, DBCOUNTITEM* count,
                           DBBINDING** bindings) override {
    return m_accessors.Get(handle, flags, count, bindings);
  }
  STDMETHODIMP ReleaseAccessor(HACCESSOR handle, DBREFCOUNT* refs) override { return m_accessors.Release(handle, refs); }
  // IColumnsInfo: the result of the prepared text, without running it.
  STDMETHODIMP GetColumnInfo(DBORDINAL* count, DBCOLUMNINFO** info, OLECHAR** strings) override {
    const HRESULT hr = Compiled();
    if (FAILED(hr)) return hr;
    return CopyColumnInfo(DescribeColumns(m_prepared, m_db->bookmarks), count, info, strings);
  }
  STDMETHODIMP MapColumnIDs(DBORDINAL, const DBID[], DBORDINAL[]) override { return E_NOTIMPL; }

 private:
  HRESULT BindParameters(sqlite3_stmt* statement, const DBPARAMS* params);
  // The prepared command's compiled text, compiled again when an Execute
  // took it; DB_E_NOTPREPARED when the command is not prepared.
  HRESULT Compiled() {
    if (m_prepared != nullptr) return S_OK;
    if (!m_isPrepared) return DB_E_NOTPREPARED;
    return vnoledb::Prepare(m_db, m_text, &m_prepared);
  }

  std::shared_ptr<Database> m_db;
  std::wstring m_text;
  // Compiled by Prepare for descriptions; the next Execute runs it rather
  // than compiling the text again (a consumer that asks for the parameters
  // first then compiles once), and the command stays prepared.
  sqlite3_stmt* m_prepared = nullptr;
  bool m_isPrepared = false;
  std::map<DB_UPARAMS, std::wstring> m_parameterNames;  // ordinal -> name, from SetParameterInfo
  AccessorTable m_accessors;
};

STDMETHODIMP Command::GetParameterInfo(DB_UPARAMS* count, DBPARAMINFO** info, OLECHAR** names) {
  if (count == nullptr || info == nullptr) return E_INVALIDARG;
  *count = 0;
  *info = nullptr;
  if (names != nullptr) *names = nullptr;
  std::vector<std::pair<DB_UPARAMS, std::wstring>> list(m_parameterNames.begin(), m_parameterNames.end());
  if (list.empty()) {
    const HRESULT hr = Compiled();
    if (FAILED(hr)) return hr;
    const auto declared = StatementParameters(m_prepared);
    for (std::size_t i = 0; i < declared.size(); ++i) list.emplace_back(i + 1, declared[i]);
  }
  std::size_t characters = 0;
  for (const auto& p : list) characters += p.second.size() + 1;
  auto* out = static_cast<DBPARAMINFO*>(CoTaskMemAlloc(sizeof(DBPARAMINFO) * std::max<std::size_t>(list.size(), 1)));
  auto* text = static_cast<OLECHAR*>(CoTaskMemAlloc(sizeof(OLECHAR) * std::max<std::size_t>(characters, 1)));
  if (out == nullptr || text == nullptr) {
    CoTaskMemFree(out);
    CoTaskMemFree(text);
    return E_OUTOFMEMORY;
  }
  OLECHAR* next = text;
  for (std::size_t i = 0; i < list.size(); ++i) {
    std::wmemcpy(next, list[i].second.c_str(), list[i].second.size() + 1);
    out[i] = DBPARAMINFO{DBPARAMFLAGS_ISINPUT, list[i].first, next, nullptr, kUnboundedColumnSize, DBTYPE_WSTR, 0xFF, 0xFF};
    next += list[i].second.size() + 1;
  }
  *count = list.size();
  *info = out;
  if (names != nullptr) {
    *names = text;
  } else {
    // The names in out point into text: a caller that does not take them gets none.
    for (std::size_t i = 0; i < list.size(); ++i) out[i].pwszName = nullptr;
    CoTaskMemFree(text);
  }
  return S_OK;
}

// Binds each name the statement declares to the first consumer parameter of
// that name, so that of two equal names the earlier one wins.
HRESULT Command::BindParameters(sqlite3_stmt* statement, const DBPARAMS* params) {
  if (params == nullptr || params->cParamSets == 0) return S_OK;
  const Accessor* accessor = m_accessors.Find(params->hAccessor);
  if (accessor == nullptr) return DB_E_BADACCESSORHANDLE;
  const auto declared = StatementParameters(statement);
  for (std::size_t i = 0; i < declared.size(); ++i) {
    DB_UPARAMS ordinal = 0;
    for (const auto& [o, name] : m_parameterNames) {
      if (name == declared[i]) {
        ordinal = o;
        break;
      }
    }
    if (ordinal == 0 && m_parameterNames.empty()) ordinal = i + 1;  // positional use without names
    const auto binding = std::find_if(accessor->bindings.begin(), accessor->bindings.end(),
                                      [ordinal](const DBBINDING& b) { return b.iOrdinal == ordinal; });
    if (ordinal == 0 || binding == accessor->bindings.end()) continue;  // unbound: NULL
    std::wstring value;
    bool isNull = false;
    if (!ReadParameter(*binding, static_cast<const BYTE*>(params->pData), value, isNull)) return DB_E_BADBINDINFO;
    if (isNull) continue;
    const std::string utf8 = platform::Utf8FromWide(value);
    if (sqlite3_bind_text(statement, static_cast<int>(i + 1), utf8.data(), static_cast<int>(utf8.size()),
                          SQLITE_TRANSIENT) != SQLITE_OK)
      return E_OUTOFMEMORY;
  }
  return S_OK;
}

STDMETHODIMP Command::Execute(IUnknown* outer, REFIID riid, DBPARAMS* params, DBROWCOUNT* rowsAffected,
                              IUnknown** rowset) {
  if (rowset != nullptr) *rowset = nullptr;
  if (rowsAffected != nullptr) *rowsAffected = -1;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  if (m_text.empty()) return DB_E_NOCOMMAND;
  sqlite3_stmt* statement = m_prepared;
  m_prepared = nullptr;
  HRESULT hr = statement != nullptr ? S_OK : vnoledb::Prepare(m_db, m_text, &statement);
  if (SUCCEEDED(hr)) hr = BindParameters(statement, params);
  if (FAILED(hr)) {
    sqlite3_finalize(statement);
    return hr;
  }
  const int rc = sqlite3_step(statement);
  if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
    sqlite3_finalize(statement);
    return DB_E_ERRORSINCOMMAND;
  }
  if (sqlite3_column_count(statement) == 0) {
    // A statement without a result has run to its end; it has no rowset.
    if (rowsAffected != nullptr) *rowsAffected = sqlite3_changes(m_db->handle);
    sqlite3_finalize(statement);
    return S_OK;
  }
  Rowset* rows = new Rowset(m_db, statement, rc == SQLITE_ROW);
  hr = rowset == nullptr ? S_OK : rows->QueryInterface(riid, reinterpret_cast<void**>(rowset));
  rows->Release();
  return hr;
}

class Session final : public ComObject<IOpenRowset, IDBCreateCommand> {
 public:
  explicit Session(std::shared_ptr<Database> db) : m_db(std::move(db)) {}
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv, {{&IID_IUnknown, static_cast<IOpenRowset*>(this)},
                              {&IID_IOpenRowset, static_cast<IOpenRowset*>(this)},
                              {&IID_IDBCreateCommand, static_cast<IDBCreateCommand*>(this)}});
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ComObject::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return ComObject::Release(); }
  STDMETHODIMP OpenRowset(IUnknown*, DBID*, DBID*, REFIID, ULONG, DBPROPSET*, IUnknown** rowset) override {
    if (rowset != nullptr) *rowset = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP CreateCommand(IUnknown* outer, REFIID riid, IUnknown** command) override {
    if (command == nullptr) return E_INVALIDARG;
    *command = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    Command* made = new Command(m_db);
    const HRESULT hr = made->QueryInterface(riid, reinterpret_cast<void**>(command));
    made->Release();
    return hr;
  }

 private:
  std::shared_ptr<Database> m_db;
};

class DataSource final : public ComObject<IDBInitialize, IDBCreateSession, IDBConnectionProperties> {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv, {{&IID_IUnknown, static_cast<IDBInitialize*>(this)},
                              {&IID_IDBInitialize, static_cast<IDBInitialize*>(this)},
                              {&IID_IDBCreateSession, static_cast<IDBCreateSession*>(this)},
                              {&IID_IDBConnectionProperties, static_cast<IDBConnectionProperties*>(this)}});
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ComObject::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return ComObject::Release(); }

  STDMETHODIMP SetConnectionProperty(LPCOLESTR name, LPCOLESTR value) override {
    if (name == nullptr) return E_INVALIDARG;
    if (platform::EqualsNoCase(name, L"Data Source")) m_path = value == nullptr ? L"" : value;
    return S_OK;  // other keywords mean nothing to this provider
  }
  STDMETHODIMP Initialize() override;
  STDMETHODIMP Uninitialize() override {
    m_db.reset();
    return S_OK;
  }
  STDMETHODIMP CreateSession(IUnknown* outer, REFIID riid, IUnknown** session) override {
    if (session == nullptr) return E_INVALIDARG;
    *session = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (!m_db) return E_UNINITIALIZED;
    Session* made = new Session(m_db);
    const HRESULT hr = made->QueryInterface(riid, reinterpret_cast<void**>(session));
    made->Release();
    return hr;
  }

 private:
  std::wstring m_path;  // "Data Source", when the connection string gave one
  std::shared_ptr<Database> m_db;
};

STDMETHODIMP DataSource::Initialize() {
  if (m_db) return DB_E_ALREADYINITIALIZED;
  std::wstring path = m_path;
  DWORD bookmarks = 0;
  platform::RegKey key;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kProviderKey, 0, KEY_READ, key.put()) == ERROR_SUCCESS) {
    if (path.empty()) platform::RegReadString(key.get(), L"Database", path);
    platform::RegReadDword(key.get(), L"Bookmarks", bookmarks);
  }
  // A database that is not there is the provider's failure, not a missing
  // resource of the request: E_FAIL, which the handler answers with 500.
  if (path.empty()) return E_FAIL;
  auto db = std::make_shared<Database>();
  db->bookmarks = bookmarks == 1;
  const int rc = sqlite3_open_v2(platform::Utf8FromWide(path).c_str(), &db->handle,
                                 SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
  if (rc != SQLITE_OK) return E_FAIL;
  sqlite3_busy_timeout(db->handle, kBusyTimeoutMs);
  sqlite3_progress_handler(
      db->handle, kCancelCheckSteps, [](void* d) { return static_cast<Database*>(d)->cancelled.load() ? 1 : 0; },
      db.get());
  m_db = std::move(db);
  return S_OK;
}

}  // namespace

HRESULT CreateDataSource(REFIID riid, void** ppv) {
  DataSource* source = new DataSource();
  const HRESULT hr = source->QueryInterface(riid, ppv);
  source->Release();
  return hr;
}

long LiveObjectCount() { return vnarchive::LiveObjects().load(); }

}  // namespace vnoledb
