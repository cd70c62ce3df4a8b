// parse.cpp - HTTP/1.x heads and chunked framing, as the front checks them.
//
// What the front lets through is what the listener can only read one way:
// a repeated or conflicting Content-Length, Content-Length beside
// Transfer-Encoding, folded header lines and stray control bytes are all
// refused, because two parsers reading them differently is how a second
// request hides inside the first.

#include "platform/http/parse.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace platform::http_detail {
namespace {

// Hex size digits a chunk may have: 15 keep the sum of sizes far from overflow.
constexpr unsigned kMaxChunkDigits = 15;
// Extension text after a chunk size, and all trailer lines together.
constexpr std::size_t kMaxExtensionBytes = 1024;
constexpr std::size_t kMaxTrailerBytes = 16 * 1024;

bool IsTokenChar(unsigned char c) {
  if (std::isalnum(c)) return true;
  switch (c) {
    case '!': case '#': case '$': case '%': case '&': case '\'': case '*': case '+':
    case '-': case '.': case '^': case '_': case '`': case '|': case '~':
      return true;
    default:
      return false;
  }
}

bool IsToken(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return IsTokenChar(static_cast<unsigned char>(c)); });
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y)); });
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
  return s;
}

// Header values may hold visible bytes, obs-text, spaces and tabs only.
bool IsFieldValue(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c == '\t' || (c >= 0x20 && c != 0x7f);
  });
}

// Calls each(element) for the comma-separated elements of a list value.
template <typename F>
void ForEachElement(std::string_view value, F each) {
  while (!value.empty()) {
    const auto comma = value.find(',');
    const auto element = Trim(value.substr(0, comma));
    if (!element.empty()) each(element);
    if (comma == std::string_view::npos) break;
    value.remove_prefix(comma + 1);
  }
}

bool ParseDecimal(std::string_view s, std::uint64_t& out) {
  // 19 digits always fit in 64 bits.
  if (s.empty() || s.size() > 19) return false;
  std::uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<std::uint64_t>(c - '0');
  }
  out = v;
  return true;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

struct Field {
  std::string_view name;
  std::string_view value;
};

// Splits a head into its first line and fields; false when a line is not a field.
bool SplitHead(std::string_view head, std::string_view& first, std::vector<Field>& fields) {
  bool isFirst = true;
  while (!head.empty()) {
    const auto lf = head.find('\n');
    if (lf == std::string_view::npos) return false;
    std::string_view line = head.substr(0, lf);
    head.remove_prefix(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;  // the empty line that ends the head
    if (line.find('\r') != std::string_view::npos || line.find('\0') != std::string_view::npos) return false;
    if (isFirst) {
      first = line;
      isFirst = false;
      continue;
    }
    // A line that starts with white space continues the one before (obsolete
    // folding); refused rather than joined.
    if (line.front() == ' ' || line.front() == '\t') return false;
    const auto colon = line.find(':');
    if (colon == std::string_view::npos) return false;
    Field f{line.substr(0, colon), Trim(line.substr(colon + 1))};
    if (!IsToken(f.name) || !IsFieldValue(f.value)) return false;
    fields.push_back(f);
  }
  return !isFirst;
}

bool ParseVersion(std::string_view v, int& minor) {
  if (v.size() != 8 || v.substr(0, 5) != "HTTP/" || v[6] != '.' || !std::isdigit(static_cast<unsigned char>(v[5])) ||
      !std::isdigit(static_cast<unsigned char>(v[7])))
    return false;
  minor = (v[5] - '0') * 10 + (v[7] - '0');
  return true;
}

// The framing and connection fields both directions share.
struct Framing {
  bool hasLength = false;
  std::uint64_t length = 0;
  bool lengthConflict = false;
  bool hasCoding = false;
  bool chunked = false;          // chunked is the last coding
  bool otherCoding = false;      // a coding other than chunked
  bool close = false;
  bool keepAlive = false;
};

void ReadFraming(const std::vector<Field>& fields, Framing& f) {
  for (const auto& field : fields) {
    if (EqualsNoCase(field.name, "Content-Length")) {
      // "5, 5" is one length said twice; "5, 6" or two lines that differ conflict.
      ForEachElement(field.value, [&](std::string_view element) {
        std::uint64_t v = 0;
        if (!ParseDecimal(element, v) || (f.hasLength && v != f.length)) f.lengthConflict = true;
        f.hasLength = true;
        f.length = v;
      });
      if (field.value.empty()) f.lengthConflict = true;
    } else if (EqualsNoCase(field.name, "Transfer-Encoding")) {
      f.hasCoding = true;
      ForEachElement(field.value, [&](std::string_view element) {
        if (f.chunked) f.otherCoding = true;  // chunked must be the last, and only once
        if (EqualsNoCase(element, "chunked"))
          f.chunked = true;
        else
          f.otherCoding = true;
      });
    } else if (EqualsNoCase(field.name, "Connection")) {
      ForEachElement(field.value, [&](std::string_view element) {
        if (EqualsNoCase(element, "close")) f.close = true;
        if (EqualsNoCase(element, "keep-alive")) f.keepAlive = true;
      });
    }
  }
}

}  // namespace

