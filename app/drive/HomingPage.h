#pragma once
#include <memory>

#include "DriveModePage.h"

namespace Ui {
class HomingPage;
}

/// The page "Homing Mode" (`tabRefMode`) of the drive modes.
class HomingPage : public DriveModePage {
  Q_OBJECT
 public:
  HomingPage(DriveControl& control, QWidget* parent);
  ~HomingPage() override;
  void enter() override;
  void leave() override;

 private:
  std::unique_ptr<Ui::HomingPage> ui;
};
