#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bus/VirtualBus.h"
#include "node/SimNode.h"

namespace kestrum::sim {

/// Attaches simulated nodes to a VirtualBus, one BusPort each. A node reacts
/// to a received frame on the thread that delivers it; the host's own thread
/// runs the nodes' timers and sleeps on a condition variable until the
/// earliest node deadline. Every public method is thread-safe.
class NodeHost {
 public:
  /// `dataDir` holds XML/EDS_<model>.xml; `stateDir` receives one file of
  /// stored parameters per node and model (empty: parameters live in memory).
  NodeHost(VirtualBus& bus, std::string dataDir, std::string stateDir);
  ~NodeHost();
  NodeHost(const NodeHost&) = delete;
  NodeHost& operator=(const NodeHost&) = delete;

  /// Builds a node of `model` from its EDS, attaches it and powers it on
  /// (boot-up message). The node runs at `bitrateKbit` (one of 1000, 500,
  /// 250, 125, 50, 20; 0 = the bus's rate, or 1000 on an unrated bus) and
  /// hears only ports at a compatible rate. False with a message for a bad
  /// ID, a taken ID, a bad bit rate or an unreadable EDS.
  ///
  /// The host addresses a node by the ID it was added with even after the
  /// node moved to another ID on the bus (objects 0x2009 and 0x2005, see
  /// SimNode).
  bool addNode(std::uint8_t nodeId, const std::string& model, std::string& error, unsigned bitrateKbit = 0);
  /// Detaches and destroys a node; false when there is none with that ID.
  bool removeNode(std::uint8_t nodeId);
  std::vector<std::uint8_t> nodeIds() const;

  /// Runs `fn` on the node under the host's lock, then lets the node act on
  /// any change (its frames go out after `fn` returns). False when there is no
  /// such node. `fn` must not call back into the host.
  bool withNode(std::uint8_t nodeId, const std::function<void(SimNode&, std::uint64_t nowUs)>& fn);

  // Convenience controls; each returns false when there is no such node.
  bool setDigitalInputs(std::uint8_t nodeId, std::uint32_t bits);
  bool raiseEmergency(std::uint8_t nodeId, std::uint16_t code, std::uint16_t info = 0);
  bool powerCycle(std::uint8_t nodeId);
  bool setPowered(std::uint8_t nodeId, bool on);
  bool setSilent(std::uint8_t nodeId, bool silent);
  bool setAnswerDelayMs(std::uint8_t nodeId, unsigned ms);
  /// Direct object access (no access rights); abort code in `abortCode`.
  bool readObject(std::uint8_t nodeId, std::uint16_t index, std::uint8_t sub, Bytes& value, std::uint32_t& abortCode);
  bool writeObject(std::uint8_t nodeId, std::uint16_t index, std::uint8_t sub, const Bytes& value,
                   std::uint32_t& abortCode);

  /// Microseconds on the clock the host drives its nodes with.
  std::uint64_t nowUs() const;
  /// EDS file a model is read from: XML/EDS_<model>.xml below the data
  /// folder, the model name matched without regard to case.
  std::string edsPath(const std::string& model) const;

  /// The folder of the running executable (the application folder).
  static std::string executableDir();
  /// $XDG_STATE_HOME/kestrum-sim, else ~/.local/state/kestrum-sim.
  static std::string defaultStateDir();

 private:
  struct Port;
  struct Slot {
    std::unique_ptr<SimNode> node;
    std::unique_ptr<Port> port;
  };

  void run();
  void flush();
  void sendOutbox();  // with flushMutex_ held
  void receive(Port* port, const CanFrame& frame);

  VirtualBus& bus_;
  const std::string dataDir_;
  const std::string stateDir_;
  const std::chrono::steady_clock::time_point epoch_;

  mutable std::mutex mutex_;  // nodes, outbox, the host thread's wait
  std::condition_variable wake_;
  std::map<std::uint8_t, Slot> nodes_;
  std::vector<std::pair<Port*, CanFrame>> outbox_;
  std::mutex flushMutex_;  // keeps frames in the order the nodes produced them
  bool stop_ = false;
  bool rescan_ = false;  // a control call or a received frame moved deadlines
  std::uint64_t sleepingUntil_ = 0;  // the deadline the host's thread waits for; 0 while it runs
  std::thread thread_;
};

}  // namespace kestrum::sim
