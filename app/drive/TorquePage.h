#pragma once
#include <QString>

#include <memory>
#include <optional>

#include "DriveModePage.h"

namespace Ui {
class TorquePage;
}

/// The page "Torque Mode" (`tabTorqueMode`) of the drive modes: runs the
/// motor with a target torque under a speed limit. Torque control needs the
/// closed loop; without it the page does not open.
class TorquePage : public DriveModePage {
  Q_OBJECT
 public:
  TorquePage(DriveControl& control, QWidget* parent);
  ~TorquePage() override;
  void enter() override;
  void leave() override;

 signals:
  /// Torque needs the closed loop: the user is sent to the homing page, which sets it up.
  void closedLoopMissing();

 private:
  void cmdStartTorqueClick();
  void cmdStopTorqueClick();
  void txtTorqueTargetChange(const QString& text);
  void txtTorqueMaxRPMChange(const QString& text);
  /// Ends a start that could not finish: the drive is left halted.
  void abandonStart();

  std::unique_ptr<Ui::TorquePage> ui;
};
