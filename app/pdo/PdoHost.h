#pragma once
// What the PDO mapping page and its configuration windows need of the main
// window, which provides it.
#include <QString>

class DLLConnector;
class StringGridSDODataSource;

class PdoHost {
 public:
  virtual ~PdoHost() = default;
  /// The object cache every value is read from and written through; null
  /// without a node.
  virtual StringGridSDODataSource* sdoList() const = 0;
  /// The connector the SDO list uses, for the NMT commands; may be null.
  virtual DLLConnector* connector() const = 0;
  /// The window's "Pre Operational" NMT button.
  virtual void enterPreOperational() = 0;
  /// The NMT state field of the status bar ("Drivestate: Pre Operational").
  virtual QString nmtStateText() const = 0;
  /// Marks a run of transfers: while it lasts the window rebuilds no object
  /// views (which would pull the SDO list from under the waiting transfer).
  virtual void setTransfersRunning(bool running) = 0;
};

/// Holds the window's object views in place while transfers wait.
class PdoTransferScope {
 public:
  explicit PdoTransferScope(PdoHost& host) : host_(host) { host_.setTransfersRunning(true); }
  ~PdoTransferScope() { host_.setTransfersRunning(false); }
  PdoTransferScope(const PdoTransferScope&) = delete;
  PdoTransferScope& operator=(const PdoTransferScope&) = delete;

 private:
  PdoHost& host_;
};
