#include "SocketUtil.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace kestrum::transport::detail {

Wakeup::~Wakeup() { destroy(); }

bool Wakeup::create(std::string& error) {
  destroy();
  fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd_ < 0) {
    error = "cannot create wake-up event: " + errnoText(errno);
    return false;
  }
  return true;
}

void Wakeup::signal() {
  if (fd_ < 0) return;
  std::uint64_t one = 1;
  // A full counter (EAGAIN) still wakes every poller, so the result is irrelevant.
  [[maybe_unused]] ssize_t n = ::write(fd_, &one, sizeof one);
}

void Wakeup::destroy() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

WaitResult waitFd(int fd, short events, const Wakeup& wake, int timeoutMs) {
  const bool unlimited = timeoutMs < 0;
  const auto deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : timeoutMs);
  for (;;) {
    pollfd fds[2] = {{fd, events, 0}, {wake.fd(), POLLIN, 0}};
    const nfds_t count = wake.fd() >= 0 ? 2 : 1;
    int n = ::poll(fds, count, msLeft(deadline, unlimited));
    if (n < 0) {
      if (errno == EINTR) continue;
      return WaitResult::Error;
    }
    if (n == 0) return WaitResult::Timeout;
    if (count == 2 && (fds[1].revents & POLLIN)) return WaitResult::Woken;
    // Errors and hang-ups count as ready: the following read or write reports them.
    if (fds[0].revents) return WaitResult::Ready;
  }
}

std::string errnoText(int err) {
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  return ::strerror_r(err, buf, sizeof buf);
}

std::string sendProblem(const CanFrame& f) {
  if (f.error) return "error frames cannot be sent";
  if (f.dlc > 8) return "invalid frame: data length " + std::to_string(f.dlc) + " (at most 8)";
  if (f.id > (f.extended ? 0x1FFFFFFFu : 0x7FFu)) return "invalid frame: identifier out of range";
  return {};
}

}  // namespace kestrum::transport::detail
