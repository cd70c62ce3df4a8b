// front_test.cpp - a bare cpprestsdk listener behind the front, answered by curl, Python and openssl.
//
// Each test starts front_server (the listener and its front in a child
// process, so its memory and descriptor limit are its own) and talks to it
// with real clients: front_peer.py for the hostile ones, curl and openssl
// s_client for the rest. Memory is read from the child's /proc status.
#include "platform/base/errors.h"
#include "platform/base/testing/temp_dir.h"
#include "platform/http/front.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr long kMemorySlackKib = 16 * 1024;

// Runs a shell command; its standard output and exit status.
struct Output {
  std::string text;
  int status = -1;
};

Output Shell(const std::string& command) {
  Output out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) out.text.append(buffer, n);
  const int status = ::pclose(pipe);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

std::map<std::string, std::string> KeyValues(const std::string& text) {
  std::map<std::string, std::string> values;
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line)) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

// front_server in a child process, stopped by closing its standard input.
class Server {
 public:
  explicit Server(const std::vector<std::string>& args) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    m_pid = ::fork();
    if (m_pid == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
      std::vector<char*> argv{const_cast<char*>(FRONT_SERVER)};
      for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      ::execv(FRONT_SERVER, argv.data());
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    m_stdin = in[1];
    FILE* reader = ::fdopen(out[0], "r");
    char line[128] = {};
    if (reader && std::fgets(line, sizeof line, reader) && std::sscanf(line, "READY %d", &m_port) != 1) m_port = 0;
    if (reader) std::fclose(reader);
  }
  ~Server() {
    if (m_stdin >= 0) ::close(m_stdin);
    int status = 0;
    if (m_pid > 0) ::waitpid(m_pid, &status, 0);
  }
  int Port() const { return m_port; }
  pid_t Pid() const { return m_pid; }

  long VmRssKib() const {
    std::ifstream status("/proc/" + std::to_string(m_pid) + "/status");
    std::string line;
    while (std::getline(status, line))
      if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
  }

  // The front's counters, as the listener reports them.
  std::map<std::string, long long> Stats() const {
    std::map<std::string, long long> stats;
    std::istringstream lines(Curl("-s " + Url("/stats")).text);
    std::string name;
    long long value;
    while (lines >> name >> value) stats[name] = value;
    return stats;
  }

  std::string Url(const std::string& path, bool https = false) const {
    return std::string(https ? "https" : "http") + "://127.0.0.1:" + std::to_string(m_port) + path;
  }
  static Output Curl(const std::string& args) { return Shell("curl --max-time 60 " + args); }
  std::map<std::string, std::string> Peer(const std::string& command, const std::string& args = "") const {
    return KeyValues(Shell(std::string(PYTHON3_EXECUTABLE) + " " + FRONT_PEER + " " + command + " " +
                         std::to_string(m_port) + " " + args)
                         .text);
  }

 private:
  pid_t m_pid = -1;
  int m_stdin = -1;
  int m_port = 0;
};

// The loopback port the front chose for its listener.
int BackendPort(const platform::http::HttpFront& front) {
  const std::string& url = front.BackendUrl();
  return std::atoi(url.substr(url.rfind(':') + 1).c_str());
}

