#pragma once
#include <memory>

#include "DriveModePage.h"

namespace Ui {
class IPModePage;
}

/// The page "Interpolated Position Mode" (`tabIPMode`) of the drive modes.
class IPModePage : public DriveModePage {
  Q_OBJECT
 public:
  IPModePage(DriveControl& control, QWidget* parent);
  ~IPModePage() override;
  void enter() override;
  void leave() override;

 private:
  std::unique_ptr<Ui::IPModePage> ui;
};
