#include "SocketcandTransport.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace kestrum::transport {

using detail::Clock;
using detail::errnoText;
using detail::msLeft;
using detail::waitFd;
using detail::WaitResult;

namespace {

constexpr int kSendStallMs = 2000;  // a peer that takes no data this long is gone
constexpr std::size_t kReceiveChunk = 4096;

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// Connects a non-blocking TCP socket to one of the host's addresses before the deadline.
int connectWithin(const std::string& host, std::uint16_t port, Clock::time_point deadline, std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* list = nullptr;
  const std::string service = std::to_string(port);
  if (int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
    error = "cannot resolve " + host + ": " + ::gai_strerror(rc);
    return -1;
  }
  detail::Wakeup none;  // nothing to wake: open() runs on the owning thread
  error = "cannot connect to " + host + ":" + service;
  int fd = -1;
  for (addrinfo* ai = list; ai && fd < 0; ai = ai->ai_next) {
    int s = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (s < 0) continue;
    int rc = ::connect(s, ai->ai_addr, ai->ai_addrlen);
    int err = rc == 0 ? 0 : errno;
    if (err == EINPROGRESS) {
      WaitResult w = waitFd(s, POLLOUT, none, msLeft(deadline, false));
      if (w == WaitResult::Ready) {
        socklen_t len = sizeof err;
        if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
      } else {
        err = ETIMEDOUT;
      }
    }
    if (err == 0) {
      fd = s;
    } else {
      error = "cannot connect to " + host + ":" + service + ": " + errnoText(err);
      ::close(s);
    }
  }
  ::freeaddrinfo(list);
  if (fd >= 0) {
    // Each frame is one small message; Nagle would hold it back for the previous ACK.
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  return fd;
}

}  // namespace

SocketcandTransport::SocketcandTransport(std::string host, std::uint16_t port, std::string bus, int connectTimeoutMs)
    : host_(std::move(host)), port_(port), bus_(std::move(bus)), connectTimeoutMs_(connectTimeoutMs) {}

SocketcandTransport::~SocketcandTransport() { close(); }

std::string SocketcandTransport::description() const {
  return host_ + ":" + std::to_string(port_) + "/" + bus_;
}

std::string SocketcandTransport::lostText() const { return "connection to " + description() + " lost"; }

void SocketcandTransport::setError(const std::string& text) {
  std::lock_guard<std::mutex> lock(errorMutex_);
  lastError_ = text;
}

std::string SocketcandTransport::lastError() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return lastError_;
}

bool SocketcandTransport::isOpen() const { return open_ && !lost_; }

bool SocketcandTransport::open(std::string& error) {
  if (isOpen()) return true;
  if (open_) close();  // reconnect after a lost connection
  std::lock_guard<std::mutex> readLock(readMutex_);
  const auto deadline = Clock::now() + std::chrono::milliseconds(connectTimeoutMs_);
  const std::string server = host_ + ":" + std::to_string(port_);
  stream_.reset();
  pending_.clear();
  lost_ = false;
  rtrSupported_ = false;
  setError({});

  auto fail = [&](const std::string& text) {
    error = text;
    setError(text);
    if (int fd = fd_.exchange(-1); fd >= 0) ::close(fd);
    wake_.destroy();
    return false;
  };
  if (!wake_.create(error)) return fail(error);
  int fd = connectWithin(host_, port_, deadline, error);
  if (fd < 0) return fail(error);
  fd_ = fd;

  std::string reply;
  auto step = [&](const char* what, const std::string& command) {
    if (!command.empty() && !writeAll(command, error)) return false;
    return awaitReply(what, reply, msLeft(deadline, false), error);
  };
  if (!step("greeting", {})) return fail(error);
  if (reply != "hi") return fail("unexpected greeting from " + server + ": \"" + reply + "\"");
  if (!step("answer to open", "< open " + bus_ + " >")) return fail(error);
  if (reply != "ok") return fail("server " + server + " refused bus " + bus_ + ": " + reply);
  if (!step("answer to rawmode", "< rawmode >")) return fail(error);
  if (reply != "ok") return fail("server " + server + " refused raw mode: " + reply);
  // Remote frames are our extension; a plain daemon answers with an error and
  // the bus works without them.
  if (!step("answer to rtrmode", "< rtrmode >")) return fail(error);
  rtrSupported_ = reply == "ok";
  if (unsigned kbit = bitrateKbit_; kbit != 0) {
    // Also an extension: a plain daemon's refusal leaves the bus at its own rate.
    if (!step("answer to bitrate", "< bitrate " + std::to_string(kbit) + " >")) return fail(error);
  }
  open_ = true;
  return true;
}

