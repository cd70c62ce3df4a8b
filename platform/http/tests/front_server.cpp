// front_server.cpp - a bare cpprestsdk listener behind an HttpFront, for the tests and the benchmark.
//
//   front_server [--https CERT KEY | --https-text CERT KEY] [--max-body N] [--header-timeout MS]
//                [--idle-timeout MS] [--max-connections N] [--nofile N] [--hog N] [--loops N]
//                [--reuse-backend | --no-reuse-backend] [--bare]
//
// Prints "READY <port>" once both are open and runs until its standard input
// closes. --nofile lowers RLIMIT_NOFILE first (the process is the child the
// test starts, so the limit binds only it); --hog takes N descriptors once
// the front has started, so that the process runs out first; --bare listens with cpprestsdk
// alone on the printed port (with its own TLS when --https is given), for
// comparison. The listener answers:
//   GET  /size/N   N bytes of 'x' (Content-Length)
//   POST /echo     the request body, with X-Body-Length
//   GET  /peer     every peer header value the listener received, one a line
//   GET  /chunked/N  N bytes of 'y', sent chunked (a stream of unknown length)
//   GET  /front    "proofs N valid M": the front headers received and how many hold the secret
//   GET  /stats    the front's counters as "name value" lines
#include "platform/http/front.h"

#include <cpprest/containerstream.h>
#include <cpprest/http_listener.h>

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <iostream>
#include <memory>
#include <string>

namespace {

using web::http::http_request;
using web::http::methods;
using web::http::status_codes;

platform::http::HttpFront* g_front = nullptr;

void Answer(http_request request) {
  const std::string path = request.relative_uri().path();
  web::http::http_response reply(status_codes::OK);
  if (path.rfind("/size/", 0) == 0) {
    reply.set_body(std::string(std::strtoull(path.c_str() + 6, nullptr, 10), 'x'), "application/octet-stream");
  } else if (path.rfind("/chunked/", 0) == 0) {
    reply.set_body(concurrency::streams::bytestream::open_istream(std::string(std::strtoull(path.c_str() + 9, nullptr, 10), 'y')),
                   "application/octet-stream");
  } else if (path == "/front") {
    int proofs = 0, valid = 0;
    for (const auto& [name, value] : request.headers())
      if (name == platform::http::kFrontHeader) {
        ++proofs;
        valid += platform::http::IsFromFront(value) ? 1 : 0;
      }
    reply.set_body("proofs " + std::to_string(proofs) + " valid " + std::to_string(valid) + "\n", "text/plain");
  } else if (path == "/echo") {
    const auto body = request.extract_vector().get();
    reply.headers().add("X-Body-Length", std::to_string(body.size()));
    reply.set_body(body);
  } else if (path == "/peer") {
    std::string seen;
    for (const auto& [name, value] : request.headers())
      if (name == platform::http::kPeerHeader) seen += value + "\n";
    reply.set_body(seen, "text/plain");
  } else if (path == "/stats" && g_front) {
    const auto c = g_front->Counters();
    reply.set_body("accepted " + std::to_string(c.accepted) + "\nrequests " + std::to_string(c.requests) +
                       "\nclientBytesRead " + std::to_string(c.clientBytesRead) + "\nrejected " +
                       std::to_string(c.rejected) + "\ntimedOut " + std::to_string(c.timedOut) + "\nevicted " +
                       std::to_string(c.evicted) + "\nacceptStalls " + std::to_string(c.acceptStalls) + "\nopen " +
                       std::to_string(c.open) + "\nbackendConnects " + std::to_string(c.backendConnects) + "\n",
                   "text/plain");
  } else {
    reply.set_status_code(status_codes::NotFound);
  }
  // Every reply task is observed: an exception left in one ends the process.
  request.reply(reply).then([](pplx::task<void> t) {
    try {
      t.get();
    } catch (...) {
    }
  });
}

}  // namespace

