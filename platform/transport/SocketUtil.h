#pragma once
// Internal helpers shared by the socket transports: a wake-up event that ends
// a blocking poll() from another thread, frame checks.

#include <chrono>
#include <string>

#include "CanFrame.h"
#include "Deadline.h"

namespace kestrum::transport::detail {

/// An eventfd that a closing thread signals so a reader blocked in poll() on
/// the transport's socket returns at once.
class Wakeup {
 public:
  Wakeup() = default;
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  bool create(std::string& error);
  void signal();
  void destroy();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

enum class WaitResult { Ready, Timeout, Woken, Error };

/// Waits until `fd` has any of `events` (POLLIN/POLLOUT), the wake-up fires or
/// `timeoutMs` passes (negative: no limit). EINTR is retried with the time left.
WaitResult waitFd(int fd, short events, const Wakeup& wake, int timeoutMs);

using kestrum::transport::Clock;
using kestrum::transport::msLeft;

/// strerror for errno values, thread-safe.
std::string errnoText(int err);

/// Why `frame` cannot be transmitted (error frame, dlc > 8, identifier out of
/// range); empty when it can.
std::string sendProblem(const CanFrame& frame);

}  // namespace kestrum::transport::detail
