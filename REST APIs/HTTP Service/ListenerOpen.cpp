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

// One host value for a request limit: where it goes in FrontLimits, its
// bounds and how many of the field's units one unit of the value is.
struct LimitValue {
  const wchar_t* name;
  std::uint64_t low;
  std::uint64_t high;
  std::uint64_t scale;  // 1000 for seconds into milliseconds
  void (*set)(platform::http::FrontLimits&, std::uint64_t);
  std::uint64_t (*get)(const platform::http::FrontLimits&);
};

// The bounds keep a typing slip from opening the service up (a body of
// gigabytes read into memory, a silent client kept for days) or shutting it
// down (a head too short for a browser's cookies, a handful of connections).
const LimitValue kLimitValues[] = {
    {L"Request Head Limit", 1024, 1024 * 1024, 1,
     [](platform::http::FrontLimits& l, std::uint64_t v) { l.maxHeadBytes = static_cast<std::size_t>(v); },
     [](const platform::http::FrontLimits& l) { return static_cast<std::uint64_t>(l.maxHeadBytes); }},
    {L"Request Body Limit", 1024, 1024ull * 1024 * 1024, 1,
     [](platform::http::FrontLimits& l, std::uint64_t v) { l.maxBodyBytes = v; },
     [](const platform::http::FrontLimits& l) { return l.maxBodyBytes; }},
    {L"Request Header Timeout", 1, 600, 1000,
     [](platform::http::FrontLimits& l, std::uint64_t v) { l.headerTimeoutMs = static_cast<DWORD>(v); },
     [](const platform::http::FrontLimits& l) { return static_cast<std::uint64_t>(l.headerTimeoutMs); }},
    {L"Idle Connection Timeout", 1, 3600, 1000,
     [](platform::http::FrontLimits& l, std::uint64_t v) { l.idleTimeoutMs = static_cast<DWORD>(v); },
     [](const platform::http::FrontLimits& l) { return static_cast<std::uint64_t>(l.idleTimeoutMs); }},
    {L"Connection Limit", 16, 65536, 1,
     [](platform::http::FrontLimits& l, std::uint64_t v) { l.maxConnections = static_cast<DWORD>(v); },
     [](const platform::http::FrontLimits& l) { return static_cast<std::uint64_t>(l.maxConnections); }},
};

// A whole decimal number of at most 19 digits (no sign, no blanks).
bool ParseWhole(const std::wstring& text, std::uint64_t& value) {
  if (text.empty() || text.size() > 19) return false;
  value = 0;
  for (wchar_t c : text) {
    if (c < L'0' || c > L'9') return false;
    value = value * 10 + static_cast<std::uint64_t>(c - L'0');
  }
  return true;
}

}  // namespace

platform::http::FrontLimits HostLimitsFrom(const std::map<std::wstring, std::wstring>& parameters,
                                           std::vector<CRejectedLimit>& rejected) {
  platform::http::FrontLimits limits;
  for (const LimitValue& row : kLimitValues) {
    const auto found = parameters.find(std::wstring(L"Registry$") + row.name);
    if (found == parameters.end()) continue;
    std::uint64_t value = 0;
    if (ParseWhole(found->second, value) && value >= row.low && value <= row.high) {
      row.set(limits, value * row.scale);
      continue;
    }
    rejected.push_back({row.name, found->second, platform::FormatW(L"%I64u", row.low),
                        platform::FormatW(L"%I64u", row.high), platform::FormatW(L"%I64u", row.get(limits) / row.scale)});
  }
  return limits;
}

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