void SocketcandTransport::close() {
  open_ = false;
  wake_.signal();  // a reader or a stalled sender returns now
  std::lock_guard<std::mutex> readLock(readMutex_);
  std::lock_guard<std::mutex> sendLock(sendMutex_);
  if (int fd = fd_.exchange(-1); fd >= 0) ::close(fd);
  wake_.destroy();
  stream_.reset();
  pending_.clear();
}

bool SocketcandTransport::writeAll(const std::string& text, std::string& error) {
  const int fd = fd_;
  if (fd < 0) {
    error = description() + " is not open";
    return false;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      WaitResult w = waitFd(fd, POLLOUT, wake_, kSendStallMs);
      if (w == WaitResult::Ready) continue;
      error = w == WaitResult::Woken ? description() + " was closed"
                                     : "sending to " + description() + " stalled";
      return false;
    }
    error = lostText() + (n < 0 ? ": " + errnoText(errno) : std::string());
    return false;
  }
  return true;
}

bool SocketcandTransport::send(const CanFrame& frame, std::string& error) {
  error = detail::sendProblem(frame);
  if (error.empty() && frame.remote && !rtrSupported_ && open_)
    error = "remote frames are not supported by the server of " + description() + " (it refused rtrmode)";
  if (error.empty() && !open_) error = description() + " is not open";
  if (error.empty() && lost_) error = lostText();
  if (!error.empty()) return false;
  const std::string text = formatSendMessage(frame);
  std::lock_guard<std::mutex> lock(sendMutex_);
  if (!writeAll(text, error)) {
    setError(error);
    return false;
  }
  return true;
}

SocketcandTransport::Pump SocketcandTransport::pumpMessage(std::string& body, int timeoutMs) {
  const bool unlimited = timeoutMs < 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);
  char buf[kReceiveChunk];
  for (;;) {
    std::string problem;
    while (stream_.takeError(problem)) setError("bad data from " + description() + ": " + problem);
    if (stream_.next(body)) return Pump::Message;
    if (lost_) return Pump::Lost;
    const int fd = fd_;
    if (fd < 0) return Pump::Closed;
    switch (waitFd(fd, POLLIN, wake_, msLeft(deadline, unlimited))) {
      case WaitResult::Woken: return Pump::Closed;
      case WaitResult::Timeout: return Pump::Timeout;
      case WaitResult::Error:
        lost_ = true;
        setError(lostText() + ": " + errnoText(errno));
        return Pump::Lost;
      case WaitResult::Ready: break;
    }
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n > 0) {
      stream_.feed(buf, static_cast<std::size_t>(n));
    } else if (n == 0) {
      lost_ = true;
      setError(lostText());
    } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      lost_ = true;
      setError(lostText() + ": " + errnoText(errno));
    }
  }
}

bool SocketcandTransport::awaitReply(const char* what, std::string& reply, int timeoutMs, std::string& error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::string body;
  for (;;) {
    switch (pumpMessage(body, msLeft(deadline, false))) {
      case Pump::Message: {
        CanFrame frame;
        if (parseFrameMessage(body, frame)) {
          pending_.push_back(frame);  // raw mode already runs; keep what the bus sent
          continue;
        }
        if (body == "echo") continue;
        reply = body;
        return true;
      }
      case Pump::Timeout:
        error = "no " + std::string(what) + " from " + host_ + ":" + std::to_string(port_) + " within " +
                std::to_string(connectTimeoutMs_) + " ms";
        return false;
      case Pump::Lost:
        error = host_ + ":" + std::to_string(port_) + " closed the connection (waiting for " + what + ")";
        return false;
      case Pump::Closed:
        error = description() + " was closed";
        return false;
    }
  }
}

