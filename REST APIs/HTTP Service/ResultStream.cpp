// ResultStream.cpp - the format choice, the open callback holder and the body's stream buffer.
#include "REST APIs/HTTP Service/ResultStream.h"

#include "REST APIs/HTTP Service/BlockingWork.h"
#include "REST APIs/HTTP Service/ResultFormats.h"
#include "platform/base/errors.h"
#include "platform/base/text.h"

#include <cstring>
#include <stdexcept>
#include <system_error>

namespace {

using Query = ResultStream<unsigned char>::QueryInfo;

[[noreturn]] void Unimplemented(const char* name) {
  throw std::logic_error(std::string("Unimplemented method BasicBuffer::") + name + "()");
}

std::system_error RowError(HRESULT hr) {
  return std::system_error(hr & 0xFFFF, platform::Win32Category(), "query row");
}

}  // namespace

HRESULT ResultStream<unsigned char>::QueryInfo::NextRowWith(const std::function<HRESULT(bool first)>& write) {
  bool first = false;
  if (m_position == -1 && !HasStringBinding()) {
    const HRESULT hr = BuildStringBinding();
    if (FAILED(hr)) return hr;
    first = true;
  }
  platform::CriticalSectionLock hold(m_bufferLock);
  HRESULT result;
  do {
    result = StepRow();
    if (result != S_OK) return result;
    result = ReadRow();
    if (SUCCEEDED(result)) {
      for (std::size_t i = 0; i < BoundColumns().size() && result != E_FAIL; ++i) {
        const DBSTATUS status = Status(i);
        // A value that did not convert, or was cut, must not be written as if whole.
        if (status != DBSTATUS_S_OK && status != DBSTATUS_S_ISNULL) result = DB_E_ERRORSOCCURRED;
        // Nor one past what a single value may cost (see kMaxValueCharacters).
        else if (Text(i).size() > kMaxValueCharacters) result = HRESULT_FROM_WIN32(ERROR_BUFFER_OVERFLOW);
      }
    }
    if (result == S_OK || result == DB_S_ERRORSOCCURRED) {
      result = S_OK;
      if (m_filter) result = m_filter([this](DBORDINAL ordinal) { return Lookup(ordinal); });
      if (result == S_OK) {
        result = write(first);
        first = false;
      }
    }
    FreeRowReferences();
  } while (result == S_FALSE);
  return result;
}

void ResultStream<unsigned char>::CallbackOpen::Start(std::shared_ptr<QueryInfo> query) {
  auto buffer = std::make_shared<BasicBuffer>(std::move(query));
  const auto stream = concurrency::streams::streambuf<unsigned char>(buffer).create_istream();
  m_event.set(stream);
  if (m_ready) m_ready(pplx::task_from_result(stream));
  delete this;
  // The reply goes on with its status and headers meanwhile; the first read
  // then finds the block ready, or waits for this thread, not for a queue.
  buffer->WriteFirstBlock();
}

void ResultStream<unsigned char>::CallbackOpen::SetResultException(std::exception_ptr error) {
  m_event.set_exception(error);
  if (m_ready) {
    // The caller follows the outcome through m_ready; mark the event's
    // failure seen, or its task would end the process when it is destroyed.
    try {
      pplx::create_task(m_event).get();
    } catch (...) {
    }
    m_ready(pplx::task_from_exception<concurrency::streams::istream>(error));
  }
  delete this;
}

