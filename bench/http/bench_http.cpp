// bench_http.cpp - throughput and latency of the file response, and what logins cost the requests beside them.
//
// One run serves a 1 KiB and a 1 MiB file from a temp folder on two loopback
// listeners: (a) through CFileRequestHandler / CFileResponseHandler read with
// ReadResponse, as the service answers a static file, and (b) a bare
// cpprestsdk listener replying with cpprest's own file stream, the baseline.
// wrk drives each of the four URLs for a few seconds. Then the 1 KiB file on
// (a) is timed again twice, once alone and once while N threads post logins
// to the authenticator's handler (each login is an Argon2id hash), to show
// how much the hashing slows the file requests served beside it.
//
// Everything lives in a temp folder (files, registry, key store, logs) that
// is removed at the end; every wrk run is bounded by `timeout`.
#include "LibService/Status.h"
#include "REST APIs/HTTP Service/Authenticator.h"
#include "REST APIs/HTTP Service/FileResponse.h"
#include "REST APIs/HTTP Service/MIMEMap.h"
#include "REST APIs/HTTP Service/RequestHandler.h"
#include "platform/base/bytes.h"
#include "platform/base/testing/free_port.h"
#include "platform/base/testing/run_command.h"
#include "platform/base/text.h"
#include "platform/registry/registry.h"
#include "platform/sync/sync.h"

#include <cpprest/filestream.h>
#include <cpprest/http_client.h>
#include <cpprest/http_listener.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Auth = CHTTPServer::CAuthenticator;
namespace fs = std::filesystem;
using platform::testing::FreePort;
using web::http::http_request;
using web::http::http_response;
using web::http::experimental::listener::http_listener;

constexpr const char* kUser = "bench";
constexpr const char* kPassword = "correct-horse";
constexpr const wchar_t* kHostPath = L"Software\\Vantrel\\Webbridge\\Hosts\\bench";

struct Options {
  int seconds = 5;        // each wrk run
  int loginThreads = 8;
  int wrkThreads = 4;
  int connections = 32;
};

// The folder everything of this run lives in; removed on every way out.
class RunFolder {
 public:
  RunFolder() {
    char dir[] = "/tmp/webbridge-bench-XXXXXX";
    if (mkdtemp(dir) != nullptr) m_path = dir;
  }
  ~RunFolder() {
    std::error_code ec;
    if (!m_path.empty()) fs::remove_all(m_path, ec);
  }
  RunFolder(const RunFolder&) = delete;
  RunFolder& operator=(const RunFolder&) = delete;
  const fs::path& path() const { return m_path; }

 private:
  fs::path m_path;
};

// An unobserved failed reply task would end the process; the client going
// away mid-body (wrk stopping) is normal here.
void Reply(http_request& request, const http_response& reply) {
  request.reply(reply).then([](pplx::task<void> t) {
    try {
      t.get();
    } catch (...) {
    }
  });
}

std::map<std::wstring, std::wstring> FormFields(const std::string& body) {
  std::map<std::wstring, std::wstring> fields;
  std::istringstream in(body);
  for (std::string pair; std::getline(in, pair, '&');) {
    const auto eq = pair.find('=');
    if (eq != std::string::npos)
      fields.emplace(platform::WideFromUtf8(pair.substr(0, eq)), platform::WideFromUtf8(pair.substr(eq + 1)));
  }
  return fields;
}

// Listener (a): GET "/NAME" is the folder's file NAME through the file
// response; POST "/login" is the authenticator's login handler.
class ServiceListener {
 public:
  ServiceListener(fs::path folder, std::shared_ptr<Auth> auth)
      : m_folder(std::move(folder)), m_login(std::make_shared<Auth::Handler>(std::move(auth))) {
    m_base = "http://127.0.0.1:" + std::to_string(FreePort());
    m_listener = std::make_unique<http_listener>(m_base);
    m_listener->support([this](http_request request) { Serve(std::move(request)); });
    m_listener->open().wait();
  }
  ~ServiceListener() { m_listener->close().wait(); }
  const std::string& base() const { return m_base; }

