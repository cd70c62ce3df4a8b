// front.cpp - the front's sockets, its event loop, room for new clients and deadlines.
//
// One thread waits on one epoll set holding the public socket, a wake-up
// eventfd and both ends of every connection (level-triggered, with interest
// kept to what each end can do now, so nothing spins). A tick every
// kTickMs looks for deadlines and resumes a paused accept.

#include "platform/http/front_internal.h"
#include "platform/base/errors.h"
#include "platform/sync/sync.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace platform::http {
namespace {

constexpr int kTickMs = 250;
// How long accepting rests when no descriptor is left and no idle
// connection can give one back: the listening socket stays readable, and
// polling it would spin.
constexpr std::uint64_t kAcceptPauseMs = 250;
constexpr int kAcceptBatch = 64;
// Listener connections kept for the next clients, per loop, and for how long.
constexpr std::size_t kPoolSize = 64;
constexpr std::uint64_t kPoolIdleMs = 20'000;
constexpr std::size_t kMaxDefaultLoops = 4;
// Kernel picks of a port for every address of a front before it gives up.
constexpr int kPortPicks = 16;
constexpr int kEventBatch = 256;
constexpr std::uint64_t kListenData = 0;
constexpr std::uint64_t kWakeData = 1;
// A front leaves this share of the descriptor limit (at least 32, at most
// 1024) to the rest of the process: files, the registry, the listener's
// threads, other fronts.
constexpr std::size_t kReserveDivisor = 8;
// What the budget is set below the descriptors held when the process runs out.
constexpr std::size_t kDescriptorMargin = 16;

std::size_t CountOpenDescriptors() {
  std::size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (const dirent* entry = ::readdir(dir))
      if (entry->d_name[0] != '.') ++count;
    ::closedir(dir);
  }
  return count;
}

std::string PeerValue(const sockaddr_storage& peer, bool https) {
  char text[INET6_ADDRSTRLEN] = {};
  std::string value;
  if (peer.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&peer);
    ::inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    value = std::string("[") + text + "]:" + std::to_string(ntohs(a->sin6_port));
  } else {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&peer);
    ::inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    value = std::string(text) + ":" + std::to_string(ntohs(a->sin_port));
  }
  return value + (https ? ";proto=https" : ";proto=http");
}

void SetNoDelay(int fd) {
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

FrontLimits WithDefaults(FrontLimits limits) {
  const FrontLimits defaults;
  if (!limits.maxHeadBytes) limits.maxHeadBytes = defaults.maxHeadBytes;
  if (!limits.maxBodyBytes) limits.maxBodyBytes = defaults.maxBodyBytes;
  if (!limits.headerTimeoutMs) limits.headerTimeoutMs = defaults.headerTimeoutMs;
  if (!limits.idleTimeoutMs) limits.idleTimeoutMs = defaults.idleTimeoutMs;
  if (!limits.clientTimeoutMs) limits.clientTimeoutMs = defaults.clientTimeoutMs;
  if (!limits.maxConnections) limits.maxConnections = defaults.maxConnections;
  if (!limits.bufferBytes) limits.bufferBytes = defaults.bufferBytes;
  if (!limits.handshakeTimeoutMs) limits.handshakeTimeoutMs = defaults.handshakeTimeoutMs;
  return limits;
}

}  // namespace

// --- HttpFront ---

DWORD HttpFront::Start(const FrontConfig& config, std::unique_ptr<HttpFront>& front) {
  if (const DWORD error = Bind(config, front)) return error;
  front->Admit();
  return ERROR_SUCCESS;
}

DWORD HttpFront::Bind(const FrontConfig& config, std::unique_ptr<HttpFront>& front) {
  // A port the kernel picked for the first address may be held on a later
  // one (a client socket bound to that address takes ports from the same
  // range), or taken there before the listen: with port 0 the whole front
  // starts again on a new pick, a few times.
  for (int attempt = 0;; ++attempt) {
    auto impl = std::make_unique<Impl>();
    const DWORD error = impl->Open(config);
    if (!error) {
      front.reset(new HttpFront(std::move(impl)));
      return ERROR_SUCCESS;
    }
    if (error != ERROR_ADDRESS_ALREADY_ASSOCIATED || config.port != 0 || attempt == kPortPicks) return error;
  }
}

