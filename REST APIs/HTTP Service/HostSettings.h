// HostSettings.h - CHTTPServer::CHostSettings, what one host's configuration resolves to.
//
// CHTTPServer::CreateListener reads a host's registry values once into one
// CHostSettings (typed, each value with its default) and builds the listener
// from it. The listener keeps it as one immutable object: requests read it
// under the listener's configuration lock and hold its parameters as long as
// they need them; a change builds a new one and swaps it in whole, never
// patching the one in use.
//
// The typed values among the host's parameters (the request limits of the
// host's front and "Query Timeout") are read through one table of names,
// bounds and defaults (HostLimitsFrom); a value outside its bounds keeps the
// default and is named, so the server can report it.
#pragma once

#include "REST APIs/HTTP Service/HTTPServer.h"
#include "REST APIs/HTTP Service/ListenerOpen.h"
#include "REST APIs/HTTP Service/RequestHandler.h"
#include "platform/http/front.h"

#include <cpprest/base_uri.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The typed values of a host's parameters, with their defaults.
struct CHostLimits {
  platform::http::FrontLimits front;                   // "Request Head Limit" ... "Connection Limit"
  DWORD queryTimeoutMs = kDefaultQuerySeconds * 1000;  // "Query Timeout" (seconds)
  bool operator==(const CHostLimits& other) const = default;
};

// A host value for a limit that was not taken: its name and text, the bounds
// it must lie within and the value used instead (the default), in the
// value's own unit.
struct CRejectedLimit {
  std::wstring name;
  std::wstring value;
  std::wstring low;
  std::wstring high;
  std::wstring used;
};

// The limits of a host from its parameters ("Registry$" + the value name):
// "Request Head Limit" and "Request Body Limit" (bytes), "Request Header
// Timeout", "Idle Connection Timeout" and "Query Timeout" (seconds) and
// "Connection Limit". A value that is not a whole number within its bounds
// keeps the default and is added to rejected.
CHostLimits HostLimitsFrom(const std::map<std::wstring, std::wstring>& parameters,
                           std::vector<CRejectedLimit>& rejected);

struct CHTTPServer::CHostSettings {
  using Roots = std::map<std::int32_t, std::wstring>;
  using Mappings = std::map<std::wstring, std::wstring>;
  using Applications = std::map<std::int32_t, std::map<std::wstring, std::wstring>>;
  using Parameters = std::map<std::wstring, std::wstring>;
  // A location's configuration as read (name -> properties), kept to tell
  // whether a rebuilt host changed its locations.
  using LocationSettings = std::map<std::wstring, std::map<std::wstring, std::wstring>>;

  web::uri uri;  // protocol://host:port/ (default https, 443)
  CHostTls tls;  // read only for an https host that listens
  Roots roots;   // access level -> content root, first value of a level kept
  Mappings mappings;          // URL path -> resolved archive folder
  Applications applications;  // level -> "/" + name -> application root
  // "Registry$" + value name, "Directory$" + mapping name -> value; handed to every handler.
  Parameters parameters;
  std::uint64_t defaultRange = 0x100000;  // "Default Range"
  CHostLimits limits;
  LocationSettings locationSettings;

  // Whether a listener built from other may take these over in place (the
  // same URL, roots, TLS files, locations and limits): what else differs
  // changes without a new socket.
  bool SameListener(const CHostSettings& other) const;
};
