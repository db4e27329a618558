#include "ClosedLoopPage.h"

#include "MotorHost.h"
#include "ui_ClosedLoopPage.h"

ClosedLoopPage::ClosedLoopPage(MotorHost& host, QWidget* parent) : QWidget(parent), host_(host), ui(std::make_unique<Ui::ClosedLoopPage>()) {
  ui->setupUi(this);
}

ClosedLoopPage::~ClosedLoopPage() = default;

void ClosedLoopPage::enter() {}

void ClosedLoopPage::librariesLoaded() {}
