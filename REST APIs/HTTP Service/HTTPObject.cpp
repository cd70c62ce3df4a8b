// HTTPObject.cpp - building, parsing dates into and rendering CHTTPObject values.
#include "REST APIs/HTTP Service/HTTPObject.h"

#include <clocale>
#include <ctime>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

namespace {

// The locale the C runtime names for all categories (the classic one unless
// the process changed it); a name the C++ library does not know falls back
// to the classic locale.
std::locale RuntimeLocale() {
  const char* name = std::setlocale(LC_ALL, nullptr);
  try {
    return name != nullptr ? std::locale(name) : std::locale::classic();
  } catch (const std::runtime_error&) {
    return std::locale::classic();
  }
}

std::unique_ptr<CHTTPObject::Base> MakeDate(std::int32_t kind, const std::string& text) {
  using Value = CHTTPObject::Container<CHTTPObject::String>;
  std::tm parsed{};
  std::istringstream in(text);
  in.imbue(RuntimeLocale());
  in >> std::get_time(&parsed, "%Y/%m/%d");
  const char* format = kind == CHTTPObject::Date ? "%F" : kind == CHTTPObject::DateTime ? "%FT%TZ" : nullptr;
  if (in.fail() || format == nullptr) return std::make_unique<Value>(CHTTPObject::Empty, std::string());
  std::ostringstream out;
  out.imbue(std::locale::classic());
  out << std::put_time(&parsed, format);
  return std::make_unique<Value>(kind, out.str());
}

}  // namespace

CHTTPObject::CHTTPObject(std::string name, const String& value)
    : m_name(std::move(name)), m_value(std::make_unique<Container<String>>(value)) {}

CHTTPObject::CHTTPObject(std::string name, std::int32_t kind, const std::string& text)
    : m_name(std::move(name)), m_value(MakeDate(kind, text)) {}

CHTTPObject::CHTTPObject(std::string name, std::unique_ptr<Base> value)
    : m_name(std::move(name)), m_value(std::move(value)) {}

CHTTPObject::~CHTTPObject() = default;

std::string CHTTPObject::RenderXML() const {
  const std::string inner = m_value ? m_value->XML() : std::string();
  if (m_name.empty()) return inner;
  return "<" + m_name + ">" + inner + "</" + m_name + ">";
}

std::string CHTTPObject::RenderJSON() const {
  if (!m_value) return {};
  if (m_value->m_kind != Members) return "\"" + m_name + "\":" + m_value->JSON();
  if (m_name.empty()) return "{" + m_value->JSON() + "}";
  return "{\"" + m_name + "\":{" + m_value->JSON() + "}}";
}

std::string CHTTPObject::RenderJSONMember() const {
  if (!m_value) return {};
  if (m_value->m_kind != Members) return RenderJSON();
  return "\"" + m_name + "\":{" + m_value->JSON() + "}";
}

std::string CHTTPObject::String::XML() const { return *this; }

std::string CHTTPObject::String::JSON() const {
  if (m_kind == Raw) return *this;
  return "\"" + static_cast<const std::string&>(*this) + "\"";
}

std::string CHTTPObject::List::XML() const {
  std::string out;
  for (const CHTTPObject& member : *this) out += member.RenderXML();
  return out;
}

std::string CHTTPObject::List::JSON() const {
  std::string out;
  bool first = true;
  for (const CHTTPObject& member : *this) {
    if (!first) out += ", ";
    first = false;
    out += member.RenderJSONMember();
  }
  return out;
}

CHTTPObject::Complex<CHTTPObject>::Complex()
    : CHTTPObject(std::string(), std::make_unique<CHTTPObject::Container<CHTTPObject::List>>()) {}

CHTTPObject::List& CHTTPObject::Complex<CHTTPObject>::BuiltList() {
  return static_cast<CHTTPObject::List&>(*m_value);
}

void CHTTPObject::Complex<CHTTPObject>::AddMember(CHTTPObject&& member) {
  CHTTPObject::List& members = BuiltList();
  if (members.size() >= members.max_size()) throw std::length_error("list too long");
  members.push_back(std::move(member));
}

void CHTTPObject::Complex<CHTTPObject>::AddMemberFront(CHTTPObject&& member) {
  CHTTPObject::List& members = BuiltList();
  if (members.size() >= members.max_size()) throw std::length_error("list too long");
  members.push_front(std::move(member));
}
