#pragma once
#include <QString>

class DLLConnector;

/// What the node scan needs of the window that opens it (the main window):
/// the connector of the moment, the adapter initialisation for one node and
/// bit rate, the controller name read, and the connection to a chosen node.
class NodeScanHost {
 public:
  virtual ~NodeScanHost() = default;
  /// The connector the scan probes through. Asked for anew before every
  /// probe: the window replaces its connector when the adapter changes.
  virtual DLLConnector* connector() const = 0;
  /// Initialises the adapter for `nodeId` at `bitRate` kbit/s; with
  /// `copyToFields` the node ID is also written into the node fields.
  virtual void ConnectNode(int nodeId, int bitRate, bool copyToFields) = 0;
  /// The controller name (object 0x1009), empty when it cannot be read.
  virtual QString ReadHardwareName(int nodeId) = 0;
  /// Takes `nodeId` and the bit rate at `bitRatePosition` of the window's
  /// bit-rate list (0 = 1000 ... 5 = 20) and runs the connection workflow.
  virtual void connectScannedNode(int nodeId, int bitRatePosition) = 0;
  /// While a scan runs the host starts no connection workflow of its own:
  /// the scan owns the adapter and the single pending SDO exchange.
  virtual void setScanRunning(bool running) = 0;
};