std::shared_ptr<Query> ResultStream<unsigned char>::ChooseFormat(const web::http::http_request& request,
                                                                 bool variantTypes, RowFilter filter,
                                                                 ValueFormatter formatter) {
  const std::string path = web::uri::decode(request.relative_uri().path());
  if (path.size() >= 5 && platform::EqualsNoCaseA(std::string_view(path).substr(path.size() - 5), ".xslt"))
    return std::make_shared<XSLQueryInfo>(variantTypes, filter, formatter);
  std::string accept;
  request.headers().match(web::http::header_names::accept, accept);
  std::string_view rest(accept);
  for (;;) {
    const std::size_t comma = rest.find(',');
    std::string_view piece = rest.substr(0, comma);
    piece = piece.substr(0, piece.find(';'));
    if (piece == "application/xml" || piece == "*/*")
      return std::make_shared<XMLQueryInfo>(variantTypes, filter, formatter, request);
    if (piece == "application/json") return std::make_shared<JsonQueryInfo>(variantTypes, filter, formatter);
    if (piece == "text/css") return std::make_shared<XSLQueryInfo>(variantTypes, filter, formatter);
    if (comma == std::string_view::npos) return nullptr;
    rest.remove_prefix(comma + 1);
  }
}

pplx::task<concurrency::streams::istream> ResultStream<unsigned char>::Create(const std::wstring&,
                                                                             web::http::http_request request,
                                                                             OpenCallback open, bool variantTypes,
                                                                             RowFilter filter,
                                                                             ValueFormatter formatter,
                                                                             ReadyCallback ready, DWORD timeoutMs) {
  std::shared_ptr<Query> query = ChooseFormat(request, variantTypes, std::move(filter), std::move(formatter));
  if (!query) {
    auto refused = pplx::task_from_exception<concurrency::streams::istream>(
        std::system_error(ERROR_UNSUPPORTED_TYPE, platform::Win32Category(), "no result format for the request"));
    if (ready) ready(refused);
    return refused;
  }
  auto* holder = new CallbackOpen(std::move(ready));
  auto task = holder->Task();
  const bool queued = RunQueryWork(
      [openQuery = std::move(open), query, holder](bool expired) {
        try {
          // Past its deadline before a thread was free: the reply has been
          // answered already, so the command never runs.
          if (expired) throw std::system_error(ERROR_TIMEOUT, platform::Win32Category(), "query queued too long");
          openQuery(query, holder);
        } catch (...) {
          holder->SetResultException(std::current_exception());
        }
      },
      [query] { query->Cancel(); }, timeoutMs);
  if (!queued)
    holder->SetResultException(
        std::make_exception_ptr(std::system_error(ERROR_BUSY, platform::Win32Category(), "query threads full")));
  return task;
}

// --- BasicBuffer ---

ResultStream<unsigned char>::BasicBuffer::BasicBuffer(std::shared_ptr<QueryInfo> query)
    : streambuf_state_manager<unsigned char>(std::ios_base::in), m_query(std::move(query)),
      m_last(pplx::task_from_result<size_t>(0)) {
  InitializeSRWLock(&m_lock);
}

size_t ResultStream<unsigned char>::BasicBuffer::TakeReady(unsigned char* destination, size_t count) {
  QueryInfo& q = *m_query;
  const size_t n = std::min(q.m_pending.size() - q.m_pendingOffset, count);
  std::memcpy(destination, q.m_pending.data() + q.m_pendingOffset, n);
  q.m_pendingOffset += n;
  return n;
}

bool ResultStream<unsigned char>::BasicBuffer::Answer(unsigned char* destination, size_t count, size_t& taken,
                                                      std::exception_ptr& error) {
  QueryInfo& q = *m_query;
  if (q.m_pendingOffset == q.m_pending.size() && !m_writing && !q.m_ahead.empty()) {
    // The block written ahead becomes the one read; the emptied one's
    // storage is written next.
    q.m_pending.swap(q.m_ahead);
    q.m_pendingOffset = 0;
    q.m_ahead.clear();
  }
  if (q.m_pendingOffset < q.m_pending.size()) {
    taken = TakeReady(destination, count);
    return true;
  }
  if (m_writing) return false;
  if (q.m_failure) {
    error = q.m_failure;
    return true;
  }
  if (q.m_ended) {
    taken = 0;
    return true;
  }
  return false;
}

bool ResultStream<unsigned char>::BasicBuffer::ShouldWriteAhead() const {
  return !m_writing && !m_query->m_ended && m_query->m_ahead.empty();
}