int main(int argc, char** argv) {
  platform::http::FrontConfig config;
  bool bare = false;
  unsigned long hog = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--https") {
      config.certificateFile = next();
      config.keyFile = next();
    } else if (a == "--https-text") {
      // The same pair handed over as PEM texts.
      std::ifstream cert(next()), key(next());
      std::stringstream certText, keyText;
      certText << cert.rdbuf();
      keyText << key.rdbuf();
      config.certificatePem = certText.str();
      config.keyPem = keyText.str();
    } else if (a == "--max-body") {
      config.limits.maxBodyBytes = std::strtoull(next(), nullptr, 10);
    } else if (a == "--header-timeout") {
      config.limits.headerTimeoutMs = static_cast<DWORD>(std::strtoul(next(), nullptr, 10));
    } else if (a == "--idle-timeout") {
      config.limits.idleTimeoutMs = static_cast<DWORD>(std::strtoul(next(), nullptr, 10));
    } else if (a == "--max-connections") {
      config.limits.maxConnections = static_cast<DWORD>(std::strtoul(next(), nullptr, 10));
    } else if (a == "--nofile") {
      rlimit limit{};
      ::getrlimit(RLIMIT_NOFILE, &limit);
      limit.rlim_cur = std::strtoul(next(), nullptr, 10);
      if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) return 2;
    } else if (a == "--loops") {
      config.limits.loops = static_cast<DWORD>(std::strtoul(next(), nullptr, 10));
    } else if (a == "--reuse-backend") {
      config.limits.reuseBackend = true;
    } else if (a == "--no-reuse-backend") {
      config.limits.reuseBackend = false;
    } else if (a == "--hog") {
      hog = std::strtoul(next(), nullptr, 10);
    } else if (a == "--bare") {
      bare = true;
    }
  }
  std::unique_ptr<platform::http::HttpFront> front;
  std::string url;
  if (bare) {
    // The port the kernel hands out for a moment, then cpprestsdk's own.
    std::unique_ptr<platform::http::HttpFront> probe;
    if (platform::http::HttpFront::Start(platform::http::FrontConfig{}, probe) != 0) return 1;
    url = probe->BackendUrl();
  } else {
    if (const DWORD error = platform::http::HttpFront::Start(config, front)) {
      std::fprintf(stderr, "front: error %u\n", error);
      return 1;
    }
    g_front = front.get();
    url = front->BackendUrl();
  }
  web::http::experimental::listener::http_listener_config listenerConfig;
  if (bare && !config.certificateFile.empty()) {
    // cpprestsdk's own TLS, for comparison with the front's.
    url.replace(0, 4, "https");
    listenerConfig.set_ssl_context_callback([&config](boost::asio::ssl::context& context) {
      context.set_options(boost::asio::ssl::context::default_workarounds | boost::asio::ssl::context::no_tlsv1 |
                          boost::asio::ssl::context::no_tlsv1_1);
      context.use_certificate_chain_file(config.certificateFile);
      context.use_private_key_file(config.keyFile, boost::asio::ssl::context::pem);
    });
  }
  web::http::experimental::listener::http_listener listener(url, listenerConfig);
  listener.support(Answer);
  listener.open().wait();
  // Descriptors taken behind the front's back, after it counted what was
  // open: the process runs out before the front's budget does.
  for (unsigned long i = 0; i < hog; ++i)
    if (::eventfd(0, EFD_CLOEXEC) < 0) break;
  const auto port = bare ? url.substr(url.rfind(':') + 1) : std::to_string(front->Port());
  std::cout << "READY " << port << std::endl;
  char ch;
  while (::read(0, &ch, 1) > 0) {
  }
  front.reset();  // the front goes before the listener it forwards to
  listener.close().wait();
  return 0;
}

// cpprestsdk is built without the sanitizers: its own atomics read as races
// to TSan, as in the service and the listener tests.
extern "C" const char* __tsan_default_suppressions() { return "race:libcpprest.so\n"; }
