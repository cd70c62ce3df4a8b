// objects.cpp - the search manager, catalogue, query helper and the index's OLE DB provider.
//
// The provider runs only the dialect: Execute translates the command text
// (dialect.h) and binds its literals; every column is a DBTYPE_VARIANT whose
// row type is the value's storage class (text, integer or NULL). The index
// file comes from "Index File" (index.h) and is opened read-only.
#include "platform/search/dialect.h"
#include "platform/search/index.h"
#include "platform/search/search.h"

#include "platform/base/text.h"
#include "platform/com/class_factory.h"
#include "platform/com/com_object.h"
#include "platform/oledb/bindings.h"
#include "platform/oledb/oledb.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <utility>

namespace vnsearch {
namespace {

constexpr int kBusyTimeoutMs = 5000;
constexpr wchar_t kConnectionString[] = L"Provider=Vantrel.SearchIndex.1;EXTENDED PROPERTIES=\"Application=Windows\"";

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

std::atomic<long>& LiveObjects() { return g_objects; }

// Reference counting and QueryInterface over a table, for every class here.
template <class... Interfaces>
using Object = platform::ComObject<LiveObjects, Interfaces...>;

// Hands a new object out through riid and drops the creator's reference.
template <class T>
HRESULT HandOut(T* made, REFIID riid, void** ppv) {
  const HRESULT hr = made->QueryInterface(riid, ppv);
  made->Release();
  return hr;
}

HRESULT TaskString(const std::wstring& text, LPWSTR* out) {
  if (out == nullptr) return E_POINTER;
  *out = static_cast<LPWSTR>(CoTaskMemAlloc((text.size() + 1) * sizeof(wchar_t)));
  if (*out == nullptr) return E_OUTOFMEMORY;
  std::wmemcpy(*out, text.c_str(), text.size() + 1);
  return S_OK;
}

// --- the query helper ---

// m_lock guards the settings: a helper may be set and used from different threads.
class QueryHelper final : public Object<ISearchQueryHelper> {
 public:
  QueryHelper() { InitializeSRWLock(&m_lock); }
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv, {{&IID_IUnknown, static_cast<ISearchQueryHelper*>(this)},
                              {&IID_ISearchQueryHelper, static_cast<ISearchQueryHelper*>(this)}});
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ComObject::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return ComObject::Release(); }

