// HTTPObject.h - CHTTPObject, a small tree of named values that renders itself as XML or JSON.
//
// A CHTTPObject is a name and an owned value: a string of one of five kinds
// or a list of named members. Rendering writes names and texts exactly as
// stored (nothing is escaped) and adds no separator, indentation or line
// break beyond the JSON list joiner ", ". Builders (CHTTPObject::Complex)
// append members to the object they build and hand it back by moving it out.
// Objects are plain values: a built object may be rendered from several
// threads at once, since rendering only reads.
#pragma once

#include <cstdint>
#include <list>
#include <memory>
#include <string>

class CHTTPObject {
 public:
  // The kinds of a value.
  static constexpr std::int32_t Raw = 1;       // JSON unquoted (numbers, literals)
  static constexpr std::int32_t Quoted = 2;    // JSON between double quotes
  static constexpr std::int32_t Date = 3;      // "%F"
  static constexpr std::int32_t DateTime = 4;  // "%FT%TZ"
  static constexpr std::int32_t Members = 5;   // a list of named members
  static constexpr std::int32_t Empty = 6;     // a date that did not parse

  class Base;
  class String;
  class List;
  template <class T>
  class Container;
  template <class T>
  class Complex;

  // A named string value (a copy of value).
  CHTTPObject(std::string name, const String& value);
  // A date value: text "%Y/%m/%d" (anything after the date ignored) written
  // as kind Date or DateTime; text that does not parse, or another kind,
  // gives an Empty value.
  CHTTPObject(std::string name, std::int32_t kind, const std::string& text);
  CHTTPObject(CHTTPObject&&) noexcept = default;
  CHTTPObject& operator=(CHTTPObject&&) noexcept = default;
  ~CHTTPObject();

  const std::string& GetName() const { return m_name; }
  // Null only in a moved-from object.
  const Base* GetValue() const { return m_value.get(); }

  // The member forms: how the object is written as a list member and as the
  // object a vector handler serves.
  std::string RenderXML() const;
  std::string RenderJSON() const;
  // The JSON of the object inside a list: a list member is written as
  // "name":{...}, so that a nested list keeps the enclosing object valid.
  std::string RenderJSONMember() const;

 protected:
  CHTTPObject(std::string name, std::unique_ptr<Base> value);

  std::string m_name;
  std::unique_ptr<Base> m_value;
};

// A value; always destroyed as its own class.
class CHTTPObject::Base {
 public:
  explicit Base(std::int32_t kind) : m_kind(kind) {}
  virtual ~Base() = default;
  virtual std::string XML() const = 0;
  virtual std::string JSON() const = 0;

  std::int32_t m_kind;
};

class CHTTPObject::String : public CHTTPObject::Base, public std::string {
 public:
  String(std::int32_t kind, std::string text) : Base(kind), std::string(std::move(text)) {}
  std::string XML() const override;
  std::string JSON() const override;
};

class CHTTPObject::List : public CHTTPObject::Base, public std::list<CHTTPObject> {
 public:
  List() : Base(Members) {}
  // The members' XML, concatenated.
  std::string XML() const override;
  // The members' JSON joined by ", ".
  std::string JSON() const override;
};

// The concrete heap value of a CHTTPObject.
template <class T>
class CHTTPObject::Container : public T {
 public:
  using T::T;
  Container() = default;
  explicit Container(const T& value) : T(value) {}
};

// The base of object builders: derive, AddMember, then Take the object.
template <>
class CHTTPObject::Complex<CHTTPObject> : public CHTTPObject::Container<CHTTPObject::List>, public CHTTPObject {
 public:
  Complex();
  // Appends (or, AddMemberFront, prepends) a member to the object being
  // built; a full list raises std::length_error("list too long").
  void AddMember(CHTTPObject&& member);
  void AddMemberFront(CHTTPObject&& member);
  // Moves the built object out; the builder is left empty.
  CHTTPObject Take() { return std::move(static_cast<CHTTPObject&>(*this)); }

 private:
  CHTTPObject::List& BuiltList();
};
