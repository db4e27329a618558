#include "MotorSettingsPage.h"

#include "MotorHost.h"
#include "ui_MotorSettingsPage.h"

MotorSettingsPage::MotorSettingsPage(MotorHost& host, QWidget* parent) : QWidget(parent), host_(host), ui(std::make_unique<Ui::MotorSettingsPage>()) {
  ui->setupUi(this);
}

MotorSettingsPage::~MotorSettingsPage() = default;

void MotorSettingsPage::enter() {}

void MotorSettingsPage::librariesLoaded() {}
void MotorSettingsPage::setBldcTypes(bool) {}
