#include "HomingPage.h"

#include "DriveControl.h"
#include "ui_HomingPage.h"

HomingPage::HomingPage(DriveControl& control, QWidget* parent) : DriveModePage(control, parent), ui(new Ui::HomingPage) {
  ui->setupUi(this);
}

HomingPage::~HomingPage() = default;

void HomingPage::enter() {}

void HomingPage::leave() {}
