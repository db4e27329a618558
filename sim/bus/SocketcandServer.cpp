#include "SocketcandServer.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <algorithm>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/SocketUtil.h"
#include "SocketcandSession.h"
#include "transport/SocketcandProtocol.h"

namespace kestrum::sim {

namespace {

constexpr std::size_t kDefaultOutputLimit = 4u << 20;
constexpr std::size_t kMaxMessage = 256;  // longest valid message is about 40 bytes
constexpr std::size_t kReadChunk = 64u << 10;
constexpr int kKernelSendBuffer = 256 << 10;
constexpr int kAcceptPauseMs = 100;       // after running out of file descriptors
constexpr std::size_t kDefaultClientLimit = 128;
// All clients' queued output together. A client's share shrinks as clients
// join (never below kMinShare), so hundreds of connections that stop reading
// cannot make the simulator hold gigabytes between them.
constexpr std::size_t kOutputBudget = 64u << 20;
constexpr std::size_t kMinShare = 64u << 10;

// 127.0.0.0/8, ::1, and IPv4 loopback mapped into IPv6.
bool isLoopback(const sockaddr& addr) {
  if (addr.sa_family == AF_INET) {
    const auto& in = reinterpret_cast<const sockaddr_in&>(addr);
    return (ntohl(in.sin_addr.s_addr) >> 24) == 127;
  }
  if (addr.sa_family == AF_INET6) {
    const auto& a = reinterpret_cast<const sockaddr_in6&>(addr).sin6_addr;
    if (IN6_IS_ADDR_LOOPBACK(&a)) return true;
    return IN6_IS_ADDR_V4MAPPED(&a) && a.s6_addr[12] == 127;
  }
  return false;
}

}  // namespace

struct SocketcandServer::Impl {
  // One network client. The I/O thread owns everything but the output queue,
  // which bus threads fill through deliver().
  struct Client : BusPort, SocketcandSession::Host {
    Client(Impl& s, int f) : server(s), fd(f), session(s.busName, kMaxMessage) {}

    void deliver(const CanFrame& frame) override {
      if (!session.raw()) return;
      if (frame.remote && !session.rtr()) return;
      queue(transport::formatFrameMessage(frame));
    }
    unsigned bitrateKbit() const override { return session.bitrateKbit(); }

    // SocketcandSession::Host, on the I/O thread.
    void attach() override { server.bus.attach(this); }
    void submit(const CanFrame& frame) override { server.bus.submit(this, frame); }
    void reply(const std::string& message) override { queue(message); }

    // Never blocks on the socket: a client that stops reading only grows its
    // own queue until it is cut off. When nothing waits before the message
    // and the I/O thread is not writing, the calling thread sends it at once;
    // waking the I/O thread for it would add a thread switch to every frame
    // a client waits for.
    void queue(const std::string& message) {
      {
        std::lock_guard<std::mutex> lk(outMutex);
        if (overflow) return;
        std::size_t done = 0;
        if (out.empty() && !writing) {
          const ssize_t n = ::send(fd, message.data(), message.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
          if (n == ssize_t(message.size())) return;
          // The rest, or all of it after an error, goes the I/O thread's
          // way, which also notices a broken connection.
          if (n > 0) done = std::size_t(n);
        }
        const std::size_t add = message.size() - done;
        if (out.size() + add > server.clientShare()) {
          overflow = true;
        } else {
          out.append(message, done, std::string::npos);
          server.noteQueued(add);
        }
      }
      server.outputQueued();
    }

    Impl& server;
    const int fd;
    SocketcandSession session;
    bool wantWrite = false;   // EPOLLOUT registered
    std::string sending;      // taken from `out`, being written
    std::size_t sent = 0;

    std::mutex outMutex;
    std::string out;
    bool overflow = false;
    bool writing = false;  // the I/O thread has taken output it has not sent yet
  };

  Impl(VirtualBus& b, std::string name) : bus(b), busName(std::move(name)) {}