  STDMETHODIMP get_ConnectionString(LPWSTR* connection) override { return TaskString(kConnectionString, connection); }
  STDMETHODIMP put_QueryContentLocale() override { return E_NOTIMPL; }
  STDMETHODIMP get_QueryContentLocale() override { return E_NOTIMPL; }
  STDMETHODIMP put_QueryKeywordLocale() override { return E_NOTIMPL; }
  STDMETHODIMP get_QueryKeywordLocale() override { return E_NOTIMPL; }
  STDMETHODIMP put_QueryTermExpansion() override { return E_NOTIMPL; }
  STDMETHODIMP get_QueryTermExpansion() override { return E_NOTIMPL; }
  STDMETHODIMP put_QuerySyntax(SEARCH_QUERY_SYNTAX syntax) override {
    if (syntax < SEARCH_NO_QUERY_SYNTAX || syntax > SEARCH_NATURAL_QUERY_SYNTAX) return E_INVALIDARG;
    platform::SrwExclusiveLock hold(m_lock);
    m_settings.syntax = syntax;
    return S_OK;
  }
  STDMETHODIMP get_QuerySyntax(SEARCH_QUERY_SYNTAX* syntax) override {
    if (syntax == nullptr) return E_POINTER;
    platform::SrwSharedLock hold(m_lock);
    *syntax = static_cast<SEARCH_QUERY_SYNTAX>(m_settings.syntax);
    return S_OK;
  }
  STDMETHODIMP put_QueryContentProperties(LPCWSTR properties) override {
    return PutList(properties, false, m_settings.contentProperties);
  }
  STDMETHODIMP get_QueryContentProperties(LPWSTR* properties) override { return Get(m_settings.contentProperties, properties); }
  STDMETHODIMP put_QuerySelectColumns(LPCWSTR columns) override { return PutList(columns, false, m_settings.selectColumns); }
  STDMETHODIMP get_QuerySelectColumns(LPWSTR* columns) override { return Get(m_settings.selectColumns, columns); }
  STDMETHODIMP put_QueryWhereRestrictions(LPCWSTR restrictions) override {
    platform::SrwExclusiveLock hold(m_lock);
    m_settings.whereRestrictions = restrictions == nullptr ? L"" : restrictions;
    return S_OK;
  }
  STDMETHODIMP get_QueryWhereRestrictions(LPWSTR* restrictions) override {
    return Get(m_settings.whereRestrictions, restrictions);
  }
  STDMETHODIMP put_QuerySorting(LPCWSTR sorting) override { return PutList(sorting, true, m_settings.sorting); }
  STDMETHODIMP get_QuerySorting(LPWSTR* sorting) override { return Get(m_settings.sorting, sorting); }
  STDMETHODIMP GenerateSQLFromUserQuery(LPCWSTR query, LPWSTR* sql) override {
    if (sql == nullptr) return E_POINTER;
    *sql = nullptr;
    HelperSettings settings;
    {
      platform::SrwSharedLock hold(m_lock);
      settings = m_settings;
    }
    std::wstring text;
    const HRESULT hr = GenerateSql(settings, query == nullptr ? L"" : query, text);
    if (FAILED(hr)) return hr;
    return TaskString(text, sql);
  }
  STDMETHODIMP WriteProperties() override { return E_NOTIMPL; }
  STDMETHODIMP put_QueryMaxResults(LONG maxResults) override {
    platform::SrwExclusiveLock hold(m_lock);
    m_settings.maxResults = maxResults;
    return S_OK;
  }
  STDMETHODIMP get_QueryMaxResults(LONG* maxResults) override {
    if (maxResults == nullptr) return E_POINTER;
    platform::SrwSharedLock hold(m_lock);
    *maxResults = m_settings.maxResults;
    return S_OK;
  }

 private:
  HRESULT PutList(LPCWSTR list, bool sorting, std::wstring& into) {
    const std::wstring text = list == nullptr ? L"" : list;
    if (!text.empty() && FAILED(CheckPropertyList(text, sorting))) return E_INVALIDARG;
    platform::SrwExclusiveLock hold(m_lock);
    into = text;
    return S_OK;
  }
  HRESULT Get(const std::wstring& value, LPWSTR* out) {
    std::wstring copy;
    {
      platform::SrwSharedLock hold(m_lock);
      copy = value;
    }
    return TaskString(copy, out);
  }

  SRWLOCK m_lock;
  HelperSettings m_settings;
};

// --- the catalogue and the manager ---

