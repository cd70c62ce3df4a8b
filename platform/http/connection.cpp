// connection.cpp - one client connection's road: head, listener, body, reply, next head.
//
// Pump runs every step that can move bytes now, in the order a request
// travels, until none can, then sets the epoll interest and the deadline
// from what the connection waits for. Each step is non-blocking and moves at
// most one buffer.

#include "platform/http/front_internal.h"
#include "platform/base/errors.h"

#include <netinet/tcp.h>
#include <openssl/err.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>

// --- Buffer ---

namespace platform::http_detail {

char* Buffer::Tail(std::size_t capacity, std::size_t& room) {
  if (!m_data || m_capacity < capacity) {
    auto bigger = std::make_unique<char[]>(capacity);
    std::copy(Data(), Data() + Size(), bigger.get());
    m_end = Size();
    m_begin = 0;
    m_data = std::move(bigger);
    m_capacity = capacity;
  } else if (m_begin > 0 && m_end == m_capacity) {
    std::copy(Data(), Data() + Size(), m_data.get());
    m_end = Size();
    m_begin = 0;
  }
  room = std::min(capacity, m_capacity) - std::min(m_end, capacity);
  return m_data.get() + m_end;
}

void Buffer::Consume(std::size_t n) {
  m_begin += n;
  if (m_begin == m_end) m_begin = m_end = 0;
}

void Buffer::Assign(std::string_view bytes) {
  m_data = std::make_unique<char[]>(bytes.size());
  m_capacity = bytes.size();
  std::copy(bytes.begin(), bytes.end(), m_data.get());
  m_begin = 0;
  m_end = bytes.size();
}

void Buffer::ReleaseIfEmpty() {
  if (Size() != 0) return;
  m_data.reset();
  m_capacity = m_begin = m_end = 0;
}

}  // namespace platform::http_detail

