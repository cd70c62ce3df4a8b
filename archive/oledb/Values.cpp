// Values.cpp - column types, column descriptions, accessors and value conversion.
//
// SQLite keeps a storage class per value, not per column; the declared type
// of a result column gives its DBTYPE, and an expression (no declared type)
// is a DBTYPE_VARIANT whose row type is the value's storage class. Every
// value converts to text for a DBTYPE_WSTR binding the way OLE DB converts
// it: integers in decimal, doubles in their shortest exact form, BOOL as
// "True"/"False", bytes as upper-case hex, a GUID blob braced.
#include "archive/oledb/Provider.h"

#include "platform/base/text.h"
#include "platform/oledb/bindings.h"

#include <charconv>
#include <cstring>
#include <string_view>

namespace vnoledb {
namespace {

struct DeclaredType {
  const char* name;
  DBTYPE type;
  DBLENGTH size;
};

// Matched against the first word of the declared type, in any letter case.
const DeclaredType kDeclaredTypes[] = {
    {"SMALLINT", DBTYPE_I2, 2},        {"INT", DBTYPE_I4, 4},
    {"REAL4", DBTYPE_R4, 4},           {"FLOAT4", DBTYPE_R4, 4},
    {"REAL", DBTYPE_R8, 8},            {"DOUBLE", DBTYPE_R8, 8},
    {"FLOAT", DBTYPE_R8, 8},           {"DECIMAL", DBTYPE_DECIMAL, 16},
    {"NUMERIC", DBTYPE_NUMERIC, 19},   {"BSTR", DBTYPE_BSTR, kUnboundedColumnSize},
    {"CHAR", DBTYPE_STR, kUnboundedColumnSize},  {"VARCHAR", DBTYPE_STR, kUnboundedColumnSize},
    {"TEXT", DBTYPE_WSTR, kUnboundedColumnSize}, {"NVARCHAR", DBTYPE_WSTR, kUnboundedColumnSize},
    {"NCHAR", DBTYPE_WSTR, kUnboundedColumnSize}, {"NTEXT", DBTYPE_WSTR, kUnboundedColumnSize},
    {"BOOL", DBTYPE_BOOL, 2},          {"BOOLEAN", DBTYPE_BOOL, 2},
    {"TINYINT", DBTYPE_I1, 1},         {"UTINYINT", DBTYPE_UI1, 1},
    {"USMALLINT", DBTYPE_UI2, 2},      {"UINT", DBTYPE_UI4, 4},
    {"INTEGER", DBTYPE_I8, 8},         {"BIGINT", DBTYPE_I8, 8},
    {"UBIGINT", DBTYPE_UI8, 8},        {"GUID", DBTYPE_GUID, 16},
    {"UNIQUEIDENTIFIER", DBTYPE_GUID, 16}, {"BLOB", DBTYPE_BYTES, kUnboundedColumnSize},
    {"BINARY", DBTYPE_BYTES, kUnboundedColumnSize}, {"VARBINARY", DBTYPE_BYTES, kUnboundedColumnSize},
    {"DATE", DBTYPE_DBDATE, 6},        {"TIME", DBTYPE_DBTIME, 6},
    {"DATETIME", DBTYPE_DBTIMESTAMP, 16}, {"TIMESTAMP", DBTYPE_DBTIMESTAMP, 16},
};

bool IsStringType(DBTYPE type) { return type == DBTYPE_WSTR || type == DBTYPE_STR || type == DBTYPE_BSTR; }

std::wstring Hex(const unsigned char* bytes, int count) {
  static const wchar_t kDigits[] = L"0123456789ABCDEF";
  std::wstring out;
  out.reserve(static_cast<std::size_t>(count) * 2);
  for (int i = 0; i < count; ++i) {
    out += kDigits[bytes[i] >> 4];
    out += kDigits[bytes[i] & 15];
  }
  return out;
}

// A number's decimal text (doubles and floats in their shortest round-trip
// form), written into out without the C library's formatted printing.
template <class Number>
void Decimal(Number value, std::wstring& out) {
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  out.assign(text, end);
}

// The value's text, decoded into out (whose storage is reused).
void Text(sqlite3_stmt* statement, int index, std::wstring& out) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, index));
  const int bytes = sqlite3_column_bytes(statement, index);
  out.clear();
  platform::AppendWideFromUtf8(out, std::string_view(text == nullptr ? "" : text, static_cast<std::size_t>(bytes)));
}