class CatalogManager final : public Object<ISearchCatalogManager> {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv, {{&IID_IUnknown, static_cast<ISearchCatalogManager*>(this)},
                              {&IID_ISearchCatalogManager, static_cast<ISearchCatalogManager*>(this)}});
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ComObject::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return ComObject::Release(); }
  STDMETHODIMP get_Name(LPWSTR* name) override { return TaskString(kSearchCatalogName, name); }
  STDMETHODIMP GetParameter() override { return E_NOTIMPL; }
  STDMETHODIMP SetParameter() override { return E_NOTIMPL; }
  STDMETHODIMP GetCatalogStatus() override { return E_NOTIMPL; }
  STDMETHODIMP Reset() override { return E_NOTIMPL; }
  STDMETHODIMP Reindex() override { return E_NOTIMPL; }
  STDMETHODIMP ReindexMatchingURLs() override { return E_NOTIMPL; }
  STDMETHODIMP ReindexSearchRoot() override { return E_NOTIMPL; }
  STDMETHODIMP put_ConnectTimeout() override { return E_NOTIMPL; }
  STDMETHODIMP get_ConnectTimeout() override { return E_NOTIMPL; }
  STDMETHODIMP put_DataTimeout() override { return E_NOTIMPL; }
  STDMETHODIMP get_DataTimeout() override { return E_NOTIMPL; }
  STDMETHODIMP NumberOfItems(LONG* count) override {
    if (count == nullptr) return E_POINTER;
    *count = 0;
    IndexSettings settings;
    if (ReadIndexSettings(settings) != ERROR_SUCCESS) return E_FAIL;
    sqlite3* db = nullptr;
    HRESULT hr = E_FAIL;
    if (sqlite3_open_v2(platform::Utf8FromWide(settings.indexFile).c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
      sqlite3_stmt* statement = nullptr;
      if (sqlite3_prepare_v2(db, "SELECT count(*) FROM items", -1, &statement, nullptr) == SQLITE_OK &&
          sqlite3_step(statement) == SQLITE_ROW) {
        *count = static_cast<LONG>(sqlite3_column_int64(statement, 0));
        hr = S_OK;
      }
      sqlite3_finalize(statement);
    }
    sqlite3_close_v2(db);
    return hr;
  }
  STDMETHODIMP NumberOfItemsToIndex() override { return E_NOTIMPL; }
  STDMETHODIMP URLBeingIndexed() override { return E_NOTIMPL; }
  STDMETHODIMP GetURLIndexingState() override { return E_NOTIMPL; }
  STDMETHODIMP GetPersistentItemsChangedSink() override { return E_NOTIMPL; }
  STDMETHODIMP RegisterViewForNotification() override { return E_NOTIMPL; }
  STDMETHODIMP GetItemsChangedSink() override { return E_NOTIMPL; }
  STDMETHODIMP UnregisterViewForNotification() override { return E_NOTIMPL; }
  STDMETHODIMP SetExtensionClusion() override { return E_NOTIMPL; }
  STDMETHODIMP EnumerateExcludedExtensions() override { return E_NOTIMPL; }
  STDMETHODIMP GetQueryHelper(ISearchQueryHelper** helper) override {
    if (helper == nullptr) return E_POINTER;
    return HandOut(new QueryHelper(), IID_ISearchQueryHelper, reinterpret_cast<void**>(helper));
  }
  STDMETHODIMP put_DiacriticSensitivity() override { return E_NOTIMPL; }
  STDMETHODIMP get_DiacriticSensitivity() override { return E_NOTIMPL; }
  STDMETHODIMP GetCrawlScopeManager() override { return E_NOTIMPL; }
};

class SearchManager final : public Object<ISearchManager> {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv, {{&IID_IUnknown, static_cast<ISearchManager*>(this)},
                              {&IID_ISearchManager, static_cast<ISearchManager*>(this)}});
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ComObject::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return ComObject::Release(); }
  STDMETHODIMP GetIndexerVersionStr() override { return E_NOTIMPL; }
  STDMETHODIMP GetIndexerVersion() override { return E_NOTIMPL; }
  STDMETHODIMP GetParameter() override { return E_NOTIMPL; }
  STDMETHODIMP SetParameter() override { return E_NOTIMPL; }
  STDMETHODIMP get_ProxyName() override { return E_NOTIMPL; }
  STDMETHODIMP get_BypassList() override { return E_NOTIMPL; }
  STDMETHODIMP SetProxy() override { return E_NOTIMPL; }
  STDMETHODIMP GetCatalog(LPCWSTR catalog, ISearchCatalogManager** manager) override {
    if (manager == nullptr) return E_POINTER;
    *manager = nullptr;
    if (catalog == nullptr || !platform::EqualsNoCase(catalog, kSearchCatalogName)) return E_INVALIDARG;
    return HandOut(new CatalogManager(), IID_ISearchCatalogManager, reinterpret_cast<void**>(manager));
  }
  STDMETHODIMP get_UserAgent() override { return E_NOTIMPL; }
  STDMETHODIMP put_UserAgent() override { return E_NOTIMPL; }
  STDMETHODIMP get_UseProxy() override { return E_NOTIMPL; }
  STDMETHODIMP get_LocalBypass() override { return E_NOTIMPL; }
  STDMETHODIMP get_PortNumber() override { return E_NOTIMPL; }
};

// --- the OLE DB provider ---

// cancelled stays set once a command was cancelled: SQLite forgets an
// interrupt that comes while no statement runs, so a progress handler reads
// the flag and ends every statement of the data source from then on.
struct Database {
  sqlite3* handle = nullptr;
  std::atomic<bool> cancelled{false};
  ~Database() {
    if (handle != nullptr) sqlite3_close_v2(handle);
  }
};

