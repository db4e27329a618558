#pragma once
#include <cstdint>
#include <memory>
#include <optional>

#include "DriveModePage.h"

namespace Ui {
class VelModePage;
}

/// The page "Velocity Mode" (`tabVelMode`) of the drive modes: runs the motor
/// at a target velocity within the limits of 0x6046, with the ramps as
/// fractions, and shows the actual velocity.
class VelModePage : public DriveModePage {
  Q_OBJECT
 public:
  VelModePage(DriveControl& control, QWidget* parent);
  ~VelModePage() override;
  void enter() override;
  void leave() override;

  /// The target held within the limits: a non-zero target beyond `max` runs
  /// at `max`, one below `min` at `min`, with its sign; standstill stays 0.
  static qint64 clampTarget(qint64 target, qint64 min, qint64 max);

 protected:
  void hideEvent(QHideEvent* event) override;

 private:
  void StartBtnVelClick();
  void StopBtnVelClick();
  void btnSetCurrentSpeedClick();
  void btnrefreshCurrentSpeedClick();
  void chkPollCurrentSpeedClick(bool checked);
  void ioRefreshTick();
  /// The target of VLtarvel within VLminvel/VLmaxvel, shown in the field;
  /// nullopt (logged) when one of the three is not a valid number.
  std::optional<qint64> clampedTarget();
  /// Ends a start that could not complete: the drive is halted and the log says so.
  void abortStart();

  std::unique_ptr<Ui::VelModePage> ui;
};