std::size_t FindHeadEnd(std::string_view data, std::size_t from) {
  // Resume three bytes back: the end may straddle what came before.
  std::size_t i = from > 3 ? from - 3 : 0;
  while (true) {
    const auto lf = data.find('\n', i);
    if (lf == std::string_view::npos) return 0;
    if (lf + 1 < data.size() && data[lf + 1] == '\n') return lf + 2;
    if (lf + 2 < data.size() && data[lf + 1] == '\r' && data[lf + 2] == '\n') return lf + 3;
    i = lf + 1;
  }
}

int ParseRequestHead(std::string_view head, std::string_view peerHeader, std::string_view peerValue,
                     RequestHead& out, std::string_view secretHeader, std::string_view secretValue) {
  std::string_view first;
  std::vector<Field> fields;
  if (!SplitHead(head, first, fields)) return 400;

  // method SP target SP version, single spaces, no control bytes in the target.
  const auto sp1 = first.find(' ');
  const auto sp2 = sp1 == std::string_view::npos ? sp1 : first.find(' ', sp1 + 1);
  if (sp2 == std::string_view::npos || first.find(' ', sp2 + 1) != std::string_view::npos) return 400;
  const auto method = first.substr(0, sp1);
  const auto target = first.substr(sp1 + 1, sp2 - sp1 - 1);
  const auto version = first.substr(sp2 + 1);
  if (!IsToken(method) || target.empty() ||
      std::any_of(target.begin(), target.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; }))
    return 400;
  int minor = 0;
  if (!ParseVersion(version, minor)) return 400;
  if (minor != 10 && minor != 11) return 505;
  // "get" is no GET: the listener would match it without case.
  if (std::any_of(method.begin(), method.end(), [](char c) { return c >= 'a' && c <= 'z'; })) return 501;

  Framing framing;
  ReadFraming(fields, framing);
  if (framing.lengthConflict || (framing.hasLength && framing.hasCoding)) return 400;
  // HTTP/1.0 has no transfer codings; a body framed that way cannot be trusted.
  if (framing.hasCoding && minor == 10) return 400;
  if (framing.otherCoding || (framing.hasCoding && !framing.chunked)) return 501;
  const auto hosts = std::count_if(fields.begin(), fields.end(), [](const Field& f) { return EqualsNoCase(f.name, "Host"); });
  if (hosts > 1 || (minor == 11 && hosts == 0)) return 400;

  out = RequestHead{};
  out.method.assign(method);
  out.head = method == "HEAD";
  out.http10 = minor == 10;
  out.keepAlive = minor == 11 ? !framing.close : (framing.keepAlive && !framing.close);
  if (framing.chunked) {
    out.body = BodyKind::Chunked;
  } else if (framing.hasLength && framing.length > 0) {
    out.body = BodyKind::Length;
    out.length = framing.length;
  }
  out.forward.reserve(head.size() + peerHeader.size() + peerValue.size() + 8);
  out.forward.append(first).append("\r\n");
  for (const auto& f : fields) {
    // The front answers 100 Continue itself (the listener never does), so the
    // expectation ends here; HTTP/1.0 has none to honour.
    if (EqualsNoCase(f.name, "Expect") && EqualsNoCase(f.value, "100-continue")) {
      out.expectContinue = minor == 11 && out.body != BodyKind::None;
      continue;
    }
    if (EqualsNoCase(f.name, peerHeader)) continue;
    if (!secretHeader.empty() && EqualsNoCase(f.name, secretHeader)) continue;
    out.forward.append(f.name).append(": ").append(f.value).append("\r\n");
  }
  if (!secretHeader.empty()) out.forward.append(secretHeader).append(": ").append(secretValue).append("\r\n");
  out.forward.append(peerHeader).append(": ").append(peerValue).append("\r\n\r\n");
  return 0;
}