namespace platform::http {
namespace {

using http_detail::BodyKind;
using http_detail::ChunkedScanner;
using http_detail::Connection;
using http_detail::Phase;
using http_detail::ReplyState;
using http_detail::RequestState;

// Rounds one wake-up gives a connection before the others get their turn.
constexpr int kPumpRounds = 16;
constexpr std::string_view kContinue = "HTTP/1.1 100 Continue\r\n\r\n";

const char* ReasonPhrase(int status) {
  switch (status) {
    case 400: return "Bad Request";
    case 408: return "Request Timeout";
    case 413: return "Content Too Large";
    case 431: return "Request Header Fields Too Large";
    case 501: return "Not Implemented";
    case 502: return "Bad Gateway";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Error";
  }
}

std::string ErrorReply(int status) {
  const std::string body = std::to_string(status) + " " + ReasonPhrase(status) + "\n";
  return "HTTP/1.1 " + std::to_string(status) + " " + ReasonPhrase(status) +
         "\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace


// --- the pump ---

void HttpFront::Impl::Pump(Connection& c, std::uint64_t now) {
  for (int round = 0;; ++round) {
    if (round == kPumpRounds) {
      m_again.push_back(c.id);
      break;
    }
    bool progress = false;
    if (c.handshaking) {
      progress = Handshake(c, now);
      if (c.closed || c.handshaking) break;
    }
    progress |= ClientRead(c, now);
    if (!c.closed) progress |= ProcessRequest(c, now);
    if (!c.closed) progress |= BackendWrite(c);
    if (!c.closed) progress |= BackendRead(c);
    if (!c.closed) progress |= ClientWrite(c, now);
    // Bytes held back until the client took what came before (a dropped
    // body) are scanned now, not only when the listener sends more.
    if (!c.closed) progress |= ProcessReply(c);
    if (!c.closed) progress |= FinishCycle(c, now);
    if (c.closed || !progress) break;
  }
  if (c.closed) return;
  UpdateInterest(c);
  UpdateDeadline(c);
}

std::size_t HttpFront::Impl::InCapacity() const {
  // Room for a whole head and its end, whatever the buffer size.
  return std::max(m_limits.bufferBytes, m_limits.maxHeadBytes + 4);
}

bool HttpFront::Impl::ClientReadAllowed(const Connection& c) const {
  if (c.phase != Phase::Serving || c.handshaking || c.in.Size() >= InCapacity()) return false;
  if (c.request == RequestState::Head) return c.reply == ReplyState::Idle && c.out.Size() == 0;
  return c.request == RequestState::Forward && !c.bodyDone && c.reply != ReplyState::Done;
}

bool HttpFront::Impl::Handshake(Connection& c, std::uint64_t now) {
  ERR_clear_error();
  const int result = SSL_do_handshake(c.ssl);
  if (result == 1) {
    c.handshaking = false;
    c.waitSince = c.lastProgress = now;
    return true;
  }
  const int error = SSL_get_error(c.ssl, result);
  if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
    c.handshakeWantsWrite = error == SSL_ERROR_WANT_WRITE;
    return false;
  }
  // An old protocol version, a plain-HTTP client, a reset: nothing to answer.
  m_rejected.fetch_add(1, std::memory_order_relaxed);
  Close(c);
  return false;
}

// --- client to front ---

bool HttpFront::Impl::ClientRead(Connection& c, std::uint64_t now) {
  if (c.phase == Phase::Lingering) {
    // Discard what a rejected client still sends, a little, so that the
    // reply is not lost to a reset; then close.
    char scratch[16 * 1024];
    const auto n = ::recv(c.fd, scratch, sizeof scratch, 0);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    if (n > 0) {
      m_clientBytesRead.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
      c.lingerRead += static_cast<std::size_t>(n);
    }
    if (n <= 0 || c.lingerRead >= http_detail::kLingerBytes) Close(c);
    return n > 0;
  }
  if (!ClientReadAllowed(c)) return false;
  std::size_t room = 0;
  char* tail = c.in.Tail(InCapacity(), room);
  if (room == 0) return false;
  const long n = ClientRecv(c, tail, room);
  if (n == -1) return false;
  if (n <= 0) {
    // The client went away (or broke the stream) before its request was whole.
    Close(c);
    return false;
  }
  c.in.Commit(static_cast<std::size_t>(n));
  m_clientBytesRead.fetch_add(static_cast<std::uint64_t>(n), std::memory_order_relaxed);
  c.lastProgress = now;
  if (c.request == RequestState::Head && !c.headStart) c.headStart = now;
  return true;
}

bool HttpFront::Impl::ProcessRequest(Connection& c, std::uint64_t now) {
  if (c.phase != Phase::Serving) return false;
  if (c.request == RequestState::Forward) return ScanRequestBody(c);
  if (c.request != RequestState::Head || c.reply != ReplyState::Idle || c.out.Size() != 0) return false;
  // Empty lines before a request line are skipped, as clients may send one
  // after a body.
  std::size_t skip = 0;
  const auto view = c.in.View();
  while (skip < view.size() && skip < 4 && (view[skip] == '\r' || view[skip] == '\n')) ++skip;
  if (skip) {
    c.in.Consume(skip);
    c.headSearched = 0;
  }
  if (c.in.Size() == 0) {
    c.headStart = 0;
    return skip > 0;
  }
  const std::size_t end = http_detail::FindHeadEnd(c.in.View(), c.headSearched);
  if (end == 0) {
    c.headSearched = c.in.Size();
    if (c.in.Size() > m_limits.maxHeadBytes) Reject(c, 431);
    return false;
  }
  if (end > m_limits.maxHeadBytes) {
    Reject(c, 431);
    return false;
  }
  return StartRequest(c, end, now);
}

bool HttpFront::Impl::StartRequest(Connection& c, std::size_t headLength, std::uint64_t now) {
  http_detail::RequestHead head;
  if (const int status = http_detail::ParseRequestHead(c.in.View().substr(0, headLength), kPeerHeader, c.peer, head,
                                                          kFrontHeader, FrontSecret())) {
    Reject(c, status);
    return false;
  }
  if (head.body == BodyKind::Length && head.length > m_limits.maxBodyBytes) {
    // Answered from the head alone: not one byte of the body is read.
    Reject(c, 413);
    return false;
  }
  c.in.Consume(headLength);
  c.headSearched = 0;
  c.headStart = 0;
  RemoveIdle(c);
  c.request = RequestState::Forward;
  c.framed = std::move(head.forward);
  c.framedSent = 0;
  c.inReady = 0;
  c.requestBody = head.body;
  c.requestLeft = head.length;
  c.requestChunks = ChunkedScanner(m_limits.maxBodyBytes);
  c.bodyDone = head.body == BodyKind::None;
  c.requestWasHead = head.head;
  c.http10 = head.http10;
  c.keepAlive = head.keepAlive;
  c.reply = ReplyState::Head;
  c.replyChunks = ChunkedScanner();
  c.replyStarted = false;
  c.lastProgress = now;
  if (head.expectContinue) {
    // The client waits for this before it sends the body it announced, and
    // the listener would never send it.
    c.out.Assign(kContinue);
    c.outReady = c.interimBytes = kContinue.size();
  }
  m_requests.fetch_add(1, std::memory_order_relaxed);
  if (c.backend < 0 && !ConnectBackend(c)) return false;
  return true;
}

bool HttpFront::Impl::ScanRequestBody(Connection& c) {
  if (c.bodyDone) {
    if (c.framedSent == c.framed.size() && c.inReady == 0 && c.backend >= 0 && !c.connecting) {
      c.request = RequestState::Sent;
      return true;
    }
    return false;
  }
  const std::size_t fresh = c.in.Size() - c.inReady;
  if (fresh == 0) return false;
  if (c.requestBody == BodyKind::Length) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(c.requestLeft, fresh));
    c.inReady += take;
    c.requestLeft -= take;
    c.bodyDone = c.requestLeft == 0;
    return true;
  }
  // Chunks are decoded and framed again, one chunk for what each read
  // brought, with no extensions and no trailers.
  if (c.framed.size() - c.framedSent >= m_limits.bufferBytes) return false;
  std::size_t used = 0;
  std::string decoded;
  const auto result = c.requestChunks.Feed(c.in.View(), used, &decoded);
  if (result == ChunkedScanner::Result::TooLarge || result == ChunkedScanner::Result::Bad) {
    Reject(c, result == ChunkedScanner::Result::TooLarge ? 413 : 400);
    return false;
  }
  c.in.Consume(used);
  if (!decoded.empty()) {
    char size[24];
    std::snprintf(size, sizeof size, "%zx\r\n", decoded.size());
    c.framed.append(size).append(decoded).append("\r\n");
  }
  if (result == ChunkedScanner::Result::Done) {
    c.framed.append("0\r\n\r\n");
    c.bodyDone = true;
  }
  return true;
}

