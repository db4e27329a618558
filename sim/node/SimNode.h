#pragma once
#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ObjectDictionary.h"
#include "PdoEngine.h"
#include "SdoServer.h"
#include "transport/CanFrame.h"
#include "canopen/Cia301.h"
#include "canopen/Orvane.h"

namespace kestrum::sim {

using transport::CanFrame;

constexpr std::uint64_t kNever = ~std::uint64_t(0);

/// NMT states with the byte a node reports for them in heartbeat and guarding.
enum class NmtState : std::uint8_t {
  Initialising = canopen::nmt::kBootUp,
  Stopped = canopen::nmt::kStopped,
  Operational = canopen::nmt::kOperational,
  PreOperational = canopen::nmt::kPreOperational
};
const char* nmtStateName(NmtState state);

enum class ResetKind { PowerOn, Node, Communication };

using canopen::orvane::bitRateCode;
using canopen::orvane::bitRateOfCode;

class SimNode;

/// Device-specific behaviour plugged into a node (drive profile, I/O,
/// bootloader): sees frames first, vets and observes writes from the bus, and
/// runs periodic work. Every call happens on the node's owning thread.
class NodeBehaviour {
 public:
  virtual ~NodeBehaviour() = default;
  /// A frame the behaviour handles itself; true = consumed, the node ignores it.
  virtual bool receive(SimNode&, const CanFrame&, std::uint64_t /*nowUs*/) { return false; }
  /// Vets a write from the bus (SDO or receive PDO) that passed the dictionary's
  /// checks: SDO abort code, or 0 to accept.
  virtual std::uint32_t checkWrite(SimNode&, std::uint16_t /*index*/, std::uint8_t /*sub*/, const Bytes&) {
    return 0;
  }
  /// After a write from the bus has landed.
  virtual void written(SimNode&, std::uint16_t /*index*/, std::uint8_t /*sub*/, std::uint64_t /*nowUs*/) {}
  /// Periodic work; returns when it wants to run next (kNever: not until something happens).
  /// Values set through writeObject() are seen by the PDOs; after changing
  /// dictionary() entries directly, call SimNode::touched().
  virtual std::uint64_t tick(SimNode&, std::uint64_t /*nowUs*/) { return kNever; }
  /// After the dictionary was reset (power-on, NMT reset node or communication).
  virtual void reset(SimNode&, ResetKind, std::uint64_t /*nowUs*/) {}
  virtual void nmtChanged(SimNode&, NmtState) {}
  /// A SYNC received in operational, after the PDOs acted on it.
  virtual void sync(SimNode&, std::uint64_t /*nowUs*/) {}
  /// Whether "store parameters" keeps this object; process values say no.
  virtual bool persistent(std::uint16_t /*index*/, std::uint8_t /*sub*/) const { return true; }
};

/// One simulated CANopen device (CiA 301): object dictionary from the model's
/// EDS, SDO server, NMT with boot-up, heartbeat producer, node guarding and
/// life guarding, EMCY with error register and history, SYNC consumer, PDOs,
/// store/restore of parameters in a state file and the identity object.
///
/// A plain object without I/O or threads: it is handed received frames and the
/// time (microseconds on any monotonic clock), emits frames through its sink,
/// and wants poll() called at nextDeadlineUs() and after anything was changed
/// from outside. Not thread-safe; its host serialises all calls.
///
/// Node ID and bit rate: the node starts with those of its Config, which its
/// objects 0x2009 (node ID) and 0x2005 (bit-rate code) then report. As on the
/// controller (hexadecimal switches at 80h), writing these objects changes
/// nothing at once: the application reads them when it starts, at power-on
/// and at an NMT reset node, so a new value takes effect after it was stored
/// (0x1010) and the node was restarted, or at once after a reset node (the
/// reset loads the stored values, so without a store the old ones return).
/// A reset communication keeps both. A new node ID moves every "$NODEID"
/// default (COB-IDs of the predefined connection set); a COB-ID that was
/// changed from its default and stored keeps its stored value.
class SimNode : private SdoTarget {
 public:
  using Sink = std::function<void(const CanFrame&)>;