// One VARIANT column of the current row, as text into a WSTR (inline or by
// reference) or BSTR binding.
// boolean: the column is a BOOL property, written as OLE DB writes a BOOL as text.
void WriteColumn(sqlite3_stmt* statement, DBORDINAL ordinal, bool boolean, const DBBINDING& binding, BYTE* data) {
  const int index = static_cast<int>(ordinal) - 1;
  const int storage = sqlite3_column_type(statement, index);
  const DBTYPE rowType = storage == SQLITE_NULL ? DBTYPE_NULL : boolean ? DBTYPE_BOOL
                         : storage == SQLITE_INTEGER ? DBTYPE_I8 : storage == SQLITE_FLOAT ? DBTYPE_R8 : DBTYPE_WSTR;
  if (binding.pBindExt != nullptr && binding.pBindExt->pExtension != nullptr)
    *reinterpret_cast<DBTYPE*>(binding.pBindExt->pExtension) = rowType;
  if (storage == SQLITE_NULL) {
    platform::oledb::PutTextBinding(binding, data, nullptr);
    return;
  }
  if (boolean) {
    const std::wstring text = sqlite3_column_int64(statement, index) != 0 ? L"True" : L"False";
    platform::oledb::PutTextBinding(binding, data, &text);
    return;
  }
  const auto* bytes = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
  const std::wstring text =
      platform::WideFromUtf8(std::string_view(bytes == nullptr ? "" : bytes, sqlite3_column_bytes(statement, index)));
  platform::oledb::PutTextBinding(binding, data, &text);
}

HRESULT ColumnInfo(const std::vector<std::wstring>& names, DBORDINAL* count, DBCOLUMNINFO** info, OLECHAR** strings) {
  if (count == nullptr || info == nullptr || strings == nullptr) return E_INVALIDARG;
  std::size_t characters = 0;
  for (const auto& n : names) characters += n.size() + 1;
  auto* out = static_cast<DBCOLUMNINFO*>(CoTaskMemAlloc(sizeof(DBCOLUMNINFO) * std::max<std::size_t>(names.size(), 1)));
  auto* text = static_cast<OLECHAR*>(CoTaskMemAlloc(sizeof(OLECHAR) * std::max<std::size_t>(characters, 1)));
  if (out == nullptr || text == nullptr) {
    CoTaskMemFree(out);
    CoTaskMemFree(text);
    return E_OUTOFMEMORY;
  }
  OLECHAR* next = text;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::wmemcpy(next, names[i].c_str(), names[i].size() + 1);
    DBCOLUMNINFO& d = out[i];
    d = DBCOLUMNINFO{};
    d.pwszName = next;
    d.iOrdinal = i + 1;
    d.dwFlags = DBCOLUMNFLAGS_MAYBENULL;
    d.ulColumnSize = 16;
    d.wType = DBTYPE_VARIANT;
    d.bPrecision = 0xFF;
    d.bScale = 0xFF;
    d.columnid.eKind = DBKIND_NAME;
    d.columnid.pwszName = next;
    next += names[i].size() + 1;
  }
  *count = names.size();
  *info = out;
  *strings = text;
  return S_OK;
}

// Accessors of one object: handle = index + 1, released ones null.
class Accessors {
 public:
  HRESULT Create(DBACCESSORFLAGS, DBCOUNTITEM count, const DBBINDING bindings[], DBORDINAL columns, HACCESSOR* handle,
                 DBBINDSTATUS status[]) {
    if (handle == nullptr || (count > 0 && bindings == nullptr)) return E_INVALIDARG;
    *handle = 0;
    HRESULT hr = S_OK;
    for (DBCOUNTITEM i = 0; i < count; ++i) {
      const DBTYPE type = bindings[i].wType;
      DBBINDSTATUS s = DBBINDSTATUS_OK;
      if (bindings[i].iOrdinal == 0 || bindings[i].iOrdinal > columns) s = DBBINDSTATUS_BADORDINAL;
      else if (type != DBTYPE_WSTR && type != (DBTYPE_WSTR | DBTYPE_BYREF) && type != DBTYPE_BSTR)
        s = DBBINDSTATUS_UNSUPPORTEDCONVERSION;
      if (status != nullptr) status[i] = s;
      if (s != DBBINDSTATUS_OK) hr = DB_E_ERRORSOCCURRED;
    }
    if (FAILED(hr)) return hr;
    m_accessors.push_back(std::make_unique<std::vector<DBBINDING>>(bindings, bindings + count));
    *handle = m_accessors.size();
    return S_OK;
  }
  const std::vector<DBBINDING>* Find(HACCESSOR handle) const {
    if (handle == 0 || handle > m_accessors.size()) return nullptr;
    return m_accessors[handle - 1].get();
  }
  HRESULT Release(HACCESSOR handle, DBREFCOUNT* refs) {
    if (Find(handle) == nullptr) return DB_E_BADACCESSORHANDLE;
    m_accessors[handle - 1].reset();
    if (refs != nullptr) *refs = 0;
    return S_OK;
  }

