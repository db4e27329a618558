#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "CanTransport.h"
#include "SocketcandProtocol.h"
#include "SocketUtil.h"

namespace kestrum::transport {

/// A CAN bus served by socketcand (or the virtual bus) over TCP, in raw mode.
///
/// open() connects within the connect time-out and performs the handshake:
/// greeting, "open BUS", "rawmode", then "rtrmode" for remote frames (a server
/// without that extension still works, but sending a remote frame then fails).
/// A bit rate set before open() is announced during open().
///
/// Threads: one thread may block in read() while others call send(); close()
/// from any thread wakes a blocked read(), which then returns Failed.
class SocketcandTransport : public CanTransport {
 public:
  SocketcandTransport(std::string host, std::uint16_t port, std::string bus, int connectTimeoutMs = 2000);
  ~SocketcandTransport() override;

  bool open(std::string& error) override;
  void close() override;
  bool isOpen() const override;
  bool send(const CanFrame& frame, std::string& error) override;
  ReadStatus read(CanFrame& frame, int timeoutMs) override;
  bool setBitrate(unsigned kbit, std::string& error) override;
  std::string lastError() const override;
  std::string description() const override;

  /// Connects to a server and waits for its greeting, then disconnects: a
  /// cheap "is it there" check that joins no bus. Bounded by `timeoutMs`.
  static bool probe(const std::string& host, std::uint16_t port, int timeoutMs, std::string& error);

  /// Whether the server accepted the remote-frame extension.
  bool remoteFramesSupported() const { return rtrSupported_; }

 private:
  enum class Pump { Message, Timeout, Closed, Lost };

  // Receives into the stream until a message is complete. Caller holds readMutex_.
  Pump pumpMessage(std::string& body, int timeoutMs);
  // Waits for the reply to a handshake command, keeping frames that arrive meanwhile.
  bool awaitReply(const char* what, std::string& reply, int timeoutMs, std::string& error);
  bool writeAll(const std::string& text, std::string& error);
  // Counts the server's answer ("ok" or "error ...") to a command sent while open.
  void noteReply(const std::string& body);
  // Waits for an answer newer than the `seen`-th. The thread blocked in
  // read() passes it on; when no thread reads, this one reads the socket.
  bool awaitNewReply(std::uint64_t seen, const char* what, std::string& error);
  void setError(const std::string& text);
  std::string lostText() const;

  const std::string host_;
  const std::uint16_t port_;
  const std::string bus_;
  const int connectTimeoutMs_;

  std::atomic<int> fd_{-1};
  std::atomic<bool> open_{false};
  std::atomic<bool> lost_{false};
  std::atomic<bool> rtrSupported_{false};
  std::atomic<unsigned> bitrateKbit_{0};
  detail::Wakeup wake_;

  std::mutex readMutex_;   // the reading side: stream_, pending_, the socket's receive end
  SocketcandStream stream_;
  std::deque<CanFrame> pending_;  // frames that arrived during the handshake
  std::mutex sendMutex_;   // one writer on the socket at a time
  std::mutex replyMutex_;  // answers to commands sent while open
  std::condition_variable replyCv_;
  std::uint64_t replies_ = 0;
  std::string lastReply_;
  mutable std::mutex errorMutex_;
  std::string lastError_;
};

}  // namespace kestrum::transport
