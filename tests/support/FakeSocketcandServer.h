#pragma once
// A scripted socketcand server for client tests: plain sockets on 127.0.0.1,
// one client at a time, answers the handshake (configurable), records every
// byte the client sends and lets the test push raw bytes or drop the client.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "Wait.h"
#include "transport/SocketcandProtocol.h"

class FakeSocketcandServer {
 public:
  struct Script {
    bool greet = true;
    bool acceptRtrMode = true;
    bool acceptBitrate = true;
    std::string bus = "can0";
    std::string afterRawmode;  // sent right after the "ok" to rawmode
  };

  FakeSocketcandServer() : FakeSocketcandServer(Script()) {}
  explicit FakeSocketcandServer(Script script) : script_(std::move(script)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listen_, 4);
    socklen_t len = sizeof addr;
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    if (::pipe(stopPipe_) != 0) stopPipe_[0] = stopPipe_[1] = -1;
    thread_ = std::thread([this] { run(); });
  }

  ~FakeSocketcandServer() {
    [[maybe_unused]] ssize_t n = ::write(stopPipe_[1], "x", 1);
    thread_.join();
    dropClient();
    ::close(listen_);
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
  }

  std::uint16_t port() const { return port_; }

  /// Writes raw bytes to the connected client (waits for one to connect).
  [[nodiscard]] bool push(const std::string& bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cv_.wait_for(lock, kestrum::test::kWaitLimit, [&] { return client_ >= 0; })) return false;
    return ::send(client_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
  }

  /// Closes the client's connection, as a crashed or stopped server would.
  void dropClient() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (client_ >= 0) ::close(client_);
    client_ = -1;
    clientGone_ = true;
  }

  /// Everything the client sent so far.
  std::string received() {
    std::lock_guard<std::mutex> lock(mutex_);
    return received_;
  }

  /// Waits until the client has sent `text`.
  [[nodiscard]] bool waitReceived(const std::string& text) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, kestrum::test::kWaitLimit,
                        [&] { return received_.find(text) != std::string::npos; });
  }

 private:
  void reply(int fd, const std::string& body) {
    const std::string msg = "< " + body + " >";
    ::send(fd, msg.data(), msg.size(), MSG_NOSIGNAL);
  }

  void answer(int fd, const std::string& body) {
    if (body == "open " + script_.bus) reply(fd, "ok");
    else if (body.rfind("open ", 0) == 0) reply(fd, "error could not open bus");
    else if (body == "rawmode") {
      reply(fd, "ok");
      if (!script_.afterRawmode.empty())
        ::send(fd, script_.afterRawmode.data(), script_.afterRawmode.size(), MSG_NOSIGNAL);
    } else if (body == "rtrmode") reply(fd, script_.acceptRtrMode ? "ok" : "error unknown command");
    else if (body.rfind("bitrate ", 0) == 0) reply(fd, script_.acceptBitrate ? "ok" : "error unknown command");
    else if (body == "echo") reply(fd, "echo");
  }

  void run() {
    kestrum::transport::SocketcandStream stream;
    for (;;) {
      int fd;
      bool gone;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        fd = client_;
        gone = clientGone_;
      }
      pollfd fds[2] = {{stopPipe_[0], POLLIN, 0}, {fd >= 0 ? fd : listen_, POLLIN, 0}};
      // Once the test dropped the client, keep serving nothing but the stop pipe.
      const nfds_t count = (fd < 0 && gone) ? 1 : 2;
      if (::poll(fds, count, 50) < 0) continue;
      if (fds[0].revents) return;
      if (count < 2 || !fds[1].revents) continue;
      if (fd < 0) {
        int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) continue;
        if (script_.greet) reply(c, "hi");
        std::lock_guard<std::mutex> lock(mutex_);
        client_ = c;
        cv_.notify_all();
        continue;
      }
      char buf[4096];
      ssize_t n = ::recv(fd, buf, sizeof buf, 0);
      std::lock_guard<std::mutex> lock(mutex_);
      if (n <= 0) {
        if (client_ == fd) ::close(fd);
        client_ = -1;
        continue;
      }
      received_.append(buf, static_cast<std::size_t>(n));
      stream.feed(buf, static_cast<std::size_t>(n));
      std::string body;
      while (stream.next(body)) answer(fd, body);
      cv_.notify_all();
    }
  }

  Script script_;
  int listen_ = -1;
  int stopPipe_[2] = {-1, -1};
  std::uint16_t port_ = 0;
  std::mutex mutex_;
  std::condition_variable cv_;
  int client_ = -1;
  bool clientGone_ = false;
  std::string received_;
  std::thread thread_;
};