  VirtualBus& bus;
  const std::string busName;
  std::atomic<std::size_t> outputLimit{kDefaultOutputLimit};
  std::atomic<std::size_t> clientLimit{kDefaultClientLimit};
  bool allowRemote = false;
  std::atomic<std::size_t> queuedBytes{0}, peakQueuedBytes{0};
  std::atomic<std::size_t> refusedClients{0};

  std::size_t clientShare() const {
    const std::size_t n = std::max<std::size_t>(clients.load(std::memory_order_relaxed), 1);
    return std::min(outputLimit.load(std::memory_order_relaxed), std::max(kOutputBudget / n, kMinShare));
  }
  void noteQueued(std::size_t bytes) {
    const std::size_t now = queuedBytes.fetch_add(bytes, std::memory_order_relaxed) + bytes;
    std::size_t peak = peakQueuedBytes.load(std::memory_order_relaxed);
    while (now > peak && !peakQueuedBytes.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
  }
  int listenFd = -1;
  int epollFd = -1;
  transport::detail::Wakeup wakeup;
  std::atomic<bool> wakePending{false};
  std::atomic<bool> stopping{false};
  std::atomic<std::size_t> clients{0};
  std::uint16_t boundPort = 0;
  std::string boundHost;
  std::thread io;
  std::map<int, std::unique_ptr<Client>> byFd;  // I/O thread only
  bool acceptPaused = false;
  std::chrono::steady_clock::time_point acceptResume;

  static thread_local const Impl* ioThreadOf;

  // Called after output was queued: the I/O thread flushes all clients after
  // every batch of events anyway; other threads wake it once per batch.
  void outputQueued() {
    if (ioThreadOf == this) return;
    if (!wakePending.exchange(true, std::memory_order_acq_rel)) wakeup.signal();
  }

  bool start(const std::string& host, std::uint16_t port, std::string& error);
  void run();
  void acceptClients();
  void readClient(Client& c);
  bool flush(Client& c);  // false: the client must go
  void setWriteInterest(Client& c, bool on);
  void closeClient(int fd);
  void shutdown();
};

thread_local const SocketcandServer::Impl* SocketcandServer::Impl::ioThreadOf = nullptr;

bool SocketcandServer::Impl::start(const std::string& host, std::uint16_t port, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (int rc = ::getaddrinfo(host.empty() ? nullptr : host.c_str(), service.c_str(), &hints, &list); rc != 0) {
    error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
    return false;
  }
  error.clear();
  if (!allowRemote) {
    for (addrinfo* ai = list; ai; ai = ai->ai_next) {
      if (isLoopback(*ai->ai_addr)) continue;
      error = "refusing to listen on " + (host.empty() ? std::string("every address") : host) +
              ": not a loopback address, so other machines could drive the bus (use --allow-remote to serve them)";
      ::freeaddrinfo(list);
      return false;
    }
  }
  for (addrinfo* ai = list; ai && listenFd < 0; ai = ai->ai_next) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) continue;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, ai->ai_addr, ai->ai_addrlen) == 0 && ::listen(fd, 64) == 0) {
      listenFd = fd;
    } else {
      error = "cannot listen on " + host + ":" + service + ": " + transport::detail::errnoText(errno);
      ::close(fd);
    }
  }
  ::freeaddrinfo(list);
  if (listenFd < 0) {
    if (error.empty()) error = "cannot listen on " + host + ":" + service;
    return false;
  }
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  ::getsockname(listenFd, reinterpret_cast<sockaddr*>(&addr), &len);
  boundPort = ntohs(addr.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&addr)->sin6_port
                                               : reinterpret_cast<sockaddr_in*>(&addr)->sin_port);

  epollFd = ::epoll_create1(EPOLL_CLOEXEC);
  if (epollFd < 0 || !wakeup.create(error)) {
    if (error.empty()) error = "cannot create epoll instance: " + transport::detail::errnoText(errno);
    shutdown();
    return false;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = listenFd;
  ::epoll_ctl(epollFd, EPOLL_CTL_ADD, listenFd, &ev);
  ev.data.fd = wakeup.fd();
  ::epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeup.fd(), &ev);
  stopping = false;
  io = std::thread([this] {
    pthread_setname_np(pthread_self(), "sim-socketcand");
    run();
  });
  return true;
}