void HttpFront::Admit() { m_impl->StartThread(); }

HttpFront::HttpFront(std::unique_ptr<Impl> impl) : m_impl(std::move(impl)) {}
HttpFront::~HttpFront() = default;
const std::string& HttpFront::BackendUrl() const { return m_impl->m_backendUrl; }
WORD HttpFront::Port() const { return m_impl->m_port; }
bool HttpFront::IsHttps() const { return m_impl->m_https; }

FrontCounters HttpFront::Counters() const { return m_impl->Counters(); }

FrontCounters HttpFront::Impl::Counters() const {
  FrontCounters c;
  c.accepted = m_accepted.load(std::memory_order_relaxed);
  c.requests = m_requests.load(std::memory_order_relaxed);
  c.clientBytesRead = m_clientBytesRead.load(std::memory_order_relaxed);
  c.rejected = m_rejected.load(std::memory_order_relaxed);
  c.timedOut = m_timedOut.load(std::memory_order_relaxed);
  c.evicted = m_evicted.load(std::memory_order_relaxed);
  c.acceptStalls = m_acceptStalls.load(std::memory_order_relaxed);
  c.open = m_open.load(std::memory_order_relaxed);
  c.backendConnects = m_backendConnects.load(std::memory_order_relaxed);
  for (const auto& loop : m_siblings) {
    const FrontCounters more = loop->Counters();
    c.accepted += more.accepted;
    c.requests += more.requests;
    c.clientBytesRead += more.clientBytesRead;
    c.rejected += more.rejected;
    c.timedOut += more.timedOut;
    c.evicted += more.evicted;
    c.acceptStalls += more.acceptStalls;
    c.open += more.open;
    c.backendConnects += more.backendConnects;
  }
  return c;
}

const std::string& FrontSecret() {
  static const std::string secret = [] {
    unsigned char bytes[24] = {};
    std::size_t got = 0;
    while (got < sizeof bytes) {
      const auto n = ::getrandom(bytes + got, sizeof bytes - got, 0);
      if (n > 0) got += static_cast<std::size_t>(n);
      else if (errno != EINTR) std::abort();  // no secret, no front: better than a guessable one
    }
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (const unsigned char b : bytes) text.append({digits[b >> 4], digits[b & 15]});
    return text;
  }();
  return secret;
}

bool IsFromFront(std::string_view value) {
  const std::string& secret = FrontSecret();
  if (value.size() != secret.size()) return false;
  unsigned char differ = 0;
  for (std::size_t i = 0; i < value.size(); ++i) differ |= static_cast<unsigned char>(value[i] ^ secret[i]);
  return differ == 0;
}

bool ParsePeerHeader(const std::string& value, std::string& address, WORD& port, std::string& scheme) {
  const auto semi = value.rfind(";proto=");
  if (semi == std::string::npos) return false;
  scheme = value.substr(semi + 7);
  if (scheme != "http" && scheme != "https") return false;
  const std::string hostPort = value.substr(0, semi);
  const auto colon = hostPort.rfind(':');
  if (colon == std::string::npos || colon + 1 == hostPort.size() || hostPort.size() - colon > 6) return false;
  unsigned long number = 0;
  for (char ch : hostPort.substr(colon + 1)) {
    if (ch < '0' || ch > '9') return false;
    number = number * 10 + static_cast<unsigned long>(ch - '0');
  }
  if (number > 65535) return false;
  address = hostPort.substr(0, colon);
  if (address.size() > 2 && address.front() == '[' && address.back() == ']') address = address.substr(1, address.size() - 2);
  if (address.empty()) return false;
  port = static_cast<WORD>(number);
  return true;
}

