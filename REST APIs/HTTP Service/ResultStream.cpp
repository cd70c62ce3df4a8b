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
      m_last(pplx::task_from_result<size_t>(0)) {}

size_t ResultStream<unsigned char>::BasicBuffer::Fill(unsigned char* destination, size_t count) {
  QueryInfo& q = *m_query;
  size_t written = 0;
  auto take = [&] {
    const size_t n = std::min(q.m_pending.size() - q.m_pendingOffset, count - written);
    std::memcpy(destination + written, q.m_pending.data() + q.m_pendingOffset, n);
    written += n;
    q.m_pendingOffset += n;
    if (q.m_pendingOffset == q.m_pending.size()) {
      q.m_pending.clear();
      q.m_pendingOffset = 0;
    }
  };
  take();
  if (!q.m_pending.empty() || written == count) return written;
  if (q.m_failure) std::rethrow_exception(q.m_failure);
  std::wstring text;
  while (!q.m_ended) {
    text.clear();
    if (!q.m_prologueSent) {
      text = q.GetPrologue();
      q.m_prologueSent = true;
    } else {
      HRESULT hr = q.NextRow(text);
      if (hr == DB_S_ENDOFROWSET) {
        text = q.GetEpilogue();
        hr = q.Close();
        q.m_ended = true;
      }
      if (hr != S_OK) {
        // What was already produced goes out first; the failure ends the
        // body at the next read, so the reply is visibly cut, never a
        // complete-looking answer without its rows.
        q.m_ended = true;
        q.m_failure = std::make_exception_ptr(RowError(hr));
        if (written == 0) std::rethrow_exception(q.m_failure);
        break;
      }
    }
    q.m_pending = platform::Utf8FromWide(text);
    take();
    if (written == count) break;
  }
  return written;
}

pplx::task<size_t> ResultStream<unsigned char>::BasicBuffer::_getn(unsigned char* ptr, size_t count) {
  auto self = std::static_pointer_cast<BasicBuffer>(shared_from_this());
  // Each fill runs on the query threads, because the provider may block, and
  // after the one before it. The HTTP library reads one piece at a time, so
  // the last fill has normally finished and no continuation (which would need
  // a thread of the library's pool) is involved.
  auto fill = [self, ptr, count] {
    pplx::task_completion_event<size_t> done;
    const std::weak_ptr<QueryInfo> query = self->m_query;
    const bool queued = RunQueryWork(
        [self, ptr, count, done](bool) {
          try {
            done.set(self->Fill(ptr, count));
          } catch (...) {
            done.set_exception(std::current_exception());
          }
        },
        [query] {
          if (const auto q = query.lock()) q->Cancel();
        },
        INFINITE, true);
    if (!queued) done.set_exception(std::make_exception_ptr(RowError(HRESULT_FROM_WIN32(ERROR_CANCELLED))));
    return pplx::create_task(done);
  };
  if (m_last.is_done())
    m_last = fill();
  else
    m_last = m_last.then([fill](pplx::task<size_t>) { return fill(); });
  return m_last;
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
