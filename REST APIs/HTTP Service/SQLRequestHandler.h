// SQLRequestHandler.h - the "SQL" handler file: one SQL command answered as a streamed result.
//
// CSQLRequestInstance is what the SQL and SEARCH handlers share: the root
// and the handler file the factory was given, and the query response (a
// deferred response, DeferredResponse.h: CacheMode 4, status 204 until the
// query has run, its deadline the query timeout). CSQLRequestHandler reads the handler file, opens
// "Provider=Vantrel.OLEDBProvider", binds the request's parameters by name
// and executes the command on the query threads; the response becomes ready
// once the command has run, and the rows are written as the body is read.
//
// Only the parameters the statement declares are bound, each from the first
// of: "Session$User", "Session$Host", the listener's map, the query string's
// pairs (names and values decoded). A client name with a reserved prefix
// ("Session$", "Registry$", "Directory$") or one the listener's map holds is
// never a client's. A request holds the listener's map it was given (shared,
// never copied) until its statement is bound, however many values the host
// holds.
//
// The reply's wait ends at the query timeout counted from the request's
// arrival; then Cancel stops the command (ICommand::Cancel) and frees its
// thread. A query refused because every query thread is taken is answered
// 503 with "Retry-After".
#pragma once

#include "REST APIs/HTTP Service/DeferredResponse.h"
#include "REST APIs/HTTP Service/RequestHandler.h"
#include "REST APIs/HTTP Service/ResultStream.h"
#include "LibService/Status.h"
#include "platform/sync/sync.h"

#include <memory>
#include <string>

class CSQLRequestInstance : public CHTTPServer::CRequestHandler {
 public:
  // A query's response: deferred, with the deadline of the query timeout
  // counted from the request's arrival.
  class Response : public CDeferredResponse {
   public:
    // timeoutMs: how long the reply may wait for the outcome, from now.
    explicit Response(DWORD timeoutMs);
    ~Response();

    // Fixes the outcome of stream (body and 200, or the error's status) and
    // signals the ready event.
    void Complete(pplx::task<concurrency::streams::istream> stream);
    // The query whose command Cancel stops; false when already cancelled.
    bool Attach(std::shared_ptr<CHTMLDataSource> query);
    // Stops the query's command, now or as soon as it is attached.
    void Cancel() override;
    ULONGLONG ReplyDeadline() const override { return m_arrival + m_timeoutMs; }
    // When the request arrived (GetTickCount64), where its timeout counts from.
    ULONGLONG Arrival() const { return m_arrival; }

   private:
    // m_lock guards m_query and m_cancelled (the reply's thread cancels,
    // the query's thread attaches).
    SRWLOCK m_lock = SRWLOCK_INIT;
    std::shared_ptr<CHTMLDataSource> m_query;
    bool m_cancelled = false;
    const ULONGLONG m_arrival;
    const DWORD m_timeoutMs;
  };

  CSQLRequestInstance(std::wstring root, std::wstring path) : m_root(std::move(root)), m_path(std::move(path)) {}

 protected:
  const std::wstring m_root;
  const std::wstring m_path;
};

class CSQLRequestHandler : public CSQLRequestInstance {
 public:
  using CSQLRequestInstance::CSQLRequestInstance;
  std::shared_ptr<CResponse>& Handle(std::shared_ptr<CResponse>& response, web::http::http_request request,
                                     vantrel::basic_istring<wchar_t> user,
                                     const CParameterMap& parameters) override;
};

// The "SQL" factory, registered in the handler factory map at start-up.
std::shared_ptr<CHTTPServer::CRequestHandler> CreateSQLRequestHandler(std::wstring root, std::wstring path);

// Reports status's error to the event log the first time its text is seen.
// At most kMaxReportedErrors texts are remembered and reported; once the set
// is full, texts not in it are not reported, so memory and the event log stay
// bounded however many distinct texts clients provoke.
constexpr std::size_t kMaxReportedErrors = 1024;
void LogErrorOnce(CStatus status);


// The parameter names a client may not use.
bool IsReservedParameterName(std::wstring_view name);
