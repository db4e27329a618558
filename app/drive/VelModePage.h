#pragma once
#include <memory>

#include "DriveModePage.h"

namespace Ui {
class VelModePage;
}

/// The page "Velocity Mode" (`tabVelMode`) of the drive modes.
class VelModePage : public DriveModePage {
  Q_OBJECT
 public:
  VelModePage(DriveControl& control, QWidget* parent);
  ~VelModePage() override;
  void enter() override;
  void leave() override;

 private:
  std::unique_ptr<Ui::VelModePage> ui;
};
