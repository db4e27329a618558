#pragma once
#include <linux/can.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "CanTransport.h"
#include "SocketUtil.h"

namespace kestrum::transport {

/// Kernel frame -> CanFrame. Error frames (CAN_ERR_FLAG) become `error` frames
/// with the error class bits in `id` and the kernel's detail bytes in `data`;
/// a length beyond 8 is cut to 8.
CanFrame fromSocketCan(const can_frame& in, std::uint64_t timestampUs);
/// CanFrame -> kernel frame. False with a reason for frames that cannot be sent.
bool toSocketCan(const CanFrame& in, can_frame& out, std::string& error);

/// Bit rate of a SocketCAN interface read over rtnetlink, in bit/s. `isCan` is
/// false for interfaces without bit timing (vcan and the like), which run at
/// any rate. False with a reason when the interface cannot be queried.
bool readInterfaceBitrate(const std::string& ifname, std::uint32_t& bitrate, bool& isCan, std::string& error);

/// A SocketCAN interface through a raw CAN socket: standard, extended, remote
/// and error frames, kernel receive time stamps (microseconds since the epoch).
/// Threads as CanTransport describes; close() wakes a blocked read().
class SocketCanTransport : public CanTransport {
 public:
  explicit SocketCanTransport(std::string ifname);
  ~SocketCanTransport() override;

  bool open(std::string& error) override;
  void close() override;
  bool isOpen() const override;
  bool send(const CanFrame& frame, std::string& error) override;
  ReadStatus read(CanFrame& frame, int timeoutMs) override;
  /// Sets the interface's bit rate when permitted (root, interface down);
  /// otherwise succeeds only if the interface already runs at `kbit`.
  bool setBitrate(unsigned kbit, std::string& error) override;
  std::string lastError() const override;
  std::string description() const override;

 private:
  void setError(const std::string& text);

  const std::string ifname_;
  std::atomic<int> fd_{-1};
  std::atomic<bool> open_{false};
  std::atomic<bool> lost_{false};
  detail::Wakeup wake_;
  std::mutex readMutex_;
  std::mutex sendMutex_;
  mutable std::mutex errorMutex_;
  std::string lastError_;
};

}  // namespace kestrum::transport
