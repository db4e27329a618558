#pragma once
#include <cstdint>
#include <memory>

#include "DriveModePage.h"

namespace Ui {
class PPModePage;
}

/// The page "Profile Position Mode" (`tabPPMode`) of the drive modes: single
/// positioning moves, absolute or relative, started by the new set-point bit.
class PPModePage : public DriveModePage {
  Q_OBJECT
 public:
  PPModePage(DriveControl& control, QWidget* parent);
  ~PPModePage() override;
  void enter() override;
  void leave() override;

  /// The value of 0x6086 for a ramp type text ("linear" 0, "sin" 1,
  /// "jerkfree" 2, any case; anything else 0).
  static int rampTypeValue(const QString& text);

 private:
  void dogridClick();
  /// Ends a start that could not complete: the drive is halted and the log says so.
  void abortStart();

  std::unique_ptr<Ui::PPModePage> ui;
};
