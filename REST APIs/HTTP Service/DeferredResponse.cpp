// DeferredResponse.cpp - the ready event, the status of a failure and the empty body of a deferred response.
#include "REST APIs/HTTP Service/DeferredResponse.h"

#include "platform/base/errors.h"

#include <cpprest/containerstream.h>

#include <vector>

std::uint16_t StatusFromSystemError(const std::system_error& error) {
  switch (error.code().value()) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return web::http::status_codes::NotFound;
    case ERROR_ACCESS_DENIED:
      return web::http::status_codes::Forbidden;
    case ERROR_SHARING_VIOLATION:
      return 423;
    case ERROR_UNSUPPORTED_TYPE:
      return web::http::status_codes::UnsupportedMediaType;
    default:
      return web::http::status_codes::InternalError;
  }
}

CDeferredResponse::CDeferredResponse() : m_ready(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  if (!m_ready) throw std::system_error(static_cast<int>(GetLastError()), platform::Win32Category(), "CreateEvent");
}

CDeferredResponse::~CDeferredResponse() = default;

void CDeferredResponse::WaitUntilReady() { WaitForSingleObject(m_ready.get(), INFINITE); }

std::uint16_t CDeferredResponse::GetStatusCode() {
  WaitUntilReady();
  return m_status;
}

web::http::http_headers& CDeferredResponse::GetHeaders() {
  WaitUntilReady();
  return m_headers;
}

concurrency::streams::istream& CDeferredResponse::GetBody() {
  WaitUntilReady();
  return m_body;
}

std::wstring CDeferredResponse::GetContentType() {
  WaitUntilReady();
  platform::SrwSharedLock hold(m_lock);
  return m_contentType;
}

void CDeferredResponse::SetContentType(std::wstring type) {
  platform::SrwExclusiveLock hold(m_lock);
  m_contentType = std::move(type);
}

bool CDeferredResponse::WaitReady(DWORD timeoutMs, HANDLE cancel) {
  const HANDLE handles[] = {m_ready.get(), cancel};
  return WaitForMultipleObjects(cancel != nullptr ? 2 : 1, handles, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

void CDeferredResponse::SetFailure(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::system_error& e) {
    switch (e.code().value()) {
      case ERROR_BUSY:
        // Every work thread is taken: the client may come back soon.
        m_status = web::http::status_codes::ServiceUnavailable;
        m_headers.add(web::http::header_names::retry_after, kRetryAfterSeconds);
        break;
      case ERROR_TIMEOUT:
      case ERROR_CANCELLED:
        m_status = web::http::status_codes::ServiceUnavailable;
        break;
      default:
        m_status = StatusFromSystemError(e);
    }
  } catch (...) {
    m_status = web::http::status_codes::InternalError;
  }
}

void CDeferredResponse::MarkReady() {
  // Our own reference: a waiter may destroy the response the moment the event is set.
  platform::UniqueHandle ready(DuplicateHandleRef(m_ready.get()));
  if (!m_body) {
    try {
      m_body = concurrency::streams::bytestream::open_istream(std::vector<std::uint8_t>());
    } catch (...) {
    }
  }
  SetEvent(ready.get());
}
