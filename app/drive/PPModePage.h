#pragma once
#include <memory>

#include "DriveModePage.h"

namespace Ui {
class PPModePage;
}

/// The page "Profile Position Mode" (`tabPPMode`) of the drive modes.
class PPModePage : public DriveModePage {
  Q_OBJECT
 public:
  PPModePage(DriveControl& control, QWidget* parent);
  ~PPModePage() override;
  void enter() override;
  void leave() override;

 private:
  std::unique_ptr<Ui::PPModePage> ui;
};
