// oledb.h - the provider model: data sources, sessions, commands, rowsets and accessors.
//
// A consumer turns a connection string into a data source through the
// data-initialisation service (CLSID_MSDAINITIALIZE, IDataInitialize), opens
// a session, makes a command with a text and named parameters, executes it
// and steps the rowset, reading each row through an accessor: an array of
// DBBINDINGs that says where in the consumer's buffer each column's value,
// length and status go and as which DBTYPE. The values, HRESULTs and GUIDs
// are OLE DB's, so code written against OLE DB reads the same here.
//
// Wide text in consumer buffers is wchar_t (4 bytes here): cbMaxLen of a
// DBTYPE_WSTR binding counts bytes of wchar_t, terminator included, and a
// value that does not fit is cut to whole characters with
// DBSTATUS_S_TRUNCATED. DBTYPE_WSTR | DBTYPE_BYREF hands out a wchar_t*
// that the consumer frees with CoTaskMemFree (client-owned) after the row.
// Arrays that GetColumnInfo and GetParameterInfo return are task memory too.
#pragma once

#include "platform/com/com.h"
#include "platform/com/oleauto.h"

#include <cstdint>

using DBTYPE = WORD;
using DBKIND = DWORD;
using DBSTATUS = DWORD;
using DBPART = DWORD;
using DBMEMOWNER = DWORD;
using DBPARAMIO = DWORD;
using DBPARAMFLAGS = DWORD;
using DBCOLUMNFLAGS = DWORD;
using DBACCESSORFLAGS = DWORD;
using DBBINDSTATUS = DWORD;
using DBROWSTATUS = DWORD;
using DBROWOPTIONS = DWORD;
using DBREFCOUNT = ULONG;
using DBORDINAL = ULONG_PTR;
using DBLENGTH = ULONG_PTR;
using DBBYTEOFFSET = ULONG_PTR;
using DBCOUNTITEM = ULONG_PTR;
using DBROWCOUNT = LONG_PTR;
using DBROWOFFSET = LONG_PTR;
using DB_UPARAMS = ULONG_PTR;
using DB_LPARAMS = LONG_PTR;
using HROW = ULONG_PTR;
using HCHAPTER = ULONG_PTR;
using HACCESSOR = ULONG_PTR;

struct ITypeInfo;

// --- DBTYPE ---
enum DBTYPEENUM : DBTYPE {
  DBTYPE_EMPTY = 0,
  DBTYPE_NULL = 1,
  DBTYPE_I2 = 2,
  DBTYPE_I4 = 3,
  DBTYPE_R4 = 4,
  DBTYPE_R8 = 5,
  DBTYPE_CY = 6,
  DBTYPE_DATE = 7,
  DBTYPE_BSTR = 8,
  DBTYPE_IDISPATCH = 9,
  DBTYPE_ERROR = 10,
  DBTYPE_BOOL = 11,
  DBTYPE_VARIANT = 12,
  DBTYPE_IUNKNOWN = 13,
  DBTYPE_DECIMAL = 14,
  DBTYPE_I1 = 16,
  DBTYPE_UI1 = 17,
  DBTYPE_UI2 = 18,
  DBTYPE_UI4 = 19,
  DBTYPE_I8 = 20,
  DBTYPE_UI8 = 21,
  DBTYPE_GUID = 72,
  DBTYPE_BYTES = 128,
  DBTYPE_STR = 129,
  DBTYPE_WSTR = 130,
  DBTYPE_NUMERIC = 131,
  DBTYPE_DBDATE = 133,
  DBTYPE_DBTIME = 134,
  DBTYPE_DBTIMESTAMP = 135,
  DBTYPE_VECTOR = 0x1000,
  DBTYPE_ARRAY = 0x2000,
  DBTYPE_BYREF = 0x4000,
};
// The modifier bits (vector, array, by-reference) of a DBTYPE.
constexpr DBTYPE kDbTypeModifiers = 0x7000;

// --- DBSTATUS ---
constexpr DBSTATUS DBSTATUS_S_OK = 0;
constexpr DBSTATUS DBSTATUS_E_BADACCESSOR = 1;
constexpr DBSTATUS DBSTATUS_E_CANTCONVERTVALUE = 2;
constexpr DBSTATUS DBSTATUS_S_ISNULL = 3;
constexpr DBSTATUS DBSTATUS_S_TRUNCATED = 4;
constexpr DBSTATUS DBSTATUS_E_SIGNMISMATCH = 5;
constexpr DBSTATUS DBSTATUS_E_DATAOVERFLOW = 6;
constexpr DBSTATUS DBSTATUS_E_UNAVAILABLE = 8;

