// parse_test.cpp - what the front lets through to the listener, head by head and chunk by chunk.
#include "platform/http/front.h"
#include "platform/http/parse.h"

#include <gtest/gtest.h>

#include <string>

using platform::http_detail::BodyKind;
using platform::http_detail::ChunkedScanner;
using platform::http_detail::FindHeadEnd;
using platform::http_detail::ParseRequestHead;
using platform::http_detail::ParseResponseHead;
using platform::http_detail::RequestHead;
using platform::http_detail::ResponseHead;

namespace {

struct HeadRow {
  const char* name;
  std::string head;
  int status;  // 0: accepted
  BodyKind body;
  std::uint64_t length;
  bool keepAlive;
};

const HeadRow kHeads[] = {
    {"plain GET", "GET / HTTP/1.1\r\nHost: a\r\n\r\n", 0, BodyKind::None, 0, true},
    {"bare LF lines", "GET / HTTP/1.1\nHost: a\n\n", 0, BodyKind::None, 0, true},
    {"sized POST", "POST /x HTTP/1.1\r\nHost: a\r\nContent-Length: 12\r\n\r\n", 0, BodyKind::Length, 12, true},
    {"length said twice alike", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 7, 7\r\n\r\n", 0, BodyKind::Length, 7, true},
    {"zero length", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 0\r\n\r\n", 0, BodyKind::None, 0, true},
    {"chunked", "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", 0, BodyKind::Chunked, 0, true},
    {"chunked any case", "POST / HTTP/1.1\r\nHost: a\r\ntransfer-encoding: Chunked\r\n\r\n", 0, BodyKind::Chunked, 0, true},
    {"close asked", "GET / HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\n", 0, BodyKind::None, 0, false},
    {"HTTP/1.0 closes", "GET / HTTP/1.0\r\n\r\n", 0, BodyKind::None, 0, false},
    {"HTTP/1.0 keep-alive", "GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", 0, BodyKind::None, 0, true},
    {"two lengths differ", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\n", 400, {}, 0, false},
    {"list of lengths differs", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5, 6\r\n\r\n", 400, {}, 0, false},
    {"length and chunked", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n", 400, {}, 0, false},
    {"signed length", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: +5\r\n\r\n", 400, {}, 0, false},
    {"length past 64 bits", "POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 99999999999999999999\r\n\r\n", 400, {}, 0, false},
    {"gzip coding", "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\n\r\n", 501, {}, 0, false},
    {"chunked not last", "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", 501, {}, 0, false},
    {"chunked twice", "POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked, chunked\r\n\r\n", 501, {}, 0, false},
    {"coding on HTTP/1.0", "POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", 400, {}, 0, false},
    {"no Host on 1.1", "GET / HTTP/1.1\r\n\r\n", 400, {}, 0, false},
    {"two Hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400, {}, 0, false},
    {"folded line", "GET / HTTP/1.1\r\nHost: a\r\nX-A: 1\r\n 2\r\n\r\n", 400, {}, 0, false},
    {"space before colon", "GET / HTTP/1.1\r\nHost : a\r\n\r\n", 400, {}, 0, false},
    {"no colon", "GET / HTTP/1.1\r\nHost a\r\n\r\n", 400, {}, 0, false},
    {"lone CR in value", "GET / HTTP/1.1\r\nHost: a\rb\r\n\r\n", 400, {}, 0, false},
    {"NUL in value", std::string("GET / HTTP/1.1\r\nHost: a\0b\r\n\r\n", 29), 400, {}, 0, false},
    {"two spaces in request line", "GET  / HTTP/1.1\r\nHost: a\r\n\r\n", 400, {}, 0, false},
    {"space in target", "GET /a b HTTP/1.1\r\nHost: a\r\n\r\n", 400, {}, 0, false},
    {"HTTP/2.0", "GET / HTTP/2.0\r\nHost: a\r\n\r\n", 505, {}, 0, false},
    {"not HTTP", "GET / FTP/1.1\r\nHost: a\r\n\r\n", 400, {}, 0, false},
};

TEST(HttpHeadTest, RowsAreAcceptedOrRefusedWithTheirStatus) {
  for (const auto& row : kHeads) {
    SCOPED_TRACE(row.name);
    RequestHead head;
    const std::string text = row.head;
    ASSERT_EQ(FindHeadEnd(text, 0), text.size());
    const int status = ParseRequestHead(text, "X-Vantrel-Peer", "192.0.2.1:1;proto=http", head);
    EXPECT_EQ(status, row.status);
    if (status != 0 || row.status != 0) continue;
    EXPECT_EQ(head.body, row.body);
    EXPECT_EQ(head.length, row.length);
    EXPECT_EQ(head.keepAlive, row.keepAlive);
  }
}

TEST(HttpHeadTest, ForwardedHeadCarriesOnlyTheFrontsPeerHeader) {
  const std::string text =
      "GET /p?q=1 HTTP/1.1\nHost:  a \nX-Vantrel-Peer: 6.6.6.6:1;proto=https\nx-vantrel-PEER: forged\nCookie: c=1\n\n";
  RequestHead head;
  ASSERT_EQ(ParseRequestHead(text, "X-Vantrel-Peer", "192.0.2.1:1;proto=http", head), 0);
  EXPECT_EQ(head.forward,
            "GET /p?q=1 HTTP/1.1\r\nHost: a\r\nCookie: c=1\r\nX-Vantrel-Peer: 192.0.2.1:1;proto=http\r\n\r\n");
}

TEST(HttpHeadTest, ExpectContinueIsTheFrontsToAnswer) {
  struct Row {
    const char* name;
    const char* head;
    bool expect;
  };
  const Row rows[] = {
      {"sized body", "POST / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\nContent-Length: 9\r\n\r\n", true},
      {"chunked body", "POST / HTTP/1.1\r\nHost: a\r\nExpect: 100-Continue\r\nTransfer-Encoding: chunked\r\n\r\n", true},
      {"no body", "GET / HTTP/1.1\r\nHost: a\r\nExpect: 100-continue\r\n\r\n", false},
      {"HTTP/1.0", "POST / HTTP/1.0\r\nExpect: 100-continue\r\nContent-Length: 9\r\n\r\n", false},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    RequestHead head;
    ASSERT_EQ(ParseRequestHead(row.head, "X-Vantrel-Peer", "p", head), 0);
    EXPECT_EQ(head.expectContinue, row.expect);
    EXPECT_EQ(head.forward.find("Expect"), std::string::npos);
  }
}

TEST(HttpHeadTest, HeadEndIsFoundAcrossReads) {
  const std::string text = "GET / HTTP/1.1\r\nHost: a\r\n\r\nnext";
  // Fed in two pieces that split the final CRLF CRLF, then whole.
  EXPECT_EQ(FindHeadEnd(std::string_view(text).substr(0, 25), 0), 0u);
  EXPECT_EQ(FindHeadEnd(text, 25), text.size() - 4);
  EXPECT_EQ(FindHeadEnd("GET / HTTP/1.1\r\nHost: a\r\n", 0), 0u);
}

struct ReplyRow {
  const char* name;
  const char* head;
  bool toHead;
  BodyKind body;
  std::uint64_t length;
  bool keepAlive;
};

const ReplyRow kReplies[] = {
    {"sized", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\n", false, BodyKind::Length, 5, true},
    {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", false, BodyKind::Chunked, 0, true},
    {"no framing ends at close", "HTTP/1.1 200 OK\r\n\r\n", false, BodyKind::UntilClose, 0, false},
    {"204 has no body", "HTTP/1.1 204 No Content\r\n\r\n", false, BodyKind::None, 0, true},
    {"304 has no body", "HTTP/1.1 304 Not Modified\r\nContent-Length: 9\r\n\r\n", false, BodyKind::None, 0, true},
    {"reply to HEAD", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\n", true, BodyKind::None, 0, true},
    {"listener closes", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nConnection: close\r\n\r\n", false, BodyKind::Length, 1, false},
    {"HTTP/1.0 reply", "HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\n", false, BodyKind::Length, 1, false},
};

TEST(HttpHeadTest, ReplyFramingRows) {
  for (const auto& row : kReplies) {
    SCOPED_TRACE(row.name);
    ResponseHead head;
    ASSERT_TRUE(ParseResponseHead(row.head, row.toHead, head));
    EXPECT_EQ(head.body, row.body);
    EXPECT_EQ(head.length, row.length);
    EXPECT_EQ(head.keepAlive, row.keepAlive);
  }
  ResponseHead head;
  EXPECT_FALSE(ParseResponseHead("HTTP/1.1 2x0 OK\r\n\r\n", false, head));
  EXPECT_FALSE(ParseResponseHead("garbage\r\n\r\n", false, head));
}

struct ChunkRow {
  const char* name;
  std::string body;
  ChunkedScanner::Result result;
  std::string decoded;  // when Done
};

const ChunkRow kChunks[] = {
    {"two chunks", "5\r\nhello\r\n6\r\n world\r\n0\r\n\r\n", ChunkedScanner::Result::Done, "hello world"},
    {"extension and trailer", "5;a=b\r\nhello\r\n0\r\nX-T: 1\r\n\r\n", ChunkedScanner::Result::Done, "hello"},
    {"upper-case hex", "A\r\n0123456789\r\n0\r\n\r\n", ChunkedScanner::Result::Done, "0123456789"},
    {"not yet ended", "5\r\nhel", ChunkedScanner::Result::More, ""},
    {"bare LF after size", "5\nhello\r\n0\r\n\r\n", ChunkedScanner::Result::Bad, ""},
    {"no CRLF after data", "5\r\nhelloX\r\n0\r\n\r\n", ChunkedScanner::Result::Bad, ""},
    {"no digits", ";x\r\n", ChunkedScanner::Result::Bad, ""},
    {"sixteen digits", "1000000000000000\r\n", ChunkedScanner::Result::Bad, ""},
    {"over the limit", "400\r\n", ChunkedScanner::Result::TooLarge, ""},
    {"over the limit in sum", "200\r\n" + std::string(0x200, 'a') + "\r\n201\r\n", ChunkedScanner::Result::TooLarge, ""},
};

TEST(HttpChunkTest, RowsWholeAndByteByByte) {
  constexpr std::uint64_t kLimit = 1000;
  for (const auto& row : kChunks) {
    SCOPED_TRACE(row.name);
    // A request after a whole body must be left alone.
    const std::string input = row.body + (row.result == ChunkedScanner::Result::Done ? "NEXT" : "");
    ChunkedScanner whole(kLimit);
    std::size_t used = 0;
    std::string decoded;
    const auto result = whole.Feed(input, used, &decoded);
    EXPECT_EQ(result, row.result);
    if (result == ChunkedScanner::Result::Done) {
      EXPECT_EQ(used, row.body.size());  // stops where the next request starts
      EXPECT_EQ(decoded, row.decoded);
    }
    // The same bytes one at a time, as slow clients send them.
    ChunkedScanner bytewise(kLimit);
    ChunkedScanner::Result last = ChunkedScanner::Result::More;
    std::string pieces;
    std::size_t offset = 0;
    for (; offset < input.size() && last == ChunkedScanner::Result::More; ++offset) {
      std::size_t one = 0;
      last = bytewise.Feed(std::string_view(input).substr(offset, 1), one, &pieces);
    }
    EXPECT_EQ(last, row.result);
    if (last == ChunkedScanner::Result::Done) {
      EXPECT_EQ(offset, row.body.size());
      EXPECT_EQ(pieces, row.decoded);
    }
  }
}

struct PeerRow {
  const char* value;
  bool ok;
  const char* address;
  WORD port;
  const char* scheme;
};

TEST(HttpPeerHeaderTest, ValuesTheFrontWritesAndOthers) {
  const PeerRow rows[] = {
      {"203.0.113.7:50412;proto=https", true, "203.0.113.7", 50412, "https"},
      {"[2001:db8::1]:443;proto=http", true, "2001:db8::1", 443, "http"},
      {"203.0.113.7:50412", false, "", 0, ""},
      {"203.0.113.7:70000;proto=http", false, "", 0, ""},
      {":1;proto=http", false, "", 0, ""},
      {"1.2.3.4:1;proto=ftp", false, "", 0, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.value);
    std::string address, scheme;
    WORD port = 0;
    ASSERT_EQ(platform::http::ParsePeerHeader(row.value, address, port, scheme), row.ok);
    if (!row.ok) continue;
    EXPECT_EQ(address, row.address);
    EXPECT_EQ(port, row.port);
    EXPECT_EQ(scheme, row.scheme);
  }
}

}  // namespace

TEST(HttpHeadTest, MethodNamesAreCaseSensitive) {
  struct Row {
    const char* method;
    int status;
  };
  for (const Row row : {Row{"GET", 0}, Row{"POST", 0}, Row{"M-SEARCH", 0}, Row{"get", 501}, Row{"Get", 501},
                        Row{"gEt", 501}, Row{"head", 501}, Row{"post", 501}, Row{"options", 501}}) {
    SCOPED_TRACE(row.method);
    RequestHead head;
    EXPECT_EQ(ParseRequestHead(std::string(row.method) + " / HTTP/1.1\r\nHost: a\r\n\r\n", "X-Vantrel-Peer", "p", head),
              row.status);
  }
}

TEST(HttpHeadTest, ForwardedHeadCarriesOnlyTheFrontsSecret) {
  const std::string text = "GET / HTTP/1.1\r\nHost: a\r\nX-Vantrel-Front: guessed\r\nx-vantrel-front: again\r\n\r\n";
  RequestHead head;
  ASSERT_EQ(ParseRequestHead(text, "X-Vantrel-Peer", "p", head, "X-Vantrel-Front", "s3cret"), 0);
  EXPECT_EQ(head.forward, "GET / HTTP/1.1\r\nHost: a\r\nX-Vantrel-Front: s3cret\r\nX-Vantrel-Peer: p\r\n\r\n");
  EXPECT_FALSE(head.http10);
  ASSERT_EQ(ParseRequestHead("GET / HTTP/1.0\r\n\r\n", "X-Vantrel-Peer", "p", head), 0);
  EXPECT_TRUE(head.http10);
}

TEST(HttpFrontSecretTest, OnlyTheProcessSecretPasses) {
  const std::string& secret = platform::http::FrontSecret();
  EXPECT_GE(secret.size(), 32u);
  EXPECT_EQ(&secret, &platform::http::FrontSecret());
  EXPECT_TRUE(platform::http::IsFromFront(secret));
  std::string other = secret;
  other.back() = other.back() == '0' ? '1' : '0';
  for (const std::string& value : {std::string(), other, secret.substr(1), secret + "0", std::string(secret.size(), '0')})
    EXPECT_FALSE(platform::http::IsFromFront(value)) << value;
}

TEST(HttpHeadTest, ReplyHeadForAnHttp10Client) {
  const std::string chunked =
      "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nTransfer-Encoding: chunked\r\nConnection: keep-alive\r\n"
      "Keep-Alive: timeout=5\r\nX-A: 1\r\n\r\n";
  EXPECT_EQ(platform::http_detail::HeadForHttp10(chunked, false),
            "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nX-A: 1\r\nConnection: close\r\n\r\n");
  EXPECT_EQ(platform::http_detail::HeadForHttp10("HTTP/1.1 200 OK\nContent-Length: 3\n\n", true),
            "HTTP/1.1 200 OK\r\nContent-Length: 3\r\nConnection: keep-alive\r\n\r\n");
}