void SocketcandServer::Impl::run() {
  ioThreadOf = this;
  epoll_event events[64];
  while (!stopping.load()) {
    int timeout = -1;
    if (acceptPaused) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(acceptResume -
                                                                              std::chrono::steady_clock::now());
      timeout = left.count() > 0 ? int(left.count()) : 0;
    }
    const int n = ::epoll_wait(epollFd, events, 64, timeout);
    if (n < 0 && errno != EINTR) break;
    if (acceptPaused && std::chrono::steady_clock::now() >= acceptResume) {
      acceptPaused = false;
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.fd = listenFd;
      ::epoll_ctl(epollFd, EPOLL_CTL_MOD, listenFd, &ev);
    }
    for (int i = 0; i < n; ++i) {
      const int fd = events[i].data.fd;
      if (fd == wakeup.fd()) {
        std::uint64_t count;
        [[maybe_unused]] ssize_t r = ::read(fd, &count, sizeof count);
      } else if (fd == listenFd) {
        acceptClients();
      } else if (auto it = byFd.find(fd); it != byFd.end()) {
        if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) readClient(*it->second);
      }
    }
    // Cleared after the wake-up counter was read and before the flush below:
    // output queued after this point signals again; clearing it earlier could
    // swallow a signal with the counter and leave the flag set for nobody.
    wakePending.store(false, std::memory_order_seq_cst);
    std::vector<int> gone;
    for (auto& [fd, client] : byFd)
      if (!flush(*client)) gone.push_back(fd);
    for (int fd : gone) closeClient(fd);
  }
  ioThreadOf = nullptr;
}

void SocketcandServer::Impl::acceptClients() {
  for (;;) {
    const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        // The pending connection stays readable: stop listening for a while
        // instead of spinning on it.
        epoll_event ev{};
        ev.data.fd = listenFd;
        ::epoll_ctl(epollFd, EPOLL_CTL_MOD, listenFd, &ev);
        acceptPaused = true;
        acceptResume = std::chrono::steady_clock::now() + std::chrono::milliseconds(kAcceptPauseMs);
      }
      return;  // EAGAIN, or a connection that died while waiting
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    // A fixed kernel send buffer instead of one that grows to megabytes: the
    // client's own output queue does the buffering, and its limit decides
    // when a client that stopped reading is cut off.
    int sendBuffer = kKernelSendBuffer;
    ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    if (::epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) {
      ::close(fd);
      continue;
    }
    if (byFd.size() >= clientLimit.load(std::memory_order_relaxed)) {
      // Told why instead of left waiting for a greeting; the send cannot
      // block, and whatever does not fit is not worth waiting for.
      static const char kFull[] = "< error too many clients >";
      [[maybe_unused]] ssize_t n = ::send(fd, kFull, sizeof kFull - 1, MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(fd);
      refusedClients.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    auto client = std::make_unique<Client>(*this, fd);
    client->queue("< hi >");
    byFd.emplace(fd, std::move(client));
    clients.fetch_add(1);
  }
}

void SocketcandServer::Impl::readClient(Client& c) {
  static thread_local std::vector<char> buffer(kReadChunk);
  const ssize_t n = ::recv(c.fd, buffer.data(), buffer.size(), 0);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
    closeClient(c.fd);  // closed or reset, possibly in the middle of a message
    return;
  }
  if (n < 0) return;
  c.session.receive(buffer.data(), std::size_t(n), c);
}