// A client socket connected to address:port, reads timing out after 30 s;
// -1 when the connect fails.
int ConnectTo(const char* address, int port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  const timeval wait{30, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(static_cast<uint16_t>(port));
  ::inet_pton(AF_INET, address, &a.sin_addr);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

// A self-signed certificate and its key, made by openssl itself.
struct Certificate {
  std::string dir = platform::testing::MakeTempDir("vn_http_tls_");
  std::string cert = dir + "/cert.pem";
  std::string key = dir + "/key.pem";
  Certificate() {
    Shell("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=localhost -keyout " + key + " -out " + cert +
        " 2>/dev/null");
  }
};

TEST(HttpFrontTest, UnterminatedMegabyteHeaderGets431AndMemoryStaysFlat) {
  Server server({});
  ASSERT_GT(server.Port(), 0);
  ASSERT_EQ(Server::Curl("-s -o /dev/null " + server.Url("/size/1")).status, 0);
  const long baseline = server.VmRssKib();
  for (int i = 0; i < 4; ++i) EXPECT_EQ(server.Peer("bighead", "1048576")["status"], "431");
  EXPECT_LT(server.VmRssKib() - baseline, kMemorySlackKib);
  // Far less than the megabyte each client sent was read.
  EXPECT_LT(server.Stats()["clientBytesRead"], 4 * (1 << 20) / 2);
  EXPECT_EQ(Server::Curl("-s " + server.Url("/size/3")).text, "xxx");
}

TEST(HttpFrontTest, AnnouncedHugeBodyGets413WithoutBeingRead) {
  Server server({});
  ASSERT_GT(server.Port(), 0);
  const long baseline = server.VmRssKib();
  // Python sends the body right behind the head; curl waits for 100 Continue.
  EXPECT_EQ(server.Peer("announce", std::to_string(300u << 20))["status"], "413");
  const std::string dir = platform::testing::MakeTempDir("vn_http_huge_");
  ASSERT_EQ(Shell("truncate -s 300M " + dir + "/huge").status, 0);  // sparse: no disk used
  const auto curl = Server::Curl("-s -o /dev/null -w '%{http_code}' -X POST -T " + dir + "/huge " + server.Url("/echo"));
  EXPECT_EQ(curl.text, "413");
  EXPECT_LT(server.Stats()["clientBytesRead"], 1 << 20);
  EXPECT_LT(server.VmRssKib() - baseline, kMemorySlackKib);
}

TEST(HttpFrontTest, IdleConnectionsAndSlowHeaderClientLeaveRoomForAGet) {
  Server server({});
  ASSERT_GT(server.Port(), 0);
  ASSERT_EQ(Server::Curl("-s -o /dev/null " + server.Url("/size/1")).status, 0);
  const long baseline = server.VmRssKib();
  const auto result = server.Peer("idle", "500 " + std::to_string(server.Pid()));
  EXPECT_EQ(result.at("status"), "200");
  EXPECT_EQ(result.at("length"), "100");
  // Measured while the 501 connections were still open.
  EXPECT_LT(std::stol(result.at("rss_kib")) - baseline, kMemorySlackKib);
}

TEST(HttpFrontTest, DescriptorLimitBelowTheIdleConnectionsStillAdmitsAGet) {
  Server server({"--nofile", "1024"});
  ASSERT_GT(server.Port(), 0);
  const auto result = server.Peer("flood", "1100");
  EXPECT_EQ(result.at("status"), "200");
  EXPECT_EQ(result.at("length"), "100");
  const auto stats = server.Stats();
  EXPECT_GT(stats.at("evicted"), 0);
  EXPECT_EQ(Server::Curl("-s " + server.Url("/size/2")).text, "xx");
}

TEST(HttpFrontTest, ProcessOutOfDescriptorsBeforeTheFrontStillAdmitsAGet) {
  // 400 descriptors go to something else after the front counted: accepts
  // fail for lack of descriptors long before the front's own budget is spent.
  Server server({"--nofile", "1024", "--hog", "400"});
  ASSERT_GT(server.Port(), 0);
  const auto result = server.Peer("flood", "1100");
  EXPECT_EQ(result.at("status"), "200");
  EXPECT_EQ(result.at("length"), "100");
  const auto stats = server.Stats();
  EXPECT_GT(stats.at("acceptStalls"), 0);
  // The budget came down at the first failure: a handful, not one per
  // connection beyond the limit, nor a spin on the listening socket.
  EXPECT_LT(stats.at("acceptStalls"), 10);
  EXPECT_EQ(Server::Curl("-s " + server.Url("/size/2")).text, "xx");
}

TEST(HttpFrontTest, KeepAliveCarriesSizedChunkedHeadAndPipelinedRequestsIntact) {
  Server server({"--max-body", std::to_string(8 << 20)});
  ASSERT_GT(server.Port(), 0);
  const auto result = server.Peer("keepalive");
  EXPECT_EQ(result.at("replies"), "6");
  EXPECT_EQ(result.at("intact"), "6");
  // curl's chunked upload of a few megabytes, echoed back byte for byte.
  const std::string dir = platform::testing::MakeTempDir("vn_http_body_");
  ASSERT_EQ(Shell("head -c 3000000 /dev/urandom > " + dir + "/body").status, 0);
  for (const std::string framing : {"-H 'Transfer-Encoding: chunked'", ""}) {
    SCOPED_TRACE(framing);
    // curl asks to continue before a large body; the front says so itself.
    const auto upload = Server::Curl("-sv -o " + dir + "/echo " + framing + " --data-binary @" + dir + "/body " +
                                     server.Url("/echo") + " 2>&1");
    ASSERT_EQ(upload.status, 0);
    EXPECT_NE(upload.text.find("Expect: 100-continue"), std::string::npos);
    EXPECT_NE(upload.text.find("< HTTP/1.1 100 Continue"), std::string::npos);
    EXPECT_EQ(Shell("cmp " + dir + "/body " + dir + "/echo").status, 0);
  }
  // Several GETs on one connection: curl reuses it.
  const auto reuse = Server::Curl("-s -o /dev/null -o /dev/null -o /dev/null -w '%{num_connects}' " +
                                  server.Url("/size/10") + " " + server.Url("/size/70000") + " " + server.Url("/size/0"));
  EXPECT_EQ(reuse.text, "100");
}

struct RawRow {
  const char* name;
  std::string request;
  const char* status;
};

TEST(HttpFrontTest, RequestsTheFrontAnswersItself) {
  Server server({"--max-body", "4096"});
  ASSERT_GT(server.Port(), 0);
  const RawRow rows[] = {
      {"plain GET passes", "GET /size/1 HTTP/1.1\r\nHost: a\r\n\r\n", "200"},
      {"bare LF head passes", "GET /size/1 HTTP/1.1\nHost: a\n\n", "200"},
      {"length over the limit", "POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 4097\r\n\r\n", "413"},
      {"chunks over the limit", "POST /echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n1001\r\n" +
                                    std::string(0x1001, 'c') + "\r\n0\r\n\r\n", "413"},
      {"length and chunked", "POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", "400"},
      {"two lengths", "POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\nabcd", "400"},
      {"bad chunk size", "POST /echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", "400"},
      {"unknown coding", "POST /echo HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\n\r\n", "501"},
      {"HTTP/2 in a head", "GET / HTTP/2.0\r\nHost: a\r\n\r\n", "505"},
      {"head of 17 KiB", "GET / HTTP/1.1\r\nHost: a\r\nX-A: " + std::string(17 * 1024, 'a') + "\r\n\r\n", "431"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::string hex;
    char pair[3];
    for (unsigned char ch : row.request) {
      std::snprintf(pair, sizeof pair, "%02x", ch);
      hex += pair;
    }
    EXPECT_EQ(server.Peer("raw", hex)["status"], row.status);
  }
  EXPECT_EQ(server.Stats()["rejected"], 8);
}

TEST(HttpFrontTest, SlowHeadGets408AndIsClosed) {
  Server server({"--header-timeout", "300"});
  ASSERT_GT(server.Port(), 0);
  const auto result = server.Peer("slowhead");
  EXPECT_EQ(result.at("status"), "408");
  EXPECT_EQ(result.at("closed"), "1");
  EXPECT_EQ(server.Stats()["timedOut"], 1);
}

TEST(HttpFrontTest, IdleKeepAliveConnectionIsClosed) {
  Server server({"--idle-timeout", "300"});
  ASSERT_GT(server.Port(), 0);
  const auto result = server.Peer("idlewait");
  EXPECT_EQ(result.at("reply"), "1");
  EXPECT_EQ(result.at("closed"), "1");
  EXPECT_EQ(server.Stats()["timedOut"], 1);
}

TEST(HttpFrontTest, PeerHeaderIsTheFrontsOwn) {
  Server server({});
  ASSERT_GT(server.Port(), 0);
  const auto result = server.Peer("peer");
  EXPECT_EQ(result.at("status"), "200");
  EXPECT_EQ(result.at("count"), "1");
  EXPECT_EQ(result.at("seen"), result.at("expected"));
}

TEST(HttpFrontTest, HttpsRefusesTls11AndAcceptsTls12And13) {
  Certificate pair;
  Server server({"--https", pair.cert, pair.key});
  ASSERT_GT(server.Port(), 0);
  struct Row {
    const char* flag;
    bool accepted;
  };
  for (const Row row : {Row{"-tls1_1", false}, Row{"-tls1_2", true}, Row{"-tls1_3", true}}) {
    SCOPED_TRACE(row.flag);
    // SECLEVEL=0 lets the client offer TLS 1.1 at all: the refusal is the server's.
    const auto out = Shell("echo | timeout 30 openssl s_client -connect 127.0.0.1:" + std::to_string(server.Port()) + " " +
                         row.flag + " -cipher 'DEFAULT@SECLEVEL=0' 2>&1");
    EXPECT_EQ(out.status == 0, row.accepted) << out.text;
    if (!row.accepted) {
      EXPECT_NE(out.text.find("alert protocol version"), std::string::npos) << out.text;
    }
  }
  const auto result = server.Peer("tls");
  EXPECT_EQ(result.at("status"), "200");
  EXPECT_EQ(result.at("seen"), result.at("expected"));
  EXPECT_EQ(result.at("large"), "1");
  EXPECT_EQ(Server::Curl("-sk " + server.Url("/size/4", true)).text, "xxxx");
  // The pair handed over as PEM texts serves alike.
  Server texts({"--https-text", pair.cert, pair.key});
  ASSERT_GT(texts.Port(), 0);
  EXPECT_EQ(Server::Curl("-sk " + texts.Url("/size/2", true)).text, "xx");
  // The limits hold under TLS too.
  EXPECT_EQ(Server::Curl("-sk -o /dev/null -w '%{http_code}' -H 'X-A: " + std::string(17 * 1024, 'a') + "' " +
                         server.Url("/size/1", true))
                .text,
            "431");
}

// A listener is opened between Bind and Admit (a host being rebuilt): a
// client that comes in between waits for it instead of getting 502.
TEST(HttpFrontTest, AClientBeforeAdmitWaitsForTheListener) {
  std::unique_ptr<platform::http::HttpFront> front;
  ASSERT_EQ(platform::http::HttpFront::Bind({}, front), ERROR_SUCCESS);
  auto loopback = [](int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
  };
  const int client = ::socket(AF_INET, SOCK_STREAM, 0);
  const timeval wait{60, 0};
  ::setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  sockaddr_in publicAddress = loopback(front->Port());
  ASSERT_EQ(::connect(client, reinterpret_cast<sockaddr*>(&publicAddress), sizeof publicAddress), 0);
  const std::string request = "GET /early HTTP/1.1\r\nHost: x\r\n\r\n";
  ASSERT_EQ(::send(client, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
  // Gives a front that accepts too early the time to show it (it would find
  // no listener and answer 502); a sound one never accepts here.
  for (int i = 0; i < 100 && front->Counters().accepted == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(front->Counters().accepted, 0u) << "nobody is accepted before Admit";

  // The listener: a plain socket on the front's backend port, one reply.
  const int backend = ::socket(AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  ::setsockopt(backend, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in backendAddress = loopback(BackendPort(*front));
  ASSERT_EQ(::bind(backend, reinterpret_cast<sockaddr*>(&backendAddress), sizeof backendAddress), 0);
  ASSERT_EQ(::listen(backend, 4), 0);
  std::thread listener([backend] {
    const int fd = ::accept(backend, nullptr, nullptr);
    if (fd < 0) return;  // shut down: the front never came
    std::string head;
    char buffer[4096];
    ssize_t n;
    while (head.find("\r\n\r\n") == std::string::npos && (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
      head.append(buffer, static_cast<size_t>(n));
    const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    [[maybe_unused]] const auto sent = ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
    ::close(fd);
  });
  front->Admit();

  std::string reply;
  char buffer[4096];
  ssize_t n;
  while (reply.find("\r\n\r\nok") == std::string::npos && (n = ::recv(client, buffer, sizeof buffer, 0)) > 0)
    reply.append(buffer, static_cast<size_t>(n));
  ::shutdown(backend, SHUT_RDWR);  // wakes an accept still waiting
  listener.join();
  ::close(client);
  ::close(backend);
  EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 200") << reply;
}

TEST(HttpFrontTest, StartReportsWhatStopsIt) {
  const std::string dir = platform::testing::MakeTempDir("vn_http_start_");
  Shell("echo 'not a certificate' > " + dir + "/bad.pem");
  std::unique_ptr<platform::http::HttpFront> holder;
  ASSERT_EQ(platform::http::HttpFront::Start({}, holder), ERROR_SUCCESS);
  struct Row {
    const char* name;
    platform::http::FrontConfig config;
    DWORD error;
  };
  platform::http::FrontConfig taken;
  taken.port = holder->Port();
  platform::http::FrontConfig missing;
  missing.certificateFile = dir + "/none.pem";
  missing.keyFile = dir + "/none.pem";
  platform::http::FrontConfig bad;
  bad.certificateFile = bad.keyFile = dir + "/bad.pem";
  platform::http::FrontConfig badText;
  badText.certificatePem = "-----BEGIN CERTIFICATE-----\nnonsense\n-----END CERTIFICATE-----\n";
  badText.keyPem = "not a key";
  platform::http::FrontConfig half;
  half.certificatePem = badText.certificatePem;
  platform::http::FrontConfig name;
  name.address = "example.org";
  const Row rows[] = {{"port taken", taken, ERROR_ADDRESS_ALREADY_ASSOCIATED},
                      {"no certificate file", missing, ERROR_FILE_NOT_FOUND},
                      {"not PEM", bad, ERROR_INVALID_DATA},
                      {"PEM text that is no certificate", badText, ERROR_INVALID_DATA},
                      {"certificate text without a key", half, ERROR_INVALID_PARAMETER},
                      {"a name other than localhost", name, ERROR_INVALID_PARAMETER}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::unique_ptr<platform::http::HttpFront> front;
    EXPECT_EQ(platform::http::HttpFront::Start(row.config, front), row.error);
    EXPECT_EQ(front, nullptr);
  }
  // The forms a host's URL gives that are taken.
  for (const char* address : {"localhost", "*", "+", "127.0.0.1"}) {
    SCOPED_TRACE(address);
    platform::http::FrontConfig config;
    config.address = address;
    std::unique_ptr<platform::http::HttpFront> front;
    EXPECT_EQ(platform::http::HttpFront::Start(config, front), ERROR_SUCCESS);
  }
}


TEST(HttpFrontTest, RepliesToHttp10AreSizedOrEndedByTheClose) {
  Server server({});
  ASSERT_GT(server.Port(), 0);
  const auto result = server.Peer("http10");
  ASSERT_EQ(result.size(), 5u);
  for (const auto& [name, value] : result) EXPECT_EQ(value.substr(0, 1), "1") << name << ": " << value;
  // An HTTP/1.1 client of the same resource still gets chunks, kept alive.
  const std::string dir = platform::testing::MakeTempDir("vn_http_10_");
  const auto reuse = Server::Curl("-s -D " + dir + "/heads -o /dev/null -o /dev/null -w '%{num_connects}' " +
                                  server.Url("/chunked/5") + " " + server.Url("/size/1"));
  EXPECT_EQ(reuse.text, "10");
  EXPECT_EQ(Shell("grep -c 'Transfer-Encoding: chunked' " + dir + "/heads").text, "1\n");
}

TEST(HttpFrontTest, MethodNamesAreCaseSensitive) {
  Server server({});
  ASSERT_GT(server.Port(), 0);
  const auto result = server.Peer("methods");
  const std::map<std::string, std::string> expected = {
      {"GET", "200"},  {"get", "501"},  {"Get", "501"},     {"gEt", "501"},     {"HEAD", "200"},
      {"head", "501"}, {"post", "501"}, {"PoSt", "501"},    {"options", "501"}, {"delete", "501"}};
  EXPECT_EQ(result, expected);
}

TEST(HttpFrontTest, ListenerGetsTheProcessSecretNotTheClients) {
  Server server({});
  ASSERT_GT(server.Port(), 0);
  // A guess, and the front's own value replacing it.
  const auto forged = Server::Curl("-s -H 'X-Vantrel-Front: 00000000' -H 'x-vantrel-front: guess' " + server.Url("/front"));
  EXPECT_EQ(forged.text, "proofs 1 valid 1\n");
}

TEST(HttpFrontTest, LoopsShareTheClientsAndEveryReplyIsWhole) {
  // Keep-alive and one-request clients, sized and chunked replies, across
  // four loops; then the limits as before.
  Server server({"--loops", "4", "--max-body", "4096"});
  ASSERT_GT(server.Port(), 0);
  const auto busy = server.Peer("busy", "12 3");
  EXPECT_EQ(busy.at("bad"), "0");
  EXPECT_GT(std::stol(busy.at("whole")), 100);
  const auto stats = server.Stats();
  EXPECT_GE(stats.at("requests"), std::stoll(busy.at("whole")));
  EXPECT_GT(stats.at("accepted"), 12);
  std::string hex;
  char pair[3];
  for (unsigned char ch : std::string("POST /echo HTTP/1.1\r\nHost: a\r\nContent-Length: 4097\r\n\r\n")) {
    std::snprintf(pair, sizeof pair, "%02x", ch);
    hex += pair;
  }
  EXPECT_EQ(server.Peer("raw", hex)["status"], "413");
  EXPECT_EQ(server.Peer("methods")["get"], "501");
}

// A listener of plain sockets in this process: each connection served on its
// own thread, "ok" to every head, kept alive; with a limit, a connection that
// answered that many heads is closed when the next one comes, unanswered.
class PlainBackend {
 public:
  explicit PlainBackend(int port, int repliesPerConnection = 0) {
    // Close-on-exec: a curl started meanwhile must not hold a connection open.
    m_listen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int one = 1;
    ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_bound = ::bind(m_listen, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 && ::listen(m_listen, 128) == 0;
    m_acceptor = std::thread([this, repliesPerConnection] {
      for (;;) {
        const int fd = ::accept4(m_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        m_open.fetch_add(1);
        m_served.emplace_back([this, fd, repliesPerConnection] {
          std::string data;
          char buffer[4096];
          for (int replies = 0;;) {
            const auto end = data.find("\r\n\r\n");
            if (end != std::string::npos) {
              if (repliesPerConnection > 0 && replies++ == repliesPerConnection) break;
              data.erase(0, end + 4);
              const std::string reply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
              if (::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL) < 0) break;
              continue;
            }
            const auto n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) break;
            data.append(buffer, static_cast<size_t>(n));
          }
          ::close(fd);
          m_open.fetch_sub(1);
        });
      }
    });
  }
  ~PlainBackend() {
    ::shutdown(m_listen, SHUT_RDWR);
    m_acceptor.join();
    for (auto& t : m_served) t.join();
    ::close(m_listen);
  }
  bool Bound() const { return m_bound; }
  // Connections the front holds to it now.
  int Open() const { return m_open.load(); }

 private:
  int m_listen = -1;
  bool m_bound = false;
  std::atomic<int> m_open{0};
  std::thread m_acceptor;
  std::vector<std::thread> m_served;  // the acceptor's only, joined after it
};

// Up to count GETs one after the other on fd, each reply read to its "ok"
// and counted in replies; stops early when the connection ends or stop is set.
void KeptAliveGets(int fd, int count, const std::atomic<bool>& stop, std::atomic<int>& replies) {
  bool open = true;
  for (int i = 0; i < count && open && !stop.load(); ++i) {
    const std::string request = "GET /" + std::to_string(i) + " HTTP/1.1\r\nHost: x\r\n\r\n";
    open = ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size());
    std::string reply;
    char buffer[512];
    while (open && reply.find("\r\n\r\nok") == std::string::npos) {
      const auto n = ::recv(fd, buffer, sizeof buffer, 0);
      open = n > 0;
      if (open) reply.append(buffer, static_cast<size_t>(n));
    }
    if (open) replies.fetch_add(1);
  }
}

TEST(HttpFrontTest, StopWhileEveryLoopIsBusy) {
  for (const bool midway : {false, true}) {
    SCOPED_TRACE(midway ? "stopped while clients send" : "stopped after they end");
    platform::http::FrontConfig config;
    config.limits.loops = 4;
    std::unique_ptr<platform::http::HttpFront> front;
    ASSERT_EQ(platform::http::HttpFront::Bind(config, front), ERROR_SUCCESS);
    auto backend = std::make_unique<PlainBackend>(BackendPort(*front));
    ASSERT_TRUE(backend->Bound());
    front->Admit();
    const int port = front->Port();
    std::atomic<int> replies{0};
    std::atomic<bool> stop{false};
    std::vector<std::thread> clients;
    for (int t = 0; t < 8; ++t)
      clients.emplace_back([&, t] {
        while (!stop.load()) {
          const int fd = ConnectTo("127.0.0.1", port);
          if (fd < 0) break;  // the front is gone
          KeptAliveGets(fd, 1 + t * 5, stop, replies);
          ::close(fd);
        }
      });
    while (replies.load() < 2000) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (!midway) stop = true;
    if (!midway)
      for (auto& c : clients) c.join();
    const auto counters = front->Counters();
    EXPECT_GE(counters.requests, 2000u);
    front.reset();  // every loop ends, whatever its connections are doing
    stop = true;
    if (midway)
      for (auto& c : clients) c.join();
    backend.reset();
  }
}


TEST(HttpFrontTest, ListenerConnectionsOutliveTheirClients) {
  // One loop, so that every client finds the pool the one before left.
  Server server({"--loops", "1", "--reuse-backend"});
  ASSERT_GT(server.Port(), 0);
  ASSERT_EQ(Server::Curl("-s " + server.Url("/size/2")).text, "xx");
  const auto before = server.Stats();
  for (int i = 0; i < 10; ++i) {
    EXPECT_EQ(Server::Curl("-s " + server.Url("/size/3")).text, "xxx");
    EXPECT_EQ(Server::Curl("-s -0 " + server.Url("/size/1")).text, "x");  // HTTP/1.0, closed after
    EXPECT_EQ(Server::Curl("-s " + server.Url("/chunked/4")).text, "yyyy");
  }
  const auto after = server.Stats();
  EXPECT_GE(after.at("requests") - before.at("requests"), 30);
  // Reused, not one per client; fresh ones only where the listener closed.
  EXPECT_LE(after.at("backendConnects") - before.at("backendConnects"), 12);
  // A listener connection a client left half-answered is not handed on: a
  // client that stops reading a large reply and goes, then a small request.
  const auto cut = Server::Curl("-s --max-filesize 1000 " + server.Url("/size/5000000") + " -o /dev/null; echo $?");
  EXPECT_NE(cut.text, "0\n");
  EXPECT_EQ(Server::Curl("-s " + server.Url("/size/5")).text, "xxxxx");
}

}  // namespace

// One GET to address:port over a plain socket; whether "ok" came back.
static bool AnswersOn(const char* address, int port) {
  const int fd = ConnectTo(address, port);
  if (fd < 0) return false;
  const std::string request = "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  char buffer[512];
  ssize_t n;
  while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) reply.append(buffer, static_cast<size_t>(n));
  ::close(fd);
  return reply.rfind("HTTP/1.1 200", 0) == 0 && reply.find("\r\n\r\nok") != std::string::npos;
}

TEST(HttpFrontTest, NamesAreResolvedByTheCallerAndNumbersKept) {
  struct Row {
    const char* host;
    DWORD error;
    const char* first;  // the first address, or null for none
  };
  const Row rows[] = {{"127.0.0.1", ERROR_SUCCESS, "127.0.0.1"},
                      {"[::1]", ERROR_SUCCESS, "[::1]"},
                      {"::1", ERROR_SUCCESS, "::1"},
                      {"*", ERROR_SUCCESS, "*"},
                      {"", ERROR_SUCCESS, ""},
                      {"no-such-host.invalid", WSAHOST_NOT_FOUND, nullptr}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.host);
    std::vector<std::string> addresses{"left over"};
    EXPECT_EQ(platform::http::ResolveListenAddresses(row.host, addresses), row.error);
    if (row.first) {
      ASSERT_EQ(addresses.size(), 1u);
      EXPECT_EQ(addresses[0], row.first);
    } else {
      EXPECT_TRUE(addresses.empty());
    }
  }
  // "localhost" comes from the hosts file like any other name.
  std::vector<std::string> addresses;
  ASSERT_EQ(platform::http::ResolveListenAddresses("localhost", addresses), ERROR_SUCCESS);
  EXPECT_NE(std::find(addresses.begin(), addresses.end(), "127.0.0.1"), addresses.end());
}

TEST(HttpFrontTest, EveryAddressOfAHostListensOnOnePort) {
  for (const DWORD loops : {1u, 3u}) {
    SCOPED_TRACE(loops);
    platform::http::FrontConfig config;
    config.limits.loops = loops;
    // 192.0.2.1 (a documentation address) is no address of this machine:
    // passed over, since the others bind.
    config.addresses = {"127.0.0.1", "192.0.2.1", "127.0.0.2"};
    std::unique_ptr<platform::http::HttpFront> front;
    ASSERT_EQ(platform::http::HttpFront::Bind(config, front), ERROR_SUCCESS);
    PlainBackend backend(BackendPort(*front));
    ASSERT_TRUE(backend.Bound());
    front->Admit();
    for (int i = 0; i < 6; ++i) {
      EXPECT_TRUE(AnswersOn("127.0.0.1", front->Port()));
      EXPECT_TRUE(AnswersOn("127.0.0.2", front->Port()));
    }
    EXPECT_FALSE(AnswersOn("127.0.0.3", front->Port())) << "only the host's own addresses listen";

    // The port taken on any one address fails the whole front.
    platform::http::FrontConfig second;
    second.addresses = {"127.0.0.3", "127.0.0.2"};
    second.port = front->Port();
    std::unique_ptr<platform::http::HttpFront> refused;
    EXPECT_EQ(platform::http::HttpFront::Bind(second, refused), ERROR_ADDRESS_ALREADY_ASSOCIATED);
    EXPECT_EQ(refused, nullptr);
    front.reset();
  }
  // An address of no interface of this machine, alone, fails.
  platform::http::FrontConfig foreign;
  foreign.addresses = {"192.0.2.1"};
  std::unique_ptr<platform::http::HttpFront> front;
  EXPECT_EQ(platform::http::HttpFront::Bind(foreign, front), WSAEADDRNOTAVAIL);
}

// A front of one loop that keeps listener connections, bound and not yet
// admitted; null when Bind failed.
static std::unique_ptr<platform::http::HttpFront> BindKeepingFront() {
  platform::http::FrontConfig config;
  config.limits.loops = 1;
  config.limits.reuseBackend = true;
  std::unique_ptr<platform::http::HttpFront> front;
  EXPECT_EQ(platform::http::HttpFront::Bind(config, front), ERROR_SUCCESS);
  return front;
}

TEST(HttpFrontTest, AKeptConnectionTheListenerClosesIsRetriedOnAFreshOne) {
  auto front = BindKeepingFront();
  ASSERT_NE(front, nullptr);
  // Every kept connection is closed by the listener as it is reused.
  auto backend = std::make_unique<PlainBackend>(BackendPort(*front), 1);
  ASSERT_TRUE(backend->Bound());
  front->Admit();
  const std::string base = "http://127.0.0.1:" + std::to_string(front->Port());
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(Server::Curl("-s -w ' %{http_code}' " + base + "/" + std::to_string(i)).text, "ok 200");
    EXPECT_EQ(Server::Curl("-s -0 -w ' %{http_code}' " + base + "/1.0").text, "ok 200");
  }
  // Each client's request went to the pool's connection first, then again.
  EXPECT_GE(front->Counters().backendConnects, 20u);
  front.reset();
  backend.reset();
}

// A host rebuilt on its port: the old front goes while clients keep coming
// (kept-alive ones mid-request, one-request ones, silent ones), and a new
// front binds the same port at once, for one loop and for several.
TEST(HttpFrontTest, AFrontRebuiltOnItsPortBindsItAtOnce) {
  for (const DWORD loops : {1u, 4u}) {
    SCOPED_TRACE(loops);
    platform::http::FrontConfig config;
    config.limits.loops = loops;
    std::atomic<int> port{0};
    std::atomic<bool> stop{false};
    std::atomic<int> replies{0};
    std::vector<std::thread> clients;
    for (int t = 0; t < 6; ++t)
      clients.emplace_back([&, t] {
        while (!stop.load()) {
          const int fd = port.load() ? ConnectTo("127.0.0.1", port.load()) : -1;
          if (fd < 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            continue;
          }
          if (t == 5) {  // a silent client, held until the front closes it
            char byte;
            ::recv(fd, &byte, 1, 0);
            ::close(fd);
            continue;
          }
          KeptAliveGets(fd, 1 + t * 4, stop, replies);
          ::close(fd);
        }
      });
    std::unique_ptr<platform::http::HttpFront> front;
    std::unique_ptr<PlainBackend> backend;
    for (int rebuild = 0; rebuild < 40; ++rebuild) {
      SCOPED_TRACE(rebuild);
      ASSERT_EQ(platform::http::HttpFront::Bind(config, front), ERROR_SUCCESS);
      config.port = front->Port();
      backend = std::make_unique<PlainBackend>(BackendPort(*front));
      ASSERT_TRUE(backend->Bound());
      front->Admit();
      port = front->Port();
      const int before = replies.load();
      for (int wait = 0; replies.load() < before + 20 && wait < 30'000; ++wait)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      EXPECT_GE(replies.load(), before + 20) << "the rebuilt front answers";
      front.reset();  // as a host does: the front first, then its listener
      backend.reset();
    }
    stop = true;
    for (auto& c : clients) c.join();
  }
}

// A port the kernel picks for a front's first address may be held on its
// next one: here by sockets bound to 127.0.0.2 on kernel-picked ports, as a
// client that binds its source address holds them. Every Bind still gets
// one port on both addresses.
TEST(HttpFrontTest, APickedPortIsOneFreeOnEveryAddress) {
  std::vector<int> held;
  for (int i = 0; i < 500; ++i) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, "127.0.0.2", &a.sin_addr);
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
      held.push_back(fd);
    else if (fd >= 0)
      ::close(fd);
  }
  ASSERT_GT(held.size(), 400u);
  platform::http::FrontConfig config;
  config.addresses = {"127.0.0.1", "127.0.0.2"};
  config.limits.loops = 1;
  for (int i = 0; i < 200; ++i) {
    std::unique_ptr<platform::http::HttpFront> front;
    ASSERT_EQ(platform::http::HttpFront::Bind(config, front), ERROR_SUCCESS) << i;
  }
  for (const int fd : held) ::close(fd);
}

// A kept listener connection is let go once it has waited its time, also
// when its loop has no client left to wake it.
TEST(HttpFrontTest, AKeptConnectionOfAnIdleFrontAgesOut) {
  auto front = BindKeepingFront();
  ASSERT_NE(front, nullptr);
  auto backend = std::make_unique<PlainBackend>(BackendPort(*front));
  ASSERT_TRUE(backend->Bound());
  front->Admit();
  ASSERT_TRUE(AnswersOn("127.0.0.1", front->Port()));
  for (int wait = 0; front->Counters().open > 0 && wait < 10'000; ++wait)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(backend->Open(), 1) << "kept for the next client";
  // The pool lets a connection go after 20 s; the bound is generous.
  for (int wait = 0; backend->Open() > 0 && wait < 90; ++wait) std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(backend->Open(), 0);
  front.reset();
  backend.reset();
}
