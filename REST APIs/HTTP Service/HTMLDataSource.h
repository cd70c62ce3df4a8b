// HTMLDataSource.h - the service's OLE DB consumer: one connection, one command, its rows as text.
//
// CHTMLDataSource opens a data source from a connection string, runs one SQL
// text with named string parameters and steps through the rows.
// CHTMLDataBuffer binds every column of the current row as wide text (the
// "string binding") for the result formats, each by reference, so a value is
// never cut to a width guessed from its declared type.
//
// Memory: parameters live in a buffer of their own, sized for the
// parameters (24 bytes each), and the row text in one sized for the columns;
// nothing is shared between the two, so neither can overwrite the other. A
// by-reference value is freed after its row and its slot cleared, so a NULL
// in the next row never reads or frees it again.
//
// m_bufferLock (re-entrant) guards the rowset position and the row buffer:
// the row step and every reader of the bound row hold it. m_cancelLock
// guards m_command and m_cancelled, so Cancel may come from any thread while
// the command runs; nothing else is taken while it is held.
#pragma once

#include "platform/com/comptr.h"
#include "platform/oledb/oledb.h"
#include "platform/sync/sync.h"

#include <functional>
#include <string>
#include <vector>

// The row filter: given a lookup from a column ordinal to the bound text of
// the current row (an empty text for NULL, null for ordinal 0 or an unknown
// ordinal), S_OK keeps the row and S_FALSE skips it. The value formatter turns (bound text, ordinal)
// into the text written. Empty functions keep every row and write the text.
using ColumnLookup = std::function<const wchar_t*(DBORDINAL)>;
using RowFilter = std::function<HRESULT(const ColumnLookup&)>;
using ValueFormatter = std::function<std::wstring(const wchar_t*, DBORDINAL)>;

class CHTMLDataSource {
 public:
  // One parameter: its name and its value (a VT_BSTR for the query handlers).
  class CParameter {
   public:
    CParameter(std::wstring name, const VARIANT& value);  // throws std::system_error when the copy fails
    CParameter(const CParameter& other);
    CParameter& operator=(const CParameter&) = delete;
    virtual ~CParameter();
    const std::wstring& Name() const { return m_name; }
    const VARIANT& Value() const { return m_value; }

   private:
    std::wstring m_name;
    VARIANT m_value;
  };

  struct CColumn {
    DBCOLUMNINFO info;  // pwszName points at name
    std::wstring name;
  };

  CHTMLDataSource(bool variantTypes, RowFilter filter, ValueFormatter formatter);
  virtual ~CHTMLDataSource();
  CHTMLDataSource(const CHTMLDataSource&) = delete;
  CHTMLDataSource& operator=(const CHTMLDataSource&) = delete;

  // Bind size in bytes of a column of the result.
  virtual DBLENGTH GetColumnSize(const DBCOLUMNINFO& column) = 0;

  HRESULT Open(const std::wstring& connection);
  void AddParameter(std::wstring name, const VARIANT& value);
  // The parameter names text declares, in order (compiled, not run).
  HRESULT DeclaredParameters(const std::wstring& text, std::vector<std::wstring>& names);
  // Runs text with the parameters. With prepareOnly the text is only compiled
  // and the columns described; there are no rows.
  HRESULT Execute(const std::wstring& text, bool prepareOnly = false);
  // S_OK on a new current row, DB_S_ENDOFROWSET after the last, or a failure.
  // A statement without a rowset has no rows.
  HRESULT StepRow();
  HRESULT Close();
  // Cancels the command (ICommand::Cancel) from any thread: a running
  // Execute returns, and every later Execute and StepRow fails with
  // ERROR_CANCELLED.
  void Cancel();
  bool IsCancelled() const;

  const std::vector<CColumn>& Columns() const { return m_columns; }
  CRITICAL_SECTION& BufferLock() { return m_bufferLock; }

 protected:
  void ReleaseResult();
  HRESULT BindParameters(ICommand* command, DBPARAMS& params);
  HRESULT DescribeColumns(IUnknown* source);

  const bool m_variantTypes;
  const RowFilter m_filter;
  const ValueFormatter m_formatter;

  platform::ComPtr<IDBInitialize> m_dataSource;
  platform::ComPtr<IOpenRowset> m_session;
  platform::ComPtr<ICommand> m_command;
  platform::ComPtr<ICommand> m_declared;  // the command DeclaredParameters compiled, for an Execute of its text
  std::wstring m_declaredText;
  HACCESSOR m_parameterAccessor = 0;
  std::vector<BYTE> m_parameterBuffer;
  platform::ComPtr<IRowset> m_rowset;
  platform::ComPtr<IRowsetChange> m_rowsetChange;
  HROW m_row = 0;              // the current row handle, 0 when none is held
  LONG_PTR m_position = -1;    // handle of the last row handed out; -1 before the first
  bool m_fetched = false;      // rows were taken from m_rowset
  mutable SRWLOCK m_cancelLock = SRWLOCK_INIT;
  bool m_cancelled = false;

  DBLENGTH m_totalSize = 0;
  std::vector<DBLENGTH> m_columnSizes;
  std::vector<CColumn> m_columns;
  std::vector<CParameter> m_parameters;
  std::vector<DBPARAMBINDINFO> m_parameterInfo;

  CRITICAL_SECTION m_bufferLock;
};

class CHTMLDataBuffer : public CHTMLDataSource {
 public:
  using CHTMLDataSource::CHTMLDataSource;
  ~CHTMLDataBuffer() override;

  DBLENGTH GetColumnSize(const DBCOLUMNINFO& column) override;

  // One column of the string binding.
  struct CBoundColumn {
    DBORDINAL ordinal = 0;
    std::wstring name;
    DBTYPE declaredType = 0;
    bool byReference = false;
    DBBYTEOFFSET value = 0, length = 0, status = 0;
    // The binding extension of a DBTYPE_VARIANT column: its first word points
    // at type, where the provider writes the row's actual type.
    struct {
      BYTE* self = nullptr;
      DBCOUNTITEM count = 0;
      DBTYPE type = 0;
    } variant;
  };

  bool HasStringBinding() const { return m_stringAccessor != 0; }
  // Builds the string binding over the columns of the rowset.
  HRESULT BuildStringBinding();
  // Reads the current row into the row buffer; the by-reference strings of
  // the previous row must have been freed (FreeRowReferences).
  HRESULT ReadRow();
  void FreeRowReferences();

  const std::vector<CBoundColumn>& BoundColumns() const { return m_bound; }
  // Text, status and type of the bound column at index i of the current row.
  std::wstring_view Text(std::size_t i) const;
  DBSTATUS Status(std::size_t i) const;
  DBTYPE Type(std::size_t i) const;
  // Text written for column i: the formatter's result when one is set.
  std::wstring ValueText(std::size_t i) const;
  // The same text without a copy when no formatter is set (the bound text
  // itself); with one, the formatter's result, kept in scratch.
  std::wstring_view ValueView(std::size_t i, std::wstring& scratch) const;
  // The lookup the row filter is given.
  const wchar_t* Lookup(DBORDINAL ordinal) const;

 protected:
  void ReleaseStringBinding();

 private:
  HACCESSOR m_stringAccessor = 0;
  platform::ComPtr<IAccessor> m_rowAccessor;
  std::vector<CBoundColumn> m_bound;
  std::vector<BYTE> m_rowBuffer;
};
