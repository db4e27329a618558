#pragma once
#include <atomic>
#include <cstddef>
#include <string>

#include "transport/CanFrame.h"
#include "transport/SocketcandProtocol.h"

namespace kestrum::sim {

using transport::CanFrame;

/// The server side of one socketcand conversation, without a socket: bytes in,
/// replies and bus actions out. The server owns one per client; the fuzz
/// target drives it alone. Whatever arrives, every reply is one well-formed
/// message and the state stays within the limits below.
class SocketcandSession {
 public:
  /// What a session asks of the server it runs in.
  struct Host {
    virtual ~Host() = default;
    /// The client opened the bus (once per session).
    virtual void attach() = 0;
    /// A valid frame the client sends, in raw mode only.
    virtual void submit(const CanFrame& frame) = 0;
    /// One whole message ("< ... >") for the client.
    virtual void reply(const std::string& message) = 0;
  };

  explicit SocketcandSession(std::string busName, std::size_t maxMessage = 256);

  /// Splits `data` and answers every complete message in order. What was
  /// wrong in the chunk is answered first: a client that waits for the answer
  /// to its last message must find every complaint about what it sent before.
  void receive(const char* data, std::size_t size, Host& host);

  // Read by bus threads while the session's own thread receives.
  bool opened() const { return opened_; }
  bool raw() const { return raw_.load(std::memory_order_acquire); }
  bool rtr() const { return rtr_.load(std::memory_order_acquire); }
  unsigned bitrateKbit() const { return rate_.load(std::memory_order_relaxed); }

 private:
  void handle(const std::string& body, Host& host);

  const std::string busName_;
  transport::SocketcandStream stream_;
  bool opened_ = false;
  std::atomic<bool> raw_{false}, rtr_{false};
  std::atomic<unsigned> rate_{0};
};

}  // namespace kestrum::sim