 private:
  std::vector<std::unique_ptr<std::vector<DBBINDING>>> m_accessors;
};

// A forward-only rowset over one statement, one row per GetNextRows; used by one thread at a time.
class Rowset final : public Object<IRowset, IAccessor, IColumnsInfo> {
 public:
  Rowset(std::shared_ptr<Database> db, sqlite3_stmt* statement, std::vector<std::wstring> columns, bool onRow)
      : m_db(std::move(db)), m_statement(statement), m_columns(std::move(columns)), m_pending(onRow), m_done(!onRow) {}
  ~Rowset() override { sqlite3_finalize(m_statement); }
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv, {{&IID_IUnknown, static_cast<IRowset*>(this)}, {&IID_IRowset, static_cast<IRowset*>(this)},
                              {&IID_IAccessor, static_cast<IAccessor*>(this)},
                              {&IID_IColumnsInfo, static_cast<IColumnsInfo*>(this)}});
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ComObject::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return ComObject::Release(); }

  STDMETHODIMP AddRefRows(DBCOUNTITEM count, const HROW[], DBREFCOUNT refCounts[], DBROWSTATUS status[]) override {
    for (DBCOUNTITEM i = 0; i < count; ++i) {
      if (refCounts != nullptr) refCounts[i] = 1;
      if (status != nullptr) status[i] = 0;
    }
    return S_OK;
  }
  STDMETHODIMP GetData(HROW row, HACCESSOR handle, void* data) override {
    if (row == 0 || row != m_current) return DB_E_BADROWHANDLE;
    const auto* bindings = m_accessors.Find(handle);
    if (bindings == nullptr) return DB_E_BADACCESSORHANDLE;
    if (data == nullptr) return E_INVALIDARG;
    for (const DBBINDING& binding : *bindings) {
      const Property* property =
          binding.iOrdinal <= m_columns.size() ? FindProperty(m_columns[binding.iOrdinal - 1]) : nullptr;
      WriteColumn(m_statement, binding.iOrdinal, property != nullptr && property->boolean, binding,
                  static_cast<BYTE*>(data));
    }
    return S_OK;
  }
  STDMETHODIMP GetNextRows(HCHAPTER, DBROWOFFSET offset, DBROWCOUNT rows, DBCOUNTITEM* obtained,
                           HROW** handles) override {
    if (obtained == nullptr || handles == nullptr) return E_INVALIDARG;
    *obtained = 0;
    if (offset < 0 || rows < 0) return DB_E_CANTSCROLLBACKWARDS;
    if (rows == 0) return S_OK;
    if (rows != 1) return DB_E_NOTSUPPORTED;
    for (DBROWOFFSET skip = 0; skip <= offset; ++skip) {
      m_current = 0;
      HRESULT hr = S_OK;
      if (m_pending) {
        m_pending = false;
      } else if (m_done) {
        hr = DB_S_ENDOFROWSET;
      } else {
        const int rc = sqlite3_step(m_statement);
        if (rc != SQLITE_ROW) {
          m_done = true;
          hr = rc == SQLITE_DONE ? DB_S_ENDOFROWSET : DB_E_ERRORSOCCURRED;
        }
      }
      if (hr != S_OK) return hr;
    }
    m_current = ++m_lastHandle;
    if (*handles == nullptr) {
      *handles = static_cast<HROW*>(CoTaskMemAlloc(sizeof(HROW)));
      if (*handles == nullptr) return E_OUTOFMEMORY;
    }
    (*handles)[0] = m_current;
    *obtained = 1;
    return S_OK;
  }
  STDMETHODIMP ReleaseRows(DBCOUNTITEM count, const HROW[], DBROWOPTIONS[], DBREFCOUNT refCounts[],
                           DBROWSTATUS status[]) override {
    return AddRefRows(count, nullptr, refCounts, status);
  }
  // Before the first fetch the position stays where Execute left it.
  STDMETHODIMP RestartPosition(HCHAPTER) override {
    if (m_lastHandle == 0) return S_OK;
    sqlite3_reset(m_statement);
    m_pending = m_done = false;
    m_current = 0;
    return S_OK;
  }

  STDMETHODIMP AddRefAccessor(HACCESSOR, DBREFCOUNT*) override { return E_NOTIMPL; }
  STDMETHODIMP CreateAccessor(DBACCESSORFLAGS flags, DBCOUNTITEM count, const DBBINDING bindings[], DBLENGTH,
                              HACCESSOR* handle, DBBINDSTATUS status[]) override {
    return m_accessors.Create(flags, count, bindings, m_columns.size(), handle, status);
  }
  STDMETHODIMP GetBindings(HACCESSOR, DBACCESSORFLAGS*, DBCOUNTITEM*, DBBINDING**) override { return E_NOTIMPL; }
  STDMETHODIMP ReleaseAccessor(HACCESSOR handle, DBREFCOUNT* refs) override { return m_accessors.Release(handle, refs); }
  STDMETHODIMP GetColumnInfo(DBORDINAL* count, DBCOLUMNINFO** info, OLECHAR** strings) override {
    return ColumnInfo(m_columns, count, info, strings);
  }
  STDMETHODIMP MapColumnIDs(DBORDINAL, const DBID[], DBORDINAL[]) override { return E_NOTIMPL; }

 private:
  std::shared_ptr<Database> m_db;
  sqlite3_stmt* m_statement;
  std::vector<std::wstring> m_columns;
  bool m_pending;  // the statement sits on a row not yet handed out
  bool m_done;
  HROW m_current = 0;
  HROW m_lastHandle = 0;
  Accessors m_accessors;
};

