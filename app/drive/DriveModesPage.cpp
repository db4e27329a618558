#include "DriveModesPage.h"

#include <QAbstractButton>
#include <QTabWidget>

#include "DriveControl.h"
#include "HomingPage.h"
#include "IPModePage.h"
#include "PPModePage.h"
#include "TorquePage.h"
#include "VelModePage.h"
#include "ui_DriveModesPage.h"

DriveModesPage::DriveModesPage(DriveHost& host, QWidget* window, QWidget* parent)
    : QWidget(parent), ui(new Ui::DriveModesPage), control_(new DriveControl(host, window)) {
  ui->setupUi(this);
  control_->setParent(this);
  pages_ = {new HomingPage(*control_, this), new PPModePage(*control_, this), new VelModePage(*control_, this),
            new IPModePage(*control_, this), new TorquePage(*control_, this)};
  for (DriveModePage* page : pages_) ui->tabCtlDriveModes->addTab(page, page->windowTitle());
  ui->tabCtlDriveModes->setCurrentIndex(0);
  shownIndex_ = -1;  // nothing entered until the main window shows the page

  connect(ui->tabCtlDriveModes, &QTabWidget::currentChanged, this, &DriveModesPage::innerPageChanged);
  connect(ui->Button1, &QAbstractButton::clicked, control_, &DriveControl::pwrBtnClick);
  connect(ui->Button2, &QAbstractButton::clicked, control_, &DriveControl::pwrOffBtnClick);
  connect(ui->QStopBtn, &QAbstractButton::clicked, control_, &DriveControl::QStopBtnClick);
  connect(ui->HaltButton, &QAbstractButton::clicked, control_, &DriveControl::HaltButtonClick);
  // The second power pair sits on the statusword panel of the main window.
  if (auto* on = window->findChild<QAbstractButton*>(QStringLiteral("pwrOnBtn")))
    connect(on, &QAbstractButton::clicked, control_, &DriveControl::pwrBtnClick);
  if (auto* off = window->findChild<QAbstractButton*>(QStringLiteral("pwrOffBtn")))
    connect(off, &QAbstractButton::clicked, control_, &DriveControl::pwrOffBtnClick);
  if (auto* torque = qobject_cast<TorquePage*>(pages_.back()))
    connect(torque, &TorquePage::closedLoopMissing, this, &DriveModesPage::showHomingPage);
}

DriveModesPage::~DriveModesPage() = default;

void DriveModesPage::tabCtlDriveModesChange() {
  const int index = ui->tabCtlDriveModes->currentIndex();
  if (index < 0 || index >= int(pages_.size()) || control_->closing()) return;
  // Every page starts from a fresh statusword (it refreshes the panel).
  std::uint16_t statusword = 0;
  control_->readStatusword(statusword);
  shownIndex_ = -1;
  pages_[std::size_t(index)]->enter();
  // A page that sent the user elsewhere on entry (torque without closed loop) was never shown.
  if (ui->tabCtlDriveModes->currentIndex() == index) shownIndex_ = index;
}

void DriveModesPage::innerPageChanged(int index) {
  if (shownIndex_ >= 0 && shownIndex_ < int(pages_.size()) && shownIndex_ != index)
    pages_[std::size_t(shownIndex_)]->leave();
  shownIndex_ = -1;
  if (index >= 0 && isVisible()) tabCtlDriveModesChange();
}

void DriveModesPage::showHomingPage() { ui->tabCtlDriveModes->setCurrentIndex(0); }
