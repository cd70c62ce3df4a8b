// parse.h - HTTP/1.x head parsing and body framing for the front.
//
// The front reads each head whole (it is bounded), checks it and writes the
// head it forwards itself, so the listener behind it only ever sees CRLF
// line ends, one Content-Length or chunked coding, and the front's own peer
// header. Bodies are not rewritten: they pass through as they came, and
// these scanners only find where each one ends, so that the next head on a
// keep-alive connection is found where the listener will look for it. A
// chunked request body is the exception: it is decoded and framed again
// plainly, since the listener misreads chunk extensions and trailers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace platform::http_detail {

// The length of the head at the start of data up to and including its empty
// line (CRLF CRLF, or LF LF as old clients send), or 0 when it has not
// ended yet. from is where to resume a search that found nothing before.
std::size_t FindHeadEnd(std::string_view data, std::size_t from);

enum class BodyKind { None, Length, Chunked, UntilClose };

struct RequestHead {
  std::string method;
  bool head = false;             // HEAD: the reply has no body
  bool http10 = false;           // an HTTP/1.0 request: its reply may not be chunked
  bool keepAlive = true;         // the client lets the connection serve another request
  bool expectContinue = false;   // HTTP/1.1 with a body and "Expect: 100-continue" (not forwarded)
  BodyKind body = BodyKind::None;
  std::uint64_t length = 0;      // BodyKind::Length
  std::string forward;           // the head the listener gets, CRLF CRLF included
};

// Parses head (as FindHeadEnd delimited it) into out and builds out.forward
// with every peerHeader line dropped and "peerHeader: peerValue" added.
// Returns 0, or the HTTP status to answer: 400 (malformed, conflicting or
// repeated framing, no Host on HTTP/1.1), 501 (a transfer coding other than
// chunked, or a method with a lower-case letter: method names are
// case-sensitive and every one this service answers is upper case), 505 (a
// version other than 1.0 and 1.1).
// A secretHeader, when given, is treated the same way: the client's copies
// dropped, "secretHeader: secretValue" added.
int ParseRequestHead(std::string_view head, std::string_view peerHeader, std::string_view peerValue,
                     RequestHead& out, std::string_view secretHeader = {}, std::string_view secretValue = {});

struct ResponseHead {
  int status = 0;
  bool keepAlive = true;
  BodyKind body = BodyKind::UntilClose;
  std::uint64_t length = 0;
};

// Parses a reply head from the listener; requestWasHead says whether the
// request was HEAD (no body whatever the headers say). False when it is not
// a reply head at all.
bool ParseResponseHead(std::string_view head, bool requestWasHead, ResponseHead& out);

// The reply head for an HTTP/1.0 client: without Transfer-Encoding (the
// front decodes a chunked body, and the close delimits it) and without
// Connection, then "Connection: close", or "Connection: keep-alive" when
// keepAlive (a body sized by Content-Length on a connection the client
// asked to keep).
std::string HeadForHttp10(std::string_view head, bool keepAlive);

// Finds the end of a chunked body, byte by byte, and gives its data bytes
// when asked. Strict: CRLF after each size line and chunk, hex sizes of at
// most 15 digits, bounded extensions and trailers.
class ChunkedScanner {
 public:
  enum class Result { More, Done, Bad, TooLarge };

  // limit: the most data bytes (the sum of the chunk sizes) allowed.
  explicit ChunkedScanner(std::uint64_t limit = UINT64_MAX) : m_limit(limit) {}
  // Consumes bytes of data up to the end of the body; used says how many.
  // More: every byte used and the body goes on. Done: the body ended after
  // used bytes. Bad / TooLarge: stop; used is meaningless. The data bytes
  // among those used are appended to decoded when it is given.
  Result Feed(std::string_view data, std::size_t& used, std::string* decoded = nullptr);
  std::uint64_t DataBytes() const { return m_total; }

 private:
  enum class State { Size, Extension, SizeLf, Data, DataCr, DataLf, TrailerStart, Trailer, TrailerLf, FinalLf };
  State m_state = State::Size;
  std::uint64_t m_limit;
  std::uint64_t m_total = 0;
  std::uint64_t m_size = 0;       // of the chunk being read, then what is left of it
  unsigned m_digits = 0;
  std::size_t m_lineBytes = 0;    // of the extension or trailers so far
};

}  // namespace platform::http_detail
