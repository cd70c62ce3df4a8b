// Location.h - CHTTPServer::CLocation, one configured location of a host.
//
// A location is read from a subkey of a host's "Locations" key: its name (the
// subkey name) and its values as properties. It is filled while the host's
// configuration is read and only read afterwards, so lookups take no lock.
#pragma once

#include "REST APIs/HTTP Service/HTTPServer.h"

#include <map>
#include <string>

class CHTTPServer::CLocation {
 public:
  class CInstance;  // a built-in handler hosted by a location

  explicit CLocation(std::wstring name = {}) : m_Name(std::move(name)) {}

  // The value stored under exactly name (case-sensitive), or an empty string.
  const std::wstring& GetProperty(std::wstring name) const;

  std::wstring m_Name;
  // Value name -> value text; the first value of a name is kept.
  std::map<std::wstring, std::wstring> m_Properties;
};