HRESULT Compile(const std::shared_ptr<Database>& db, const std::wstring& text, Translation& translation,
                sqlite3_stmt** statement) {
  *statement = nullptr;
  HRESULT hr = TranslateQuery(text, translation);
  if (FAILED(hr)) return hr;
  if (sqlite3_prepare_v2(db->handle, translation.sql.c_str(), -1, statement, nullptr) != SQLITE_OK) {
    sqlite3_finalize(*statement);
    *statement = nullptr;
    return DB_E_ERRORSINCOMMAND;
  }
  for (std::size_t i = 0; i < translation.parameters.size(); ++i) {
    const int at = static_cast<int>(i + 1);
    const Parameter& p = translation.parameters[i];
    if (const auto* n = std::get_if<std::int64_t>(&p)) sqlite3_bind_int64(*statement, at, *n);
    else if (const auto* d = std::get_if<double>(&p)) sqlite3_bind_double(*statement, at, *d);
    else {
      const auto& s = std::get<std::string>(p);
      sqlite3_bind_text(*statement, at, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    }
  }
  return S_OK;
}

// A command over the dialect: no parameters of its own (the dialect's
// literals are bound by the translation).
class Command final : public Object<ICommandText, ICommandPrepare, ICommandWithParameters, IAccessor, IColumnsInfo> {
 public:
  explicit Command(std::shared_ptr<Database> db) : m_db(std::move(db)) {}
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

  STDMETHODIMP Cancel() override {
    m_db->cancelled.store(true);
    sqlite3_interrupt(m_db->handle);
    return S_OK;
  }
  STDMETHODIMP Execute(IUnknown* outer, REFIID riid, DBPARAMS*, DBROWCOUNT* rowsAffected, IUnknown** rowset) override {
    if (rowset != nullptr) *rowset = nullptr;
    if (rowsAffected != nullptr) *rowsAffected = -1;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (m_text.empty()) return DB_E_NOCOMMAND;
    Translation translation;
    sqlite3_stmt* statement = nullptr;
    HRESULT hr = Compile(m_db, m_text, translation, &statement);
    if (FAILED(hr)) return hr;
    const int rc = sqlite3_step(statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
      sqlite3_finalize(statement);
      return DB_E_ERRORSINCOMMAND;
    }
    return rowset == nullptr ? (sqlite3_finalize(statement), S_OK)
                             : HandOut(new Rowset(m_db, statement, translation.columns, rc == SQLITE_ROW), riid,
                                       reinterpret_cast<void**>(rowset));
  }
  STDMETHODIMP GetDBSession(REFIID, IUnknown** session) override {
    if (session != nullptr) *session = nullptr;
    return E_NOTIMPL;
  }
  STDMETHODIMP GetCommandText(GUID* dialect, LPOLESTR* text) override {
    if (dialect != nullptr) *dialect = DBGUID_DEFAULT;
    return TaskString(m_text, text);
  }
  STDMETHODIMP SetCommandText(REFGUID dialect, LPCOLESTR text) override {
    if (dialect != DBGUID_DEFAULT) return E_INVALIDARG;
    m_text = text == nullptr ? L"" : text;
    m_prepared.reset();
    return S_OK;
  }
  STDMETHODIMP Prepare(ULONG) override {
    if (m_text.empty()) return DB_E_NOCOMMAND;
    Translation translation;
    const HRESULT hr = TranslateQuery(m_text, translation);
    if (FAILED(hr)) return hr;
    m_prepared = std::make_unique<std::vector<std::wstring>>(translation.columns);
    return S_OK;
  }
  STDMETHODIMP Unprepare() override {
    m_prepared.reset();
    return S_OK;
  }
  STDMETHODIMP GetParameterInfo(DB_UPARAMS* count, DBPARAMINFO** info, OLECHAR** names) override {
    if (count == nullptr || info == nullptr) return E_INVALIDARG;
    *count = 0;
    *info = nullptr;
    if (names != nullptr) *names = nullptr;
    return S_OK;
  }
  STDMETHODIMP MapParameterNames(DB_UPARAMS, LPCWSTR[], DB_LPARAMS[]) override { return E_NOTIMPL; }
  // Named parameters are accepted and ignored: the dialect has none.
  STDMETHODIMP SetParameterInfo(DB_UPARAMS, const DB_UPARAMS[], const DBPARAMBINDINFO[]) override { return S_OK; }
  STDMETHODIMP AddRefAccessor(HACCESSOR, DBREFCOUNT*) override { return E_NOTIMPL; }
  STDMETHODIMP CreateAccessor(DBACCESSORFLAGS, DBCOUNTITEM, const DBBINDING[], DBLENGTH, HACCESSOR* handle,
                              DBBINDSTATUS[]) override {
    if (handle == nullptr) return E_INVALIDARG;
    *handle = ++m_parameterAccessors;
    return S_OK;
  }
  STDMETHODIMP GetBindings(HACCESSOR, DBACCESSORFLAGS*, DBCOUNTITEM*, DBBINDING**) override { return E_NOTIMPL; }
  STDMETHODIMP ReleaseAccessor(HACCESSOR, DBREFCOUNT* refs) override {
    if (refs != nullptr) *refs = 0;
    return S_OK;
  }
  STDMETHODIMP GetColumnInfo(DBORDINAL* count, DBCOLUMNINFO** info, OLECHAR** strings) override {
    if (!m_prepared) return DB_E_NOTPREPARED;
    return ColumnInfo(*m_prepared, count, info, strings);
  }
  STDMETHODIMP MapColumnIDs(DBORDINAL, const DBID[], DBORDINAL[]) override { return E_NOTIMPL; }

 private:
  std::shared_ptr<Database> m_db;
  std::wstring m_text;
  std::unique_ptr<std::vector<std::wstring>> m_prepared;  // the columns, once prepared
  HACCESSOR m_parameterAccessors = 0;
};

class Session final : public Object<IOpenRowset, IDBCreateCommand> {
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
    return HandOut(new Command(m_db), riid, reinterpret_cast<void**>(command));
  }

 private:
  std::shared_ptr<Database> m_db;
};

