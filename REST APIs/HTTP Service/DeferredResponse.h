// DeferredResponse.h - the base of responses whose outcome is fixed after Handle has returned.
//
// A file's open and a query's command run on work threads, so their response
// is handed to the listener at once and becomes ready later. CDeferredResponse
// keeps what both need: the outcome (status, headers, body, content type), a
// manual-reset ready event, the status a failure maps to, an empty body for an
// outcome without one, and a wait with a deadline.
//
// How the listener answers a response is the response's own word: one that is
// not deferred (Deferred() is null) is read where the handler returned it; a
// deferred one without a deadline too (a file's open never waits behind
// other requests); a deferred one with a deadline is read on a reply thread
// once it is ready, or cancelled and answered 503 at the deadline or when the
// listener closes.
//
// Invariant: the outcome is written only by the thread that finishes it, once,
// before MarkReady sets the event; every reader waits for the event first. The
// content type alone may also be set before that (a query knows it when its
// command starts), so m_lock guards it.
#pragma once

#include "REST APIs/HTTP Service/RequestHandler.h"
#include "platform/sync/sync.h"

#include <cpprest/http_msg.h>
#include <cpprest/streams.h>

#include <cstdint>
#include <exception>
#include <string>
#include <system_error>

// The HTTP status for a std::system_error whose value is a Win32 code (the
// category is not consulted): 2, 3 -> 404; 5 -> 403; 32 -> 423; 1630 -> 415;
// anything else 500. Errors from errno must be translated before they get here.
std::uint16_t StatusFromSystemError(const std::system_error& error);

// The "Retry-After" of work refused for want of a thread, in seconds.
constexpr char kRetryAfterSeconds[] = "1";

class CDeferredResponse : public CHTTPServer::CRequestHandler::CResponse {
 public:
  // ReplyDeadline of a response the listener reads where it stands.
  static constexpr ULONGLONG kNoDeadline = ~0ull;

  // Each waits until the outcome is fixed.
  std::uint16_t GetStatusCode() override;
  web::http::http_headers& GetHeaders() override;
  concurrency::streams::istream& GetBody() override;
  std::wstring GetContentType() override;
  CDeferredResponse* Deferred() override { return this; }

  // Waits until the outcome is fixed (true), for at most timeoutMs or until
  // cancel (may be null) is set (false).
  bool WaitReady(DWORD timeoutMs, HANDLE cancel);
  // When (GetTickCount64) the listener stops waiting for the outcome and
  // calls Cancel; kNoDeadline: it is read where the handler returned it.
  virtual ULONGLONG ReplyDeadline() const { return kNoDeadline; }
  // Stops the work that would fix the outcome; the listener answers 503.
  virtual void Cancel() {}

  void SetContentType(std::wstring type);

 protected:
  CDeferredResponse();
  ~CDeferredResponse();
  CDeferredResponse(const CDeferredResponse&) = delete;
  CDeferredResponse& operator=(const CDeferredResponse&) = delete;

  // The status of a failed outcome: every query thread taken (ERROR_BUSY) is
  // 503 with "Retry-After"; a timed-out or cancelled one (ERROR_TIMEOUT,
  // ERROR_CANCELLED) 503; another Win32 code by StatusFromSystemError; any
  // other exception 500.
  void SetFailure(std::exception_ptr error);
  // Fixes the outcome: an outcome without a body gets an empty, valid one;
  // then the event is set. Nothing of the response is touched afterwards,
  // so it may be destroyed the moment a waiter wakes.
  void MarkReady();
  // Waits without a bound (the destructor of a response whose work writes
  // into it).
  void WaitUntilReady();

  // The outcome: written before MarkReady, read after the event.
  std::uint16_t m_status = web::http::status_codes::OK;
  web::http::http_headers m_headers;
  concurrency::streams::istream m_body;

 private:
  std::wstring m_contentType;  // guarded by m_lock
  mutable SRWLOCK m_lock = SRWLOCK_INIT;
  platform::UniqueHandle m_ready;  // manual reset
};
