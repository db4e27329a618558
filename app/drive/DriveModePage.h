#pragma once
#include <QWidget>

class DriveControl;

/// One page of the "Drive Modes" page control. The page control reads the
/// statusword (refreshing the statusword panel) before it enters a page, and
/// has the page it leaves stop what it may have started.
class DriveModePage : public QWidget {
  Q_OBJECT
 public:
  DriveModePage(DriveControl& control, QWidget* parent) : QWidget(parent), control_(control) {}
  /// The page is shown: captions of statusword bits 12 and 13, mode of operation, fields.
  virtual void enter() = 0;
  /// The page is left: stops what it started (nothing when nothing runs).
  virtual void leave() = 0;

 protected:
  DriveControl& control_;
};