void ResultStream<unsigned char>::BasicBuffer::WriteBlock() {
  QueryInfo& q = *m_query;
  std::string& out = q.m_ahead;
  std::size_t rowStart = out.size();
  try {
    while (!q.m_ended && out.size() < kBodyBlockBytes) {
      rowStart = out.size();
      if (!q.m_prologueSent) {
        platform::AppendUtf8(out, q.GetPrologue());
        q.m_prologueSent = true;
        continue;
      }
      HRESULT hr = q.NextRow(out);
      if (hr == DB_S_ENDOFROWSET) {
        out.resize(rowStart);
        platform::AppendUtf8(out, q.GetEpilogue());
        hr = q.Close();
        q.m_ended = true;
      }
      if (hr != S_OK) {
        // What was already produced goes out first; the failure ends the
        // body at the read after it, so the reply is visibly cut, never a
        // complete-looking answer without its rows.
        out.resize(rowStart);
        q.m_ended = true;
        q.m_failure = std::make_exception_ptr(RowError(hr));
      }
    }
  } catch (...) {
    out.resize(rowStart);
    q.m_ended = true;
    q.m_failure = std::current_exception();
  }
}

bool ResultStream<unsigned char>::BasicBuffer::HandOver() {
  Waiter waiter;
  bool answered = false, again = false;
  size_t taken = 0;
  std::exception_ptr error;
  {
    platform::SrwExclusiveLock hold(m_lock);
    m_writing = false;
    if (m_waiter) {
      waiter = std::move(*m_waiter);
      m_waiter.reset();
      // Nothing is being written now, so the read is answered.
      answered = Answer(waiter.destination, waiter.count, taken, error);
    }
    if (ShouldWriteAhead()) m_writing = again = true;
  }
  if (answered) {
    if (error)
      waiter.done.set_exception(error);
    else
      waiter.done.set(taken);
  }
  return again;
}

void ResultStream<unsigned char>::BasicBuffer::WriteBlocks() {
  // While the reader keeps up, the next block is written on the same thread
  // rather than queued anew; once it lags, the thread goes back to the queue.
  do WriteBlock();
  while (HandOver());
}

void ResultStream<unsigned char>::BasicBuffer::WriteFirstBlock() {
  {
    platform::SrwExclusiveLock hold(m_lock);
    if (!ShouldWriteAhead()) return;
    m_writing = true;
  }
  WriteBlocks();
}

void ResultStream<unsigned char>::BasicBuffer::QueueBlock() {
  auto self = std::static_pointer_cast<BasicBuffer>(shared_from_this());
  const std::weak_ptr<QueryInfo> query = m_query;
  // The provider may block, so blocks are written on the query threads.
  const bool queued = RunQueryWork(
      [self](bool) { self->WriteBlocks(); },
      [query] {
        if (const auto q = query.lock()) q->Cancel();
      },
      INFINITE, true);
  if (!queued) {
    {
      platform::SrwExclusiveLock hold(m_lock);
      m_query->m_ended = true;
      m_query->m_failure = std::make_exception_ptr(RowError(HRESULT_FROM_WIN32(ERROR_CANCELLED)));
    }
    HandOver();  // answers a waiting read with the failure; nothing is left to write
  }
}

pplx::task<size_t> ResultStream<unsigned char>::BasicBuffer::_getn(unsigned char* ptr, size_t count) {
  size_t taken = 0;
  std::exception_ptr error;
  bool wait = false, write = false;
  pplx::task_completion_event<size_t> done;
  {
    platform::SrwExclusiveLock hold(m_lock);
    if (m_waiter) {
      // The HTTP library reads one piece at a time; a second read before the
      // first is answered waits for it.
      auto self = std::static_pointer_cast<BasicBuffer>(shared_from_this());
      return m_last = m_last.then([self, ptr, count](pplx::task<size_t>) { return self->_getn(ptr, count); });
    }
    if (!Answer(ptr, count, taken, error)) {
      // Answered by the block's writer when it is done, on its thread: a
      // continuation would need a thread of the library's pool.
      m_waiter = Waiter{ptr, count, done};
      wait = true;
    }
    if (ShouldWriteAhead()) m_writing = write = true;
  }
  if (write) QueueBlock();
  if (wait) return m_last = pplx::create_task(done);
  return m_last = error ? pplx::task_from_exception<size_t>(error) : pplx::task_from_result(taken);
}

