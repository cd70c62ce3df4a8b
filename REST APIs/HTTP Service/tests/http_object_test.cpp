// http_object_test.cpp - the value model's kinds, dates, lists and both renderings.
#include "REST APIs/HTTP Service/HTTPObject.h"

#include <gtest/gtest.h>

#include <cpprest/json.h>

#include <clocale>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Kind = std::int32_t;

class Builder : public CHTTPObject::Complex<CHTTPObject> {
 public:
  using CHTTPObject::Complex<CHTTPObject>::AddMember;
};

CHTTPObject Text(const std::string& name, Kind kind, const std::string& text) {
  return CHTTPObject(name, CHTTPObject::String(kind, text));
}

struct MemberCase {
  const char* name;
  CHTTPObject (*make)();
  const char* xml;
  const char* json;
};

class MemberForms : public ::testing::TestWithParam<MemberCase> {};

TEST_P(MemberForms, RenderAsWritten) {
  const CHTTPObject object = GetParam().make();
  EXPECT_EQ(object.RenderXML(), GetParam().xml);
  EXPECT_EQ(object.RenderJSON(), GetParam().json);
}

const MemberCase kMemberCases[] = {
    {"RawIsUnquoted", [] { return Text("Count", CHTTPObject::Raw, "42"); }, "<Count>42</Count>", "\"Count\":42"},
    {"QuotedKeepsQuotesAndBackslashes", [] { return Text("Q", CHTTPObject::Quoted, "a\"b\\c"); },
     "<Q>a\"b\\c</Q>", "\"Q\":\"a\"b\\c\""},
    {"UnnamedStringHasEmptyKey", [] { return Text("", CHTTPObject::Quoted, "v"); }, "v", "\"\":\"v\""},
    {"DateTime", [] { return CHTTPObject("D", CHTTPObject::DateTime, "2024/10/28"); },
     "<D>2024-10-28T00:00:00Z</D>", "\"D\":\"2024-10-28T00:00:00Z\""},
    {"Date", [] { return CHTTPObject("D", CHTTPObject::Date, "2024/10/28 and more"); }, "<D>2024-10-28</D>",
     "\"D\":\"2024-10-28\""},
    {"DateThatDoesNotParseIsEmpty", [] { return CHTTPObject("D", CHTTPObject::Date, "28.10.2024"); }, "<D></D>",
     "\"D\":\"\""},
    {"DateOfAnotherKindIsEmpty", [] { return CHTTPObject("D", CHTTPObject::Raw, "2024/10/28"); }, "<D></D>",
     "\"D\":\"\""},
    {"EmptyUnnamedObject", [] { return Builder().Take(); }, "", "{}"},
    {"TwoMembers",
     [] {
       Builder b;
       b.AddMember(Text("A", CHTTPObject::Quoted, "1"));
       b.AddMember(Text("B", CHTTPObject::Raw, "2"));
       return b.Take();
     },
     "<A>1</A><B>2</B>", "{\"A\":\"1\", \"B\":2}"},
    {"FrontInsertion",
     [] {
       Builder b;
       b.AddMember(Text("B", CHTTPObject::Raw, "2"));
       b.AddMemberFront(Text("A", CHTTPObject::Raw, "1"));
       return b.Take();
     },
     "<A>1</A><B>2</B>", "{\"A\":1, \"B\":2}"},
    {"NestedNamedList",
     [] {
       Builder inner;
       inner.AddMember(Text("Y", CHTTPObject::Raw, "1"));
       CHTTPObject x = inner.Take();
       Builder outer;
       outer.AddMember(Text("Version", CHTTPObject::Quoted, "7.28"));
       outer.AddMember(CHTTPObject(std::move(x)));
       return outer.Take();
     },
     "<Version>7.28</Version><Y>1</Y>", "{\"Version\":\"7.28\", \"\":{\"Y\":1}}"},
};

INSTANTIATE_TEST_SUITE_P(HTTPObject, MemberForms, ::testing::ValuesIn(kMemberCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A named list inside a list: the enclosing object stays valid JSON.
class NamedList : public CHTTPObject::Complex<CHTTPObject> {
 public:
  explicit NamedList(std::string name) { m_name = std::move(name); }
};

TEST(HTTPObject, NestedNamedListsRenderAsValidJSON) {
  NamedList inner("X");
  inner.AddMember(Text("Y", CHTTPObject::Quoted, "deep"));
  NamedList middle("M");
  middle.AddMember(inner.Take());
  Builder outer;
  outer.AddMember(Text("Version", CHTTPObject::Quoted, "7.28"));
  outer.AddMember(middle.Take());
  const CHTTPObject object = outer.Take();
  const std::string json = object.RenderJSON();
  EXPECT_EQ(json, "{\"Version\":\"7.28\", \"M\":{\"X\":{\"Y\":\"deep\"}}}");
  const auto parsed = web::json::value::parse(json);
  EXPECT_EQ(parsed.at("M").at("X").at("Y").as_string(), "deep");
  EXPECT_EQ(object.RenderXML(), "<Version>7.28</Version><M><X><Y>deep</Y></X></M>");

  // The served object itself, when named, is wrapped once more.
  NamedList top("Top");
  top.AddMember(Text("A", CHTTPObject::Raw, "1"));
  EXPECT_EQ(top.Take().RenderJSON(), "{\"Top\":{\"A\":1}}");
}

TEST(HTTPObject, RenderingDoesNotChangeAndMovingTransfersTheValue) {
  Builder b;
  b.AddMember(Text("A", CHTTPObject::Quoted, "1"));
  CHTTPObject object = b.Take();
  EXPECT_EQ(object.RenderJSON(), object.RenderJSON());
  CHTTPObject moved = std::move(object);
  EXPECT_EQ(moved.RenderXML(), "<A>1</A>");
  EXPECT_EQ(object.GetValue(), nullptr);  // NOLINT: the moved-from state is specified
  EXPECT_EQ(object.RenderXML(), "");
}

TEST(HTTPObject, DatesParseInTheRuntimeLocaleAndIgnoreLaterText) {
  const std::string before = std::setlocale(LC_ALL, nullptr);
  if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
  EXPECT_EQ(CHTTPObject("D", CHTTPObject::DateTime, "1999/01/02T10:11").RenderXML(), "<D>1999-01-02T00:00:00Z</D>");
  EXPECT_EQ(CHTTPObject("D", CHTTPObject::Date, "").RenderJSON(), "\"D\":\"\"");
  std::setlocale(LC_ALL, before.c_str());
}

}  // namespace
