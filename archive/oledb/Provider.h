// Provider.h - the archive's OLE DB provider "Vantrel.OLEDBProvider" over a SQLite file.
//
// DataSource (IDBInitialize, IDBCreateSession, IDBConnectionProperties) opens
// the database that the registry value "Database" of HKLM
// "Software\Vantrel\Corvellane\OLEDBProvider" names (a connection-string
// keyword "Data Source" overrides it). Session hands out Commands; a Command
// compiles its text on Prepare (its next Execute runs that) or on Execute,
// binds its named parameters
// (":name", "@name" or "$name" in the text, the name without its sign) from
// the consumer's parameter accessor, and Execute returns a forward-only
// Rowset that steps the statement one row per GetNextRows. A statement
// without result columns runs to its end inside Execute and returns no
// rowset. With the DWORD value "Bookmarks" set to 1, every rowset has a
// bookmark column (ordinal 0, the row's handle as DBTYPE_I8).
//
// Threads: a data source, its sessions and their commands share one SQLite
// connection, opened in serialized mode; one rowset is read by one thread at
// a time, as OLE DB's free-threaded consumers do.
#pragma once

#include "platform/oledb/oledb.h"

#include <sqlite3.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vnoledb {

inline constexpr CLSID CLSID_VantrelOLEDBProvider = {
    0x6a3f2c1e, 0x8b4d, 0x4e7a, {0x9c, 0x35, 0x2f, 0x1b, 0x0d, 0x7e, 0x4a, 0x91}};
inline constexpr wchar_t kProviderKey[] = L"Software\\Vantrel\\Corvellane\\OLEDBProvider";

// One open database, shared by a data source and everything made from it.
// cancelled is set by ICommand::Cancel and stays set: SQLite forgets an
// interrupt that comes while no statement runs, so a cancel just before a
// step would be lost; a progress handler that reads the flag ends every
// statement of the data source from then on, whenever it starts.
struct Database {
  sqlite3* handle = nullptr;
  bool bookmarks = false;
  std::atomic<bool> cancelled{false};
  ~Database();
};

// What a column is to the consumer: the declared type mapped to a DBTYPE.
struct ColumnType {
  DBTYPE type = DBTYPE_VARIANT;
  DBLENGTH size = kUnboundedColumnSize;
  BYTE precision = 0xFF;
  BYTE scale = 0xFF;
};
// The DBTYPE for a SQLite declared type (null: an expression, DBTYPE_VARIANT).
ColumnType TypeOfDeclared(const char* declared);

// One column's description, ordinal 0 being the bookmark.
struct Column {
  std::wstring name;
  DBORDINAL ordinal = 0;
  ColumnType type;
};
std::vector<Column> DescribeColumns(sqlite3_stmt* statement, bool bookmarks);
// The columns as GetColumnInfo hands them out (one task-memory block for
// the names).
HRESULT CopyColumnInfo(const std::vector<Column>& columns, DBORDINAL* count, DBCOLUMNINFO** info, OLECHAR** strings);

// An accessor's bindings, kept by the object that made it.
struct Accessor {
  DBACCESSORFLAGS flags = 0;
  std::vector<DBBINDING> bindings;
  DBREFCOUNT refs = 1;
};
class AccessorTable {
 public:
  HRESULT Create(DBACCESSORFLAGS flags, DBCOUNTITEM count, const DBBINDING bindings[], HACCESSOR* handle,
                 DBBINDSTATUS status[]);
  HRESULT AddRef(HACCESSOR handle, DBREFCOUNT* refs);
  HRESULT Release(HACCESSOR handle, DBREFCOUNT* refs);
  HRESULT Get(HACCESSOR handle, DBACCESSORFLAGS* flags, DBCOUNTITEM* count, DBBINDING** bindings);
  const Accessor* Find(HACCESSOR handle) const;

 private:
  std::vector<std::unique_ptr<Accessor>> m_accessors;  // handle = index + 1; released ones are null
};

// Writes column (of the statement's current row, or the bookmark value when
// ordinal is 0) into data through binding, with length and status parts.
// text is the caller's scratch, reused from value to value.
void WriteColumn(sqlite3_stmt* statement, const Column& column, HROW row, const DBBINDING& binding, BYTE* data,
                 std::wstring& text);
// The text of a parameter bound by binding from data, or false when its
// type is not one this provider reads (BSTR, WSTR, WSTR by reference).
bool ReadParameter(const DBBINDING& binding, const BYTE* data, std::wstring& value, bool& isNull);

HRESULT CreateDataSource(REFIID riid, void** ppv);

// Objects alive across the library, for DllCanUnloadNow.
long LiveObjectCount();

}  // namespace vnoledb