// The row type of an expression column from the value's storage class.
DBTYPE StorageType(int storage) {
  switch (storage) {
    case SQLITE_INTEGER: return DBTYPE_I8;
    case SQLITE_FLOAT: return DBTYPE_R8;
    case SQLITE_BLOB: return DBTYPE_BYTES;
    case SQLITE_NULL: return DBTYPE_NULL;
    default: return DBTYPE_WSTR;
  }
}

const wchar_t* BoolText(sqlite3_stmt* statement, int index, int storage, std::wstring& text) {
  bool value;
  if (storage == SQLITE_TEXT) {
    Text(statement, index, text);
    value = platform::EqualsNoCase(text, L"true") || (!text.empty() && text != L"0" && text != L"false" &&
                                                      sqlite3_column_double(statement, index) != 0.0);
  } else {
    value = sqlite3_column_double(statement, index) != 0.0;
  }
  return value ? L"True" : L"False";
}

// The value as text, or false for NULL.
bool ValueText(sqlite3_stmt* statement, const Column& column, HROW row, std::wstring& text, DBTYPE& rowType) {
  rowType = column.type.type;
  if (column.ordinal == 0) {
    Decimal(row, text);
    return true;
  }
  const int index = static_cast<int>(column.ordinal) - 1;
  const int storage = sqlite3_column_type(statement, index);
  if (column.type.type == DBTYPE_VARIANT) rowType = StorageType(storage);
  if (storage == SQLITE_NULL) return false;
  // The bytes are asked for only where they are written: asking a number
  // for them makes SQLite format it as text first.
  auto blob = [&] { return static_cast<const unsigned char*>(sqlite3_column_blob(statement, index)); };
  auto bytes = [&] { return sqlite3_column_bytes(statement, index); };
  switch (column.type.type) {
    case DBTYPE_BOOL:
      text = BoolText(statement, index, storage, text);
      return true;
    case DBTYPE_GUID:
      if (storage == SQLITE_BLOB && bytes() == static_cast<int>(sizeof(GUID))) {
        GUID guid;
        std::memcpy(&guid, blob(), sizeof guid);
        wchar_t braced[40];
        StringFromGUID2(guid, braced, 40);
        text = braced;
        return true;
      }
      break;
    case DBTYPE_BYTES: {
      const unsigned char* data = blob();  // before the size: the size is of the form asked for last
      text = Hex(data, bytes());
      return true;
    }
    case DBTYPE_R4:
      if (storage != SQLITE_TEXT) {
        Decimal(static_cast<float>(sqlite3_column_double(statement, index)), text);
        return true;
      }
      break;
    default:
      break;
  }
  if (storage == SQLITE_INTEGER) {
    Decimal(sqlite3_column_int64(statement, index), text);
  } else if (storage == SQLITE_FLOAT) {
    Decimal(sqlite3_column_double(statement, index), text);
  } else if (storage == SQLITE_BLOB) {
    const unsigned char* data = blob();
    text = Hex(data, bytes());
  } else {
    Text(statement, index, text);
  }
  return true;
}

using platform::oledb::BindingAt;

}  // namespace

Database::~Database() {
  if (handle != nullptr) sqlite3_close_v2(handle);
}

ColumnType TypeOfDeclared(const char* declared) {
  if (declared == nullptr) return ColumnType{DBTYPE_VARIANT, 16, 0xFF, 0xFF};
  std::string_view word(declared);
  word = word.substr(0, word.find_first_of(" (\t"));
  for (const auto& known : kDeclaredTypes) {
    if (platform::EqualsNoCaseA(word, known.name)) {
      const bool fixed = !IsStringType(known.type) && known.type != DBTYPE_BYTES;
      return ColumnType{known.type, known.size, static_cast<BYTE>(fixed ? 0 : 0xFF), static_cast<BYTE>(fixed ? 0 : 0xFF)};
    }
  }
  return ColumnType{DBTYPE_VARIANT, 16, 0xFF, 0xFF};
}

