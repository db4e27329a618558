#pragma once
#include <QString>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>

class QCheckBox;
class QLineEdit;
class TMainForm;
namespace Ui {
class IoPage;
}

/// The page "I/O": the controller's digital inputs (0x60FD) with their
/// debounce time (0x2008), its digital outputs with the mask of those the
/// firmware uses (0x60FE:1 and :2), and one analog input at a time (0x6401)
/// with its interrupt settings (0x6423 to 0x6428), all through the SDO list.
/// Each group can refresh itself on the window's shared 500 ms refresh timer.
class IoPage : public QWidget {
  Q_OBJECT
 public:
  IoPage(TMainForm& form, QWidget* parent);
  ~IoPage() override;

  /// The page is opened: inputs, outputs and the analog input, in this order.
  /// Each refresh returns false when a read or a value failed (told once in
  /// the log; what is shown so far stays).
  bool RefreshIO();
  bool RefreshDigitalInputs();
  bool RefreshDigitalOutputs();
  bool RefreshAnalogInput();
  /// Unticks the page's three auto refreshes.
  void stopAutoRefresh();

  /// The value to write for an object of which the page shows and sets only
  /// the bits of `shownMask`: `shown` in those bits, the others as the list
  /// holds them (`listValue`; when that is no number, `shown` alone). Signed
  /// texts stay signed, unsigned ones unsigned.
  static QString keepUnshownBits(const QString& listValue, std::uint32_t shownMask, std::uint32_t shown);

 protected:
  void hideEvent(QHideEvent* event) override;

 private:
  /// Another transfer is waiting for its answer: refreshes are skipped.
  bool busy() const;
  void btnRefreshDigiInClick();
  void btnDigiInSetValueClick();
  void txtDebounceTimeChange();
  void chkDigiOutClick(int output);
  void chkDigiOutMaskClick(int output);
  void btnDigiOutSetValuesClick();
  void btnDigiOutRefreshClick();
  void btnRefreshAnalogValueClick();
  void chkGlblIntEnableClick();
  void btnSetAnalogSettingsClick();
  void analogFieldChange(QLineEdit* field);
  void autoRefreshClick(bool checked);
  void tmrIORefreshTimerTimer();
  /// The node's number of analog inputs as the list holds it (0x6401:0), at least 1.
  int analogInputCount() const;
  /// The chosen analog input within the node's inputs, 1 when none is chosen.
  int selectedInput() const;

  std::unique_ptr<Ui::IoPage> ui;
  TMainForm& form_;
  std::array<QCheckBox*, 6> inputs_{};
  std::array<QCheckBox*, 3> outputs_{};
  std::array<QCheckBox*, 3> masks_{};
  bool refreshing_ = false;  ///< a refresh waits for the node: ticks meanwhile skip theirs
};
