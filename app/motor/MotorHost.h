#pragma once
// What the motor and closed-loop pages need of the main window.

class CLLib;
class DLLConnector;
class MotorLib;
class StringGridSDODataSource;
struct device;

class MotorHost {
 public:
  virtual ~MotorHost() = default;
  /// The object cache the pages read and write through; null without a node.
  virtual StringGridSDODataSource* sdoList() const = 0;
  virtual DLLConnector* connector() const = 0;
  virtual int nodeId() const = 0;
  /// Disables the pages while a page's transfers run.
  virtual void SetBusy(bool busy) = 0;
  /// The adapter selection reads "offline" (no adapter, the cache only).
  virtual bool offline() const = 0;
  /// An adapter is open and a node was identified on it.
  virtual bool adapterConnected() const = 0;
  /// The window is closing: nothing more goes to the bus.
  virtual bool isClosing() const = 0;
  virtual const MotorLib& motorLib() const = 0;
  virtual const CLLib& clLib() const = 0;
  /// The controller the connection identified; when there is none, the one
  /// named by the hardware name shown (which may show the library's "not
  /// found" box and fall back). Null when the library knows neither.
  virtual const device* currentDevice() = 0;
  /// Stops the error page's automatic refresh (the motor pages read a lot).
  virtual void stopErrorAutoRefresh() = 0;
  /// The "Drive Modes" page is shown (its closed-loop enable list counts then).
  virtual bool driveModesShown() const = 0;
};