  struct Config {
    std::uint8_t nodeId = 1;
    std::string model;
    std::string statePath;  ///< stored parameters; empty = none survive a power cycle
    unsigned bitrateKbit = 1000;  ///< rate it is made with; one of the rates bitRateCode knows
  };

  /// A node from an already loaded dictionary. The identity object gets the
  /// maker's vendor ID and a serial number derived from model and node ID.
  SimNode(Config config, ObjectDictionary od);
  /// Loads the model's EDS file; null with a message when it cannot be read.
  static std::unique_ptr<SimNode> fromEds(Config config, const std::string& edsPath, std::string& error);

  void setSink(Sink sink) { sink_ = std::move(sink); }
  void addBehaviour(std::unique_ptr<NodeBehaviour> behaviour);
  /// The first behaviour of type T, or null (commands reach a drive this way).
  template <class T>
  T* behaviour() {
    for (auto& b : behaviours_)
      if (auto* t = dynamic_cast<T*>(b.get())) return t;
    return nullptr;
  }
  /// Brings a behaviour's next tick forward to `atUs`: a write from the bus
  /// can start work (a motion) that an idle behaviour has no tick for.
  void wake(const NodeBehaviour& behaviour, std::uint64_t atUs);

  /// The node ID the node was made with (its host's handle for it).
  std::uint8_t nodeId() const { return config_.nodeId; }
  /// The node ID it uses on the bus now (see the class comment).
  std::uint8_t busNodeId() const { return busId_; }
  /// The bit rate it runs at now, in kbit/s.
  unsigned bitrateKbit() const { return bitrate_; }
  const std::string& model() const { return config_.model; }
  /// Where stored parameters live; empty when none survive a power cycle.
  const std::string& statePath() const { return config_.statePath; }
  NmtState nmtState() const { return state_; }
  bool powered() const { return powered_; }

  // --- driving the node -------------------------------------------------------
  /// Switches the supply on (initialisation, stored values, boot-up) or off
  /// (nothing received or sent, transfers and timers gone).
  void setPowered(bool on, std::uint64_t nowUs);
  void powerCycle(std::uint64_t nowUs);
  /// Starts the application afresh as an NMT reset node does (values reset,
  /// boot-up sent): a behaviour that leaves the bootloader starts the firmware.
  void restart(std::uint64_t nowUs);
  /// Sends a frame of a behaviour's own (its SDO answers, for one) at once.
  void transmit(const CanFrame& frame) { emit(frame); }
  void receive(const CanFrame& frame, std::uint64_t nowUs);
  void poll(std::uint64_t nowUs);
  std::uint64_t nextDeadlineUs() const;

  // --- control for tests and demos ------------------------------------------
  /// A silent node keeps working but its transmitter sends nothing.
  void setSilent(bool silent) { silent_ = silent; }
  bool silent() const { return silent_; }
  /// Answers (SDO, node guarding) leave this much later than their request.
  void setAnswerDelayUs(std::uint64_t us) { answerDelayUs_ = us; }
  /// How long a segmented transfer may stall before the node aborts it.
  void setSdoTimeoutUs(std::uint64_t us) { sdo_.setTimeoutUs(us); }
  /// Records an error (history, error register, 0x603F) and sends the EMCY
  /// message; code 0 is the "error reset" message and clears the register.
  void raiseEmergency(std::uint16_t code, std::uint64_t nowUs, std::uint16_t info = 0);
  /// Sets the physical digital inputs; they survive resets. False when the
  /// model has no digital inputs (0x60FD). A changed input shows in 0x60FD
  /// once it has been stable for the debounce time (0x2008, milliseconds;
  /// at once on models without the object or with 0).
  bool setDigitalInputs(std::uint32_t bits, std::uint64_t nowUs);
  /// The physical digital inputs as last set, before debouncing.
  std::uint32_t digitalInputs() const { return inputs_; }
  /// Input bits a behaviour's own model drives (the drive's limit and home
  /// switches), ORed into 0x60FD with the physical inputs. They bypass the
  /// debounce: the model has settled them already.
  void setSwitchInputs(std::uint32_t bits, std::uint64_t nowUs);
  /// Changes of `index` no longer make event-driven transmit PDOs go out;
  /// only triggerPdos() sends them for it (analog inputs with interrupts).
  void setTriggerOnly(std::uint16_t index) { pdo_.setTriggerOnly(index); }
  /// Sends the event-driven transmit PDOs that map index:sub at the next poll,
  /// or once their inhibit time has passed.
  void triggerPdos(std::uint16_t index, std::uint8_t sub);
  /// Direct access, bypassing access rights, as the firmware sees its own
  /// dictionary. Writes are checked for size and range (abort code or 0).
  std::uint32_t readObject(std::uint16_t index, std::uint8_t sub, Bytes& value) const;
  std::uint32_t writeObject(std::uint16_t index, std::uint8_t sub, const Bytes& value);
  ObjectDictionary& dictionary() { return od_; }
  const ObjectDictionary& dictionary() const { return od_; }
  /// Marks the dictionary changed so that event-driven PDOs look at it.
  void touched() { dirty_ = true; }