DWORD ResolveListenAddresses(const std::string& host, std::vector<std::string>& addresses) {
  addresses.clear();
  std::string bare = host;
  if (bare.size() > 2 && bare.front() == '[' && bare.back() == ']') bare = bare.substr(1, bare.size() - 2);
  in6_addr probe{};
  if (bare.empty() || bare == "*" || bare == "+" || ::inet_pton(AF_INET, bare.c_str(), &probe) == 1 ||
      ::inet_pton(AF_INET6, bare.c_str(), &probe) == 1) {
    addresses.push_back(host);
    return ERROR_SUCCESS;
  }
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int rc = ::getaddrinfo(bare.c_str(), nullptr, &hints, &found);
  switch (rc) {
    case 0: break;
    case EAI_NONAME: return WSAHOST_NOT_FOUND;
#ifdef EAI_NODATA
    case EAI_NODATA: return WSANO_DATA;
#endif
    case EAI_AGAIN: return WSATRY_AGAIN;
    case EAI_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case EAI_SYSTEM: return Win32FromErrno(errno);
    default: return WSANO_RECOVERY;
  }
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    char text[INET6_ADDRSTRLEN] = {};
    if (a->ai_family == AF_INET)
      ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr, text, sizeof text);
    else if (a->ai_family == AF_INET6)
      ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr, text, sizeof text);
    else
      continue;
    if (std::find(addresses.begin(), addresses.end(), text) == addresses.end()) addresses.emplace_back(text);
  }
  ::freeaddrinfo(found);
  return addresses.empty() ? WSANO_DATA : ERROR_SUCCESS;
}

// --- Impl: start and stop ---

HttpFront::Impl::~Impl() {
  m_siblings.clear();
  if (m_thread.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const auto written = ::write(m_wake, &one, sizeof one);
    m_thread.join();
  }
  for (auto& [id, c] : m_connections)
    if (!c->closed) Close(*c);
  m_connections.clear();
  while (DropOldestPooled()) {
  }
  for (int fd : {m_listen, m_epoll, m_wake})
    if (fd >= 0) ::close(fd);
  if (m_tls) SSL_CTX_free(m_tls);
}

DWORD HttpFront::Impl::Open(const FrontConfig& config) {
  m_config = config;
  m_limits = WithDefaults(config.limits);
  m_https = !config.certificateFile.empty() || !config.keyFile.empty() || !config.certificatePem.empty() ||
            !config.keyPem.empty();
  m_loops = m_limits.loops;
  if (!m_loops) m_loops = std::clamp<std::size_t>(std::thread::hardware_concurrency() / 2, 1, kMaxDefaultLoops);
  m_loops = std::clamp<std::size_t>(m_loops, 1, m_limits.maxConnections);
  if (m_https)
    if (const DWORD error = OpenTls()) return error;
  std::vector<BoundAddress> bound;
  const DWORD error = BindPublic(bound);
  // Whatever is not handed to a loop below is closed on the way out: with
  // several loops, the plain sockets that held the port while the groups
  // bound.
  struct CloseLeft {
    std::vector<BoundAddress>& bound;
    ~CloseLeft() {
      for (BoundAddress& b : bound)
        if (b.fd >= 0) ::close(b.fd);
    }
  } closeLeft{bound};
  if (error) return error;
  if (const DWORD listened = ListenOn(bound.front(), m_loops == 1)) return listened;
  if (const DWORD error = ChooseBackend()) return error;
  m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
  m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_epoll < 0 || m_wake < 0) return Win32FromErrno(errno);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeData;
  ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &ev);
  const std::size_t loops = m_loops * bound.size();
  ComputeBudget();
  // Each loop has its share of the connections and of the descriptors, and
  // makes room among its own; a loop that is full stops accepting and leaves
  // new clients to the others.
  m_budget = std::max<std::size_t>(m_budget / loops, 3);
  m_limits.maxConnections = static_cast<DWORD>((m_limits.maxConnections + loops - 1) / loops);
  AddListen();
  for (std::size_t a = 0; a < bound.size(); ++a) {
    for (std::size_t i = a == 0 ? 1 : 0; i < m_loops; ++i) {
      auto loop = std::make_unique<Impl>();
      if (const DWORD error = loop->OpenSibling(*this, loops, bound[a], i == 0 && m_loops == 1)) return error;
      m_siblings.push_back(std::move(loop));
    }
  }
  return ERROR_SUCCESS;
}