// --- bindings ---
constexpr DBPART DBPART_VALUE = 0x1;
constexpr DBPART DBPART_LENGTH = 0x2;
constexpr DBPART DBPART_STATUS = 0x4;
constexpr DBMEMOWNER DBMEMOWNER_CLIENTOWNED = 0;
constexpr DBMEMOWNER DBMEMOWNER_PROVIDEROWNED = 1;
constexpr DBPARAMIO DBPARAMIO_NOTPARAM = 0;
constexpr DBPARAMIO DBPARAMIO_INPUT = 1;
constexpr DBPARAMIO DBPARAMIO_OUTPUT = 2;
constexpr DBACCESSORFLAGS DBACCESSOR_ROWDATA = 0x2;
constexpr DBACCESSORFLAGS DBACCESSOR_PARAMETERDATA = 0x4;
constexpr DBBINDSTATUS DBBINDSTATUS_OK = 0;
constexpr DBBINDSTATUS DBBINDSTATUS_BADORDINAL = 1;
constexpr DBBINDSTATUS DBBINDSTATUS_UNSUPPORTEDCONVERSION = 2;
constexpr DBPARAMFLAGS DBPARAMFLAGS_ISINPUT = 0x1;
constexpr DBCOLUMNFLAGS DBCOLUMNFLAGS_ISBOOKMARK = 0x1;
constexpr DBCOLUMNFLAGS DBCOLUMNFLAGS_MAYBENULL = 0x40;
constexpr DBCOLUMNFLAGS DBCOLUMNFLAGS_ISLONG = 0x80;
// ulColumnSize of a column without a fixed length.
constexpr DBLENGTH kUnboundedColumnSize = ~static_cast<DBLENGTH>(0);

// --- HRESULTs ---
constexpr HRESULT DB_S_ENDOFROWSET = 0x00040EC6;
constexpr HRESULT DB_S_ERRORSOCCURRED = 0x00040EDA;
constexpr HRESULT DB_E_BADACCESSORHANDLE = static_cast<HRESULT>(0x80040E00u);
constexpr HRESULT DB_E_BADROWHANDLE = static_cast<HRESULT>(0x80040E04u);
constexpr HRESULT DB_E_ERRORSINCOMMAND = static_cast<HRESULT>(0x80040E14u);
constexpr HRESULT DB_E_BADBINDINFO = static_cast<HRESULT>(0x80040E08u);
constexpr HRESULT DB_E_NOCOMMAND = static_cast<HRESULT>(0x80040E0Cu);
constexpr HRESULT DB_E_PARAMNOTOPTIONAL = static_cast<HRESULT>(0x80040E10u);
constexpr HRESULT DB_E_ERRORSOCCURRED = static_cast<HRESULT>(0x80040E21u);
constexpr HRESULT DB_E_BADPARAMETERNAME = static_cast<HRESULT>(0x80040E0Eu);
constexpr HRESULT DB_E_NOTPREPARED = static_cast<HRESULT>(0x80040E4Au);
constexpr HRESULT DB_E_CANTFETCHBACKWARDS = static_cast<HRESULT>(0x80040E24u);
constexpr HRESULT DB_E_CANTSCROLLBACKWARDS = static_cast<HRESULT>(0x80040E2Bu);
constexpr HRESULT DB_E_ROWSNOTRELEASED = static_cast<HRESULT>(0x80040E25u);
constexpr HRESULT DB_E_NOTABLE = static_cast<HRESULT>(0x80040E37u);
constexpr HRESULT DB_E_ALREADYINITIALIZED = static_cast<HRESULT>(0x80040E52u);
constexpr HRESULT DB_E_NOTSUPPORTED = static_cast<HRESULT>(0x80040E53u);
constexpr HRESULT E_UNINITIALIZED = static_cast<HRESULT>(0x8000FFFFu);
constexpr HRESULT DB_SEC_E_AUTH_FAILED = static_cast<HRESULT>(0x80040E4Du);

// --- structures ---
struct DBBINDEXT {
  BYTE* pExtension;
  DBCOUNTITEM ulExtension;
};

struct DBOBJECT {
  DWORD dwFlags;
  IID iid;
};

struct DBBINDING {
  DBORDINAL iOrdinal;
  DBBYTEOFFSET obValue;
  DBBYTEOFFSET obLength;
  DBBYTEOFFSET obStatus;
  ITypeInfo* pTypeInfo;
  DBOBJECT* pObject;
  // With a DBTYPE_VARIANT column bound as text: pExtension points at a record
  // whose third 8-byte word receives the row's actual 16-bit type.
  DBBINDEXT* pBindExt;
  DBPART dwPart;
  DBMEMOWNER dwMemOwner;
  DBPARAMIO eParamIO;
  DBLENGTH cbMaxLen;
  DWORD dwFlags;
  DBTYPE wType;
  BYTE bPrecision;
  BYTE bScale;
};