class DataSource final : public Object<IDBInitialize, IDBCreateSession, IDBConnectionProperties> {
 public:
  STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
    return Answer(riid, ppv, {{&IID_IUnknown, static_cast<IDBInitialize*>(this)},
                              {&IID_IDBInitialize, static_cast<IDBInitialize*>(this)},
                              {&IID_IDBCreateSession, static_cast<IDBCreateSession*>(this)},
                              {&IID_IDBConnectionProperties, static_cast<IDBConnectionProperties*>(this)}});
  }
  STDMETHODIMP_(ULONG) AddRef() override { return ComObject::AddRef(); }
  STDMETHODIMP_(ULONG) Release() override { return ComObject::Release(); }
  STDMETHODIMP SetConnectionProperty(LPCOLESTR name, LPCOLESTR) override {
    return name == nullptr ? E_INVALIDARG : S_OK;  // "Extended Properties" names the caller only
  }
  STDMETHODIMP Initialize() override {
    if (m_db) return DB_E_ALREADYINITIALIZED;
    IndexSettings settings;
    if (ReadIndexSettings(settings) != ERROR_SUCCESS || settings.indexFile.empty()) return E_FAIL;
    auto db = std::make_shared<Database>();
    if (sqlite3_open_v2(platform::Utf8FromWide(settings.indexFile).c_str(), &db->handle,
                        SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX, nullptr) != SQLITE_OK)
      return E_FAIL;
    sqlite3_busy_timeout(db->handle, kBusyTimeoutMs);
    sqlite3_progress_handler(
        db->handle, 1000, [](void* d) { return static_cast<Database*>(d)->cancelled.load() ? 1 : 0; }, db.get());
    m_db = std::move(db);
    return S_OK;
  }
  STDMETHODIMP Uninitialize() override {
    m_db.reset();
    return S_OK;
  }
  STDMETHODIMP CreateSession(IUnknown* outer, REFIID riid, IUnknown** session) override {
    if (session == nullptr) return E_INVALIDARG;
    *session = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    if (!m_db) return E_UNINITIALIZED;
    return HandOut(new Session(m_db), riid, reinterpret_cast<void**>(session));
  }

 private:
  std::shared_ptr<Database> m_db;
};

