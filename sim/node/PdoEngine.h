#pragma once
#include <cstdint>
#include <functional>
#include <vector>

#include "ObjectDictionary.h"
#include "transport/CanFrame.h"

namespace kestrum::sim {

using transport::CanFrame;

/// The receive and transmit PDOs of one node as its dictionary configures them
/// (0x1400.., 0x1600.., 0x1800.., 0x1A00..): CiA 301 checks of parameter
/// writes, packing and transmission of transmit PDOs by transmission type,
/// inhibit time and event timer, and unpacking of receive PDOs. No I/O: frames
/// leave through the `send` callback, received values through `store`.
class PdoEngine {
 public:
  static constexpr std::uint64_t kNever = ~std::uint64_t(0);
  using Send = std::function<void(const CanFrame&)>;
  /// Writes one received value into the dictionary (with the node's checks).
  using Store = std::function<void(std::uint16_t index, std::uint8_t sub, const Bytes& value)>;

  /// True for the parameter objects of PDOs (communication and mapping).
  static bool isPdoParameter(std::uint16_t index) { return index >= 0x1400 && index <= 0x1BFF; }

  /// SDO abort code for writing `value` into a PDO parameter, 0 when allowed.
  std::uint32_t checkWrite(const ObjectDictionary& od, std::uint16_t index, std::uint8_t sub,
                           std::int64_t value) const;

  /// Re-reads every channel from the dictionary. Transmit state is kept for
  /// channels whose configuration did not change.
  void configure(const ObjectDictionary& od);
  /// Forgets what was sent, so that event-driven PDOs go out once more (entering operational).
  void restart();

  /// SYNC received (operational): synchronous transmit PDOs and buffered receive PDOs.
  void onSync(const ObjectDictionary& od, std::uint64_t nowUs, const Send& send, const Store& store);
  /// Event-driven transmit PDOs: changed values (after the inhibit time) and event timers.
  void poll(const ObjectDictionary& od, std::uint64_t nowUs, const Send& send);
  std::uint64_t deadlineUs() const;
  /// Values of `index` no longer count as a change for event-driven transmit
  /// PDOs; those go out for them only through trigger() (or for another reason).
  void setTriggerOnly(std::uint16_t index);
  /// Every valid event-driven transmit PDO mapping index:sub goes out at the
  /// next poll, or once its inhibit time has passed.
  void trigger(std::uint16_t index, std::uint8_t sub);
  /// A frame for a receive PDO or a remote request for a transmit PDO. Returns
  /// true when the frame belonged to a PDO; `lengthError` reports a receive PDO
  /// shorter than its mapping (ignored, as CiA 301 prescribes).
  bool onFrame(const CanFrame& frame, const ObjectDictionary& od, std::uint64_t nowUs, const Send& send,
               const Store& store, bool& lengthError);

 private:
  struct MapEntry {
    std::uint16_t index = 0;
    std::uint8_t sub = 0;
    std::uint8_t bits = 0;
    bool operator==(const MapEntry& o) const { return index == o.index && sub == o.sub && bits == o.bits; }
  };
  struct Channel {
    bool transmit = false;
    std::uint16_t commIndex = 0;
    bool valid = false;
    std::uint16_t cobId = 0;
    bool rtrAllowed = false;
    std::uint8_t type = 255;
    std::uint64_t inhibitUs = 0;
    std::uint64_t eventUs = 0;
    std::vector<MapEntry> map;
    // transmit state
    bool sent = false;
    std::uint8_t last[8] = {};
    std::uint8_t lastLen = 0;
    std::uint64_t lastTxUs = 0;
    std::uint64_t eventDueUs = kNever;
    std::uint64_t changeDueUs = kNever;
    unsigned syncCount = 0;
    bool triggered = false;  ///< trigger() asked for a transmission
    // receive state: data of a synchronous receive PDO waiting for SYNC
    bool syncPending = false;
    std::uint8_t rx[8] = {};
  };

  std::uint32_t checkMapEntry(const ObjectDictionary& od, std::uint32_t entry, bool transmit) const;
  static std::uint8_t pack(const Channel& c, const ObjectDictionary& od, std::uint8_t out[8]);
  static void unpack(const Channel& c, const std::uint8_t* data, const Store& store);
  void transmit(Channel& c, const std::uint8_t* data, std::uint8_t len, std::uint64_t nowUs, const Send& send);
  static bool eventDriven(const Channel& c) { return c.type >= 254; }
  /// Whether `data` differs from what was sent last in a value that counts as a change.
  bool changedSinceSent(const Channel& c, const std::uint8_t* data, std::uint8_t len) const;

  std::vector<Channel> channels_;
  std::vector<std::uint16_t> triggerOnly_;
};

}  // namespace kestrum::sim