// --- front to listener ---

bool HttpFront::Impl::ConnectBackend(Connection& c, bool mayReuse) {
  if (const int pooled = mayReuse ? TakePooledBackend() : -1; pooled >= 0) {
    // A connection another client left in step: no connect, and the
    // listener's worker for it is warm. Its descriptors are counted already.
    c.backend = pooled;
    c.connecting = false;
    c.backendReused = true;
    return true;
  }
  if (!MakeRoom(2, false, c.id)) {
    Reject(c, 503);
    return false;
  }
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0 && (errno == EMFILE || errno == ENFILE)) {
    ShrinkBudget();
    if (MakeRoom(2, false, c.id)) fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  }
  if (fd < 0) {
    Reject(c, 503);
    return false;
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  c.backend = fd;
  m_descriptors += 2;
  m_backendConnects.fetch_add(1, std::memory_order_relaxed);
  const int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&m_backendAddress), sizeof m_backendAddress);
  if (result != 0 && errno != EINPROGRESS) {
    Reject(c, 502);
    return false;
  }
  c.connecting = result != 0;
  return true;
}

// The listener may close a kept connection just as the front reuses it. A
// request without a body whose head is still held goes again, once, on a
// fresh connection, as long as no byte of a reply came back. True when the
// request was taken over (sent again, or rejected by the connect).
bool HttpFront::Impl::RetryOnFreshBackend(Connection& c) {
  if (!c.backendReused || c.requestBody != BodyKind::None || c.framed.empty() || c.replyStarted ||
      c.outReady != 0 || c.out.Size() != 0)
    return false;
  CloseBackend(c);
  c.framedSent = 0;
  c.request = RequestState::Forward;
  c.reply = ReplyState::Head;
  ConnectBackend(c, false);
  return true;
}