std::vector<Column> DescribeColumns(sqlite3_stmt* statement, bool bookmarks) {
  std::vector<Column> columns;
  if (bookmarks) columns.push_back(Column{L"Bookmark", 0, ColumnType{DBTYPE_I8, 8, 19, 0}});
  const int count = sqlite3_column_count(statement);
  for (int i = 0; i < count; ++i) {
    const char* name = sqlite3_column_name(statement, i);
    columns.push_back(Column{platform::WideFromUtf8(name == nullptr ? "" : name), static_cast<DBORDINAL>(i + 1),
                             TypeOfDeclared(sqlite3_column_decltype(statement, i))});
  }
  return columns;
}

HRESULT CopyColumnInfo(const std::vector<Column>& columns, DBORDINAL* count, DBCOLUMNINFO** info, OLECHAR** strings) {
  if (count == nullptr || info == nullptr || strings == nullptr) return E_INVALIDARG;
  *count = 0;
  *info = nullptr;
  *strings = nullptr;
  std::size_t characters = 0;
  for (const auto& c : columns) characters += c.name.size() + 1;
  auto* out = static_cast<DBCOLUMNINFO*>(CoTaskMemAlloc(sizeof(DBCOLUMNINFO) * std::max<std::size_t>(columns.size(), 1)));
  auto* names = static_cast<OLECHAR*>(CoTaskMemAlloc(sizeof(OLECHAR) * std::max<std::size_t>(characters, 1)));
  if (out == nullptr || names == nullptr) {
    CoTaskMemFree(out);
    CoTaskMemFree(names);
    return E_OUTOFMEMORY;
  }
  OLECHAR* next = names;
  for (std::size_t i = 0; i < columns.size(); ++i) {
    const Column& c = columns[i];
    std::wmemcpy(next, c.name.c_str(), c.name.size() + 1);
    DBCOLUMNINFO& d = out[i];
    d = DBCOLUMNINFO{};
    d.pwszName = next;
    d.iOrdinal = c.ordinal;
    d.dwFlags = c.ordinal == 0 ? DBCOLUMNFLAGS_ISBOOKMARK : DBCOLUMNFLAGS_MAYBENULL;
    if (c.type.size == kUnboundedColumnSize) d.dwFlags |= DBCOLUMNFLAGS_ISLONG;
    d.ulColumnSize = c.type.size;
    d.wType = c.type.type;
    d.bPrecision = c.type.precision;
    d.bScale = c.type.scale;
    d.columnid.eKind = DBKIND_NAME;
    d.columnid.pwszName = next;
    next += c.name.size() + 1;
  }
  *count = columns.size();
  *info = out;
  *strings = names;
  return S_OK;
}

HRESULT AccessorTable::Create(DBACCESSORFLAGS flags, DBCOUNTITEM count, const DBBINDING bindings[],
                              HACCESSOR* handle, DBBINDSTATUS status[]) {
  if (handle == nullptr || (count > 0 && bindings == nullptr)) return E_INVALIDARG;
  *handle = 0;
  HRESULT hr = S_OK;
  for (DBCOUNTITEM i = 0; i < count; ++i) {
    const DBTYPE type = bindings[i].wType;
    const bool readable = type == DBTYPE_WSTR || type == (DBTYPE_WSTR | DBTYPE_BYREF) || type == DBTYPE_BSTR;
    if (status != nullptr) status[i] = readable ? DBBINDSTATUS_OK : DBBINDSTATUS_UNSUPPORTEDCONVERSION;
    if (!readable) hr = DB_E_ERRORSOCCURRED;
  }
  if (FAILED(hr)) return hr;
  auto accessor = std::make_unique<Accessor>();
  accessor->flags = flags;
  accessor->bindings.assign(bindings, bindings + count);
  m_accessors.push_back(std::move(accessor));
  *handle = m_accessors.size();
  return S_OK;
}

