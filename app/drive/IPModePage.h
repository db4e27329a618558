#pragma once
#include <QString>

#include <memory>
#include <optional>

#include "DriveModePage.h"

class QLineEdit;
class QTimer;

namespace Ui {
class IPModePage;
}

/// The page "Interpolated Position Mode" (`tabIPMode`) of the drive modes: a
/// simple SYNC master. Every tick of the window's SYNC timer sends a SYNC
/// frame and then the next target position, grown by the increment, in the
/// frame of the position receive PDO. Start and Stop set and clear the
/// enable-interpolation bit of the controlword.
class IPModePage : public DriveModePage {
  Q_OBJECT
 public:
  IPModePage(DriveControl& control, QWidget* parent);
  ~IPModePage() override;
  void enter() override;
  void leave() override;

 private:
  /// A number field with the range it must hold and the text it falls back to.
  struct Field {
    QLineEdit* edit;
    const char* caption;
    qint64 low;
    qint64 high;
    const char* fallback;
  };

  void IpmodeSyncCheckBoxClick(bool checked);
  void IpmodeSyncTimerTimer();
  void IpmodeStartButtonClick();
  void IpmodeStopButtonClick();
  void IpmodeNewIncrementTakeButtonClick();
  void IpmodeIncrementPlusButtonClick();
  void IpmodeIncrementMinusButtonClick();

  /// The field's value when its text is a number within its range.
  static std::optional<qint64> valueOf(const Field& field);
  /// The field's value; a text that is no valid value is replaced by the
  /// field's fallback, which the log reports.
  qint64 valueOrFallback(const Field& field);
  /// The window's SYNC timer, its ticks connected to this page.
  QTimer* syncTimer();
  /// Adds `sign` times the prepared increment to the increment field.
  void changeIncrement(int sign);
  /// Enables the fields a running interpolation must not change.
  void setSetupFieldsEnabled(bool enabled);

  Field syncCobIdField() const;
  Field periodField() const;
  Field positionField() const;
  Field incrementField() const;
  Field positionCobIdField() const;

  std::unique_ptr<Ui::IPModePage> ui;
  bool syncFailureLogged_ = false;  ///< one log line for a run of failed SYNC frames
};
