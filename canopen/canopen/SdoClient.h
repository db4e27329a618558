#pragma once
// The application's SDO client as a pure state machine: expedited download,
// expedited upload and segmented upload of strings (size indicated, up to
// 255 bytes). It sends nothing and keeps no clock of its own: the caller
// sends the requests it returns, hands it the answer frames of the server
// (0x580 + node ID) and tells it when the answer did not come in time.
#include <array>
#include <cstdint>
#include <string>

namespace kestrum::canopen {

/// Result codes of the client, as the application reports them.
namespace sdo_result {
constexpr std::int32_t kOk = 0;
constexpr std::int32_t kBusDead = 1;        ///< the request could not be sent
constexpr std::int32_t kNoAnswer = 2;       ///< no answer within the time-out
constexpr std::int32_t kAborted = 3;        ///< the server aborted (or broke the segment protocol)
constexpr std::int32_t kWrongLength = 257;  ///< answer data length not 8
constexpr std::int32_t kWrongIndex = 258;
constexpr std::int32_t kWrongSubIndex = 259;
constexpr std::int32_t kUnknownHeader = 260;  ///< answer command byte not handled
constexpr std::int32_t kNonZero8 = 273;       ///< reserved bytes not 0 (one-byte answer, acknowledgements)
constexpr std::int32_t kNonZero16 = 274;
constexpr std::int32_t kNonZero32 = 275;
constexpr std::int32_t kWrongType8 = 289;   ///< one byte sent, another size requested
constexpr std::int32_t kWrongType16 = 290;  ///< two bytes or a segmented answer sent, another size requested
constexpr std::int32_t kWrongType32 = 291;  ///< four bytes sent, another size requested
constexpr std::int32_t kUnknownType = 513;
constexpr std::int32_t kNodeRange = 514;
constexpr std::int32_t kTimeoutRange = 515;
constexpr std::int32_t kBusy = 516;          ///< another exchange is pending
constexpr std::int32_t kTimerStopped = 517;  ///< the caller's time-out clock is not running
constexpr std::int32_t kClosing = 518;       ///< refused or ended because the application is closing
}  // namespace sdo_result

/// Transfer sizes: byte counts, plus 6 for a string by segmented upload.
namespace sdo_size {
constexpr std::uint8_t kU8 = 1;
constexpr std::uint8_t kU16 = 2;
constexpr std::uint8_t kU32 = 4;
constexpr std::uint8_t kString = 6;
}  // namespace sdo_size

class SdoClient {
 public:
  struct Result {
    std::int32_t code = sdo_result::kOk;
    std::uint32_t abortCode = 0;  ///< the server's abort code when code is kAborted
    std::int32_t size = 0;        ///< size class of the answer (1, 2, 4, 6); 0 for downloads
    std::int32_t value = 0;       ///< value read; the string's length for a string
    std::string data;             ///< the string read
  };
  struct Step {
    enum Kind { Send, Wait, Done } kind = Done;
    std::array<std::uint8_t, 8> request{};  ///< Send: 8 data bytes for 0x600 + node ID
    Result result;                          ///< Done
  };

  /// Starts an upload of `size` (sdo_size); Done with kUnknownType for any other size.
  Step upload(std::uint16_t index, std::uint8_t sub, std::uint8_t size);
  /// Starts an expedited download of the low `size` (1, 2 or 4) bytes of `value`.
  Step download(std::uint16_t index, std::uint8_t sub, std::uint8_t size, std::int32_t value);

  /// An answer frame of the server (data and length as received).
  Step onAnswer(const std::uint8_t* data, std::uint8_t dlc);
  /// The answer to the last request did not come in time.
  Step onTimeout();
  /// The last request could not be sent.
  Step onSendFailed();

  /// For callers without a clock of their own: with a time-out set, time
  /// handed in with elapse() since the last request ends the transfer with
  /// kNoAnswer. The default, 0, leaves time-outs to the caller.
  void setTimeoutUs(std::uint64_t us) { timeoutUs_ = us; }
  Step elapse(std::uint64_t us);

  bool busy() const { return phase_ != Phase::Idle; }

 private:
  enum class Phase { Idle, Upload, Download, Segment };
  Step send(std::array<std::uint8_t, 8> request);
  Step finish(Result r);
  Step initiateAnswer(const std::uint8_t* a);
  Step downloadAnswer(const std::uint8_t* a);
  Step segmentAnswer(const std::uint8_t* a);
  std::array<std::uint8_t, 8> segmentRequest() const;

  Phase phase_ = Phase::Idle;
  std::uint16_t index_ = 0;
  std::uint8_t sub_ = 0;
  std::uint8_t size_ = 0;
  bool toggle_ = false;
  std::size_t announced_ = 0;
  std::string data_;
  std::uint64_t timeoutUs_ = 0;
  std::uint64_t waitedUs_ = 0;
};

}  // namespace kestrum::canopen
