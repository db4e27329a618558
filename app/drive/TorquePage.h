#pragma once
#include <memory>

#include "DriveModePage.h"

namespace Ui {
class TorquePage;
}

/// The page "Torque Mode" (`tabTorqueMode`) of the drive modes.
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
  std::unique_ptr<Ui::TorquePage> ui;
};
