// TestServer.cpp - the loopback listener, the Python peer and temp folders of the tests.
#include "platform/base/testing/free_port.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/base/testing/unprivileged.h"
#include "TestServer.h"

#include "REST APIs/HTTP Service/Listener.h"

#include "platform/base/text.h"

#include <cpprest/json.h>

#include <arpa/inet.h>
#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {


// Every test program gets a registry of its own, before any test runs.
const bool g_registrySet = [] {
  setenv("VANTREL_REGISTRY", (platform::testing::MakeTempDir("webbridge-reg-") + "/registry.db").c_str(), 1);
  return true;
}();

std::string ReadAll(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

}  // namespace

TempDir::TempDir() {
  char dir[] = "/tmp/webbridge-test-XXXXXX";
  m_path = mkdtemp(dir);
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(m_path, ec);
}

std::filesystem::path TempDir::Write(const std::string& name, const std::string& bytes) const {
  const auto p = m_path / name;
  std::ofstream(p, std::ios::binary) << bytes;
  return p;
}

TestServer::TestServer(Router router) : m_router(std::move(router)) {
  // A port free on every address, released for the listener to bind.
  m_base = "http://127.0.0.1:" + std::to_string(FreePort());
  m_listener = std::make_unique<web::http::experimental::listener::http_listener>(m_base);
  m_listener->support([this](web::http::http_request request) { Serve(std::move(request)); });
  m_listener->open().wait();
}

TestServer::~TestServer() { m_listener->close().wait(); }

void TestServer::Serve(web::http::http_request request) {
  web::http::http_response reply(500);
  try {
    Route route = m_router(request);
    if (!route.handler) {
      reply = web::http::http_response(404);
    } else {
      std::shared_ptr<CHTTPServer::CRequestHandler::CResponse> response;
      route.handler->Handle(response, request, route.user, route.parameters);
      reply = ReadResponse(request.method(), *response);
    }
  } catch (const web::uri_exception&) {
    reply = web::http::http_response(400);
  } catch (const std::exception&) {
    reply = web::http::http_response(500);
  }
  // Observed here: an unobserved failed task would end the process.
  request.reply(reply).then([](pplx::task<void> t) {
    try {
      t.get();
    } catch (...) {
    }
  });
}

std::optional<std::string> ProbeReply::Header(const std::string& name) const {
  for (const auto& [n, v] : headers)
    if (platform::EqualsNoCaseA(n, name)) return v;
  return std::nullopt;
}

std::vector<std::string> ProbeReply::All(const std::string& name) const {
  std::vector<std::string> out;
  for (const auto& [n, v] : headers)
    if (platform::EqualsNoCaseA(n, name)) out.push_back(v);
  return out;
}

std::pair<int, std::string> RunProgram(const std::vector<std::string>& argv) {
  int fds[2];
  if (pipe(fds) != 0) return {-1, {}};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  std::string out;
  char buf[4096];
  for (ssize_t n; rc == 0 && (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = -1;
  if (rc == 0) waitpid(pid, &status, 0);
  return {rc == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

namespace {
// Copied at start, while the process may still read the source tree: a test
// acting as nobody probes too.
const std::string& ProbeScript() {
  static const std::string script = platform::testing::ReadableByAnyone(HTTP_PROBE);
  return script;
}
[[maybe_unused]] const std::string& kProbeCopiedAtStart = ProbeScript();
}  // namespace

ProbeReply Probe(const std::string& method, const std::string& url,
                 const std::vector<std::pair<std::string, std::string>>& headers, const std::string& body) {
  TempDir scratch;
  web::json::value list = web::json::value::array();
  for (size_t i = 0; i < headers.size(); ++i) {
    web::json::value pair = web::json::value::array();
    pair[0] = web::json::value::string(headers[i].first);
    pair[1] = web::json::value::string(headers[i].second);
    list[i] = pair;
  }
  std::string bodyFile = "-";
  if (!body.empty() || method == "POST") bodyFile = scratch.Write("body", body).string();
  const auto outFile = scratch.path() / "out";
  const auto [rc, out] = RunProgram({"/usr/bin/python3", ProbeScript(), method, url, list.serialize(), bodyFile,
                                     outFile.string()});
  ProbeReply reply;
  if (rc != 0) return reply;  // status 0: the peer failed (a framing error, for one)
  const web::json::value v = web::json::value::parse(out);
  reply.status = v.at("status").as_integer();
  for (const auto& h : v.at("headers").as_array())
    reply.headers.emplace_back(h.at(0).as_string(), h.at(1).as_string());
  reply.body = ReadAll(outFile);
  return reply;
}

std::map<std::wstring, std::wstring> FormFields(const std::string& body) { return DecodeFormFields(body); }

// Suppressions for libraries built without the sanitizers (see tsan.supp).
extern "C" const char* __tsan_default_suppressions() { return "race:libcpprest.so\n"; }
// OpenSSL keeps per-thread state for the library's pool threads, which live
// until the process ends. cpprestsdk leaves the tasks of a connection that a
// test broke off pending on its pool when the process ends (seen under load,
// in the tests that abort a transfer): its own bookkeeping, not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libcrypto.so\nleak:libcpprest.so\n"; }
