#include "TorquePage.h"

#include "DriveControl.h"
#include "ui_TorquePage.h"

TorquePage::TorquePage(DriveControl& control, QWidget* parent) : DriveModePage(control, parent), ui(new Ui::TorquePage) {
  ui->setupUi(this);
}

TorquePage::~TorquePage() = default;

void TorquePage::enter() {}

void TorquePage::leave() {}