 private:
  void Serve(http_request request) {
    http_response reply(500);
    try {
      std::shared_ptr<CHTTPServer::CRequestHandler::CResponse> response;
      const std::string path = web::uri::decode(request.request_uri().path());
      if (request.method() == web::http::methods::POST && path == "/login") {
        const auto fields = FormFields(request.extract_utf8string(true).get());
        m_login->Handle(response, request, {}, fields);
      } else if (request.method() == web::http::methods::GET && path.size() > 1 &&
                 path.find('/', 1) == std::string::npos) {
        const std::string name = path.substr(1);
        const auto dot = name.rfind('.');
        const std::wstring extension =
            platform::WideFromUtf8(dot == std::string::npos ? std::string() : name.substr(dot + 1));
        auto handler = std::make_shared<CFileRequestHandler>((m_folder / name).wstring(),
                                                             CMIMEMap::GetMIMEType(extension.c_str()), L"",
                                                             CacheModes::RootFile, kNoRangeLimit);
        handler->Handle(response, request, {}, {});
      }
      reply = response ? ReadResponse(request.method(), *response) : http_response(404);
    } catch (const std::exception&) {
      reply = http_response(500);
    }
    Reply(request, reply);
  }

  const fs::path m_folder;
  std::shared_ptr<Auth::Handler> m_login;
  std::string m_base;
  std::unique_ptr<http_listener> m_listener;
};

// Listener (b): the same files with cpprest's own file stream, sent like the
// file response sends a whole file (a stream without a length, so chunked).
class BareListener {
 public:
  explicit BareListener(fs::path folder) : m_folder(std::move(folder)) {
    m_base = "http://127.0.0.1:" + std::to_string(FreePort());
    m_listener = std::make_unique<http_listener>(m_base);
    m_listener->support(web::http::methods::GET, [this](http_request request) { Serve(std::move(request)); });
    m_listener->open().wait();
  }
  ~BareListener() { m_listener->close().wait(); }
  const std::string& base() const { return m_base; }

 private:
  void Serve(http_request request) {
    const std::string path = web::uri::decode(request.request_uri().path());
    if (path.size() <= 1 || path.find('/', 1) != std::string::npos) {
      Reply(request, http_response(404));
      return;
    }
    concurrency::streams::fstream::open_istream((m_folder / path.substr(1)).string(), std::ios::in | std::ios::binary)
        .then([request](pplx::task<concurrency::streams::istream> opened) mutable {
          http_response reply(404);
          try {
            reply = http_response(200);
            reply.set_body(opened.get(), "application/octet-stream");
          } catch (const std::exception&) {
            reply = http_response(404);
          }
          Reply(request, reply);
        });
  }

  const fs::path m_folder;
  std::string m_base;
  std::unique_ptr<http_listener> m_listener;
};

// The commands run here are built from numbers and loopback URLs only.
using platform::testing::RunCommand;

bool HaveProgram(const char* name) {
  for (const char* dir : {"/usr/bin/", "/usr/local/bin/", "/bin/"})
    if (access((std::string(dir) + name).c_str(), X_OK) == 0) return true;
  return false;
}

struct WrkResult {
  bool ok = false;
  double requestsPerSecond = 0;
  double bytesPerSecond = 0;
  double p50Ms = 0, p99Ms = 0;
  long long requests = 0;
  long long bad = 0;     // non-2xx/3xx replies
  long long errors = 0;  // socket errors of any kind
  std::string output;
};

// "1.23ms" / "870.00us" / "1.02s" in milliseconds.
double Milliseconds(double value, const std::string& unit) {
  if (unit == "us") return value / 1000;
  if (unit == "s") return value * 1000;
  if (unit == "m") return value * 60000;
  return value;
}

// "246.90KB" in bytes; wrk counts in powers of 1024.
double Bytes(double value, const std::string& unit) {
  static const std::map<std::string, double> scale = {
      {"B", 1}, {"KB", 1024.0}, {"MB", 1024.0 * 1024}, {"GB", 1024.0 * 1024 * 1024}, {"TB", 1024.0 * 1024 * 1024 * 1024}};
  const auto f = scale.find(unit);
  return f == scale.end() ? value : value * f->second;
}

