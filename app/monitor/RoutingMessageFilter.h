#pragma once
#include "MessageFilter.h"

// ---------------------------------------------------------------------------
// The routing filter and the interfaces of the parts it routes to.

#include <QObject>
#include <QString>
#include <QTimer>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>

struct sdoGridEntry;

/// Where the filter takes object values from: the SDO list. Only values
/// already in the list are used; the filter never causes bus traffic.
class SdoValueSource {
 public:
  virtual ~SdoValueSource() = default;
  virtual QString getValue(const QString& id, std::int32_t subIndex, bool read) = 0;
  virtual sdoGridEntry* findEntry(const QString& id, std::int32_t subIndex) = 0;
  virtual bool isAllRead() const = 0;
  /// True while the application shuts down: no more work on the list.
  virtual bool isClosing() const = 0;
};

/// The received-PDO view: told which objects each transmit PDO carries, then
/// fed the PDO frames one at a time.
class ReceivedPdoSink {
 public:
  virtual ~ReceivedPdoSink() = default;
  virtual void clearMapping() = 0;
  /// Object `position` (1 to 8) of transmit PDO `tpdo` (1 to 4); `entry` may
  /// be null when the mapped object is not in the list.
  virtual void addMappedObject(int tpdo, int position, sdoGridEntry* entry) = 0;
  virtual void buildRows() = 0;
  virtual void updateFromPdo(int tpdo, const ConnectorFrame& frame) = 0;
};

/// The CAN log: takes every routed frame while logging is on, and describes
/// emergency error codes.
class CanLogSink {
 public:
  virtual ~CanLogSink() = default;
  virtual bool isLogging() const = 0;
  virtual void takeFrame(const ConnectorFrame& frame) = 0;
  virtual QString emergencyDescription(std::uint16_t errorCode) const = 0;
};

/// What the filter needs of the main window. Unset hooks are skipped.
struct NodeStateHooks {
  std::function<void(std::uint8_t)> showNmtState;  ///< first byte of a guarding or heartbeat answer
  std::function<void()> stopPolling;               ///< emergency 0x3100
  std::function<void()> clearPollingSuspended;     ///< after an NMT state frame of the node
  std::function<int()> nodeId;                     ///< node of the NMT state display (default 1)
};

/// The application's message filter: routes every frame by its COB-ID.
///  - the node's emergency COB-ID: a red "EMERGENCY: " log line (when
///    notification is on), and StopPolling for error code 0x3100; the frame
///    goes nowhere else;
///  - 0x700 + node ID, received: the NMT state display;
///  - everything else: the CAN log, and frames of the node's valid transmit
///    PDOs (from the SDO list's values after a complete read) are queued and
///    handed to the received-PDO view on a 1 ms tick, as many per tick as a
///    few milliseconds allow.
///
/// Everything runs on the user-interface thread (the connector drains its
/// ring there), so the PDO queue needs no lock of its own.
class RoutingMessageFilter : public QObject, public MessageFilter {
  Q_OBJECT
 public:
  RoutingMessageFilter();
  ~RoutingMessageFilter() override;

  /// The process's routing filter, created and installed as the message
  /// filter on the first call.
  static RoutingMessageFilter& routing();

  void onFrame(const ConnectorFrame& frame) override;
  void enable() override;

  /// Registers the list (null when it goes); forgets the PDO table and queue.
  void setSdoSource(SdoValueSource* source);
  SdoValueSource* sdoSource() const { return sdoSource_; }
  void setPdoView(ReceivedPdoSink* view) { pdoView_ = view; }
  ReceivedPdoSink* getPdoView() const { return pdoView_; }
  void setCanLog(CanLogSink* log) { canLog_ = log; }
  void setHooks(NodeStateHooks hooks) { hooks_ = std::move(hooks); }

  /// On: log emergencies, with the COB-ID taken from the list's 0x1014.
  /// Off: stop logging them (the COB-ID is kept).
  void setEmergencyNotify(bool on);
  bool emergencyNotify() const { return emcyNotify_; }
  std::int32_t emergencyCobId() const { return emcyCobId_; }

  /// Rebuilds the transmit-PDO table from the list's values, once the list
  /// has been read completely.
  void rebuildTpdoTable();

  /// TPDO number (1 to 4) of a COB-ID, 0 for any other seen one, -1 unseen.
  int tpdoOf(std::int32_t cobId) const;
  std::size_t queuedPdoFrames() const { return pdoQueue_.size(); }

  /// Back to the state at creation (disabled, empty, no sources).
  void reset();

 private:
  void dispatchOne();
  void buildTpdoTable();

  std::deque<ConnectorFrame> pdoQueue_;
  std::map<std::int32_t, std::int32_t> tpdoByCobId_;
  QTimer dispatchTimer_;
  SdoValueSource* sdoSource_ = nullptr;
  ReceivedPdoSink* pdoView_ = nullptr;
  CanLogSink* canLog_ = nullptr;
  NodeStateHooks hooks_;
  std::int32_t emcyCobId_ = 0;
  bool emcyNotify_ = false;
};