void HttpFront::Impl::FinishConnect(Connection& c) {
  int error = 0;
  socklen_t length = sizeof error;
  ::getsockopt(c.backend, SOL_SOCKET, SO_ERROR, &error, &length);
  if (error != 0) {
    Reject(c, 502);
    return;
  }
  c.connecting = false;
}

bool HttpFront::Impl::BackendWrite(Connection& c) {
  if (c.backend < 0 || c.connecting || c.phase != Phase::Serving) return false;
  const bool head = c.framedSent < c.framed.size();
  if (!head && c.inReady == 0) return false;
  const char* data = head ? c.framed.data() + c.framedSent : c.in.Data();
  const std::size_t size = head ? c.framed.size() - c.framedSent : c.inReady;
  const auto n = ::send(c.backend, data, size, MSG_NOSIGNAL);
  if (n < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK) return false;
    if (RetryOnFreshBackend(c)) return true;
    Reject(c, 502);
    return false;
  }
  if (head) {
    c.framedSent += static_cast<std::size_t>(n);
    // On a kept connection the head stays until the reply begins, for a retry.
    if (c.framedSent == c.framed.size() && !(c.backendReused && c.requestBody == BodyKind::None)) {
      c.framed.clear();
      c.framedSent = 0;
    }
  } else {
    c.in.Consume(static_cast<std::size_t>(n));
    c.inReady -= static_cast<std::size_t>(n);
  }
  return n > 0;
}