bool SocketcandServer::Impl::flush(Client& c) {
  {
    // Checked even while the socket is blocked: that is when the queue grows.
    std::lock_guard<std::mutex> lk(c.outMutex);
    if (c.overflow) return false;
  }
  for (;;) {
    if (c.sent == c.sending.size()) {
      c.sending.clear();
      c.sent = 0;
      std::lock_guard<std::mutex> lk(c.outMutex);
      c.writing = !c.out.empty();
      if (!c.writing) break;
      c.sending.swap(c.out);
      queuedBytes.fetch_sub(c.sending.size(), std::memory_order_relaxed);
    }
    const ssize_t n = ::send(c.fd, c.sending.data() + c.sent, c.sending.size() - c.sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        setWriteInterest(c, true);
        return true;
      }
      if (errno == EINTR) continue;
      return false;
    }
    c.sent += std::size_t(n);
  }
  setWriteInterest(c, false);
  return true;
}

void SocketcandServer::Impl::setWriteInterest(Client& c, bool on) {
  if (c.wantWrite == on) return;
  c.wantWrite = on;
  epoll_event ev{};
  ev.events = EPOLLIN | (on ? EPOLLOUT : 0u);
  ev.data.fd = c.fd;
  ::epoll_ctl(epollFd, EPOLL_CTL_MOD, c.fd, &ev);
}

void SocketcandServer::Impl::closeClient(int fd) {
  auto it = byFd.find(fd);
  if (it == byFd.end()) return;
  std::unique_ptr<Client> c = std::move(it->second);
  byFd.erase(it);
  // Detach first: it waits for a delivery into this client on a bus thread,
  // after which nothing refers to the client any more.
  if (c->session.opened()) bus.detach(c.get());
  {
    std::lock_guard<std::mutex> lk(c->outMutex);
    queuedBytes.fetch_sub(c->out.size(), std::memory_order_relaxed);
    c->out.clear();
  }
  ::epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
  ::close(fd);
  clients.fetch_sub(1);
}

void SocketcandServer::Impl::shutdown() {
  stopping = true;
  wakeup.signal();
  if (io.joinable()) io.join();
  while (!byFd.empty()) closeClient(byFd.begin()->first);
  if (listenFd >= 0) ::close(listenFd);
  if (epollFd >= 0) ::close(epollFd);
  listenFd = epollFd = -1;
  wakeup.destroy();
}

SocketcandServer::SocketcandServer(VirtualBus& bus, std::string busName)
    : d(std::make_unique<Impl>(bus, std::move(busName))) {}

SocketcandServer::~SocketcandServer() { stop(); }

bool SocketcandServer::start(const std::string& host, std::uint16_t port, std::string& error) {
  if (d->listenFd >= 0) {
    error = "server already running";
    return false;
  }
  if (!d->start(host, port, error)) return false;
  d->boundHost = host;
  return true;
}

void SocketcandServer::stop() { d->shutdown(); }

std::uint16_t SocketcandServer::port() const { return d->boundPort; }

std::string SocketcandServer::entry() const {
  const bool v6 = d->boundHost.find(':') != std::string::npos;
  return (v6 ? "[" + d->boundHost + "]" : d->boundHost) + ":" + std::to_string(d->boundPort) + "/" + d->busName;
}

std::size_t SocketcandServer::clientCount() const { return d->clients.load(); }

void SocketcandServer::setOutputLimit(std::size_t bytes) { d->outputLimit.store(bytes ? bytes : 1); }

void SocketcandServer::setAllowRemote(bool allow) { d->allowRemote = allow; }

void SocketcandServer::setClientLimit(std::size_t clients) { d->clientLimit.store(clients ? clients : 1); }

std::size_t SocketcandServer::refusedClients() const { return d->refusedClients.load(); }

std::size_t SocketcandServer::queuedBytes() const { return d->queuedBytes.load(); }

std::size_t SocketcandServer::peakQueuedBytes() const { return d->peakQueuedBytes.load(); }

}  // namespace kestrum::sim
