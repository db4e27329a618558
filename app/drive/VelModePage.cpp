#include "VelModePage.h"

#include "DriveControl.h"
#include "ui_VelModePage.h"

VelModePage::VelModePage(DriveControl& control, QWidget* parent) : DriveModePage(control, parent), ui(new Ui::VelModePage) {
  ui->setupUi(this);
}

VelModePage::~VelModePage() = default;

void VelModePage::enter() {}

void VelModePage::leave() {}
