#include "IPModePage.h"

#include "DriveControl.h"
#include "ui_IPModePage.h"

IPModePage::IPModePage(DriveControl& control, QWidget* parent) : DriveModePage(control, parent), ui(new Ui::IPModePage) {
  ui->setupUi(this);
}

IPModePage::~IPModePage() = default;

void IPModePage::enter() {}

void IPModePage::leave() {}
