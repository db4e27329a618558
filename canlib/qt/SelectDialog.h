#pragma once
// The adapter selection dialog: the devices present (kept current while
// adapters come and go), the chosen one's information, and a bus line of the
// requested kind on it. Used modally through selectBusController.

#include <QDialog>

#include <atomic>
#include <thread>
#include <vector>

#include "../VendorApi.h"

class QComboBox;
class QLineEdit;
class QListWidget;
class QSocketNotifier;

namespace varnex {

class SelectDialog : public QDialog {
 public:
  /// `vci` must outlive the dialog; `kind` is VCI_BUS_CAN or VCI_BUS_LIN.
  SelectDialog(const VciApi& vci, int kind, QWidget* parent = nullptr);
  ~SelectDialog() override;

  /// After OK: the device opened for the caller (null otherwise; the caller
  /// closes it) and the chosen line's controller number.
  HANDLE takeOpenedDevice();
  UINT32 chosenLine() const { return openedLine_; }
  /// False when no device-change watcher runs (the list then changes only
  /// when the dialog refreshes it itself).
  bool watching() const { return watcher_.joinable(); }

  /// Brings the list in line with the devices present.
  void refresh();
  void done(int result) override;

 private:
  struct Listed {
    HANDLE handle;
    INT64 objectId;
  };

  void deviceSelected(int row);
  void showDevice(HANDLE handle);
  void fillLines(HANDLE handle);
  void okClicked();
  void watch(HANDLE enumerator, int event);
  void stopWatching();
  void closeAll();
  bool listed(INT64 objectId) const;

  const VciApi& vci_;
  const int kind_;
  std::vector<Listed> devices_;  // in the order of the list's rows
  HANDLE selected_ = nullptr;
  int line_ = -1;  // row of the line list, -1 = none chosen
  HANDLE opened_ = nullptr;
  UINT32 openedLine_ = 0;

  // The watcher thread only waits for device-change events and tells the
  // dialog's thread through this event file; it never touches the dialog.
  HANDLE enumerator_ = nullptr;
  std::thread watcher_;
  std::atomic<bool> stopping_{false};
  int changeEvent_ = -1;
  QSocketNotifier* changeNotifier_ = nullptr;

  QListWidget* lstDevices_;
  QComboBox* cmbBusLine_;
  QLineEdit* txtDescription_;
  QLineEdit* txtManufacturer_;
  QLineEdit* txtDriverVersion_;
  QLineEdit* txtHardwareVersion_;
  QLineEdit* txtDeviceClass_;
  QLineEdit* txtHardwareId_;
  QLineEdit* txtObjectId_;
};

/// Runs the dialog modally on the GUI thread (also when called from another
/// thread). `owner` is the caller's QWidget or null. Statuses as DeviceDialog
/// (DeviceDialog.h) describes.
long selectBusController(void* owner, int kind, const VciApi& vci, HANDLE* device, UINT32* line);

}  // namespace varnex