WrkResult ParseWrk(const std::string& out) {
  WrkResult r;
  r.output = out;
  std::smatch m;
  const std::regex rps(R"(Requests/sec:\s+([0-9.]+))");
  const std::regex transfer(R"(Transfer/sec:\s+([0-9.]+)([A-Z]*B))");
  const std::regex p50(R"(\n\s+50%\s+([0-9.]+)(us|ms|s|m)\b)");
  const std::regex p99(R"(\n\s+99%\s+([0-9.]+)(us|ms|s|m)\b)");
  const std::regex total(R"((\d+) requests in)");
  const std::regex bad(R"(Non-2xx or 3xx responses:\s+(\d+))");
  const std::regex sockets(R"(Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+))");
  bool found = true;
  if (std::regex_search(out, m, rps)) r.requestsPerSecond = std::stod(m[1]); else found = false;
  if (std::regex_search(out, m, transfer)) r.bytesPerSecond = Bytes(std::stod(m[1]), m[2]); else found = false;
  if (std::regex_search(out, m, p50)) r.p50Ms = Milliseconds(std::stod(m[1]), m[2]); else found = false;
  if (std::regex_search(out, m, p99)) r.p99Ms = Milliseconds(std::stod(m[1]), m[2]); else found = false;
  if (std::regex_search(out, m, total)) r.requests = std::stoll(m[1]); else found = false;
  if (std::regex_search(out, m, bad)) r.bad = std::stoll(m[1]);
  if (std::regex_search(out, m, sockets))
    r.errors = std::stoll(m[1]) + std::stoll(m[2]) + std::stoll(m[3]) + std::stoll(m[4]);
  r.ok = found;
  return r;
}

WrkResult RunWrk(const Options& o, const std::string& url) {
  // wrk stops itself after -d; timeout only guards against a hang.
  const auto [rc, out] = RunCommand("timeout --kill-after=5 " + std::to_string(o.seconds + 20) + " wrk -t" +
                                     std::to_string(o.wrkThreads) + " -c" + std::to_string(o.connections) + " -d" +
                                     std::to_string(o.seconds) + "s --latency '" + url + "' 2>/dev/null");
  WrkResult r = ParseWrk(out);
  if (rc != 0) r.ok = false;
  return r;
}

web::http::client::http_client Client(const std::string& base) {
  web::http::client::http_client_config config;
  config.set_timeout(std::chrono::seconds(20));
  // The login's 303 is the answer being measured, not a page to fetch.
  config.set_max_redirects(0);
  return web::http::client::http_client(base, config);
}

// One GET before the timed runs, so that a 404 or a short body is caught
// here instead of being timed.
bool Check(const std::string& url, size_t size) {
  try {
    auto client = Client(url);
    const http_response reply = client.request(web::http::methods::GET).get();
    const auto body = reply.extract_vector().get();
    if (reply.status_code() == 200 && body.size() == size) return true;
    std::fprintf(stderr, "bench_http: GET %s answered %d with %zu bytes\n", url.c_str(), reply.status_code(),
                 body.size());
    return false;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "bench_http: GET %s failed: %s\n", url.c_str(), e.what());
    return false;
  }
}

const std::string kLoginForm = std::string("user=") + kUser + "&password=" + kPassword;

// A login succeeds with 303 and a session cookie; a 503 (every hash slot
// busy) is a refusal, counted with the failures.
bool Login(web::http::client::http_client& client) {
  web::http::http_request request(web::http::methods::POST);
  request.set_request_uri("/login");
  request.set_body(kLoginForm, "application/x-www-form-urlencoded");
  const http_response reply = client.request(request).get();
  return reply.status_code() == 303 && reply.headers().has("Set-Cookie");
}

struct LoginLoad {
  long long logins = 0;
  long long failures = 0;
  double seconds = 0;
};

