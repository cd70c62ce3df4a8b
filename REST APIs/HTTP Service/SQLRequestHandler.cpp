// SQLRequestHandler.cpp - reading the handler file, binding, executing, and the response's outcome.
#include "REST APIs/HTTP Service/SQLRequestHandler.h"

#include "REST APIs/HTTP Service/FileRangeBuffer.h"
#include "REST APIs/HTTP Service/FileResponse.h"
#include "REST APIs/HTTP Service/HandlerFactory.h"
#include "platform/base/text.h"

#include <cpprest/containerstream.h>

#include <set>

namespace {

constexpr wchar_t kConnectionString[] = L"Provider=Vantrel.OLEDBProvider";
constexpr DWORD kMsgProviderOpenFailed = 0xC00009C4;
constexpr DWORD kMsgCommandFailed = 0xC00009C5;
constexpr const char* kSourceFile = "SQLRequestHandler";

const auto g_registered = RegisterRequestHandlerFactory(L"SQL", &CreateSQLRequestHandler);

// The handler file's bytes up to its first zero byte, read through the file
// window buffer (and so through platform/fs). Throws std::system_error with a
// Win32 code when it cannot be opened or read.
std::string ReadHandlerFile(const std::wstring& path) {
  using Concurrency::streams::details::basic_file_range_buffer;
  const auto file = basic_file_range_buffer<unsigned char>::OpenRange(path, 0, kNoRangeLimit);
  std::string bytes(static_cast<std::size_t>(file->size()), '\0');
  // The window buffer's reads complete at once, so get() waits for nothing.
  const std::size_t done = file->getn(reinterpret_cast<unsigned char*>(bytes.data()), bytes.size()).get();
  bytes.resize(done);
  const std::size_t nul = bytes.find('\0');
  if (nul != std::string::npos) bytes.resize(nul);
  return bytes;
}

VARIANT Bstr(const std::wstring& text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return v;
}

void AddBstr(CHTMLDataSource& query, const std::wstring& name, const std::wstring& value) {
  VARIANT v = Bstr(value);
  try {
    query.AddParameter(name, v);
  } catch (...) {
    VariantClear(&v);
    throw;
  }
  VariantClear(&v);
}

void AddParameters(CHTMLDataSource& query, const std::wstring& user, const web::http::http_request& request,
                   const std::map<std::wstring, std::wstring>& parameters) {
  AddBstr(query, L"Session$User", user);
  std::string host;
  request.headers().match(web::http::header_names::host, host);
  AddBstr(query, L"Session$Host", platform::WideFromUtf8(host));
  for (const auto& [name, value] : parameters) AddBstr(query, name, value);
  for (const auto& [name, value] : web::uri::split_query(request.relative_uri().query())) {
    const std::wstring wideName = platform::WideFromUtf8(name);
    if (IsReservedParameterName(wideName)) continue;
    AddBstr(query, wideName, platform::WideFromUtf8(web::uri::decode(value)));
  }
}

// Turns a failing HRESULT into the logged error and the exception the holder gets.
[[noreturn]] void Fail(HRESULT hr, int line, DWORD messageId, const std::wstring& insert) {
  CStatus status;
  status.SetError(NewHRESULTMessage(CSourcePos{kSourceFile, line}, hr, messageId, {insert}));
  LogErrorOnce(status);
  throw std::system_error(hr & 0xFFFF, std::system_category(), "query");
}

void RunQuery(const std::shared_ptr<CSQLRequestInstance::Response>& response, const std::wstring& path,
              const std::wstring& user, const web::http::http_request& request,
              const std::map<std::wstring, std::wstring>& parameters,
              std::shared_ptr<ResultStream<unsigned char>::QueryInfo> query,
              ResultStream<unsigned char>::CallbackOpen* holder) {
  try {
    response->SetContentType(query->GetContentType());
    const std::string bytes = ReadHandlerFile(path);
    HRESULT hr = query->Open(kConnectionString);
    if (FAILED(hr)) Fail(hr, __LINE__, kMsgProviderOpenFailed, kConnectionString);
    AddParameters(*query, user, request, parameters);
    const std::wstring text = platform::WideFromUtf8(bytes);
    hr = query->Execute(text, !query->NeedsRows());
    if (FAILED(hr)) Fail(hr, __LINE__, kMsgCommandFailed, text);
  } catch (const std::system_error& e) {
    holder->SetResultException(std::make_exception_ptr(std::system_error(e.code().value(), std::system_category())));
    return;
  } catch (const std::exception&) {
    holder->SetResultException(std::make_exception_ptr(std::system_error(ERROR_INTERNAL_ERROR, std::system_category())));
    return;
  }
  holder->Start(std::move(query));
}

}  // namespace

