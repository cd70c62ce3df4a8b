// Location.cpp - the property lookup of a configured location.
#include "REST APIs/HTTP Service/Location.h"

const std::wstring& CHTTPServer::CLocation::GetProperty(std::wstring name) const {
  // One shared empty answer, made once (thread-safe) and never destroyed.
  static const std::wstring* const empty = new std::wstring();
  const auto found = m_Properties.find(name);
  return found != m_Properties.end() ? found->second : *empty;
}