// --- class objects and registration ---

template <class Made>
HRESULT Make(REFIID riid, void** ppv) {
  return HandOut(new Made(), riid, ppv);
}

platform::StaticClassFactory g_managerFactory(Make<SearchManager>, g_locks);
platform::StaticClassFactory g_providerFactory(Make<DataSource>, g_locks);

// The manager is a server Windows runs as a program: LocalServer32 names
// this library (platform/com activates it in-process). The provider is in-process.
const wchar_t kRegistrationScript[] =
    L"HKCR\n"
    L"{\n"
    L"  ForceRemove Vantrel.SearchIndex.1 = s 'Search index OLE DB provider'\n"
    L"  {\n"
    L"    CLSID = s '{3B8E5D21-6C4F-4A97-8E12-5D0A9C47B36E}'\n"
    L"  }\n"
    L"  NoRemove CLSID\n"
    L"  {\n"
    L"    ForceRemove {7D096C5F-AC08-4F1F-BEB7-5C22C517CE39} = s 'Search manager'\n"
    L"    {\n"
    L"      LocalServer32 = s '\"%MODULE%\" -Embedding'\n"
    L"    }\n"
    L"    ForceRemove {3B8E5D21-6C4F-4A97-8E12-5D0A9C47B36E} = s 'Search index OLE DB provider'\n"
    L"    {\n"
    L"      ProgID = s 'Vantrel.SearchIndex.1'\n"
    L"      InprocServer32 = s '%MODULE%'\n"
    L"      {\n"
    L"        val ThreadingModel = s 'Both'\n"
    L"      }\n"
    L"    }\n"
    L"  }\n"
    L"}\n";

platform::InprocServer g_server({{&CLSID_SearchIndexProvider, &g_providerFactory},
                                {&CLSID_CSearchManager, &g_managerFactory}},
                               g_objects, g_locks, kRegistrationScript);

}  // namespace
}  // namespace vnsearch

VN_INPROC_SERVER_EXPORTS(vnsearch::g_server)
