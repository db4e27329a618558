#pragma once
#include <QWidget>

#include <memory>
#include <vector>

#include "DriveHost.h"

class DriveControl;
class DriveModePage;
namespace Ui {
class DriveModesPage;
}

/// The "Drive Modes" page of the main window: the page control
/// `tabCtlDriveModes` with the homing, profile position, velocity,
/// interpolated position and torque pages, and the power controls beside it.
class DriveModesPage : public QWidget {
  Q_OBJECT
 public:
  /// `window` is the main window, which holds the statusword panel.
  DriveModesPage(DriveHost& host, QWidget* window, QWidget* parent);
  ~DriveModesPage() override;

  DriveControl& control() const { return *control_; }
  /// The main window shows this page: enters the inner page shown.
  void tabCtlDriveModesChange();
  /// Shows the homing page (the torque page sends the user there).
  void showHomingPage();

 private:
  void innerPageChanged(int index);

  std::unique_ptr<Ui::DriveModesPage> ui;
  DriveControl* control_;
  std::vector<DriveModePage*> pages_;  ///< in tab order; owned by the page control
  int shownIndex_ = -1;
};