DWORD HttpFront::Impl::OpenSibling(const Impl& first, std::size_t loops, BoundAddress& bound, bool plain) {
  m_config = first.m_config;
  m_limits = first.m_limits;
  m_https = first.m_https;
  if (first.m_tls) {
    SSL_CTX_up_ref(first.m_tls);
    m_tls = first.m_tls;
  }
  m_port = first.m_port;
  m_backendAddress = first.m_backendAddress;
  m_backendUrl = first.m_backendUrl;
  m_budget = first.m_budget;
  m_loops = loops;
  if (const DWORD error = ListenOn(bound, plain)) return error;
  m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
  m_wake = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_epoll < 0 || m_wake < 0) return Win32FromErrno(errno);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kWakeData;
  ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &ev);
  AddListen();
  return ERROR_SUCCESS;
}

void HttpFront::Impl::AddListen() {
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = kListenData;
  ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_listen, &ev);
}

void HttpFront::Impl::StartThread() {
  if (m_thread.joinable()) return;  // admitted already
  for (auto& loop : m_siblings) loop->StartThread();
  m_thread = std::thread([this] {
    SetCurrentThreadName(L"HttpFront");
    // OpenSSL writes to the socket with write(), which raises SIGPIPE when
    // the client has gone; blocked in this thread, it only makes write
    // fail with EPIPE, and the rest of the process keeps its own handling.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    Run();
  });
}

namespace {

// A numeric address (or a wildcard, or "localhost") as a socket address on port.
bool ParseBindAddress(std::string host, WORD port, sockaddr_storage& address, socklen_t& length) {
  address = {};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (host.empty() || host == "*" || host == "+") host = "0.0.0.0";
  if (host == "localhost") host = "127.0.0.1";
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (::inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(port);
    length = sizeof *v4;
    return true;
  }
  if (::inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(port);
    length = sizeof *v6;
    return true;
  }
  return false;
}

WORD PortOf(const sockaddr_storage& address) {
  return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port
                                             : reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
}

// A port no address of this machine holds now, picked by the kernel for the
// wildcard address (which conflicts with a bind to any address on the port);
// 0 when none could be had. IPv6's wildcard, open to IPv4 too, when any of
// the addresses is IPv6.
WORD PortFreeOnEveryAddress(const std::vector<std::string>& addresses) {
  const bool v6 = std::any_of(addresses.begin(), addresses.end(),
                              [](const std::string& a) { return a.find(':') != std::string::npos; });
  const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_storage any{};
  socklen_t length = 0;
  if (v6) {
    int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    reinterpret_cast<sockaddr_in6*>(&any)->sin6_family = AF_INET6;
    length = sizeof(sockaddr_in6);
  } else {
    reinterpret_cast<sockaddr_in*>(&any)->sin_family = AF_INET;
    length = sizeof(sockaddr_in);
  }
  WORD port = 0;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&any), length) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&any), &length) == 0)
    port = PortOf(any);
  ::close(fd);
  return port;
}

}  // namespace