// Runs `during` while o.loginThreads threads post logins back to back; only
// logins that finish before `during` returns are counted.
template <class F>
LoginLoad WithLogins(const Options& o, const std::string& base, F during) {
  std::atomic<bool> stop{false};
  std::atomic<long long> logins{0}, failures{0};
  std::vector<std::thread> threads;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < o.loginThreads; ++i)
    threads.emplace_back([&] {
      auto client = Client(base);
      while (!stop.load()) {
        bool ok = false;
        try {
          ok = Login(client);
        } catch (const std::exception&) {
        }
        if (stop.load()) break;
        (ok ? logins : failures).fetch_add(1);
      }
    });
  during();
  stop.store(true);
  const auto end = std::chrono::steady_clock::now();
  for (auto& t : threads) t.join();
  return {logins.load(), failures.load(), std::chrono::duration<double>(end - start).count()};
}

// The host key with one user whose "Password" is the stored Argon2id form:
// Base64 of the 16-byte salt, then the hash in upper-case hex.
bool MakeHost(platform::RegKey& hostKey) {
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, kHostPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, hostKey.put(),
                      nullptr) != ERROR_SUCCESS)
    return false;
  unsigned char salt[16];
  std::random_device random;
  for (auto& b : salt) b = static_cast<unsigned char>(random());
  std::wstring hash;
  if (HashPassword(platform::WideFromUtf8(kPassword), salt, hash) != ERROR_SUCCESS) return false;
  const std::string stored = platform::Base64Encode(salt, sizeof salt) + platform::Utf8FromWide(hash);
  platform::RegKey user;
  const std::wstring userPath = L"Users\\" + platform::WideFromUtf8(kUser);
  if (RegCreateKeyExW(hostKey.get(), userPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, user.put(),
                      nullptr) != ERROR_SUCCESS)
    return false;
  return platform::RegWriteBinary(user.get(), L"Password", stored.data(), static_cast<DWORD>(stored.size())) ==
         ERROR_SUCCESS;
}

std::string Human(double bytesPerSecond) {
  char buf[32];
  if (bytesPerSecond >= 1024.0 * 1024)
    std::snprintf(buf, sizeof buf, "%.1f MiB/s", bytesPerSecond / (1024.0 * 1024));
  else
    std::snprintf(buf, sizeof buf, "%.1f KiB/s", bytesPerSecond / 1024.0);
  return buf;
}

void PrintRow(const char* label, const WrkResult& r) {
  if (!r.ok) {
    std::printf("%-34s  (wrk failed)\n", label);
    return;
  }
  std::printf("%-34s %11.0f %14s %9.2f %9.2f", label, r.requestsPerSecond, Human(r.bytesPerSecond).c_str(), r.p50Ms,
              r.p99Ms);
  if (r.bad != 0 || r.errors != 0) std::printf("   non-2xx %lld, socket errors %lld", r.bad, r.errors);
  std::printf("\n");
}

Options ParseOptions(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    // Other arguments (scripts/bench passes its own to every program) are ignored.
    if (std::strncmp(argv[i], "--seconds=", 10) == 0) o.seconds = std::max(1, std::min(60, std::atoi(argv[i] + 10)));
    if (std::strncmp(argv[i], "--logins=", 9) == 0) o.loginThreads = std::max(1, std::min(64, std::atoi(argv[i] + 9)));
  }
  return o;
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string a, b, c;
  in >> a >> b >> c;
  return a + " " + b + " " + c;
}

