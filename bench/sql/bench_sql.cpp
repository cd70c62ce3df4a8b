// bench_sql.cpp - throughput, first byte, memory and isolation of the SQL handler.
//
// One loopback listener answers "/q/NAME" with the SQL handler file NAME and
// "/static.txt" with a 1 KiB file through the file response. The peers are
// curl, wrk and sqlite3 (every run bounded by `timeout`), and for the
// isolation phase clients on threads of this process. See README.md.
#include "REST APIs/HTTP Service/FileResponse.h"
#include "REST APIs/HTTP Service/HandlerFactory.h"
#include "REST APIs/HTTP Service/RequestHandler.h"
#include "REST APIs/HTTP Service/SQLRequestHandler.h"
#include "platform/base/testing/free_port.h"
#include "platform/base/testing/run_command.h"
#include "platform/base/text.h"
#include "platform/com/com.h"
#include "platform/registry/registry.h"

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
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using platform::testing::FreePort;
using platform::testing::RunCommand;
using web::http::http_request;
using web::http::http_response;

// One GET on a fresh loopback connection, read to its end; the status code
// (0: no answer). In-process, so that what is timed is the server, not the
// start of a client program.
int HttpGet(int port, const std::string& path, const std::string& accept) {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  int status = 0;
  if (connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nAccept: " + accept + "\r\nConnection: close\r\n\r\n";
    if (send(s, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
      std::string head;
      char buf[16384];
      for (ssize_t n; (n = recv(s, buf, sizeof buf, 0)) > 0;)
        if (head.size() < 16) head.append(buf, static_cast<std::size_t>(n));
      if (head.size() >= 12) status = std::atoi(head.c_str() + 9);
    }
  }
  close(s);
  return status;
}

// Resident memory of this process in KiB.
long ResidentKiB() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

class Listener {
 public:
  explicit Listener(fs::path folder) : m_folder(std::move(folder)) {
    m_base = "http://127.0.0.1:" + std::to_string(FreePort());
    m_listener = std::make_unique<web::http::experimental::listener::http_listener>(m_base);
    m_listener->support([this](http_request request) { Serve(std::move(request)); });
    m_listener->open().wait();
  }
  ~Listener() { m_listener->close().wait(); }
  const std::string& base() const { return m_base; }
  int port() const { return std::atoi(m_base.c_str() + m_base.rfind(':') + 1); }

 private:
  void Serve(http_request request) {
    // A query response blocks in GetStatusCode until its command has run, so
    // it is read on a thread of its own: on the library's pool, 200 slow
    // queries would hold every pool thread and nothing else would be served.
    const std::string path = web::uri::decode(request.relative_uri().path());
    if (path.rfind("/q/", 0) == 0)
      std::thread([this, request] { Answer(request); }).detach();
    else
      Answer(request);
  }

  void Answer(http_request request) {
    http_response reply(500);
    try {
      std::shared_ptr<CHTTPServer::CRequestHandler> handler;
      const std::string path = web::uri::decode(request.relative_uri().path());
      if (path.rfind("/q/", 0) == 0) {
        std::string name = path.substr(3);
        if (name.size() > 5 && name.substr(name.size() - 5) == ".xslt") name.resize(name.size() - 5);
        // Named directly, so that the linker keeps the handler and its registration.
        handler = CreateSQLRequestHandler(m_folder.wstring(), (m_folder / (name + ".GET.SQL")).wstring());
      } else {
        handler = std::make_shared<CFileRequestHandler>((m_folder / "static.txt").wstring(), L"text/plain", L"",
                                                        CacheModes::RootFile, kNoRangeLimit);
      }
      std::shared_ptr<CHTTPServer::CRequestHandler::CResponse> response;
      handler->Handle(response, request, {}, {});
      reply = ReadResponse(request.method(), *response);
    } catch (const std::exception&) {
      reply = http_response(500);
    }
    request.reply(reply).then([](pplx::task<void> t) {
      try {
        t.get();
      } catch (...) {
      }
    });
  }

  fs::path m_folder;
  std::string m_base;
  std::unique_ptr<web::http::experimental::listener::http_listener> m_listener;
};

std::string Rows(long n) {
  return "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < " + std::to_string(n) +
         ") SELECT x AS id, 'row ' || x AS name, x * 0.5 AS half FROM n";
}

void Throughput(const Listener& server, const fs::path& folder, long rows) {
  std::printf("rows: %ld rows of (integer, text, real)\n", rows);
  for (const char* accept : {"application/json", "application/xml"}) {
    const auto [rc, out] = RunCommand("timeout 600 curl -s -o /dev/null -H 'Accept: " + std::string(accept) +
                                      "' -w '%{time_total} %{size_download}' " + server.base() + "/q/rows");
    double seconds = 0, bytes = 0;
    std::sscanf(out.c_str(), "%lf %lf", &seconds, &bytes);
    std::printf("  %-18s %10.0f rows/s %8.1f MB/s (%.2f s, %.0f bytes, curl %d)\n", accept, rows / seconds,
                bytes / seconds / 1e6, seconds, bytes, rc);
  }
  const auto start = std::chrono::steady_clock::now();
  const auto [rc, out] = RunCommand("timeout 600 sqlite3 -json '" + (folder / "bench.db").string() + "' \"" +
                                    Rows(rows) + "\" | wc -c");
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double bytes = std::atof(out.c_str());
  std::printf("  %-18s %10.0f rows/s %8.1f MB/s (%.2f s, %.0f bytes, rc %d)\n", "sqlite3 -json", rows / seconds,
              bytes / seconds / 1e6, seconds, bytes, rc);
}

void FirstByteAndMemory(const Listener& server, long rows) {
  const long baseline = ResidentKiB();
  std::atomic<bool> done{false};
  std::atomic<long> peak{baseline};
  std::thread sampler([&] {
    while (!done) {
      peak = std::max(peak.load(), ResidentKiB());
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
  });
  const auto [rc, out] = RunCommand("timeout 900 curl -s -o /dev/null -H 'Accept: application/json' "
                                    "-w '%{time_starttransfer} %{time_total} %{size_download}' " +
                                    server.base() + "/q/long");
  done = true;
  sampler.join();
  double first = 0, total = 0, bytes = 0;
  std::sscanf(out.c_str(), "%lf %lf %lf", &first, &total, &bytes);
  std::printf("long result: %ld rows, first byte %.1f ms, whole %.1f s, %.0f MB, peak memory +%.1f MiB (curl %d)\n",
              rows, first * 1000, total, bytes / 1e6, (peak - baseline) / 1024.0, rc);
}

void Wrk(const std::string& name, const std::string& url, const std::string& accept) {
  const auto [rc, out] = RunCommand("timeout 40 wrk -t2 -c16 -d5s --latency -H 'Accept: " + accept + "' '" + url +
                                    "' 2>/dev/null");
  auto grab = [&out](const std::string& key) {
    const auto at = out.find(key);
    if (at == std::string::npos) return std::string("?");
    const auto end = out.find('\n', at);
    std::string v = out.substr(at + key.size(), end - at - key.size());
    v.erase(0, v.find_first_not_of(" \t"));
    return v;
  };
  std::printf("  %-12s %s requests/s, p50 %s, p99 %s (wrk %d)\n", name.c_str(), grab("Requests/sec:").c_str(),
              grab(" 50%").c_str(), grab(" 99%").c_str(), rc);
}

void SlowQueries(const Listener& server, int count) {
  // Each query counts to a million, a few tenths of a second of work. The
  // clients are threads of this process, not programs started for each
  // request, so the fetches below time the server alone.
  std::vector<std::thread> clients;
  std::atomic<int> answered{0};
  for (int i = 0; i < count; ++i)
    clients.emplace_back([&server, &answered] {
      if (HttpGet(server.port(), "/q/slow", "application/json") == 200) ++answered;
    });
  std::vector<double> latencies;
  int failed = 0;
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < until) {
    const auto start = std::chrono::steady_clock::now();
    if (HttpGet(server.port(), "/static.txt", "*/*") != 200) ++failed;
    latencies.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  for (auto& t : clients) t.join();
  std::sort(latencies.begin(), latencies.end());
  auto at = [&](double q) { return latencies[std::min(latencies.size() - 1, static_cast<size_t>(q * latencies.size()))]; };
  std::printf("static file beside %d slow queries (%d answered 200): %zu fetches (%d failed), p50 %.1f ms, p99 %.1f ms, "
              "max %.1f ms\n",
              count, answered.load(), latencies.size(), failed, at(0.5), at(0.99), latencies.back());
}

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  double a = 0, b = 0, c = 0;
  in >> a >> b >> c;
  char text[64];
  std::snprintf(text, sizeof text, "%.2f / %.2f / %.2f", a, b, c);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const long rows = argc > 1 ? std::atol(argv[1]) : 1000000;
  const std::string only = argc > 2 ? argv[2] : "";
  const bool slowOnly = only == "slow";
  const bool rowsOnly = only == "rows";
  const bool oneOnly = only == "one";
  std::printf("load average at the start: %s\n", LoadAverage().c_str());
  char dir[] = "/tmp/bench-sql-XXXXXX";
  if (mkdtemp(dir) == nullptr) return 1;
  const fs::path folder = dir;
  setenv("VANTREL_REGISTRY", (folder / "registry.db").c_str(), 1);
  int rc = RunCommand(std::string("'") + REGISTER_TOOL + "' '" + DATA_INIT_LIBRARY + "' >/dev/null").first;
  rc |= RunCommand(std::string("'") + REGISTER_TOOL + "' '" + PROVIDER_LIBRARY + "' >/dev/null").first;
  rc |= RunCommand("sqlite3 '" + (folder / "bench.db").string() + "' \"CREATE TABLE one(id INTEGER, name TEXT); "
                   "INSERT INTO one VALUES(1, 'one')\"").first;
  {
    platform::RegKey key;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Vantrel\\Corvellane\\OLEDBProvider", 0, nullptr, 0,
                    KEY_ALL_ACCESS, nullptr, key.put(), nullptr);
    platform::RegWriteString(key.get(), L"Database", (folder / "bench.db").wstring());
  }
  std::ofstream(folder / "rows.GET.SQL") << Rows(rows);
  std::ofstream(folder / "long.GET.SQL") << Rows(10000000);
  std::ofstream(folder / "one.GET.SQL") << "SELECT id, name FROM one";
  std::ofstream(folder / "slow.GET.SQL")
      << "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n WHERE x < 1000000) SELECT count(*) FROM n";
  std::ofstream(folder / "static.txt") << std::string(1024, 's');
  if (rc != 0) {
    std::fprintf(stderr, "bench_sql: setup failed\n");
  } else {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    Listener server(folder);
    if (rowsOnly) {
      Throughput(server, folder, rows);
    } else if (oneOnly) {
      std::printf("one-row query beside a static file (wrk, 16 connections):\n");
      Wrk("one-row SQL", server.base() + "/q/one", "application/json");
      Wrk("static 1 KiB", server.base() + "/static.txt", "*/*");
    } else if (!slowOnly) {
      Throughput(server, folder, rows);
      FirstByteAndMemory(server, 10000000);
      std::printf("one-row query beside a static file (wrk, 16 connections):\n");
      Wrk("one-row SQL", server.base() + "/q/one", "application/json");
      Wrk("static 1 KiB", server.base() + "/static.txt", "*/*");
    }
    if (!rowsOnly && !oneOnly) SlowQueries(server, 200);
  }
  std::printf("load average at the end: %s\n", LoadAverage().c_str());
  std::error_code ec;
  fs::remove_all(folder, ec);
  return rc == 0 ? 0 : 1;
}
