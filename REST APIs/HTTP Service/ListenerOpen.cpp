// ListenerOpen.cpp - the cpprest listener of a host: its configuration, TLS context and open.
#include "REST APIs/HTTP Service/ListenerOpen.h"

#include "platform/base/errors.h"
#include "platform/base/format.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <stdexcept>
#include <system_error>

namespace {

// The first error OpenSSL queued, as text (and the queue emptied).
std::string OpenSslError(const char* what) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  char text[256] = {};
  if (code != 0) ERR_error_string_n(code, text, sizeof text);
  return std::string(what) + (code != 0 ? std::string(": ") + text : std::string());
}

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};

std::unique_ptr<BIO, BioFree> MemoryBio(const std::string& text) {
  return std::unique_ptr<BIO, BioFree>(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

}  // namespace

std::string CheckHostTls(const CHostTls& tls) {
  auto certBio = MemoryBio(tls.certificate);
  std::unique_ptr<X509, X509Free> cert(PEM_read_bio_X509(certBio.get(), nullptr, nullptr, nullptr));
  if (!cert) return OpenSslError("the certificate is no PEM certificate");
  auto keyBio = MemoryBio(tls.key);
  std::unique_ptr<EVP_PKEY, KeyFree> key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, nullptr, nullptr));
  if (!key) return OpenSslError("the key is no PEM private key");
  if (X509_check_private_key(cert.get(), key.get()) != 1) return OpenSslError("the key does not belong to the certificate");
  return {};
}

std::unique_ptr<web::http::experimental::listener::http_listener> OpenHostListener(
    const web::uri& uri, const CHostTls& tls, const platform::http::FrontLimits& limits,
    std::function<void(web::http::http_request)> serve, std::unique_ptr<platform::http::HttpFront>& front) {
  platform::http::FrontConfig config;
  config.limits = limits;
  config.address = uri.host();
  config.port = static_cast<WORD>(uri.port());
  // A host named by a DNS name (or a hosts-file name) listens on each of its
  // addresses, looked up now, as the host is built; a name that does not
  // resolve fails this host alone.
  if (const DWORD rc = platform::http::ResolveListenAddresses(uri.host(), config.addresses))
    throw std::system_error(static_cast<int>(rc), platform::Win32Category(),
                            "the host name of " + uri.to_string() + " cannot be resolved");
  if (uri.scheme() == "https") {
    config.certificatePem = tls.certificate;
    config.keyPem = tls.key;
  }
  std::unique_ptr<platform::http::HttpFront> started;
  // Bound now, accepting once the listener is open: a client that comes
  // while a host is rebuilt waits in the backlog instead of getting 502.
  if (const DWORD rc = platform::http::HttpFront::Bind(config, started))
    throw std::system_error(static_cast<int>(rc), platform::Win32Category(), "the public socket of " + uri.to_string());
  auto listener = std::make_unique<web::http::experimental::listener::http_listener>(
      web::uri(started->BackendUrl()), web::http::experimental::listener::http_listener_config{});
  // The loopback port is open to every local process: only what came
  // through a front of this process is served, and the proof goes no
  // further (not into traces, not to handlers).
  auto guarded = [serve = std::move(serve)](web::http::http_request request) {
    auto& headers = request.headers();
    const auto proof = headers.find(platform::http::kFrontHeader);
    const bool fromFront = proof != headers.end() && platform::http::IsFromFront(proof->second);
    headers.remove(platform::http::kFrontHeader);
    if (!fromFront) {
      request.reply(web::http::status_codes::Forbidden).then([](pplx::task<void> sent) {
        try {
          sent.get();
        } catch (...) {
        }
      });
      return;
    }
    serve(std::move(request));
  };
  // cpprest answers OPTIONS and TRACE itself unless they are bound by name.
  listener->support(web::http::methods::OPTIONS, guarded);
  listener->support(web::http::methods::TRCE, guarded);
  listener->support(std::move(guarded));
  listener->open().wait();
  started->Admit();
  front = std::move(started);
  return listener;
}

bool RequestIsHttps(const web::http::http_request& request) {
  const auto& headers = request.headers();
  const auto found = headers.find(platform::http::kPeerHeader);
  if (found == headers.end()) return request.absolute_uri().scheme() == "https";
  std::string address, scheme;
  WORD port = 0;
  return platform::http::ParsePeerHeader(found->second, address, port, scheme) && scheme == "https";
}