enum DBKINDENUM : DBKIND { DBKIND_NAME = 2, DBKIND_PROPID = 5 };
struct DBID {
  GUID uGuid;
  DBKIND eKind;
  LPOLESTR pwszName;
};

struct DBCOLUMNINFO {
  LPOLESTR pwszName;
  ITypeInfo* pTypeInfo;
  DBORDINAL iOrdinal;
  DBCOLUMNFLAGS dwFlags;
  DBLENGTH ulColumnSize;
  DBTYPE wType;
  BYTE bPrecision;
  BYTE bScale;
  DBID columnid;
};

struct DBPARAMBINDINFO {
  LPOLESTR pwszDataSourceType;
  LPOLESTR pwszName;
  DBLENGTH ulParamSize;
  DBPARAMFLAGS dwFlags;
  BYTE bPrecision;
  BYTE bScale;
};

struct DBPARAMINFO {
  DBPARAMFLAGS dwFlags;
  DBORDINAL iOrdinal;
  LPOLESTR pwszName;
  ITypeInfo* pTypeInfo;
  DBLENGTH ulParamSize;
  DBTYPE wType;
  BYTE bPrecision;
  BYTE bScale;
};

struct DBPARAMS {
  void* pData;
  DB_UPARAMS cParamSets;
  HACCESSOR hAccessor;
};

struct DBPROPSET;

// --- interfaces ---
struct IDBInitialize : IUnknown {
  STDMETHOD(Initialize)() PURE;
  STDMETHOD(Uninitialize)() PURE;
};
VN_DECLARE_IID(IDBInitialize, 0x0c733a8b, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d)

struct IDBCreateSession : IUnknown {
  STDMETHOD(CreateSession)(IUnknown* outer, REFIID riid, IUnknown** session) PURE;
};
VN_DECLARE_IID(IDBCreateSession, 0x0c733a5d, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d)

struct IOpenRowset : IUnknown {
  STDMETHOD(OpenRowset)(IUnknown* outer, DBID* table, DBID* index, REFIID riid, ULONG propertySets,
                        DBPROPSET* properties, IUnknown** rowset) PURE;
};
VN_DECLARE_IID(IOpenRowset, 0x0c733a69, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d)

struct IDBCreateCommand : IUnknown {
  STDMETHOD(CreateCommand)(IUnknown* outer, REFIID riid, IUnknown** command) PURE;
};
VN_DECLARE_IID(IDBCreateCommand, 0x0c733a1d, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d)

struct ICommand : IUnknown {
  STDMETHOD(Cancel)() PURE;
  STDMETHOD(Execute)(IUnknown* outer, REFIID riid, DBPARAMS* params, DBROWCOUNT* rowsAffected,
                     IUnknown** rowset) PURE;
  STDMETHOD(GetDBSession)(REFIID riid, IUnknown** session) PURE;
};
VN_DECLARE_IID(ICommand, 0x0c733a63, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d)

struct ICommandText : ICommand {
  STDMETHOD(GetCommandText)(GUID* dialect, LPOLESTR* text) PURE;
  STDMETHOD(SetCommandText)(REFGUID dialect, LPCOLESTR text) PURE;
};
VN_DECLARE_IID(ICommandText, 0x0c733a27, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d)

// Compiles the text without running it, so that IColumnsInfo of the command
// describes the result before (or instead of) Execute.
struct ICommandPrepare : IUnknown {
  STDMETHOD(Prepare)(ULONG expectedRuns) PURE;
  STDMETHOD(Unprepare)() PURE;
};
VN_DECLARE_IID(ICommandPrepare, 0x0c733a26, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d)

struct ICommandWithParameters : IUnknown {
  STDMETHOD(GetParameterInfo)(DB_UPARAMS* count, DBPARAMINFO** info, OLECHAR** names) PURE;
  STDMETHOD(MapParameterNames)(DB_UPARAMS count, LPCWSTR names[], DB_LPARAMS ordinals[]) PURE;
  STDMETHOD(SetParameterInfo)(DB_UPARAMS count, const DB_UPARAMS ordinals[], const DBPARAMBINDINFO info[]) PURE;
};
VN_DECLARE_IID(ICommandWithParameters, 0x0c733a64, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d)

