// ListenerOpen.cpp - the cpprest listener of a host: its configuration, TLS context and open.
#include "REST APIs/HTTP Service/ListenerOpen.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <boost/asio/ssl.hpp>

#include <stdexcept>

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
    const web::uri& uri, const CHostTls& tls, std::function<void(web::http::http_request)> serve) {
  web::http::experimental::listener::http_listener_config config;
  if (uri.scheme() == "https") {
    // The texts are copied into the callback: cpprest calls it as it opens.
    config.set_ssl_context_callback([tls](boost::asio::ssl::context& context) {
      context.set_options(boost::asio::ssl::context::default_workarounds | boost::asio::ssl::context::no_sslv2 |
                          boost::asio::ssl::context::no_sslv3 | boost::asio::ssl::context::single_dh_use);
      if (SSL_CTX_set_min_proto_version(context.native_handle(), TLS1_2_VERSION) != 1)
        throw std::runtime_error(OpenSslError("TLS 1.2 cannot be made the lowest version"));
      context.use_certificate_chain(boost::asio::buffer(tls.certificate.data(), tls.certificate.size()));
      context.use_private_key(boost::asio::buffer(tls.key.data(), tls.key.size()), boost::asio::ssl::context::pem);
    });
  }
  auto listener = std::make_unique<web::http::experimental::listener::http_listener>(uri, config);
  // cpprest answers OPTIONS and TRACE itself unless they are bound by name.
  listener->support(web::http::methods::OPTIONS, serve);
  listener->support(web::http::methods::TRCE, serve);
  listener->support(std::move(serve));
  listener->open().wait();
  return listener;
}
