// ListenerOpen.h - where a host's cpprest listener is made and opened: its URL and TLS context.
//
// This is the one place that turns a host's URL (and, on https, its
// certificate and key) into a listening socket. Whatever stands in front of
// the cpprest listener for a host is put in here and nowhere else.
#pragma once

#include "platform/http/front.h"

#include <cpprest/http_listener.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The PEM texts of a host's "Certificate File" and "Key File", read once per
// listener build; both empty on http.
struct CHostTls {
  std::wstring certificateFile;
  std::wstring keyFile;
  std::string certificate;  // the chain, PEM
  std::string key;          // PEM
  bool operator==(const CHostTls& other) const = default;
};

// Opens uri's public socket as an HttpFront (limits; TLS 1.2
// and above with tls on https) and the cpprest listener behind it on the
// loopback address the front chose, routes every request to serve and waits
// for the open. The front goes first when the host closes, so no client
// reaches a listener that is closing. Throws std::system_error with the
// front's Win32 code, or what cpprest throws when the open fails.
std::unique_ptr<web::http::experimental::listener::http_listener> OpenHostListener(
    const web::uri& uri, const CHostTls& tls, const platform::http::FrontLimits& limits,
    std::function<void(web::http::http_request)> serve, std::unique_ptr<platform::http::HttpFront>& front);

// Whether request reached the host over https: the front says so in its
// peer header (the listener behind it speaks plain HTTP on loopback).
bool RequestIsHttps(const web::http::http_request& request);

// Checks that certificate and key are PEM texts OpenSSL reads and that the
// key belongs to the certificate; an empty text on success, else what is wrong.
std::string CheckHostTls(const CHostTls& tls);