bool IsReservedParameterName(std::wstring_view name) {
  for (const wchar_t* prefix : {L"Session$", L"Registry$", L"Directory$"}) {
    const std::wstring_view p(prefix);
    if (name.size() >= p.size() && platform::EqualsNoCase(name.substr(0, p.size()), p)) return true;
  }
  return false;
}

void LogErrorOnce(CStatus status) {
  static SRWLOCK* const lock = [] {
    auto* l = new SRWLOCK;
    InitializeSRWLock(l);
    return l;
  }();
  static auto* const reported = new std::set<std::wstring>();
  if (status.IsOK()) return;
  const std::wstring text = status.GetText();
  {
    platform::SrwSharedLock hold(*lock);
    if (reported->count(text) != 0) return;
  }
  {
    platform::SrwExclusiveLock hold(*lock);
    if (reported->count(text) != 0) return;
    // Full: a text never seen is not reported, so error texts that carry
    // client values cannot flood the event log.
    if (reported->size() >= kMaxReportedErrors) return;
    reported->insert(text);
  }
  ReportError(*status.GetError());
}

CSQLRequestInstance::Response::Response() : m_ready(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {
  CacheMode = CacheModes::Query;
  InitializeSRWLock(&m_lock);
}

CSQLRequestInstance::Response::~Response() = default;

std::uint16_t CSQLRequestInstance::Response::GetStatusCode() {
  WaitForSingleObject(m_ready.get(), INFINITE);
  return m_status;
}

concurrency::streams::istream& CSQLRequestInstance::Response::GetBody() {
  WaitForSingleObject(m_ready.get(), INFINITE);
  return m_body;
}

bool CSQLRequestInstance::Response::WaitReady(DWORD timeoutMs, HANDLE cancel) {
  const HANDLE handles[] = {m_ready.get(), cancel};
  return WaitForMultipleObjects(cancel != nullptr ? 2 : 1, handles, FALSE, timeoutMs) == WAIT_OBJECT_0;
}

std::wstring CSQLRequestInstance::Response::GetContentType() {
  platform::SrwSharedLock hold(m_lock);
  return m_contentType;
}

void CSQLRequestInstance::Response::SetContentType(std::wstring type) {
  platform::SrwExclusiveLock hold(m_lock);
  m_contentType = std::move(type);
}

void CSQLRequestInstance::Response::Complete(pplx::task<concurrency::streams::istream> stream) {
  try {
    m_body = stream.get();
    m_status = web::http::status_codes::OK;
  } catch (const std::system_error& e) {
    m_status = StatusFromSystemError(e);
  } catch (...) {
    m_status = web::http::status_codes::InternalError;
  }
  if (!m_body) {
    try {
      m_body = concurrency::streams::bytestream::open_istream(std::vector<std::uint8_t>());
    } catch (...) {
    }
  }
  SetEvent(m_ready.get());
}

std::shared_ptr<CHTTPServer::CRequestHandler::CResponse>& CSQLRequestHandler::Handle(
    std::shared_ptr<CResponse>& out, web::http::http_request request, vantrel::basic_istring<wchar_t> user,
    const std::map<std::wstring, std::wstring>& parameters) {
  auto response = std::make_shared<Response>();
  std::wstring userName(user.c_str());
  auto open = [response, path = m_path, userName, request, parameters](
                  std::shared_ptr<ResultStream<unsigned char>::QueryInfo> query,
                  ResultStream<unsigned char>::CallbackOpen* holder) {
    RunQuery(response, path, userName, request, parameters, std::move(query), holder);
  };
  // The outcome is fixed on the query thread that finishes the stream, never
  // through a continuation on the HTTP library's pool: the listener's threads
  // wait in GetStatusCode, and with enough slow queries all of them would be
  // waiting for a continuation that no free thread is left to run.
  ResultStream<unsigned char>::Create(m_root, request, open, true, RowFilter(), ValueFormatter(),
                                      [response](pplx::task<concurrency::streams::istream> done) {
                                        response->Complete(std::move(done));
                                      });
  out = response;
  return out;
}

std::shared_ptr<CHTTPServer::CRequestHandler> CreateSQLRequestHandler(std::wstring root, std::wstring path) {
  return std::make_shared<CSQLRequestHandler>(std::move(root), std::move(path));
}