// clang-format off
pplx::task<void> ResultStream<unsigned char>::BasicBuffer::_close_read() { return streambuf_state_manager<unsigned char>::_close_read(); }
pplx::task<bool> ResultStream<unsigned char>::BasicBuffer::_sync() { Unimplemented("_sync"); }
void ResultStream<unsigned char>::BasicBuffer::_commit(size_t) { Unimplemented("_commit"); }
unsigned char* ResultStream<unsigned char>::BasicBuffer::_alloc(size_t) { Unimplemented("_alloc"); }
size_t ResultStream<unsigned char>::BasicBuffer::_scopy(unsigned char*, size_t) { Unimplemented("_scopy"); }
pplx::task<ResultStream<unsigned char>::BasicBuffer::int_type> ResultStream<unsigned char>::BasicBuffer::_ungetc() { Unimplemented("_ungetc"); }
pplx::task<ResultStream<unsigned char>::BasicBuffer::int_type> ResultStream<unsigned char>::BasicBuffer::_nextc() { Unimplemented("_nextc"); }
ResultStream<unsigned char>::BasicBuffer::int_type ResultStream<unsigned char>::BasicBuffer::_sgetc() { Unimplemented("_sgetc"); }
pplx::task<ResultStream<unsigned char>::BasicBuffer::int_type> ResultStream<unsigned char>::BasicBuffer::_getc() { Unimplemented("_getc"); }
ResultStream<unsigned char>::BasicBuffer::int_type ResultStream<unsigned char>::BasicBuffer::_sbumpc() { Unimplemented("_sbumpc"); }
pplx::task<ResultStream<unsigned char>::BasicBuffer::int_type> ResultStream<unsigned char>::BasicBuffer::_bumpc() { Unimplemented("_bumpc"); }
pplx::task<size_t> ResultStream<unsigned char>::BasicBuffer::_putn(const unsigned char*, size_t) { Unimplemented("_putn"); }
pplx::task<ResultStream<unsigned char>::BasicBuffer::int_type> ResultStream<unsigned char>::BasicBuffer::_putc(unsigned char) { Unimplemented("_putc"); }
void ResultStream<unsigned char>::BasicBuffer::release(unsigned char*, size_t) { Unimplemented("release"); }
bool ResultStream<unsigned char>::BasicBuffer::acquire(unsigned char*&, size_t&) { Unimplemented("acquire"); }
ResultStream<unsigned char>::BasicBuffer::pos_type ResultStream<unsigned char>::BasicBuffer::seekoff(off_type, std::ios_base::seekdir, std::ios_base::openmode) { Unimplemented("seekoff"); }
ResultStream<unsigned char>::BasicBuffer::pos_type ResultStream<unsigned char>::BasicBuffer::seekpos(pos_type, std::ios_base::openmode) { Unimplemented("seekpos"); }
ResultStream<unsigned char>::BasicBuffer::pos_type ResultStream<unsigned char>::BasicBuffer::getpos(std::ios_base::openmode) const { Unimplemented("getpos"); }
size_t ResultStream<unsigned char>::BasicBuffer::in_avail() const { Unimplemented("in_avail"); }
void ResultStream<unsigned char>::BasicBuffer::set_buffer_size(size_t, std::ios_base::openmode) { Unimplemented("set_buffer_size"); }
size_t ResultStream<unsigned char>::BasicBuffer::buffer_size(std::ios_base::openmode) const { Unimplemented("buffer_size"); }
utility::size64_t ResultStream<unsigned char>::BasicBuffer::size() const { Unimplemented("size"); }
// clang-format on