int Run(const Options& o, const fs::path& root) {
  // Every facility the program touches keeps its state inside the run folder.
  setenv("VANTREL_REGISTRY", (root / "registry.db").c_str(), 1);
  setenv("VANTREL_KEYSTORE_DIR", (root / "keys").c_str(), 1);
  setenv("VANTREL_LOG_DIR", (root / "log").c_str(), 1);
  setenv("VANTREL_PIPE_DIR", (root / "pipe").c_str(), 1);
  const fs::path files = root / "files";
  fs::create_directories(files);
  std::string small(1024, '\0'), large(1024 * 1024, '\0');
  std::mt19937 fill(1);
  for (auto& c : small) c = static_cast<char>(fill());
  for (auto& c : large) c = static_cast<char>(fill());
  std::ofstream(files / "small.bin", std::ios::binary) << small;
  std::ofstream(files / "large.bin", std::ios::binary) << large;

  platform::RegKey hostKey;
  if (!MakeHost(hostKey)) {
    std::fprintf(stderr, "bench_http: could not make the host's registry key\n");
    return 1;
  }
  platform::UniqueHandle stopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::vector<std::thread> workers;
  // The authenticator's watcher runs on a plain named thread, as in the tests.
  const WorkerStarter starter = [&workers](const std::wstring& name, std::function<CStatus()> body) {
    workers.emplace_back([name, body] {
      platform::SetCurrentThreadName(name);
      body();
    });
    return CStatus();
  };
  int rc = 0;
  {
    auto auth = std::make_shared<Auth>(L"bench");
    CStatus status;
    auth->Initialize(status, starter, stopEvent.get(), L"bench", hostKey.get(), L"session");
    if (!status.IsOK()) {
      std::fprintf(stderr, "bench_http: the authenticator did not start\n");
      rc = 1;
    } else {
      ServiceListener service(files, auth);
      BareListener bare(files);
      struct Target {
        const char* label;
        std::string url;
        size_t size;
      };
      const Target targets[] = {
          {"file response     1 KiB", service.base() + "/small.bin", small.size()},
          {"cpprest baseline  1 KiB", bare.base() + "/small.bin", small.size()},
          {"file response     1 MiB", service.base() + "/large.bin", large.size()},
          {"cpprest baseline  1 MiB", bare.base() + "/large.bin", large.size()},
      };
      bool checked = true;
      for (const auto& t : targets) checked = Check(t.url, t.size) && checked;
      try {
        auto client = Client(service.base());
        if (!Login(client)) {
          std::fprintf(stderr, "bench_http: the login was refused\n");
          checked = false;
        }
      } catch (const std::exception& e) {
        std::fprintf(stderr, "bench_http: the login failed: %s\n", e.what());
        checked = false;
      }
      if (!checked) {
        std::fprintf(stderr, "bench_http: a listener did not answer as expected; nothing timed\n");
        rc = 1;
      } else {
        std::printf("bench_http: wrk -t%d -c%d -d%ds --latency, loopback; load average before: %s\n", o.wrkThreads,
                    o.connections, o.seconds, LoadAverage().c_str());
        std::vector<WrkResult> results;
        for (const auto& t : targets) results.push_back(RunWrk(o, t.url));
        const WrkResult idle = RunWrk(o, targets[0].url);
        WrkResult loaded;
        const LoginLoad load = WithLogins(o, service.base(), [&] { loaded = RunWrk(o, targets[0].url); });

        std::printf("\n%-34s %11s %14s %9s %9s\n", "", "requests/s", "transfer", "p50 ms", "p99 ms");
        for (size_t i = 0; i < results.size(); ++i) PrintRow(targets[i].label, results[i]);
        std::printf("\n");
        PrintRow("file response 1 KiB, no logins", idle);
        const std::string label = "  ... with " + std::to_string(o.loginThreads) + " login threads";
        PrintRow(label.c_str(), loaded);
        std::printf("logins: %lld in %.1f s = %.1f/s (%d threads), failed %lld\n", load.logins, load.seconds,
                    load.seconds > 0 ? load.logins / load.seconds : 0.0, o.loginThreads, load.failures);
        std::printf("load average after: %s\n", LoadAverage().c_str());
        for (const auto& r : results)
          if (!r.ok) std::fprintf(stderr, "bench_http: wrk said:\n%s\n", r.output.c_str());
        bool allOk = idle.ok && loaded.ok;
        for (const auto& r : results) allOk = allOk && r.ok;
        if (!allOk) rc = 1;
      }
    }
    // The listeners are closed here; the authenticator ends its watcher
    // as the last reference goes.
    SetEvent(stopEvent.get());
  }
  for (auto& t : workers) t.join();
  hostKey.reset();
  return rc;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = ParseOptions(argc, argv);
  if (!HaveProgram("wrk") || !HaveProgram("timeout")) {
    std::printf("bench_http: wrk (or timeout) is not installed; nothing measured\n");
    return 0;
  }
  RunFolder root;
  if (root.path().empty()) {
    std::fprintf(stderr, "bench_http: no temp folder\n");
    return 1;
  }
  return Run(o, root.path());
}
