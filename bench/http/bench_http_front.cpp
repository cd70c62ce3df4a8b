// bench_http_front.cpp - what the HTTP front costs: bare cpprestsdk, cpprestsdk behind the front, nginx.
//
// One run serves a 1 KiB and a 1 MiB body over http and https from three
// servers, each in a process of its own so that its memory is its own:
// (a) http_front_server --bare, cpprestsdk alone (its own TLS for https);
// (b) http_front_server, the same listener behind an HttpFront; (c) Debian's
// nginx with one worker serving the same paths as files. wrk drives each URL
// for a few seconds; the table gives requests/s, p99 latency, and the
// server's peak resident memory (VmHWM) after its runs.
//
// Everything lives in a temp folder removed at the end; each wrk run is
// bounded by `timeout`. nginx missing is reported and its rows skipped
// (bench/http/install-nginx installs it).
#include "platform/base/testing/free_port.h"
#include "platform/base/testing/run_command.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::testing::FreePort;

// What command printed; its exit code does not matter here.
std::string Shell(const std::string& command) { return platform::testing::RunCommand(command).second; }

bool Accepts(int port) {
  for (int i = 0; i < 200; ++i) {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = ::connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(s);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

long StatusKib(pid_t pid, const char* field) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind(field, 0) == 0) return std::strtol(line.c_str() + std::strlen(field), nullptr, 10);
  return -1;
}

// A server process: front_server (stdin closed to stop it) or nginx (SIGQUIT).
struct Process {
  pid_t pid = -1;
  int stdinFd = -1;
  int port = 0;

  void Spawn(const std::vector<std::string>& args, bool readReady) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    pid = ::fork();
    if (pid == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
      std::vector<char*> argv;
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execvp(argv[0], argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdinFd = in[1];
    if (readReady) {
      FILE* reader = ::fdopen(out[0], "r");
      char line[128] = {};
      if (reader && std::fgets(line, sizeof line, reader)) std::sscanf(line, "READY %d", &port);
      if (reader) std::fclose(reader);
    } else {
      ::close(out[0]);
    }
  }
  void Stop(bool signal) {
    if (pid <= 0) return;
    if (signal) ::kill(pid, SIGQUIT);
    ::close(stdinFd);
    int status = 0;
    ::waitpid(pid, &status, 0);
    pid = -1;
  }
};

struct Result {
  double requestsPerSecond = 0;
  std::string p99 = "-";
};

Result Wrk(const std::string& url, int seconds, int connections) {
  const std::string out = Shell("timeout " + std::to_string(seconds + 30) + " wrk -t2 -c" + std::to_string(connections) +
                                " -d" + std::to_string(seconds) + "s --latency " + url + " 2>&1");
  Result r;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.rfind("Requests/sec:", 0) == 0) r.requestsPerSecond = std::strtod(line.c_str() + 13, nullptr);
    const auto at = line.find("99%");
    if (at != std::string::npos && line.find("Latency") == std::string::npos) {
      std::istringstream fields(line.substr(at + 3));
      fields >> r.p99;
    }
  }
  return r;
}

