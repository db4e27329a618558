#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "VirtualBus.h"

namespace kestrum::sim {

/// Serves a VirtualBus to network clients with the socketcand raw protocol
/// (plus the remote-frame and bit-rate extensions documented in
/// sim/bus/PROTOCOL.md). Runs its own I/O thread; every client is a BusPort
/// attached to the bus once it has opened it. A malformed, hostile or vanished
/// client is answered with errors or dropped, never disturbing the others.
class SocketcandServer {
 public:
  SocketcandServer(VirtualBus& bus, std::string busName = "can0");
  ~SocketcandServer();

  /// Anyone who reaches the port drives the bus, so by default start()
  /// refuses any address but loopback; true serves whatever host names.
  void setAllowRemote(bool allow);
  /// Binds and starts serving. Port 0 picks a free port; see port().
  bool start(const std::string& host, std::uint16_t port, std::string& error);
  void stop();
  std::uint16_t port() const;
  /// How a client names this server's bus, as in KESTRUM_BUS:
  /// "host:port/bus" with the host as started (IPv6 in brackets).
  std::string entry() const;
  std::size_t clientCount() const;
  /// Bytes of output a client may have waiting (default 4 MiB); a client that
  /// stops reading and exceeds it is disconnected so it never holds up others.
  /// The limit shrinks as clients join, so that all of them together hold
  /// no more than 64 MiB (but each may have at least 64 KiB).
  void setOutputLimit(std::size_t bytes);
  /// Connections served at once (default 128); one more is told
  /// "< error too many clients >" and closed.
  void setClientLimit(std::size_t clients);
  std::size_t refusedClients() const;
  /// Output waiting for clients, now and at most since start: what hostile or
  /// slow clients make the server hold.
  std::size_t queuedBytes() const;
  std::size_t peakQueuedBytes() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> d;
};

}  // namespace kestrum::sim
