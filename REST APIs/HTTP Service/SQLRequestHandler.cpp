// SQLRequestHandler.cpp - reading the handler file, binding, executing, and the response's outcome.
#include "REST APIs/HTTP Service/SQLRequestHandler.h"

#include "REST APIs/HTTP Service/FileRangeBuffer.h"
#include "REST APIs/HTTP Service/FileResponse.h"
#include "REST APIs/HTTP Service/HandlerFactory.h"
#include "platform/base/errors.h"
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

// The client's values: the query string's pairs, names and values decoded.
// A reserved name, or one the listener's map holds, is never a client's.
std::map<std::wstring, std::wstring> ClientValues(const web::http::http_request& request,
                                                  const CParameterMap& parameters) {
  std::map<std::wstring, std::wstring> values;
  for (const auto& [name, value] : web::uri::split_query(request.relative_uri().query())) {
    std::wstring wideName;
    try {
      wideName = platform::WideFromUtf8(web::uri::decode(name));
    } catch (const std::exception&) {
      continue;  // a malformed escape names nothing
    }
    if (IsReservedParameterName(wideName) || parameters.Contains(wideName)) continue;
    std::wstring wideValue;
    try {
      wideValue = platform::WideFromUtf8(web::uri::decode(value));
    } catch (const std::exception&) {
      wideValue = platform::WideFromUtf8(value);
    }
    values.emplace(std::move(wideName), std::move(wideValue));
  }
  return values;
}

// Binds the parameters the statement names, and only those: the server's
// value of a name wins over a client's, and a name nobody gives stays NULL.
void AddParameters(CHTMLDataSource& query, const std::vector<std::wstring>& declared, const std::wstring& user,
                   const std::wstring& host, const CParameterMap& parameters,
                   const std::map<std::wstring, std::wstring>& client) {
  std::set<std::wstring> bound;
  for (const std::wstring& name : declared) {
    if (!bound.insert(name).second) continue;
    if (name == L"Session$User") {
      AddBstr(query, name, user);
    } else if (name == L"Session$Host") {
      AddBstr(query, name, host);
    } else if (const std::wstring* found = parameters.Find(name)) {
      AddBstr(query, name, *found);
    } else if (const auto given = client.find(name); given != client.end()) {
      AddBstr(query, name, given->second);
    }
  }
}

// Turns a failing HRESULT into the logged error and the exception the holder gets.
[[noreturn]] void Fail(HRESULT hr, int line, DWORD messageId, const std::wstring& insert) {
  CStatus status;
  status.SetError(NewHRESULTMessage(CSourcePos{kSourceFile, line}, hr, messageId, {insert}));
  LogErrorOnce(status);
  throw std::system_error(hr & 0xFFFF, platform::Win32Category(), "query");
}

void RunQuery(const std::shared_ptr<CSQLRequestInstance::Response>& response, const std::wstring& path,
              const std::wstring& user, const std::wstring& host, const CParameterMap& parameters,
              const std::map<std::wstring, std::wstring>& client,
              std::shared_ptr<ResultStream<unsigned char>::QueryInfo> query,
              ResultStream<unsigned char>::CallbackOpen* holder) {
  try {
    response->SetContentType(query->GetContentType());
    // From here a timed-out reply cancels the command.
    if (!response->Attach(query)) throw std::system_error(ERROR_CANCELLED, platform::Win32Category(), "query");
    const std::string bytes = ReadHandlerFile(path);
    HRESULT hr = query->Open(kConnectionString);
    if (FAILED(hr)) Fail(hr, __LINE__, kMsgProviderOpenFailed, kConnectionString);
    const std::wstring text = platform::WideFromUtf8(bytes);
    std::vector<std::wstring> declared;
    hr = query->DeclaredParameters(text, declared);
    if (SUCCEEDED(hr)) {
      AddParameters(*query, declared, user, host, parameters, client);
      hr = query->Execute(text, !query->NeedsRows());
    }
    if (query->IsCancelled()) throw std::system_error(ERROR_CANCELLED, platform::Win32Category(), "query");
    if (FAILED(hr)) Fail(hr, __LINE__, kMsgCommandFailed, text);
  } catch (const std::system_error& e) {
    holder->SetResultException(std::make_exception_ptr(std::system_error(e.code().value(), platform::Win32Category())));
    return;
  } catch (const std::exception&) {
    holder->SetResultException(std::make_exception_ptr(std::system_error(ERROR_INTERNAL_ERROR, platform::Win32Category())));
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

CSQLRequestInstance::Response::Response(DWORD timeoutMs) : m_arrival(GetTickCount64()), m_timeoutMs(timeoutMs) {
  CacheMode = CacheModes::Query;
  m_status = web::http::status_codes::NoContent;
}

CSQLRequestInstance::Response::~Response() = default;

bool CSQLRequestInstance::Response::Attach(std::shared_ptr<CHTMLDataSource> query) {
  platform::SrwExclusiveLock hold(m_lock);
  if (m_cancelled) return false;
  m_query = std::move(query);
  return true;
}

void CSQLRequestInstance::Response::Cancel() {
  std::shared_ptr<CHTMLDataSource> query;
  {
    platform::SrwExclusiveLock hold(m_lock);
    m_cancelled = true;
    query = m_query;
  }
  if (query) query->Cancel();
}

void CSQLRequestInstance::Response::Complete(pplx::task<concurrency::streams::istream> stream) {
  try {
    m_body = stream.get();
    m_status = web::http::status_codes::OK;
  } catch (...) {
    SetFailure(std::current_exception());
  }
  {
    // The outcome is fixed: the response no longer keeps the command.
    platform::SrwExclusiveLock hold(m_lock);
    if (m_status != web::http::status_codes::OK) m_query.reset();
  }
  MarkReady();
}

std::shared_ptr<CHTTPServer::CRequestHandler::CResponse>& CSQLRequestHandler::Handle(
    std::shared_ptr<CResponse>& out, web::http::http_request request, vantrel::basic_istring<wchar_t> user,
    const CParameterMap& parameters) {
  auto response = std::make_shared<Response>(parameters.QueryTimeoutMs());
  std::string host;
  request.headers().match(web::http::header_names::host, host);
  auto open = [response, path = m_path, user = std::wstring(user.c_str()), host = platform::WideFromUtf8(host),
               parameters, client = ClientValues(request, parameters)](
                  std::shared_ptr<ResultStream<unsigned char>::QueryInfo> query,
                  ResultStream<unsigned char>::CallbackOpen* holder) {
    // parameters holds the listener's map it was given alive, however many
    // values the host holds and whatever the listener swaps in meanwhile.
    RunQuery(response, path, user, host, parameters, client, std::move(query), holder);
  };
  // The outcome is fixed on the query thread that finishes the stream, never
  // through a continuation on the HTTP library's pool: the listener's threads
  // wait in GetStatusCode, and with enough slow queries all of them would be
  // waiting for a continuation that no free thread is left to run.
  ResultStream<unsigned char>::Create(
      m_root, request, open, true, RowFilter(), ValueFormatter(),
      [response](pplx::task<concurrency::streams::istream> done) { response->Complete(std::move(done)); },
      parameters.QueryTimeoutMs());
  out = response;
  return out;
}

std::shared_ptr<CHTTPServer::CRequestHandler> CreateSQLRequestHandler(std::wstring root, std::wstring path) {
  return std::make_shared<CSQLRequestHandler>(std::move(root), std::move(path));
}
