#pragma once
// What the drive pages need of the main window, which implements it.

class DLLConnector;
class QTimer;
class StringGridSDODataSource;

class DriveHost {
 public:
  virtual ~DriveHost() = default;
  /// The object cache every page reads and writes through; null without a node.
  virtual StringGridSDODataSource* sdoList() const = 0;
  virtual DLLConnector* connector() const = 0;
  /// The node ID of MotorIdEdit.
  virtual int nodeId() const = 0;
  /// Ends a running status wait (Power Off, a page's Stop, leaving a page).
  virtual bool& waitAbortedFlag() = 0;
  /// Set when polling was stopped; ends every wait until a run clears it.
  virtual bool& pollingSuspendedFlag() = 0;
  /// Stops the window's polling timers and sets pollingSuspended.
  virtual void StopPolling() = 0;
  /// The statusword reaches the window by PDO: 0x6041 is mapped into a
  /// received transmit PDO and the node is operational.
  virtual bool statuswordByPdo() const = 0;
  /// The window is closing: waits end, nothing more goes to the bus.
  virtual bool isClosing() const = 0;
  /// The 500 ms refresh timer shared with the I/O page.
  virtual QTimer* ioRefreshTimer() const = 0;
  /// The SYNC timer of the interpolated position page.
  virtual QTimer* ipSyncTimer() const = 0;
};
