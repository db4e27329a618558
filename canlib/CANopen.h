#pragma once
// CANopen client services of Varnex on top of the adapter: expedited SDO
// download and upload to the selected node, NMT, the boot-up wait and the
// bootloader entry/exit. Answers are found by walking the receive queue from
// a cursor taken before the request goes out.
//
// All state is class-wide; the client serves one request at a time (the
// caller's thread, or the firmware download's worker while nothing else runs).

#include <cstdint>

#include "RxQueue.h"
#include "VarnexExport.h"

class Varnex;

/// An SDO request record: the object index and one entry per subindex.
/// Entry 0 with type 255 marks the record as addressing subindex `value`,
/// whose data then sits in that subindex's entry.
struct SDO {
  std::uint32_t index = 0;
  struct Entry {
    std::uint8_t type = 0;   ///< download: bytes to send (1 to 4); after an upload: the answer's length
    std::int32_t value = 0;  ///< little-endian on the bus
  } slot[256];
};

class VARNEX_EXPORT CANopen {
 public:
  CANopen();

  static void setVarnex(Varnex* adapter);
  static void setCanId(std::uint8_t node);
  static double getTimeout();
  static void setTimeout(double milliseconds);

  /// Restarts the request timer (steady clock; always available here).
  static bool startTimer();
  /// Milliseconds since the last startTimer.
  static double getTime();

  /// NMT command to the selected node (COB-ID 0, no answer awaited).
  static void sendNMT(std::uint8_t command);

  /// Expedited download of subindex `subindex`: up to 3 attempts of `timeout`
  /// ms each; an abort answer fails the attempt. True when acknowledged.
  static bool sendSDO(SDO record, std::uint8_t subindex);
  /// Marked record: subindices 1 up to (not including) entry 0's value;
  /// otherwise subindex 0. Result of the last download.
  static bool sendSDO(SDO record);
  /// Marked record: subindices first to last; otherwise subindex 0.
  static bool sendSDO(SDO record, int first, int last);
  /// Expedited upload: on an answer stores its length in `type` and its value
  /// in `value` of the subindex's entry: the bytes the answer indicates of 4
  /// to 7 (all four when it indicates no size), the rest zero. False on time-out (3 attempts)
  /// and at once on an abort answer.
  static bool readSDO(SDO& record, std::uint8_t subindex);

  /// Waits up to `milliseconds` for the node's boot-up message among the
  /// frames newer than `cursor`. The caller must hold an RxCursor standing on
  /// `cursor` or older for the duration of the call.
  static bool _waitBootup(can_data* cursor, double milliseconds);

  /// Producer heartbeat of the selected node on (256 ms) / off; no answer awaited.
  static bool enableHartbeat();
  static bool disableHartbeat();

  /// Resets the node and keeps it in its bootloader (0x3000 sub 1 := 3).
  static bool startBootloader();
  /// Leaves the bootloader (0x3000 sub 1 := 4), waits up to 10 s for the
  /// node's boot-up, resets it and waits up to 2 s for the next boot-up.
  static bool stopBootloader();
  /// Leaves the bootloader with an acknowledged write (10 ms time-out) without waiting.
  static bool stopBootloader_noreset();

  static std::uint8_t node_id;
  static double timeout;
  static double pcFreq;
  static std::int64_t counterStart;
  static Varnex* pmyInterface;
};
