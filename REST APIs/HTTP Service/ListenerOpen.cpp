// ListenerOpen.cpp - the cpprest listener of a host: its configuration, TLS context and open.
#include "REST APIs/HTTP Service/ListenerOpen.h"

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
    const web::uri& uri, const CHostTls& tls, std::function<void(web::http::http_request)> serve,
    std::unique_ptr<platform::http::HttpFront>& front) {
  platform::http::FrontConfig config;
  config.address = uri.host();
  config.port = static_cast<WORD>(uri.port());
  if (uri.scheme() == "https") {
    config.certificatePem = tls.certificate;
    config.keyPem = tls.key;
  }
  std::unique_ptr<platform::http::HttpFront> started;
  if (const DWORD rc = platform::http::HttpFront::Start(config, started))
    throw std::system_error(static_cast<int>(rc), std::system_category(), "the public socket of " + uri.to_string());
  auto listener = std::make_unique<web::http::experimental::listener::http_listener>(
      web::uri(started->BackendUrl()), web::http::experimental::listener::http_listener_config{});
  // cpprest answers OPTIONS and TRACE itself unless they are bound by name.
  listener->support(web::http::methods::OPTIONS, serve);
  listener->support(web::http::methods::TRCE, serve);
  listener->support(std::move(serve));
  listener->open().wait();
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
