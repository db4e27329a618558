#pragma once
// The socketcand raw-mode wire format, shared by the client transport and the
// virtual bus server so both sides agree byte for byte.
//
// Messages are "< ... >" with no separators between them; a read may hold
// several messages or a part of one. Extensions beyond the daemon's raw mode
// (remote frames, bit rate) are documented in sim/bus/PROTOCOL.md.

#include <cstddef>
#include <deque>
#include <string>

#include "CanFrame.h"

namespace kestrum::transport {

/// Splits a byte stream into message bodies. Input outside "< >" is garbage;
/// a message longer than the limit is discarded. Both are reported once and
/// the stream resynchronises at the next '<'. Memory stays bounded.
class SocketcandStream {
 public:
  explicit SocketcandStream(std::size_t maxMessage = 256);

  /// Splits `data`; complete messages queue up until taken with next().
  void feed(const char* data, std::size_t size);
  /// Next complete message, without the angle brackets and surrounding blanks
  /// ("frame 123 1.000000 1122"); false when no complete message is buffered.
  bool next(std::string& body);
  /// The oldest unreported problem ("garbage before '<'", "message too long"); false if none.
  bool takeError(std::string& error);
  void reset();
  /// Bytes held for the message being received: never more than the limit.
  std::size_t partialBytes() const { return buffer_.size(); }

 private:
  std::size_t maxMessage_;
  std::string buffer_;
  std::string pendingError_;
  bool discarding_ = false;
  bool inMessage_ = false;
  bool inGarbage_ = false;
  std::deque<std::string> ready_;

  void reportError(const char* text);
};

/// "frame ID SEC.USEC DATA" (data frame) or "rtrframe ID SEC.USEC DLC" (remote).
bool parseFrameMessage(const std::string& body, CanFrame& out);
/// "send ID DLC B0 B1 ..." or "sendrtr ID DLC".
bool parseSendMessage(const std::string& body, CanFrame& out);
/// Whole messages including "< " and " >"; empty for an invalid frame (dlc > 8).
std::string formatFrameMessage(const CanFrame& frame);
std::string formatSendMessage(const CanFrame& frame);

}  // namespace kestrum::transport
