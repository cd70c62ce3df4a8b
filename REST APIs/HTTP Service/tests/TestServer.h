// TestServer.h - a real cpprestsdk listener on loopback and an HTTP peer to talk to it.
//
// TestServer serves each request through a request handler the test picks,
// reading the response in the listener's order (ReadResponse), so what goes
// over the wire is what the service would send. Probe sends one request with
// Python's http.client in a separate process and reports status, headers and
// body as that peer saw them. TempDir is a fresh folder removed at the end.
#pragma once

#include "REST APIs/HTTP Service/RequestHandler.h"
#include "platform/base/testing/free_port.h"

#include <cpprest/http_listener.h>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return m_path; }
  // Writes bytes to name in the folder and returns the full path.
  std::filesystem::path Write(const std::string& name, const std::string& bytes) const;

 private:
  std::filesystem::path m_path;
};

// Chooses the handler and the listener's parameter map for a request; a null
// handler answers 404.
struct Route {
  std::shared_ptr<CHTTPServer::CRequestHandler> handler;
  std::map<std::wstring, std::wstring> parameters;
  vantrel::basic_istring<wchar_t> user;
};
using Router = std::function<Route(web::http::http_request& request)>;

class TestServer {
 public:
  explicit TestServer(Router router);
  ~TestServer();
  // "http://127.0.0.1:PORT"
  const std::string& base() const { return m_base; }

 private:
  void Serve(web::http::http_request request);
  Router m_router;
  std::string m_base;
  std::unique_ptr<web::http::experimental::listener::http_listener> m_listener;
};

struct ProbeReply {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
  std::string body;
  // The first header of that name (any case), or nullopt.
  std::optional<std::string> Header(const std::string& name) const;
  // Every header of that name.
  std::vector<std::string> All(const std::string& name) const;
};

// One request through Python's http.client; headers are sent as given.
ProbeReply Probe(const std::string& method, const std::string& url,
                 const std::vector<std::pair<std::string, std::string>>& headers = {}, const std::string& body = {});

// A port free on every address, below the ephemeral range.
using platform::testing::FreePort;

// Runs argv (no shell) and returns its standard output and exit status.
std::pair<int, std::string> RunProgram(const std::vector<std::string>& argv);

// The form fields of an application/x-www-form-urlencoded body, decoded as
// the listener decodes them (DecodeFormFields); a malformed escape throws
// web::uri_exception, which the server answers 400 as the listener does.
std::map<std::wstring, std::wstring> FormFields(const std::string& body);
