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
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "transport/SocketUtil.h"
#include "transport/SocketcandProtocol.h"

namespace kestrum::sim {

namespace {

using transport::SocketcandStream;

constexpr std::size_t kDefaultOutputLimit = 4u << 20;
constexpr std::size_t kMaxMessage = 256;  // longest valid message is about 40 bytes
constexpr std::size_t kReadChunk = 64u << 10;
constexpr int kKernelSendBuffer = 256 << 10;
constexpr int kAcceptPauseMs = 100;       // after running out of file descriptors

std::vector<std::string> tokens(const std::string& body) {
  std::vector<std::string> out;
  std::size_t i = 0;
  while (i < body.size()) {
    while (i < body.size() && (body[i] == ' ' || body[i] == '\t' || body[i] == '\r' || body[i] == '\n')) ++i;
    const std::size_t start = i;
    while (i < body.size() && body[i] != ' ' && body[i] != '\t' && body[i] != '\r' && body[i] != '\n') ++i;
    if (i > start) out.emplace_back(body, start, i - start);
  }
  return out;
}

// Strict decimal kbit/s: 0 (follow the bus) up to 1000, the classic CAN maximum.
bool parseKbit(const std::string& text, unsigned& out) {
  if (text.empty() || text.size() > 4) return false;
  unsigned v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + unsigned(c - '0');
  }
  if (v > 1000) return false;
  out = v;
  return true;
}

// Error texts go inside "< error ... >": angle brackets in them would cut the
// reply in two for the client's parser.
std::string replyText(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.compare(i, 3, "'<'") == 0) {
      out += "message start";
      i += 2;
    } else if (text[i] != '<' && text[i] != '>') {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

struct SocketcandServer::Impl {
  // One network client. The I/O thread owns everything but the output queue,
  // which bus threads fill through deliver().
  struct Client : BusPort {
    Client(Impl& s, int f) : server(s), fd(f), stream(kMaxMessage) {}

    void deliver(const CanFrame& frame) override {
      if (!raw.load(std::memory_order_acquire)) return;
      if (frame.remote && !rtr.load(std::memory_order_acquire)) return;
      queue(transport::formatFrameMessage(frame));
    }
    unsigned bitrateKbit() const override { return rate.load(std::memory_order_relaxed); }

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
        if (out.size() + message.size() - done > server.outputLimit.load(std::memory_order_relaxed))
          overflow = true;
        else
          out.append(message, done, std::string::npos);
      }
      server.outputQueued();
    }

    Impl& server;
    const int fd;
    SocketcandStream stream;
    std::atomic<bool> raw{false}, rtr{false};
    std::atomic<unsigned> rate{0};
    bool opened = false;      // attached to the bus
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
  void handle(Client& c, const std::string& body);
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
  c.stream.feed(buffer.data(), std::size_t(n));
  // What was wrong in this chunk is answered before the chunk's messages:
  // replies leave one by one, and a client that waits for the answer to its
  // last message must find every complaint about what it sent before.
  std::string problem;
  while (c.stream.takeError(problem)) c.queue("< error " + replyText(problem) + " >");
  std::string body;
  while (c.stream.next(body)) handle(c, body);
}

// Answers one message. Error texts never repeat client input, so nothing a
// client sends can break the framing of the replies.
void SocketcandServer::Impl::handle(Client& c, const std::string& body) {
  const auto t = tokens(body);
  const std::string command = t.empty() ? std::string() : t[0];
  if (command == "send" || command == "sendrtr") {
    if (!c.raw.load()) {
      c.queue("< error frame refused: open the bus and enter raw mode first >");
      return;
    }
    CanFrame frame;
    if (!transport::parseSendMessage(body, frame)) {
      c.queue("< error malformed " + command + " >");
      return;
    }
    if (frame.remote) c.rtr.store(true);
    bus.submit(&c, frame);
  } else if (command == "open") {
    if (t.size() != 2 || t[1] != busName) {
      c.queue("< error could not open bus >");
      return;
    }
    if (!c.opened) bus.attach(&c);
    c.opened = true;
    c.queue("< ok >");
  } else if (command == "rawmode" && t.size() == 1) {
    if (!c.opened) {
      c.queue("< error no bus opened >");
      return;
    }
    c.raw.store(true);
    c.queue("< ok >");
  } else if (command == "rtrmode" && t.size() == 1) {
    c.rtr.store(true);
    c.queue("< ok >");
  } else if (command == "bitrate") {
    unsigned kbit = 0;
    if (t.size() != 2 || !parseKbit(t[1], kbit)) {
      c.queue("< error malformed bitrate >");
      return;
    }
    c.rate.store(kbit);
    c.queue("< ok >");
  } else if (command == "echo" && t.size() == 1) {
    c.queue("< echo >");
  } else {
    c.queue("< error unknown command >");
  }
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
  if (c->opened) bus.detach(c.get());
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

}  // namespace kestrum::sim
