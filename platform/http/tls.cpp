// tls.cpp - the front's TLS: one server context per front, non-blocking reads and writes.
//
// The certificate chain and key are PEM files or texts read once when the
// front starts; a new pair takes a new front. TLS 1.2 is the oldest version
// offered, renegotiation is off (a client could make the server pay for
// handshakes at will) and idle connections give their record buffers back.

#include "platform/http/front_internal.h"
#include "platform/base/errors.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>

namespace platform::http {
namespace {

DWORD CheckReadable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Win32FromErrnoForPath(errno, path);
  return S_ISREG(st.st_mode) ? ERROR_SUCCESS : ERROR_INVALID_DATA;
}

// The chain (leaf first) and key from PEM texts into ctx.
bool UsePemTexts(SSL_CTX* ctx, const std::string& chain, const std::string& key) {
  BIO* chainBio = BIO_new_mem_buf(chain.data(), static_cast<int>(chain.size()));
  BIO* keyBio = BIO_new_mem_buf(key.data(), static_cast<int>(key.size()));
  bool ok = chainBio && keyBio;
  if (ok) {
    X509* leaf = PEM_read_bio_X509_AUX(chainBio, nullptr, nullptr, nullptr);
    ok = leaf && SSL_CTX_use_certificate(ctx, leaf) == 1;
    X509_free(leaf);
    while (ok) {
      X509* link = PEM_read_bio_X509(chainBio, nullptr, nullptr, nullptr);
      if (!link) break;  // the end of the text
      if (SSL_CTX_add0_chain_cert(ctx, link) != 1) {
        X509_free(link);
        ok = false;
      }
    }
  }
  if (ok) {
    EVP_PKEY* pkey = PEM_read_bio_PrivateKey(keyBio, nullptr, nullptr, nullptr);
    ok = pkey && SSL_CTX_use_PrivateKey(ctx, pkey) == 1;
    EVP_PKEY_free(pkey);
  }
  BIO_free(chainBio);
  BIO_free(keyBio);
  return ok;
}

}  // namespace

DWORD HttpFront::Impl::OpenTls() {
  const bool texts = !m_config.certificatePem.empty() || !m_config.keyPem.empty();
  if (texts ? (m_config.certificatePem.empty() || m_config.keyPem.empty())
            : (m_config.certificateFile.empty() || m_config.keyFile.empty()))
    return ERROR_INVALID_PARAMETER;
  if (!texts) {
    if (const DWORD error = CheckReadable(m_config.certificateFile)) return error;
    if (const DWORD error = CheckReadable(m_config.keyFile)) return error;
  }
  ERR_clear_error();
  m_tls = SSL_CTX_new(TLS_server_method());
  if (!m_tls) return ERROR_NOT_ENOUGH_MEMORY;
  SSL_CTX_set_min_proto_version(m_tls, TLS1_2_VERSION);
  SSL_CTX_set_options(m_tls, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                                 SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_mode(m_tls, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
  const bool loaded = texts ? UsePemTexts(m_tls, m_config.certificatePem, m_config.keyPem)
                           : SSL_CTX_use_certificate_chain_file(m_tls, m_config.certificateFile.c_str()) == 1 &&
                                 SSL_CTX_use_PrivateKey_file(m_tls, m_config.keyFile.c_str(), SSL_FILETYPE_PEM) == 1;
  if (!loaded || SSL_CTX_check_private_key(m_tls) != 1) {
    ERR_clear_error();
    return ERROR_INVALID_DATA;
  }
  return ERROR_SUCCESS;
}

long HttpFront::Impl::ClientRecv(Connection& c, char* data, std::size_t size) {
  if (!c.ssl) {
    const auto n = ::recv(c.fd, data, size, 0);
    if (n >= 0) return n;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -1 : -2;
  }
  ERR_clear_error();
  std::size_t done = 0;
  c.tlsReadWantsWrite = false;
  if (SSL_read_ex(c.ssl, data, size, &done) == 1) return static_cast<long>(done);
  switch (SSL_get_error(c.ssl, 0)) {
    case SSL_ERROR_WANT_READ:
      return -1;
    case SSL_ERROR_WANT_WRITE:
      c.tlsReadWantsWrite = true;
      return -1;
    case SSL_ERROR_ZERO_RETURN:
      return 0;
    default:
      return -2;
  }
}

long HttpFront::Impl::ClientSend(Connection& c, const char* data, std::size_t size) {
  if (!c.ssl) {
    const auto n = ::send(c.fd, data, size, MSG_NOSIGNAL);
    if (n >= 0) return n;
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? -1 : -2;
  }
  ERR_clear_error();
  std::size_t done = 0;
  c.tlsWriteWantsRead = false;
  if (SSL_write_ex(c.ssl, data, size, &done) == 1) return static_cast<long>(done);
  switch (SSL_get_error(c.ssl, 0)) {
    case SSL_ERROR_WANT_WRITE:
      return -1;
    case SSL_ERROR_WANT_READ:
      c.tlsWriteWantsRead = true;
      return -1;
    default:
      return -2;
  }
}

void HttpFront::Impl::ShutdownTls(Connection& c) {
  if (!c.ssl || c.handshaking) return;
  ERR_clear_error();
  // One close_notify, not waiting for the client's; a full socket just skips it.
  SSL_shutdown(c.ssl);
  ERR_clear_error();
}

}  // namespace platform::http