ReadStatus SocketcandTransport::read(CanFrame& frame, int timeoutMs) {
  std::lock_guard<std::mutex> lock(readMutex_);
  if (!open_) {
    if (lastError().empty()) setError(description() + " is not open");
    return ReadStatus::Failed;
  }
  if (!pending_.empty()) {
    frame = pending_.front();
    pending_.pop_front();
    return ReadStatus::Frame;
  }
  const bool unlimited = timeoutMs < 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);
  std::string body;
  for (;;) {
    switch (pumpMessage(body, msLeft(deadline, unlimited))) {
      case Pump::Timeout: return ReadStatus::Timeout;
      case Pump::Lost: return ReadStatus::Failed;
      case Pump::Closed:
        setError(description() + " was closed");
        return ReadStatus::Failed;
      case Pump::Message: break;
    }
    if (parseFrameMessage(body, frame)) return ReadStatus::Frame;
    if (startsWith(body, "frame") || startsWith(body, "rtrframe")) {
      setError("malformed message from " + description() + ": < " + body + " >");
    } else if (startsWith(body, "error")) {
      // The server refused something we sent (a frame, a bit rate); the bus goes on.
      setError("server " + host_ + ":" + std::to_string(port_) + " reports: " + body);
      noteReply(body);
    } else if (body == "ok") {
      noteReply(body);
    }
    // "echo" and unknown messages carry nothing for the reader.
  }
}

bool SocketcandTransport::probe(const std::string& host, std::uint16_t port, int timeoutMs, std::string& error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  const int fd = connectWithin(host, port, deadline, error);
  if (fd < 0) return false;
  detail::Wakeup none;
  SocketcandStream stream;
  std::string body;
  char buf[256];
  bool greeted = false;
  while (!greeted) {
    if (waitFd(fd, POLLIN, none, msLeft(deadline, false)) != WaitResult::Ready) {
      error = "no greeting from " + host + ":" + std::to_string(port);
      break;
    }
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
      error = host + ":" + std::to_string(port) + " closed the connection without a greeting";
      break;
    }
    if (n > 0) stream.feed(buf, static_cast<std::size_t>(n));
    while (!greeted && stream.next(body)) greeted = body == "hi";
  }
  ::close(fd);
  return greeted;
}

bool SocketcandTransport::setBitrate(unsigned kbit, std::string& error) {
  if (kbit == 0 || kbit > 1000) {
    error = "bit rate " + std::to_string(kbit) + " kbit/s is not possible on a CAN bus (1 to 1000)";
    return false;
  }
  bitrateKbit_ = kbit;
  if (!open_) return true;  // announced by open()
  if (lost_) {
    error = lostText();
    return false;
  }
  // The new rate counts once the server has taken it: a frame another
  // client sends right after must not reach this one at the old rate.
  std::uint64_t seen;
  {
    std::lock_guard<std::mutex> lock(replyMutex_);
    seen = replies_;
  }
  {
    std::lock_guard<std::mutex> lock(sendMutex_);
    if (!writeAll("< bitrate " + std::to_string(kbit) + " >", error)) return false;
  }
  return awaitNewReply(seen, "answer to bitrate", error);
}

void SocketcandTransport::noteReply(const std::string& body) {
  {
    std::lock_guard<std::mutex> lock(replyMutex_);
    ++replies_;
    lastReply_ = body;
  }
  replyCv_.notify_all();
}

bool SocketcandTransport::awaitNewReply(std::uint64_t seen, const char* what, std::string& error) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(connectTimeoutMs_);
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(replyMutex_);
      if (replies_ > seen) {
        if (!startsWith(lastReply_, "error")) return true;
        error = "server " + host_ + ":" + std::to_string(port_) + " refused the " + what + ": " + lastReply_;
        return false;
      }
    }
    if (Clock::now() >= deadline) {
      error = "no " + std::string(what) + " from " + description() + " within " +
              std::to_string(connectTimeoutMs_) + " ms";
      return false;
    }
    std::unique_lock<std::mutex> reading(readMutex_, std::try_to_lock);
    if (!reading.owns_lock()) {
      std::unique_lock<std::mutex> lock(replyMutex_);
      replyCv_.wait_for(lock, std::chrono::milliseconds(10), [&] { return replies_ > seen; });
      continue;
    }
    std::string body;
    switch (pumpMessage(body, std::min(msLeft(deadline, false), 50))) {
      case Pump::Message: {
        CanFrame frame;
        if (parseFrameMessage(body, frame))
          pending_.push_back(frame);  // the next read() returns it
        else if (body == "ok" || startsWith(body, "error"))
          noteReply(body);
        break;
      }
      case Pump::Timeout: break;
      case Pump::Lost:
        error = lostText();
        return false;
      case Pump::Closed:
        error = description() + " was closed";
        return false;
    }
  }
}

}  // namespace kestrum::transport
