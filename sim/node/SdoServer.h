#pragma once
#include <cstdint>

#include "ObjectDictionary.h"
#include "canopen/SdoAbort.h"
#include "transport/CanFrame.h"

namespace kestrum::sim {

/// SDO abort codes (CiA 301) the simulated nodes answer with.
namespace sdo_abort = canopen::sdo_abort;

/// What the SDO server needs of its node: object access with CiA 301 abort codes.
class SdoTarget {
 public:
  virtual ~SdoTarget() = default;
  /// Value of an object for an upload, or an abort code. `segmented` asks for
  /// a segmented transfer even when the value would fit an expedited one.
  virtual std::uint32_t sdoRead(std::uint16_t index, std::uint8_t sub, Bytes& value, bool& segmented) = 0;
  /// Whether a download into the object may start: abort code or 0, with the
  /// size it takes (`fixedSize` 0: variable length up to `maxSize`).
  virtual std::uint32_t sdoCheckWrite(std::uint16_t index, std::uint8_t sub, std::size_t& fixedSize,
                                      std::size_t& maxSize) = 0;
  /// Stores a downloaded value: abort code or 0.
  virtual std::uint32_t sdoWrite(std::uint16_t index, std::uint8_t sub, const Bytes& value) = 0;
};

/// The server side of the SDO protocol (expedited and segmented transfers; block
/// transfers are refused as unknown commands). Handed request frames and the
/// time, it produces the 8-byte answer frames; it does no I/O itself.
class SdoServer {
 public:
  static constexpr std::uint64_t kNever = ~std::uint64_t(0);

  explicit SdoServer(SdoTarget& target) : target_(target) {}

  /// Handles one request's data. Returns true and fills `answer` (8 bytes) when
  /// the server answers; frames too short to carry a request are ignored.
  bool handle(const std::uint8_t* data, std::uint8_t dlc, std::uint64_t nowUs, std::uint8_t answer[8]);
  /// Ends a segmented transfer that has waited longer than the time-out with an
  /// abort (0x05040000); returns true and fills `answer` when it did.
  bool poll(std::uint64_t nowUs, std::uint8_t answer[8]);
  /// When poll() has something to do, kNever when idle.
  std::uint64_t deadlineUs() const;
  /// Forgets a transfer in progress without answering (NMT reset, stop).
  void reset() { mode_ = Mode::Idle; }
  void setTimeoutUs(std::uint64_t us) { timeoutUs_ = us; }
  bool busy() const { return mode_ != Mode::Idle; }

 private:
  enum class Mode { Idle, Upload, Download };

  bool initiateDownload(const std::uint8_t* d, std::uint8_t dlc, std::uint64_t nowUs, std::uint8_t* a);
  bool downloadSegment(const std::uint8_t* d, std::uint8_t dlc, std::uint64_t nowUs, std::uint8_t* a);
  bool initiateUpload(const std::uint8_t* d, std::uint64_t nowUs, std::uint8_t* a);
  bool uploadSegment(const std::uint8_t* d, std::uint64_t nowUs, std::uint8_t* a);
  bool abort(std::uint16_t index, std::uint8_t sub, std::uint32_t code, std::uint8_t* a);
  static void mux(std::uint8_t* a, std::uint16_t index, std::uint8_t sub);

  SdoTarget& target_;
  Mode mode_ = Mode::Idle;
  std::uint16_t index_ = 0;
  std::uint8_t sub_ = 0;
  std::uint8_t toggle_ = 0;
  Bytes buffer_;
  std::size_t offset_ = 0;        // upload: bytes sent so far
  std::size_t indicated_ = 0;     // download: size announced by the client, 0 = none
  std::size_t fixedSize_ = 0;
  std::size_t maxSize_ = 0;
  std::uint64_t lastUs_ = 0;
  std::uint64_t timeoutUs_ = 1000000;
};

}  // namespace kestrum::sim