void WriteNginxConf(const std::string& dir, int httpPort, int httpsPort) {
  std::ofstream conf(dir + "/nginx.conf");
  conf << "daemon off;\nmaster_process off;\nworker_processes 1;\nerror_log " << dir << "/error.log;\npid " << dir
       << "/nginx.pid;\nevents { worker_connections 1024; }\nhttp {\n  access_log off;\n  sendfile on;\n"
       << "  keepalive_requests 1000000;\n  client_body_temp_path " << dir << "/tmp;\n  proxy_temp_path " << dir
       << "/tmp;\n  fastcgi_temp_path " << dir << "/tmp;\n  uwsgi_temp_path " << dir << "/tmp;\n  scgi_temp_path "
       << dir << "/tmp;\n  server {\n    listen 127.0.0.1:" << httpPort << ";\n    listen 127.0.0.1:" << httpsPort
       << " ssl;\n    ssl_certificate " << dir << "/cert.pem;\n    ssl_certificate_key " << dir
       << "/key.pem;\n    ssl_protocols TLSv1.2 TLSv1.3;\n    root " << dir << "/www;\n  }\n}\n";
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = 5;
  int connections = 32;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--seconds=", 10) == 0) seconds = std::clamp(std::atoi(argv[i] + 10), 1, 60);
    if (std::strncmp(argv[i], "--connections=", 14) == 0) connections = std::clamp(std::atoi(argv[i] + 14), 1, 512);
  }
  if (Shell("command -v wrk").empty()) {
    std::printf("wrk is not installed: nothing measured\n");
    return 0;
  }
  char pattern[] = "/tmp/vn_bench_front_XXXXXX";
  const std::string dir = ::mkdtemp(pattern);
  std::filesystem::create_directories(dir + "/www/size");
  std::filesystem::create_directories(dir + "/tmp");
  for (const int size : {1024, 1 << 20}) std::ofstream(dir + "/www/size/" + std::to_string(size)) << std::string(size, 'x');
  Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout " + dir + "/key.pem -out " + dir +
        "/cert.pem 2>/dev/null");
  const std::string cert = dir + "/cert.pem", key = dir + "/key.pem";

  struct Server {
    const char* name;
    std::vector<std::string> args;  // empty: nginx
    bool https;
  };
  const std::vector<Server> servers = {
      {"cpprestsdk bare", {FRONT_SERVER, "--bare"}, false},
      {"cpprestsdk behind front", {FRONT_SERVER}, false},
      {"nginx", {}, false},
      {"cpprestsdk bare", {FRONT_SERVER, "--bare", "--https", cert, key}, true},
      {"cpprestsdk behind front", {FRONT_SERVER, "--https", cert, key}, true},
      {"nginx", {}, true},
  };
  const bool haveNginx = !Shell("command -v nginx || ls /usr/sbin/nginx 2>/dev/null").empty();
  int failures = 0;
  std::printf("%-8s %-26s %-8s %12s %10s %10s\n", "scheme", "server", "body", "requests/s", "p99", "VmHWM KiB");
  for (const auto& server : servers) {
    Process p;
    const bool nginx = server.args.empty();
    if (nginx) {
      if (!haveNginx) {
        std::printf("%-8s %-26s (nginx not installed: bench/http/install-nginx)\n", server.https ? "https" : "http", "nginx");
        continue;
      }
      const int httpPort = FreePort(), httpsPort = FreePort();
      WriteNginxConf(dir, httpPort, httpsPort);
      p.Spawn({"/usr/sbin/nginx", "-c", dir + "/nginx.conf", "-p", dir}, false);
      p.port = server.https ? httpsPort : httpPort;
      if (!Accepts(p.port)) p.port = 0;
    } else {
      p.Spawn(server.args, true);
    }
    if (p.port == 0) {
      std::printf("%s did not start\n", server.name);
      ++failures;
      p.Stop(nginx);
      continue;
    }
    for (const int size : {1024, 1 << 20}) {
      const std::string url = std::string(server.https ? "https" : "http") + "://127.0.0.1:" + std::to_string(p.port) +
                              "/size/" + std::to_string(size);
      const Result r = Wrk(url, seconds, connections);
      if (r.requestsPerSecond <= 0) ++failures;
      std::printf("%-8s %-26s %-8s %12.0f %10s %10ld\n", server.https ? "https" : "http", server.name,
                  size == 1024 ? "1 KiB" : "1 MiB", r.requestsPerSecond, r.p99.c_str(), StatusKib(p.pid, "VmHWM:"));
      std::fflush(stdout);
    }
    p.Stop(nginx);
  }
  std::filesystem::remove_all(dir);
  return failures ? 1 : 0;
}