// Binds every address of the configuration plainly, on one port (the first
// bind's when the kernel picks it). A plain bind is what finds a port taken:
// a SO_REUSEPORT group made later would let a second group join it.
DWORD HttpFront::Impl::BindPublic(std::vector<BoundAddress>& bound) {
  // No name is looked up here, so that starting a front never waits on a
  // resolver: a caller resolves a host name first (ResolveListenAddresses).
  std::vector<std::string> wanted = m_config.addresses;
  if (wanted.empty()) wanted.push_back(m_config.address);
  WORD port = m_config.port;
  // With several addresses, the kernel's pick for the first one tends to be
  // a port held on another (client sockets bound to that address take their
  // ports from the same sequence): the port is picked for all of them at once.
  if (port == 0 && wanted.size() > 1) port = PortFreeOnEveryAddress(wanted);
  DWORD passedOver = ERROR_SUCCESS;
  for (const std::string& text : wanted) {
    BoundAddress b;
    if (!ParseBindAddress(text, port, b.address, b.length)) return ERROR_INVALID_PARAMETER;
    b.fd = ::socket(b.address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int err = b.fd < 0 ? errno : 0;
    if (b.fd >= 0) {
      int one = 1;
      // A host rebuilt on the same port binds again while old connections linger.
      ::setsockopt(b.fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
      if (::bind(b.fd, reinterpret_cast<sockaddr*>(&b.address), b.length) != 0) err = errno;
    }
    if (err != 0) {
      if (b.fd >= 0) ::close(b.fd);
      // An address of a name that this machine lacks is passed over while
      // another one binds; any other failure (a taken port) fails the front.
      if (wanted.size() > 1 && (err == EADDRNOTAVAIL || err == EAFNOSUPPORT)) {
        if (!passedOver) passedOver = Win32FromErrno(err);
        continue;
      }
      return Win32FromErrno(err);
    }
    sockaddr_storage actual{};
    socklen_t actualLength = sizeof actual;
    ::getsockname(b.fd, reinterpret_cast<sockaddr*>(&actual), &actualLength);
    port = PortOf(actual);
    if (b.address.ss_family == AF_INET6)
      reinterpret_cast<sockaddr_in6*>(&b.address)->sin6_port = htons(port);
    else
      reinterpret_cast<sockaddr_in*>(&b.address)->sin_port = htons(port);
    bound.push_back(b);
  }
  if (bound.empty()) return passedOver ? passedOver : ERROR_INVALID_PARAMETER;
  m_port = port;
  return ERROR_SUCCESS;
}

// Listens on bound: on its own plainly bound socket (one loop per address),
// or on a socket of the address's SO_REUSEPORT group (several loops), the
// kernel spreading new clients over the group.
DWORD HttpFront::Impl::ListenOn(BoundAddress& bound, bool plain) {
  m_bindAddress = bound.address;
  m_bindLength = bound.length;
  if (plain) {
    m_listen = bound.fd;
    bound.fd = -1;
    return ::listen(m_listen, SOMAXCONN) == 0 ? ERROR_SUCCESS : Win32FromErrno(errno);
  }
  // The plain socket stays bound until Open ends, after every loop of the
  // group listens: a socket bound with SO_REUSEADDR and not listening lets
  // the group bind beside it, and closing it first would leave the port free
  // for a moment, for any other socket to take (the group's bind would then
  // fail with the port the plain bind had found free).
  return ListenShared();
}

DWORD HttpFront::Impl::ListenShared() {
  m_listen = ::socket(m_bindAddress.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (m_listen < 0) return Win32FromErrno(errno);
  int one = 1;
  ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  ::setsockopt(m_listen, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
  if (::bind(m_listen, reinterpret_cast<const sockaddr*>(&m_bindAddress), m_bindLength) != 0 ||
      ::listen(m_listen, SOMAXCONN) != 0)
    return Win32FromErrno(errno);
  return ERROR_SUCCESS;
}

// The listener binds its own socket, so the front can only choose a port the
// kernel just handed out and release it for the listener to take.
DWORD HttpFront::Impl::ChooseBackend() {
  const int probe = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return Win32FromErrno(errno);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof a;
  if (::bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
      ::getsockname(probe, reinterpret_cast<sockaddr*>(&a), &length) != 0) {
    const DWORD error = Win32FromErrno(errno);
    ::close(probe);
    return error;
  }
  ::close(probe);
  m_backendAddress = a;
  m_backendUrl = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  return ERROR_SUCCESS;
}

void HttpFront::Impl::ComputeBudget() {
  rlimit limit{};
  std::size_t soft = 1024;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) soft = limit.rlim_cur;
  const std::size_t reserve = std::clamp<std::size_t>(soft / kReserveDivisor, 32, 1024);
  const std::size_t used = CountOpenDescriptors();
  m_budget = soft > reserve + used + 3 ? soft - reserve - used : 3;
}

// --- Impl: the loop ---

void HttpFront::Impl::Run() {
  epoll_event events[kEventBatch];
  std::uint64_t nextTick = GetTickCount64() + kTickMs;
  for (;;) {
    // Kept listener connections age out on the tick too, so a loop with
    // nothing but its pool still wakes to let them go.
    int timeout = m_connections.empty() && !m_acceptPaused && m_pool.empty() ? -1 : kTickMs;
    if (!m_again.empty()) timeout = 0;
    const int n = ::epoll_wait(m_epoll, events, kEventBatch, timeout);
    const std::uint64_t now = GetTickCount64();
    for (int i = 0; i < n; ++i) {
      const std::uint64_t data = events[i].data.u64;
      if (data == kWakeData) return;
      if (data == kListenData)
        OnListen(now);
      else
        OnEvent(data, events[i].events, now);
    }
    std::vector<std::uint64_t> again;
    again.swap(m_again);
    for (const auto id : again) {
      const auto it = m_connections.find(id);
      if (it != m_connections.end() && !it->second->closed) Pump(*it->second, now);
    }
    if (now >= nextTick) {
      CheckDeadlines(now);
      if (m_acceptPaused && now >= m_acceptPausedUntil) {
        m_acceptPaused = false;
        AddListen();
      }
      nextTick = now + kTickMs;
    }
    for (const auto id : m_dead) m_connections.erase(id);
    m_dead.clear();
  }
}

void HttpFront::Impl::OnListen(std::uint64_t now) {
  for (int i = 0; i < kAcceptBatch; ++i) {
    if (!MakeRoom(1, true, 0)) {
      // Every slot is busy with a request: rest rather than spin.
      PauseAccept(now + kAcceptPauseMs);
      return;
    }
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(m_listen, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      AdmitClient(fd, peer, now);
      continue;
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return;
    if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO) continue;
    m_acceptStalls.fetch_add(1, std::memory_order_relaxed);
    if (errno == EMFILE || errno == ENFILE) ShrinkBudget();
    if ((errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) && MakeRoom(1, true, 0) &&
        EvictOldestIdle(0))
      continue;
    PauseAccept(now + kAcceptPauseMs);
    return;
  }
}

void HttpFront::Impl::AdmitClient(int fd, const sockaddr_storage& peer, std::uint64_t now) {
  auto owned = std::make_unique<Connection>();
  Connection& c = *owned;
  c.id = m_nextId++;
  c.fd = fd;
  c.peer = PeerValue(peer, m_https);
  c.waitSince = c.lastProgress = now;
  c.requestChunks = http_detail::ChunkedScanner(m_limits.maxBodyBytes);
  SetNoDelay(fd);
  if (m_tls) {
    c.ssl = SSL_new(m_tls);
    if (!c.ssl) {
      ::close(fd);
      return;
    }
    SSL_set_fd(c.ssl, fd);
    SSL_set_accept_state(c.ssl);
    c.handshaking = true;
  }
  ++m_clients;
  ++m_descriptors;
  m_open.fetch_add(1, std::memory_order_relaxed);
  m_accepted.fetch_add(1, std::memory_order_relaxed);
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = c.id << 1;
  ::epoll_ctl(m_epoll, EPOLL_CTL_ADD, fd, &ev);
  c.clientEvents = EPOLLIN;
  AddIdle(c);
  m_connections.emplace(c.id, std::move(owned));
  UpdateDeadline(c);
}

void HttpFront::Impl::OnEvent(std::uint64_t data, std::uint32_t events, std::uint64_t now) {
  const auto it = m_connections.find(data >> 1);
  if (it == m_connections.end() || it->second->closed) return;
  Connection& c = *it->second;
  if (data & 1) {
    if (c.connecting) {
      FinishConnect(c);
    } else {
      c.backendSignalled = true;
      if (events & (EPOLLERR | EPOLLHUP)) c.backendDead = true;
    }
  } else if (events & (EPOLLERR | EPOLLHUP)) {
    // The client reset or closed both ways: nothing more can reach it.
    Close(c);
    return;
  }
  if (!c.closed) Pump(c, now);
}

// --- Impl: room ---

bool HttpFront::Impl::MakeRoom(std::size_t descriptors, bool forClient, std::uint64_t keepId) {
  while ((forClient && m_clients >= m_limits.maxConnections) || m_descriptors + descriptors > m_budget) {
    if (m_descriptors + descriptors > m_budget && DropOldestPooled()) continue;
    if (!EvictOldestIdle(keepId)) return false;
  }
  return true;
}

// The process ran out of descriptors below the budget: something else holds
// more than the reserve. The budget comes down to what the front holds less
// a margin, so that the listener, which accepts in this process too, finds
// descriptors for the connections the front makes to it.
void HttpFront::Impl::ShrinkBudget() {
  const std::size_t lowered = m_descriptors > kDescriptorMargin + 3 ? m_descriptors - kDescriptorMargin : 3;
  m_budget = std::min(m_budget, lowered);
}

bool HttpFront::Impl::EvictOldestIdle(std::uint64_t keepId) {
  for (const auto id : m_idle) {
    if (id == keepId) continue;
    const auto it = m_connections.find(id);
    if (it == m_connections.end()) continue;
    m_evicted.fetch_add(1, std::memory_order_relaxed);
    Close(*it->second);
    return true;
  }
  return false;
}

void HttpFront::Impl::PauseAccept(std::uint64_t until) {
  if (m_acceptPaused) return;
  m_acceptPaused = true;
  m_acceptPausedUntil = until;
  ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, m_listen, nullptr);
}

void HttpFront::Impl::AddIdle(Connection& c) {
  if (c.inIdle) return;
  c.idleIt = m_idle.insert(m_idle.end(), c.id);
  c.inIdle = true;
}

void HttpFront::Impl::RemoveIdle(Connection& c) {
  if (!c.inIdle) return;
  m_idle.erase(c.idleIt);
  c.inIdle = false;
}

// --- Impl: closing ---

void HttpFront::Impl::CloseBackend(Connection& c) {
  if (c.backend < 0) return;
  ::close(c.backend);
  c.backend = -1;
  c.connecting = c.backendSignalled = c.backendDead = c.backendRegistered = c.backendReused = false;
  c.backendEvents = 0;
  m_descriptors -= 2;
}

// The listener connection goes back to the pool when it is in step: no
// request of this client is on it, half sent or unanswered.
void HttpFront::Impl::ReleaseBackend(Connection& c, std::uint64_t now) {
  using http_detail::ReplyState;
  using http_detail::RequestState;
  const bool between = c.request == RequestState::Head && c.reply == ReplyState::Idle;
  const bool answered = c.reply == ReplyState::Done && RequestSent(c) && c.out.Size() == 0;
  if (!m_limits.reuseBackend || c.backend < 0 || c.connecting || c.backendDead || c.backendSignalled || !c.backendKeep ||
      !(between || answered) || m_pool.size() >= kPoolSize) {
    CloseBackend(c);
    return;
  }
  if (c.backendRegistered) ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, c.backend, nullptr);
  m_pool.push_back({c.backend, now});
  c.backend = -1;  // its two descriptors stay counted, now the pool's
  c.connecting = c.backendSignalled = c.backendDead = c.backendRegistered = c.backendKeep = c.backendReused = false;
  c.backendEvents = 0;
}

// A pooled connection the listener has not closed nor written to since, or -1.
int HttpFront::Impl::TakePooledBackend() {
  while (!m_pool.empty()) {
    const int fd = m_pool.back().fd;
    m_pool.pop_back();
    char probe;
    const auto n = ::recv(fd, &probe, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return fd;
    ::close(fd);
    m_descriptors -= 2;
  }
  return -1;
}

bool HttpFront::Impl::DropOldestPooled() {
  if (m_pool.empty()) return false;
  ::close(m_pool.front().fd);
  m_pool.erase(m_pool.begin());
  m_descriptors -= 2;
  return true;
}

void HttpFront::Impl::Close(Connection& c) {
  if (c.closed) return;
  c.closed = true;
  RemoveIdle(c);
  ReleaseBackend(c, GetTickCount64());
  if (c.ssl) {
    SSL_free(c.ssl);
    c.ssl = nullptr;
  }
  ::close(c.fd);
  c.fd = -1;
  --m_clients;
  --m_descriptors;
  m_open.fetch_sub(1, std::memory_order_relaxed);
  m_dead.push_back(c.id);
  // A slot came free: a paused accept may go on at once.
  if (m_acceptPaused) m_acceptPausedUntil = 0;
}

// --- Impl: interest and deadlines ---

void HttpFront::Impl::UpdateInterest(Connection& c) {
  std::uint32_t client = 0;
  if (c.phase == http_detail::Phase::Lingering) {
    client = EPOLLIN;
  } else if (c.handshaking) {
    client = c.handshakeWantsWrite ? EPOLLOUT : EPOLLIN;
  } else {
    if (c.phase == http_detail::Phase::Serving && (ClientReadAllowed(c) || c.tlsWriteWantsRead)) client |= EPOLLIN;
    if (c.outReady > 0 || c.tlsReadWantsWrite) client |= EPOLLOUT;
  }
  if (client != c.clientEvents) {
    epoll_event ev{};
    ev.events = client;
    ev.data.u64 = c.id << 1;
    ::epoll_ctl(m_epoll, EPOLL_CTL_MOD, c.fd, &ev);
    c.clientEvents = client;
  }
  if (c.backend < 0) return;
  std::uint32_t backend = 0;
  if (c.connecting) {
    backend = EPOLLOUT;
  } else if (!c.backendDead) {
    if (c.framedSent < c.framed.size() || c.inReady > 0) backend |= EPOLLOUT;
    if (c.reply == http_detail::ReplyState::Idle ||
        ((c.reply == http_detail::ReplyState::Head || c.reply == http_detail::ReplyState::Body) &&
         c.out.Size() < m_limits.bufferBytes))
      backend |= EPOLLIN;
  }
  // A hung-up end would report itself on every wait: it leaves the set.
  const bool registered = !c.backendDead;
  if (registered != c.backendRegistered || backend != c.backendEvents) {
    epoll_event ev{};
    ev.events = backend;
    ev.data.u64 = (c.id << 1) | 1;
    const int op = !registered ? EPOLL_CTL_DEL : c.backendRegistered ? EPOLL_CTL_MOD : EPOLL_CTL_ADD;
    ::epoll_ctl(m_epoll, op, c.backend, &ev);
    c.backendRegistered = registered;
    c.backendEvents = backend;
  }
}

void HttpFront::Impl::UpdateDeadline(Connection& c) {
  using http_detail::Phase;
  using http_detail::RequestState;
  using http_detail::ReplyState;
  if (c.phase == Phase::Lingering) {
    c.deadline = c.lingerStart + http_detail::kLingerMs;
  } else if (c.phase == Phase::Closing) {
    c.deadline = c.lastProgress + m_limits.clientTimeoutMs;
  } else if (c.handshaking) {
    c.deadline = c.waitSince + m_limits.handshakeTimeoutMs;
  } else if (c.request == RequestState::Head && c.reply == ReplyState::Idle) {
    if (c.headStart)
      c.deadline = c.headStart + m_limits.headerTimeoutMs;
    else
      c.deadline = c.waitSince + (c.servedAny ? m_limits.idleTimeoutMs : m_limits.headerTimeoutMs);
  } else if (c.outReady > 0 || (c.request == RequestState::Forward && !c.bodyDone && c.inReady == 0 &&
                                c.framedSent == c.framed.size())) {
    // Waiting on the client: for body bytes or for it to take the reply.
    c.deadline = c.lastProgress + m_limits.clientTimeoutMs;
  } else {
    c.deadline = 0;  // waiting on the listener, which has its own limits
  }
}

void HttpFront::Impl::CheckDeadlines(std::uint64_t now) {
  // The listener drops a connection idle for long; the pool lets go first.
  while (!m_pool.empty() && now - m_pool.front().since >= kPoolIdleMs) DropOldestPooled();
  std::vector<std::uint64_t> due;
  for (const auto& [id, c] : m_connections)
    if (!c->closed && c->deadline && now >= c->deadline) due.push_back(id);
  for (const auto id : due) {
    Connection& c = *m_connections.at(id);
    if (c.closed) continue;
    OnDeadline(c);
    if (!c.closed) Pump(c, now);
  }
}

void HttpFront::Impl::OnDeadline(Connection& c) {
  using http_detail::Phase;
  if (c.phase == Phase::Lingering) {
    Close(c);
    return;
  }
  m_timedOut.fetch_add(1, std::memory_order_relaxed);
  // A head begun and not finished is answered; silence is closed silently,
  // as a client that opened a spare connection expects.
  if (c.phase == Phase::Serving && !c.handshaking && c.request == http_detail::RequestState::Head &&
      c.reply == http_detail::ReplyState::Idle && c.headStart) {
    Reject(c, 408);
    return;
  }
  Close(c);
}

}  // namespace platform::http
