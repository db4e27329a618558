#pragma once
// A plain TCP client for byte-exact protocol tests: sends text, collects what
// arrives, waits with poll() and a deadline.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <regex>
#include <string>

#include "Wait.h"

class RawClient {
 public:
  explicit RawClient(std::uint16_t port, int receiveBuffer = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (receiveBuffer > 0) ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  }
  ~RawClient() { close(); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return connected_; }
  void close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }
  /// Closes with a reset instead of an orderly shutdown.
  void abort() {
    linger l{1, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    close();
  }

  bool send(const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += std::size_t(n);
    }
    return true;
  }

  /// Reads until `done(received)` holds or the time is up; false on timeout.
  [[nodiscard]] bool waitUntil(const std::function<bool(const std::string&)>& done,
                               int timeoutMs = int(kestrum::test::kWaitLimit.count())) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!done(in_)) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readOnce(int(left.count()))) return done(in_);
    }
    return true;
  }
  [[nodiscard]] bool waitFor(const std::string& needle, int timeoutMs = int(kestrum::test::kWaitLimit.count())) {
    return waitUntil([&](const std::string& s) { return s.find(needle) != std::string::npos; }, timeoutMs);
  }
  /// True when the server closed the connection within the time.
  bool waitClosed(int timeoutMs) {
    return waitUntil([this](const std::string&) { return eof_; }, timeoutMs);
  }

  /// Everything received so far, time stamps replaced by "T"; clears it.
  std::string take() {
    static const std::regex stamp(R"(\b\d+\.\d{6}\b)");
    std::string out = std::regex_replace(in_, stamp, "T");
    in_.clear();
    return out;
  }
  const std::string& raw() const { return in_; }

 private:
  bool readOnce(int timeoutMs) {
    pollfd p{fd_, POLLIN, 0};
    if (eof_ || ::poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) {
      eof_ = true;
      return false;
    }
    in_.append(buf, std::size_t(n));
    return true;
  }

  int fd_ = -1;
  bool connected_ = false;
  bool eof_ = false;
  std::string in_;
};

/// Counts non-overlapping occurrences of `needle`.
inline std::size_t countOf(const std::string& text, const std::string& needle) {
  std::size_t n = 0;
  for (auto p = text.find(needle); p != std::string::npos; p = text.find(needle, p + needle.size())) ++n;
  return n;
}