bool ParseResponseHead(std::string_view head, bool requestWasHead, ResponseHead& out) {
  std::string_view first;
  std::vector<Field> fields;
  if (!SplitHead(head, first, fields)) return false;
  int minor = 0;
  if (first.size() < 12 || !ParseVersion(first.substr(0, 8), minor) || first[8] != ' ') return false;
  const auto code = first.substr(9, 3);
  if (!std::all_of(code.begin(), code.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  out = ResponseHead{};
  out.status = (code[0] - '0') * 100 + (code[1] - '0') * 10 + (code[2] - '0');

  Framing framing;
  ReadFraming(fields, framing);
  out.keepAlive = minor >= 11 ? !framing.close : (framing.keepAlive && !framing.close);
  if (requestWasHead || out.status < 200 || out.status == 204 || out.status == 304) {
    out.body = BodyKind::None;
  } else if (framing.hasCoding) {
    // A coding that does not end in chunked is delimited by the close.
    out.body = framing.chunked && !framing.otherCoding ? BodyKind::Chunked : BodyKind::UntilClose;
  } else if (framing.hasLength) {
    if (framing.lengthConflict) return false;
    out.body = framing.length ? BodyKind::Length : BodyKind::None;
    out.length = framing.length;
  } else {
    out.body = BodyKind::UntilClose;
  }
  if (out.body == BodyKind::UntilClose) out.keepAlive = false;
  return true;
}

std::string HeadForHttp10(std::string_view head, bool keepAlive) {
  std::string out;
  out.reserve(head.size() + 24);
  bool first = true;
  while (!head.empty()) {
    const auto lf = head.find('\n');
    std::string_view line = head.substr(0, lf);
    head.remove_prefix(lf == std::string_view::npos ? head.size() : lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty()) break;
    if (!first) {
      const auto name = line.substr(0, line.find(':'));
      if (EqualsNoCase(name, "Transfer-Encoding") || EqualsNoCase(name, "Connection") || EqualsNoCase(name, "Keep-Alive"))
        continue;
    }
    first = false;
    out.append(line).append("\r\n");
  }
  out.append(keepAlive ? "Connection: keep-alive\r\n\r\n" : "Connection: close\r\n\r\n");
  return out;
}

ChunkedScanner::Result ChunkedScanner::Feed(std::string_view data, std::size_t& used, std::string* decoded) {
  std::size_t i = 0;
  while (i < data.size()) {
    const char c = data[i];
    switch (m_state) {
      case State::Size: {
        const int digit = HexDigit(c);
        if (digit >= 0) {
          if (++m_digits > kMaxChunkDigits) return Result::Bad;
          m_size = m_size * 16 + static_cast<std::uint64_t>(digit);
          ++i;
          continue;
        }
        if (m_digits == 0) return Result::Bad;
        if (c == ';' || c == ' ' || c == '\t') {
          m_state = State::Extension;
          m_lineBytes = 0;
        } else if (c == '\r') {
          m_state = State::SizeLf;
        } else {
          return Result::Bad;
        }
        ++i;
        continue;
      }
      case State::Extension:
        if (c == '\r') {
          m_state = State::SizeLf;
        } else if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f || ++m_lineBytes > kMaxExtensionBytes) {
          return Result::Bad;
        }
        ++i;
        continue;
      case State::SizeLf:
        if (c != '\n') return Result::Bad;
        ++i;
        m_digits = 0;
        if (m_size == 0) {
          m_state = State::TrailerStart;
          m_lineBytes = 0;
        } else {
          if (m_size > m_limit - m_total) return Result::TooLarge;
          m_total += m_size;
          m_state = State::Data;
        }
        continue;
      case State::Data: {
        const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(m_size, data.size() - i));
        if (decoded) decoded->append(data.substr(i, take));
        i += take;
        m_size -= take;
        if (m_size == 0) m_state = State::DataCr;
        continue;
      }
      case State::DataCr:
        if (c != '\r') return Result::Bad;
        m_state = State::DataLf;
        ++i;
        continue;
      case State::DataLf:
        if (c != '\n') return Result::Bad;
        m_state = State::Size;
        ++i;
        continue;
      case State::TrailerStart:
        if (c == '\r') {
          m_state = State::FinalLf;
          ++i;
          continue;
        }
        m_state = State::Trailer;
        continue;
      case State::Trailer:
        if (++m_lineBytes > kMaxTrailerBytes) return Result::Bad;
        if (c == '\r') m_state = State::TrailerLf;
        else if (static_cast<unsigned char>(c) < 0x20 && c != '\t') return Result::Bad;
        ++i;
        continue;
      case State::TrailerLf:
        if (c != '\n') return Result::Bad;
        m_state = State::TrailerStart;
        ++i;
        continue;
      case State::FinalLf:
        if (c != '\n') return Result::Bad;
        used = i + 1;
        return Result::Done;
    }
  }
  used = i;
  return Result::More;
}

}  // namespace platform::http_detail
