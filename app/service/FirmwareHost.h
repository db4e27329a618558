#pragma once

class DLLConnector;

/// What the firmware update page needs of the main window: the connector of
/// the moment, the node, the window's connection state and its reconnection,
/// and a lock that keeps every other bus user away while the page works.
class FirmwareHost {
 public:
  virtual ~FirmwareHost() = default;
  /// The connector in use; asked for anew each time (a reconnection replaces it).
  virtual DLLConnector* connector() const = 0;
  /// The node ID of the node field (1 when empty or not a number).
  virtual int nodeId() const = 0;
  virtual void SetBusy(bool busy) = 0;
  virtual void ShowDriveStateUnknown() = 0;
  virtual bool bootloaderActive() const = 0;
  /// Records that the node runs (or left) its bootloader; "Quit Bootloader"
  /// is enabled exactly while it does.
  virtual void setBootloaderActive(bool active) = 0;
  virtual void setDeviceConnected(bool connected) = 0;
  /// Asks the node whether its bootloader runs, and records the answer.
  virtual bool probeBootloader() = 0;
  /// The normal reconnection of the window; afterwards "Quit Bootloader" is
  /// enabled when, and only when, the node was found in its bootloader.
  virtual void reconnect() = 0;
  /// Forgets the values of the node read so far (SDO list and received
  /// PDOs): the node restarted, possibly with other firmware.
  virtual void clearObjectViews() = 0;
  /// While the page's bootloader entry or download runs the window does
  /// nothing else on the bus: polling and node guarding stop, the other pages
  /// are locked and the window refuses to close. Idempotent.
  virtual void setFirmwareWorkRunning(bool running) = 0;
};
