// ResultStream.h - a query result as a response body produced while the HTTP library reads it.
//
// ResultStream<unsigned char>::Create picks the format from the request (a
// path ending in ".xslt" gives the stylesheet, else the first "Accept" piece
// that names application/xml, application/json, text/css or */*; none: a
// std::system_error 1630, answered 415), makes the query object of that
// format and runs the handler's open callback on the query threads. Once the
// callback calls Start, the task yields an input stream over a BasicBuffer
// that pulls the prologue, one row at a time and the epilogue from the query
// object, as UTF-8. UTF-8 bytes that did not fit a read wait for the next,
// so a reader taking one byte at a time gets the same body.
//
// Rows are written on the query threads (they may block in the provider) in
// blocks of about kBodyBlockBytes, one block ahead of the reads: reads are
// answered on the reader's thread from the block before, so the query
// threads are woken at most once per block rather than once per read, and
// rows are written while the wire sends. Every BasicBuffer entry point other than the
// read throws std::logic_error naming itself.
#pragma once

#include "REST APIs/HTTP Service/HTMLDataSource.h"

#include <cpprest/astreambuf.h>
#include <cpprest/http_msg.h>
#include <cpprest/streams.h>

#include <memory>
#include <string>

// The longest value a row may hold, in characters. A value is held a few
// times over on its way to the wire (the provider's copy, the bound copy,
// its escaped text, its UTF-8); a longer one ends the body where it stands
// (a cut chunked reply) rather than taking unbounded memory.
constexpr std::size_t kMaxValueCharacters = 8u << 20;

// How much body a fill prepares before it hands over (one row may take it
// past): the bytes held per reply beyond the row being written.
constexpr std::size_t kBodyBlockBytes = 64u << 10;

template <class CharType>
class ResultStream;

template <>
class ResultStream<unsigned char> {
 public:
  class QueryInfo : public CHTMLDataBuffer {
   public:
    QueryInfo(bool variantTypes, RowFilter filter, ValueFormatter formatter)
        : CHTMLDataBuffer(variantTypes, std::move(filter), std::move(formatter)) {}
    virtual std::wstring GetContentType() = 0;
    virtual std::wstring GetPrologue() = 0;
    virtual std::wstring GetEpilogue() = 0;
    // Appends the next row's UTF-8 to out; S_OK, DB_S_ENDOFROWSET or a
    // failure (out may then hold part of the row: the caller drops it).
    virtual HRESULT NextRow(std::string& out) = 0;
    // Whether the format needs the command run (false: described only).
    virtual bool NeedsRows() const { return true; }

    // The stream's state (see BasicBuffer for who touches what).
    std::string m_pending;  // the block being read; its bytes from m_pendingOffset on are not yet read
    std::size_t m_pendingOffset = 0;
    std::string m_ahead;  // the block being written ahead of the reads
    std::exception_ptr m_failure;  // a row that failed after bytes went out, thrown at the next read
    bool m_prologueSent = false;
    bool m_ended = false;

   protected:
    // The row loop shared by the row formats: steps to the next row the
    // filter keeps and hands it to write (first: the binding was built in
    // this call). A column whose value could not be converted fails the row.
    HRESULT NextRowWith(const std::function<HRESULT(bool first)>& write);
  };
  class JsonQueryInfo;
  class XMLQueryInfo;
  class XSLQueryInfo;

  // Called on the thread that completes the stream, with the finished task.
  using ReadyCallback = std::function<void(pplx::task<concurrency::streams::istream>)>;

  class CallbackOpen {
   public:
    explicit CallbackOpen(ReadyCallback ready = ReadyCallback()) : m_ready(std::move(ready)) {}
    // After a successful Execute: the body stream is made over query, the
    // outcome told, and then the body's first block written on this thread.
    void Start(std::shared_ptr<QueryInfo> query);
    void SetResultException(std::exception_ptr error);
    pplx::task<concurrency::streams::istream> Task() { return pplx::create_task(m_event); }

   private:
    pplx::task_completion_event<concurrency::streams::istream> m_event;
    // Told directly rather than through a continuation: continuations run on
    // the HTTP library's pool, whose threads may all be waiting for this.
    ReadyCallback m_ready;
  };
  using OpenCallback = std::function<void(std::shared_ptr<QueryInfo>, CallbackOpen*)>;

  class BasicBuffer;

  // ready, when given, is called with the finished task on the thread that
  // finishes it (a query thread, or the caller when no format fits or the
  // query threads are full: ERROR_BUSY). The open callback must start within
  // timeoutMs, or it never runs and the task fails with ERROR_TIMEOUT.
  static pplx::task<concurrency::streams::istream> Create(const std::wstring& root, web::http::http_request request,
                                                          OpenCallback open, bool variantTypes, RowFilter filter,
                                                          ValueFormatter formatter, ReadyCallback ready = ReadyCallback(),
                                                          DWORD timeoutMs = INFINITE);
  // The format's query object for request, or nullptr when no format fits.
  static std::shared_ptr<QueryInfo> ChooseFormat(const web::http::http_request& request, bool variantTypes,
                                                 RowFilter filter, ValueFormatter formatter);
};