  /// The serial number a node of this model and ID reports.
  static std::uint32_t serialNumber(const std::string& model, std::uint8_t nodeId);

 private:
  // SdoTarget
  std::uint32_t sdoRead(std::uint16_t index, std::uint8_t sub, Bytes& value, bool& segmented) override;
  std::uint32_t sdoCheckWrite(std::uint16_t index, std::uint8_t sub, std::size_t& fixedSize,
                              std::size_t& maxSize) override;
  std::uint32_t sdoWrite(std::uint16_t index, std::uint8_t sub, const Bytes& value) override;

  /// A write from the bus: range, special objects, behaviours, observers.
  std::uint32_t busWrite(std::uint16_t index, std::uint8_t sub, const Bytes& value);
  std::uint32_t checkValue(const OdEntry& e, const Bytes& value) const;
  std::uint32_t writeErrorHistory(const Bytes& value);
  std::uint32_t storeOrRestore(std::uint16_t index, std::uint8_t sub, const Bytes& value);
  std::uint32_t checkCobIdChange(std::uint16_t index, std::uint32_t value) const;

  /// Takes the node ID and bit rate from 0x2009 and 0x2005; true when the
  /// node ID changed.
  bool applyNodeSettings();
  void handleNmt(const CanFrame& frame);
  void enter(NmtState state);
  void reset(ResetKind kind);
  void bootUp();
  void answerGuarding();
  void checkLifeGuarding();
  void onSync();
  void pollBehaviours();
  /// Moves physical inputs that have been stable for the debounce time into
  /// 0x60FD and schedules the next one due.
  void settleInputs();
  void publishInputs();

  void emit(const CanFrame& frame);
  void emitAnswer(const CanFrame& frame);
  CanFrame sdoFrame(const std::uint8_t data[8]) const;
  void loadStored();
  bool saveStored(std::string& error) const;
  static bool inStoreRange(std::uint8_t storeSub, std::uint16_t index);

  Config config_;
  ObjectDictionary od_;
  std::uint8_t busId_;
  unsigned bitrate_;
  SdoServer sdo_{*this};
  PdoEngine pdo_;
  std::vector<std::unique_ptr<NodeBehaviour>> behaviours_;
  std::vector<std::uint64_t> behaviourDue_;
  Sink sink_;

  bool powered_ = false;
  NmtState state_ = NmtState::Initialising;
  bool silent_ = false;
  bool dirty_ = false;
  std::uint64_t nowUs_ = 0;
  std::uint64_t answerDelayUs_ = 0;
  std::deque<std::pair<std::uint64_t, CanFrame>> delayed_;
  std::uint64_t heartbeatDueUs_ = kNever;
  std::uint8_t guardToggle_ = 0;
  std::uint64_t lifeDueUs_ = kNever;  ///< life guarding: latest next guarding request
  bool lifeGuardingLost_ = false;
  std::uint32_t inputs_ = 0;         ///< physical inputs as set
  std::uint32_t settledInputs_ = 0;  ///< physical inputs after debouncing
  std::uint32_t switchInputs_ = 0;
  bool inputsSet_ = false;                          ///< 0x60FD follows the inputs rather than its default
  std::array<std::uint64_t, 32> inputChangedUs_{};  ///< per bit: when it last changed
  std::uint64_t inputsDueUs_ = kNever;
  std::map<std::uint32_t, Bytes> stored_;  ///< parameters saved by 0x1010, by dictionary key
};

}  // namespace kestrum::sim
