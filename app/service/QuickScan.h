#pragma once
#include <QString>

#include <cstdint>
#include <functional>
#include <set>
#include <vector>

#include "MessageFilter.h"

class DLLConnector;

/// The quick node scan, shared by the scan window and kestrum-cli: at one bit
/// rate, with the adapter initialised once, an upload request of 0x1000
/// goes to every node ID of the range back to back (paced only by the bus),
/// and every node heard within a short window afterwards counts as found:
/// its SDO answer (an abort too), its boot-up or its heartbeat. The nodes
/// found are then identified one by one as the per-node scan does.
///
/// Runs on the user-interface thread; its wait runs the event loop, so the
/// connector's drain keeps delivering frames. No SDO exchange of the
/// connector may be pending while the requests go out.
namespace quickscan {

/// Time the bus needs for `frames` standard frames of eight data bytes at
/// `kbit`, counting the worst-case stuff bits (135 bits a frame).
double busTimeMs(int frames, int kbit);

/// The longest time answers are collected after the last request: twice the
/// bus time of the requests and of as many answers, plus a margin for the
/// adapter and the nodes' reaction.
int collectWindowMs(int first, int last, int kbit);
/// The collection ends earlier once the requests and the answers heard so
/// far have had their bus time half again and no answer came for this long.
constexpr int kQuietMs = 20;

/// Listens to the connector's frames while installed and passes every frame
/// on to the filter that was in place, so the CAN log and the NMT display
/// keep working during a scan.
class NodeCollector : public MessageFilter {
 public:
  NodeCollector(DLLConnector& connector, int first, int last);
  ~NodeCollector() override;
  NodeCollector(const NodeCollector&) = delete;
  NodeCollector& operator=(const NodeCollector&) = delete;

  void onFrame(const ConnectorFrame& frame) override;
  void enable() override;
  const std::set<int>& nodes() const { return nodes_; }
  /// Frames of nodes of the range heard so far (answers, heartbeats).
  int heard() const { return heard_; }

 private:
  DLLConnector& connector_;
  MessageFilter* previous_;
  int first_;
  int last_;
  std::set<int> nodes_;
  int heard_ = 0;
};

struct Result {
  std::vector<int> nodes;  ///< ascending, each node once
  bool sent = true;        ///< false when the adapter refused a request ("bus dead")
};

/// Sends the requests to first..last and collects the answers. The adapter
/// must be initialised at `kbit`. `stopped` (optional) ends the wait early.
Result findNodes(DLLConnector& connector, int first, int last, int kbit,
                 const std::function<bool()>& stopped = {});

/// Vendor and controller of a found node, as the scan lists them: the
/// maker's nodes as "Orvane" and the name `readName` gives, others as
/// "Unkown" with their product code in decimal (0 when unreadable).
struct Identity {
  QString vendor;
  QString controller;
  std::uint32_t vendorId = 0;
};
Identity identify(DLLConnector& connector, int node, const std::function<QString(int)>& readName,
                  std::uint32_t timeoutMs = 200);

/// The controller name of object 0x1009: a visible string, or, for
/// controllers that keep it as an array of characters, its length in
/// subindex 0 and one character per subindex. Empty when unreadable.
QString readControllerName(DLLConnector& connector, int node, std::uint32_t timeoutMs = 2000);

}  // namespace quickscan
