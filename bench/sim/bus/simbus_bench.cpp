// Two raw TCP clients talk through an in-process socketcand server on an
// unpaced virtual bus: throughput and one-way latency. The same latency over a
// bare loopback TCP connection is the baseline the server's share shows against.

#include "BenchReport.h"
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "bus/SocketcandServer.h"

using Clock = std::chrono::steady_clock;

namespace {

using kestrum::bench::metric;
using kestrum::bench::percentile;

int connectTo(std::uint16_t port) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::perror("connect");
    std::exit(1);
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

void sendAll(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    const ssize_t n = ::send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) {
      std::perror("send");
      std::exit(1);
    }
    done += std::size_t(n);
  }
}

// Reads until `count` complete messages ('>' characters) have arrived.
void readMessages(int fd, std::size_t count) {
  char buf[65536];
  std::size_t seen = 0;
  while (seen < count) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      std::fprintf(stderr, "connection lost after %zu of %zu messages\n", seen, count);
      std::exit(1);
    }
    seen += std::size_t(std::count(buf, buf + n, '>'));
  }
}

// One-way latency of `rounds` single messages from `a` to `b`, one at a time.
std::vector<double> oneWayUs(int a, int b, const std::string& message, int rounds) {
  std::vector<double> us;
  us.reserve(std::size_t(rounds));
  for (int i = 0; i < rounds; ++i) {
    const auto t0 = Clock::now();
    sendAll(a, message);
    readMessages(b, 1);
    us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
  }
  std::sort(us.begin(), us.end());
  return us;
}

}  // namespace

int main() {
  kestrum::sim::VirtualBus bus;
  kestrum::sim::SocketcandServer server(bus);
  std::string error;
  if (!server.start("127.0.0.1", 0, error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 1;
  }
  const int a = connectTo(server.port()), b = connectTo(server.port());
  sendAll(a, "< open can0 >< rawmode >");
  sendAll(b, "< open can0 >< rawmode >");
  readMessages(a, 3);
  readMessages(b, 3);
  const std::string frame = "< send 181 8 01 02 03 04 05 06 07 08 >";

  // Throughput: a sender thread streams batches while this thread reads.
  const std::size_t total = 300000, batch = 100;
  std::string text;
  for (std::size_t i = 0; i < batch; ++i) text += frame;
  const auto start = Clock::now();
  std::thread sender([&] {
    for (std::size_t sent = 0; sent < total; sent += batch) sendAll(a, text);
  });
  readMessages(b, total);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sender.join();
  metric("simbus_throughput", double(total) / seconds, "frames/s");

  const auto through = oneWayUs(a, b, frame, 20000);
  metric("simbus_latency_p50", percentile(through, 0.50), "us");
  metric("simbus_latency_p99", percentile(through, 0.99), "us");

  // Baseline: the same message over a direct loopback connection.
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  ::listen(listener, 1);
  ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
  const int direct = connectTo(ntohs(addr.sin_port));
  const int peer = ::accept(listener, nullptr, nullptr);
  const auto bare = oneWayUs(direct, peer, frame, 20000);
  metric("loopback_tcp_latency_p50", percentile(bare, 0.50), "us");
  metric("loopback_tcp_latency_p99", percentile(bare, 0.99), "us");

  for (int fd : {a, b, direct, peer, listener}) ::close(fd);
  server.stop();
  return 0;
}
