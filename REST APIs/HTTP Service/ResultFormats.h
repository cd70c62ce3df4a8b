// ResultFormats.h - the three result formats (JSON, XML, XSLT) and the body's stream buffer.
//
// JSON is an array of row objects, always valid: every control character,
// quote and backslash escaped, a carriage return kept as \r, strings and
// other non-numeric values quoted, numbers bare only when they are JSON
// numbers, BOOL true/false, NULL null (an empty string for string columns),
// the bookmark column left out. XML is a <data> of <row>s whose elements are
// the column names made into XML names, with characters XML cannot hold
// replaced by U+FFFD; it links the stylesheet at the request path with
// ".xslt" appended, percent-encoded. The stylesheet is an HTML table with a
// column per result column (the bookmark left out), built from a
// prepare-only description of the query, so the query itself never runs.
#pragma once

#include "REST APIs/HTTP Service/ResultStream.h"

#include <optional>

// Text escapes the formats share; exposed for their tests.
std::wstring EscapeJSON(std::wstring_view text);
std::wstring EscapeXML(std::wstring_view text);
std::wstring XMLName(std::wstring_view name);
std::string PercentEncodePath(const std::string& decodedPath);

class ResultStream<unsigned char>::JsonQueryInfo final : public QueryInfo {
 public:
  using QueryInfo::QueryInfo;
  std::wstring GetContentType() override { return L"application/json"; }
  std::wstring GetPrologue() override { return L"["; }
  std::wstring GetEpilogue() override { return L"]"; }
  HRESULT NextRow(std::string& out) override;

 private:
  bool m_written = false;  // a row has been written, so the next one starts with ","
  std::vector<std::string> m_keys;  // per bound column: [","] "name": as UTF-8
  std::wstring m_scratch;           // a formatted value, reused across values
};

class ResultStream<unsigned char>::XMLQueryInfo final : public QueryInfo {
 public:
  XMLQueryInfo(bool variantTypes, RowFilter filter, ValueFormatter formatter, const web::http::http_request& request);
  std::wstring GetContentType() override { return L"text/xml"; }
  std::wstring GetPrologue() override;
  std::wstring GetEpilogue() override { return L"</data>\r\n"; }
  HRESULT NextRow(std::string& out) override;

 private:
  std::vector<std::string> m_names;  // per bound column: its element name as UTF-8
  std::wstring m_scratch;            // a formatted value, reused across values
  // Only the link is kept, not the request: the request holds its reply,
  // whose body holds this object, and the cycle would never be freed.
  std::wstring m_stylesheet;
};

class ResultStream<unsigned char>::XSLQueryInfo final : public QueryInfo {
 public:
  using QueryInfo::QueryInfo;
  std::wstring GetContentType() override { return L"text/xml"; }
  std::wstring GetPrologue() override;
  std::wstring GetEpilogue() override { return L""; }
  HRESULT NextRow(std::string&) override { return DB_S_ENDOFROWSET; }
  bool NeedsRows() const override { return false; }
};

class ResultStream<unsigned char>::BasicBuffer final : public concurrency::streams::details::streambuf_state_manager<unsigned char> {
 public:
  using traits = streambuf_state_manager<unsigned char>::traits;
  using int_type = streambuf_state_manager<unsigned char>::int_type;
  using pos_type = streambuf_state_manager<unsigned char>::pos_type;
  using off_type = streambuf_state_manager<unsigned char>::off_type;

  explicit BasicBuffer(std::shared_ptr<QueryInfo> query);
  // Writes the first block on the calling thread (one the provider may
  // block: a query thread), unless a read already asked for it.
  void WriteFirstBlock();

  bool can_seek() const override { return false; }
  bool has_size() const override { return false; }
  size_t buffer_size(std::ios_base::openmode) const override;
  void set_buffer_size(size_t, std::ios_base::openmode) override;
  size_t in_avail() const override;
  pos_type getpos(std::ios_base::openmode) const override;
  utility::size64_t size() const override;
  pos_type seekpos(pos_type, std::ios_base::openmode) override;
  pos_type seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) override;
  bool acquire(unsigned char*& ptr, size_t& count) override;
  void release(unsigned char* ptr, size_t count) override;
  pplx::task<int_type> _putc(unsigned char) override;
  pplx::task<size_t> _putn(const unsigned char*, size_t) override;
  pplx::task<int_type> _bumpc() override;
  int_type _sbumpc() override;
  pplx::task<int_type> _getc() override;
  int_type _sgetc() override;
  pplx::task<int_type> _nextc() override;
  pplx::task<int_type> _ungetc() override;
  pplx::task<size_t> _getn(unsigned char* ptr, size_t count) override;
  size_t _scopy(unsigned char*, size_t) override;
  pplx::task<bool> _sync() override;
  unsigned char* _alloc(size_t) override;
  void _commit(size_t) override;
  pplx::task<void> _close_read() override;

 private:
  // One block is read while the next is written ahead on a query thread:
  // the wire and the provider work at once, and a reply holds at most two
  // blocks. m_lock guards m_writing, m_waiter and, while no block is being
  // written, the query's end and failure; m_pending is the reader's alone.
  struct Waiter {
    unsigned char* destination = nullptr;
    size_t count = 0;
    pplx::task_completion_event<size_t> done;
  };
  // With m_lock held: answers a read from the ready bytes (taken, or error
  // for a failed body); false when it must wait for the block being written.
  bool Answer(unsigned char* destination, size_t count, size_t& taken, std::exception_ptr& error);
  bool ShouldWriteAhead() const;
  size_t TakeReady(unsigned char* destination, size_t count);
  // On a query thread: writes rows into the query's m_ahead until a block
  // is ready or the body ends (a failure is kept for the read after it).
  void WriteBlock();
  // After a block: answers the read waiting for it; true when this thread
  // is to write the next block now (the reader has taken the last one).
  bool HandOver();
  // WriteBlock and HandOver until the body ends or the reader lags.
  void WriteBlocks();
  void QueueBlock();

  std::shared_ptr<QueryInfo> m_query;
  SRWLOCK m_lock;
  bool m_writing = false;
  std::optional<Waiter> m_waiter;
  pplx::task<size_t> m_last;  // the last read
};
