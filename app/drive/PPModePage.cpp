#include "PPModePage.h"

#include "DriveControl.h"
#include "ui_PPModePage.h"

PPModePage::PPModePage(DriveControl& control, QWidget* parent) : DriveModePage(control, parent), ui(new Ui::PPModePage) {
  ui->setupUi(this);
}

PPModePage::~PPModePage() = default;

void PPModePage::enter() {}

void PPModePage::leave() {}