bool HttpFront::Impl::BackendRead(Connection& c) {
  if (c.backend < 0 || c.connecting) return false;
  if (c.reply == ReplyState::Idle || c.reply == ReplyState::Done) {
    // Between requests the listener has nothing to say; it may only close.
    if (!c.backendSignalled) return false;
    c.backendSignalled = false;
    char probe;
    const auto n = ::recv(c.backend, &probe, 1, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
    if (n > 0) c.keepAlive = false;  // bytes beyond the reply: this connection is not to be trusted
    CloseBackend(c);
    return true;
  }
  c.backendSignalled = false;
  std::size_t room = 0;
  char* tail = c.out.Tail(m_limits.bufferBytes, room);
  if (room == 0) return false;
  const auto n = ::recv(c.backend, tail, room, 0);
  if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return false;
  if (n > 0) {
    c.out.Commit(static_cast<std::size_t>(n));
    ProcessReply(c);
    return true;
  }
  // The listener closed: the end of a reply delimited by the close, or a
  // reply cut short.
  if (c.reply == ReplyState::Body && c.replyBody == BodyKind::UntilClose) {
    c.outReady = c.out.Size();
    c.reply = ReplyState::Done;
    c.keepAlive = false;
    CloseBackend(c);
    return true;
  }
  if (!c.replyStarted && c.outReady == 0) {
    if (!RetryOnFreshBackend(c)) Reject(c, 502);
  } else {
    // What was whole goes out; then the client sees the cut.
    c.keepAlive = false;
    c.out.Truncate(c.outReady);
    c.reply = ReplyState::Done;
    CloseBackend(c);
  }
  return true;
}

bool HttpFront::Impl::ProcessReply(Connection& c) {
  bool progress = false;
  while (!c.closed && (c.reply == ReplyState::Head || c.reply == ReplyState::Body)) {
    if (c.reply == ReplyState::Body) {
      progress |= ScanReplyBody(c);
      break;
    }
    const auto pending = c.out.View().substr(c.outReady);
    const std::size_t end = http_detail::FindHeadEnd(pending, 0);
    if (end == 0) {
      if (c.out.Size() >= m_limits.bufferBytes) Reject(c, 502);  // a reply head that does not fit
      break;
    }
    http_detail::ResponseHead head;
    // The listener frames its reply to HEAD as it would to GET, body and
    // all; the body is read to keep the connection in step but never
    // reaches the client, who expects none.
    if (!http_detail::ParseResponseHead(pending.substr(0, end), false, head) || head.status == 101) {
      Reject(c, 502);
      break;
    }
    progress = true;
    if (head.status < 200) {
      if (c.http10) {
        // HTTP/1.0 knows no interim replies.
        c.out.Assign(std::string(c.out.View().substr(0, c.outReady)) + std::string(pending.substr(end)));
        continue;
      }
      c.outReady += end;
      continue;  // 100 Continue: the real reply follows
    }
    if (!head.keepAlive) c.keepAlive = false;
    c.backendKeep = head.keepAlive;
    c.replyBody = head.body;
    c.replyLeft = head.length;
    c.discardBody = c.requestWasHead;
    c.dechunk = false;
    if (c.http10) {
      // Sized or bodiless replies may keep a connection the client asked to
      // keep; any other body ends with the connection.
      if (head.body == BodyKind::Chunked || head.body == BodyKind::UntilClose) c.keepAlive = false;
      c.dechunk = head.body == BodyKind::Chunked && !c.discardBody;
      const std::string rewritten = http_detail::HeadForHttp10(pending.substr(0, end), c.keepAlive);
      c.out.Assign(std::string(c.out.View().substr(0, c.outReady)) + rewritten + std::string(pending.substr(end)));
      c.outReady += rewritten.size();
    } else {
      c.outReady += end;
    }
    c.reply = head.body == BodyKind::None ? ReplyState::Done : ReplyState::Body;
  }
  if (c.reply == ReplyState::Done && !c.closed && c.out.Size() > c.outReady) {
    // The listener sent more than its reply said: drop it and the connection.
    c.out.Truncate(c.outReady);
    c.keepAlive = false;
  }
  return progress;
}

bool HttpFront::Impl::ScanReplyBody(Connection& c) {
  const std::size_t fresh = c.out.Size() - c.outReady;
  if (fresh == 0) return false;
  // A body to drop goes once the head before it has gone out.
  if (c.discardBody && c.outReady > 0) return false;
  const auto pass = [&c](std::size_t n) {
    if (c.discardBody)
      c.out.Consume(n);
    else
      c.outReady += n;
  };
  if (c.replyBody == BodyKind::UntilClose) {
    pass(fresh);
    return true;
  }
  if (c.replyBody == BodyKind::Length) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(c.replyLeft, fresh));
    pass(take);
    c.replyLeft -= take;
    if (c.replyLeft == 0) c.reply = ReplyState::Done;
    return true;
  }
  std::size_t used = 0;
  std::string decoded;
  const auto result = c.replyChunks.Feed(c.out.View().substr(c.outReady), used, c.dechunk ? &decoded : nullptr);
  if (c.dechunk && (result == ChunkedScanner::Result::Done || result == ChunkedScanner::Result::More)) {
    // Only the data bytes go on; what follows the last chunk is dropped with
    // the rest below.
    c.out.Truncate(c.outReady);
    std::size_t room = 0;
    char* tail = c.out.Tail(m_limits.bufferBytes, room);
    std::copy(decoded.begin(), decoded.end(), tail);
    c.out.Commit(decoded.size());
    c.outReady += decoded.size();
    if (result == ChunkedScanner::Result::Done) c.reply = ReplyState::Done;
    return true;
  }
  switch (result) {
    case ChunkedScanner::Result::Done:
      c.reply = ReplyState::Done;
      [[fallthrough]];
    case ChunkedScanner::Result::More:
      pass(used);
      return true;
    default:
      // Framing the client could not follow either: send what was whole, then close.
      c.out.Truncate(c.outReady);
      c.keepAlive = false;
      c.reply = ReplyState::Done;
      CloseBackend(c);
      return true;
  }
}