struct IAccessor : IUnknown {
  STDMETHOD(AddRefAccessor)(HACCESSOR accessor, DBREFCOUNT* refCount) PURE;
  STDMETHOD(CreateAccessor)(DBACCESSORFLAGS flags, DBCOUNTITEM count, const DBBINDING bindings[], DBLENGTH rowSize,
                            HACCESSOR* accessor, DBBINDSTATUS status[]) PURE;
  STDMETHOD(GetBindings)(HACCESSOR accessor, DBACCESSORFLAGS* flags, DBCOUNTITEM* count, DBBINDING** bindings) PURE;
  STDMETHOD(ReleaseAccessor)(HACCESSOR accessor, DBREFCOUNT* refCount) PURE;
};
VN_DECLARE_IID(IAccessor, 0x0c733a8c, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d)

struct IColumnsInfo : IUnknown {
  STDMETHOD(GetColumnInfo)(DBORDINAL* count, DBCOLUMNINFO** info, OLECHAR** strings) PURE;
  STDMETHOD(MapColumnIDs)(DBORDINAL count, const DBID ids[], DBORDINAL ordinals[]) PURE;
};
VN_DECLARE_IID(IColumnsInfo, 0x0c733a11, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d)

struct IRowset : IUnknown {
  STDMETHOD(AddRefRows)(DBCOUNTITEM count, const HROW rows[], DBREFCOUNT refCounts[], DBROWSTATUS status[]) PURE;
  STDMETHOD(GetData)(HROW row, HACCESSOR accessor, void* data) PURE;
  STDMETHOD(GetNextRows)(HCHAPTER chapter, DBROWOFFSET offset, DBROWCOUNT rows, DBCOUNTITEM* obtained,
                         HROW** handles) PURE;
  STDMETHOD(ReleaseRows)(DBCOUNTITEM count, const HROW rows[], DBROWOPTIONS options[], DBREFCOUNT refCounts[],
                         DBROWSTATUS status[]) PURE;
  STDMETHOD(RestartPosition)(HCHAPTER chapter) PURE;
};
VN_DECLARE_IID(IRowset, 0x0c733a7c, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d)

struct IRowsetChange : IUnknown {
  STDMETHOD(DeleteRows)(HCHAPTER chapter, DBCOUNTITEM count, const HROW rows[], DBROWSTATUS status[]) PURE;
  STDMETHOD(SetData)(HROW row, HACCESSOR accessor, void* data) PURE;
  STDMETHOD(InsertRow)(HCHAPTER chapter, HACCESSOR accessor, void* data, HROW* row) PURE;
};
VN_DECLARE_IID(IRowsetChange, 0x0c733a05, 0x2a1c, 0x11ce, 0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d)

struct IDataInitialize : IUnknown {
  // Makes the data source that initString names ("Provider=..." plus the
  // provider's own keywords), not yet initialised.
  STDMETHOD(GetDataSource)(IUnknown* outer, DWORD clsCtx, LPCOLESTR initString, REFIID riid,
                           IUnknown** dataSource) PURE;
  STDMETHOD(GetInitializationString)(IUnknown* dataSource, BOOLEAN includePassword, LPOLESTR* initString) PURE;
  STDMETHOD(CreateDBInstance)(REFCLSID provider, IUnknown* outer, DWORD clsCtx, LPOLESTR reserved, REFIID riid,
                              IUnknown** dataSource) PURE;
};
VN_DECLARE_IID(IDataInitialize, 0x2206ccb1, 0x19c1, 0x11d1, 0x89, 0xe0, 0x00, 0xc0, 0x4f, 0xd7, 0xa8, 0x29)

// A data source that takes the keywords of its connection string other than
// "Provider" (in the order written, names as written) before Initialize.
struct IDBConnectionProperties : IUnknown {
  STDMETHOD(SetConnectionProperty)(LPCOLESTR name, LPCOLESTR value) PURE;
};
VN_DECLARE_IID(IDBConnectionProperties, 0x5b1f0c3a, 0x7d2e, 0x4c61, 0x9a, 0x0b, 0x3e, 0x44, 0x21, 0x6d, 0x8f, 0x17)

inline constexpr CLSID CLSID_MSDAINITIALIZE = {0x2206cdb0, 0x19c1, 0x11d1, {0x89, 0xe0, 0x00, 0xc0, 0x4f, 0xd7, 0xa8, 0x29}};
inline constexpr GUID DBGUID_DEFAULT = {0xc8b521fb, 0x5cf3, 0x11ce, {0xad, 0xe5, 0x00, 0xaa, 0x00, 0x44, 0x77, 0x3d}};