const Accessor* AccessorTable::Find(HACCESSOR handle) const {
  if (handle == 0 || handle > m_accessors.size()) return nullptr;
  return m_accessors[handle - 1].get();
}

HRESULT AccessorTable::AddRef(HACCESSOR handle, DBREFCOUNT* refs) {
  if (handle == 0 || handle > m_accessors.size() || !m_accessors[handle - 1]) return DB_E_BADACCESSORHANDLE;
  const DBREFCOUNT now = ++m_accessors[handle - 1]->refs;
  if (refs != nullptr) *refs = now;
  return S_OK;
}

HRESULT AccessorTable::Release(HACCESSOR handle, DBREFCOUNT* refs) {
  if (handle == 0 || handle > m_accessors.size() || !m_accessors[handle - 1]) return DB_E_BADACCESSORHANDLE;
  const DBREFCOUNT now = --m_accessors[handle - 1]->refs;
  if (now == 0) m_accessors[handle - 1].reset();
  if (refs != nullptr) *refs = now;
  return S_OK;
}

HRESULT AccessorTable::Get(HACCESSOR handle, DBACCESSORFLAGS* flags, DBCOUNTITEM* count, DBBINDING** bindings) {
  const Accessor* accessor = Find(handle);
  if (flags == nullptr || count == nullptr || bindings == nullptr) return E_INVALIDARG;
  if (accessor == nullptr) return DB_E_BADACCESSORHANDLE;
  *flags = accessor->flags;
  *count = accessor->bindings.size();
  *bindings = static_cast<DBBINDING*>(CoTaskMemAlloc(sizeof(DBBINDING) * std::max<std::size_t>(*count, 1)));
  if (*bindings == nullptr) return E_OUTOFMEMORY;
  std::copy(accessor->bindings.begin(), accessor->bindings.end(), *bindings);
  return S_OK;
}

void WriteColumn(sqlite3_stmt* statement, const Column& column, HROW row, const DBBINDING& binding, BYTE* data,
                 std::wstring& text) {
  DBTYPE rowType;
  const bool present = ValueText(statement, column, row, text, rowType);
  if (binding.pBindExt != nullptr && binding.pBindExt->pExtension != nullptr)
    *reinterpret_cast<DBTYPE*>(binding.pBindExt->pExtension) = rowType;
  platform::oledb::PutTextBinding(binding, data, present ? &text : nullptr);
}

bool ReadParameter(const DBBINDING& binding, const BYTE* data, std::wstring& value, bool& isNull) {
  BYTE* bytes = const_cast<BYTE*>(data);
  isNull = (binding.dwPart & DBPART_STATUS) && BindingAt<DBSTATUS>(bytes, binding.obStatus) == DBSTATUS_S_ISNULL;
  value.clear();
  if (isNull || !(binding.dwPart & DBPART_VALUE)) return true;
  if (binding.wType == DBTYPE_BSTR) {
    const BSTR text = BindingAt<BSTR>(bytes, binding.obValue);
    if (text != nullptr) value.assign(text, SysStringLen(text));
    return true;
  }
  const wchar_t* text = binding.wType == DBTYPE_WSTR ? &BindingAt<wchar_t>(bytes, binding.obValue)
                        : binding.wType == (DBTYPE_WSTR | DBTYPE_BYREF) ? BindingAt<wchar_t*>(bytes, binding.obValue)
                                                                         : nullptr;
  if (binding.wType != DBTYPE_WSTR && binding.wType != (DBTYPE_WSTR | DBTYPE_BYREF)) return false;
  if (text == nullptr) return true;
  if (binding.dwPart & DBPART_LENGTH)
    value.assign(text, BindingAt<DBLENGTH>(bytes, binding.obLength) / sizeof(wchar_t));
  else
    value = text;
  return true;
}

}  // namespace vnoledb