// --- front to client ---

bool HttpFront::Impl::ClientWrite(Connection& c, std::uint64_t now) {
  if (c.outReady == 0 || c.handshaking) return false;
  const long n = ClientSend(c, c.out.Data(), c.outReady);
  if (n == -1) return false;
  if (n <= 0) {
    Close(c);
    return false;
  }
  c.out.Consume(static_cast<std::size_t>(n));
  c.outReady -= static_cast<std::size_t>(n);
  c.lastProgress = now;
  const std::size_t interim = std::min(c.interimBytes, static_cast<std::size_t>(n));
  c.interimBytes -= interim;
  if (c.phase == Phase::Serving && static_cast<std::size_t>(n) > interim) c.replyStarted = true;
  if (c.phase == Phase::Closing && c.outReady == 0) CloseGracefully(c, now);
  return true;
}

bool HttpFront::Impl::FinishCycle(Connection& c, std::uint64_t now) {
  if (c.phase != Phase::Serving || c.reply != ReplyState::Done || c.out.Size() != 0) return false;
  if (!RequestSent(c)) {
    // Answered before its body was read whole: where the next head starts
    // is unknown, so the connection ends here.
    CloseGracefully(c, now);
    return true;
  }
  if (!c.keepAlive) {
    CloseGracefully(c, now);
    return true;
  }
  c.request = RequestState::Head;
  c.reply = ReplyState::Idle;
  c.framed.clear();
  c.framed.shrink_to_fit();
  c.framedSent = 0;
  c.servedAny = true;
  c.waitSince = now;
  c.headStart = c.in.Size() ? now : 0;
  c.out.ReleaseIfEmpty();
  c.in.ReleaseIfEmpty();
  // A client waiting for its next request holds no listener connection
  // while others could use it.
  if (m_limits.reuseBackend) ReleaseBackend(c, now);
  AddIdle(c);
  return true;
}

bool HttpFront::Impl::RequestSent(const Connection& c) {
  return c.request == RequestState::Sent ||
         (c.request == RequestState::Forward && c.bodyDone && c.framedSent == c.framed.size() && c.inReady == 0);
}

void HttpFront::Impl::Reject(Connection& c, int status) {
  // Half a 100 Continue out cannot be followed by a reply either.
  if (c.replyStarted || (c.interimBytes > 0 && c.interimBytes < kContinue.size())) {
    Close(c);
    return;
  }
  m_rejected.fetch_add(1, std::memory_order_relaxed);
  c.interimBytes = 0;
  CloseBackend(c);
  RemoveIdle(c);
  c.in.Clear();
  c.in.ReleaseIfEmpty();
  c.out.Assign(ErrorReply(status));
  c.outReady = c.out.Size();
  c.phase = Phase::Closing;
}

void HttpFront::Impl::CloseGracefully(Connection& c, std::uint64_t now) {
  ReleaseBackend(c, now);
  RemoveIdle(c);
  ShutdownTls(c);
  ::shutdown(c.fd, SHUT_WR);
  c.in.Clear();
  c.in.ReleaseIfEmpty();
  c.out.Clear();
  c.out.ReleaseIfEmpty();
  c.outReady = 0;
  c.phase = Phase::Lingering;
  c.lingerStart = now;
}

}  // namespace platform::http
