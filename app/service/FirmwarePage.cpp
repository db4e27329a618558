#include "FirmwarePage.h"

#include <QEventLoop>
#include <QFileDialog>
#include <QFileInfo>
#include <QFont>
#include <QStyle>
#include <QThread>
#include <QTimer>

#include "DLLConnector.h"
#include "FirmwareHost.h"
#include "GuardedHandler.h"
#include "Logging.h"
#include "MessageBoxService.h"
#include "canopen/Orvane.h"
#include "ui_FirmwarePage.h"

namespace {

namespace boot = kestrum::canopen::orvane::bootloader;

const QString kEntryCaption = QStringLiteral("Start Bootloader");
const QColor kRunning(Qt::red);
const QColor kFinished(Qt::green);

// The library's download results (flash_firmware).
constexpr int kNotInitialised = -1;
constexpr int kBadFile = -5;
constexpr int kCancelled = -6;

// After a download: the pause for its last frames, and the bootloader probes.
constexpr int kSettleMs = 200;
constexpr int kProbes = 3;

void waitMs(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace

FirmwarePage::FirmwarePage(FirmwareHost& host, QTimer* startTimer, QTimer* statusTimer, QWidget* parent)
    : QWidget(parent),
      ui(std::make_unique<Ui::FirmwarePage>()),
      host_(host),
      tmrStartBootloader(startTimer),
      tmrUpdateStatus(statusTimer) {
  ui->setupUi(this);
  ui->SpeedButton1->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
  QFont big = ui->writeLabel->font();
  big.setBold(true);
  big.setPointSizeF(big.pointSizeF() * 1.6);
  ui->writeLabel->setFont(big);
  setWriteLabel(ui->writeLabel->text(), kRunning);
  QPalette state = ui->lblBootloaderState->palette();
  state.setColor(QPalette::WindowText, kRunning);
  ui->lblBootloaderState->setPalette(state);

  connect(ui->SpeedButton1, &QToolButton::clicked, this, guarded([this] { SpeedButton1Click(); }));
  connect(ui->FirmwareFileNameEdit, &QLineEdit::textChanged, this, guarded([this] { FirmwareFileNameEditChange(); }));
  connect(ui->startBootloaderBtn, &QPushButton::clicked, this, guarded([this] { startBootloaderBtnClick(); }));
  connect(ui->CancelstartBootloaderBtn, &QPushButton::clicked, this,
          guarded([this] { cancelBootloaderStartBtnClick(); }));
  connect(ui->writeFwBtn, &QPushButton::clicked, this, guarded([this] { writeFwBtnClick(); }));
  connect(ui->cancelWriteFwBtn, &QPushButton::clicked, this, guarded([this] { cancelWriteFwBtnClick(); }));
  connect(tmrStartBootloader, &QTimer::timeout, this, guarded([this] { tmrStartBootloaderTimer(); }));
  connect(tmrUpdateStatus, &QTimer::timeout, this, guarded([this] { tmrUpdateStatusTimer(); }));
}

FirmwarePage::~FirmwarePage() { abortWork(); }

bool FirmwarePage::isWorking() const { return entryRunning_ || worker_ || finishing_; }

void FirmwarePage::abortWork() {
  tmrStartBootloader->stop();
  entryRunning_ = false;
  if (!worker_) return;
  // The download uses the connector the window is about to destroy: it must
  // have ended first. Cancelled, it returns before its next block.
  workerConnector_->flash_cancelW();
  while (!worker_->wait(100)) workerConnector_->flash_cancelW();
  delete worker_;
  worker_ = nullptr;
}

QString FirmwarePage::firmwareFileFilter() { return QStringLiteral("Firmware Files (*.hex);;all Files (*.*)"); }

QString FirmwarePage::defaultFirmwareFileChooser(QWidget* parent) {
  QFileDialog dialog(parent, QStringLiteral("Open"), QString(), firmwareFileFilter());
  dialog.setObjectName(QStringLiteral("OpenFirmwareDialog"));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return {};
  return dialog.selectedFiles().constFirst();
}

void FirmwarePage::SpeedButton1Click() {
  const QString path = chooseFirmwareFile ? chooseFirmwareFile(this) : QString();
  if (!path.isEmpty()) ui->FirmwareFileNameEdit->setText(path);
}

void FirmwarePage::FirmwareFileNameEditChange() { updateControls(); }

void FirmwarePage::updateControls() {
  const bool idle = !isWorking();
  const QString path = ui->FirmwareFileNameEdit->text();
  ui->writeFwBtn->setEnabled(idle && !path.isEmpty() && QFileInfo(path).isFile());
  ui->startBootloaderBtn->setEnabled(idle);
  ui->FirmwareFileNameEdit->setEnabled(idle);
  ui->SpeedButton1->setEnabled(idle);
  ui->CancelstartBootloaderBtn->setEnabled(entryRunning_);
  ui->cancelWriteFwBtn->setEnabled(worker_ && !cancelRequested_);
}

void FirmwarePage::setWriteLabel(const QString& text, const QColor& color) {
  ui->writeLabel->setText(text);
  QPalette palette = ui->writeLabel->palette();
  palette.setColor(QPalette::WindowText, color);
  ui->writeLabel->setPalette(palette);
}

void FirmwarePage::showBootloaderState() {
  const bool waiting = host_.bootloaderActive() && !isWorking();
  ui->lblBootloaderState->setText(
      waiting ? QStringLiteral("The controller is waiting in its bootloader. Write the firmware, or let it start "
                               "the firmware it holds with \"Quit Bootloader\" (page \"Node Configuration\").")
              : QString());
  ui->lblBootloaderState->setVisible(waiting);
}

void FirmwarePage::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  showBootloaderState();
  updateControls();
}

// ---------------------------------------------------------------------------
// Bootloader entry.

void FirmwarePage::startBootloaderBtnClick() {
  if (isWorking()) return;
  showMessageBox(kEntryCaption, QStringLiteral("Please power off the controller and click OK!"), QMessageBox::Warning);
  showMessageBox(kEntryCaption, QStringLiteral("Please click OK and power on the controller afterwards!"),
                 QMessageBox::Warning);
  setWriteLabel(QStringLiteral("starting Bootloader....."), kRunning);
  ui->writeLabel->setVisible(true);
  entryAttempts = 0;
  ui->prgbWriteFirmware->setValue(0);
  ui->prgbWriteFirmware->setVisible(true);
  entryRunning_ = true;
  host_.setFirmwareWorkRunning(true);
  showBootloaderState();
  updateControls();
  tmrStartBootloader->start();
}

void FirmwarePage::tmrStartBootloaderTimer() {
  tmrStartBootloader->stop();
  if (!entryRunning_) return;
  bool started = false;
  if (bootloaderEntryAttempt) {
    started = bootloaderEntryAttempt();
  } else if (DLLConnector* connector = host_.connector()) {
    started = connector->start_BootloaderW();
  }
  ++entryAttempts;
  ui->prgbWriteFirmware->setValue(entryAttempts);
  if (started) {
    // Also after a "Cancel" that came while this attempt ran: the node is in
    // its bootloader now, and the window has to know it.
    setWriteLabel(QStringLiteral("Finished"), kFinished);
    endEntry();
    host_.setBootloaderActive(true);
    host_.setDeviceConnected(false);
    host_.ShowDriveStateUnknown();
    showBootloaderState();
    showMessageBox(kEntryCaption,
                   QStringLiteral("The Bootloader has been successfully started! Now choose a firmware file and "
                                  "write the firmware!"),
                   QMessageBox::Warning);
    return;
  }
  if (!entryRunning_) return;  // cancelled while the attempt ran
  if (entryAttempts < kMaxEntryAttempts) {
    tmrStartBootloader->start();
    return;
  }
  endEntry();
  showMessageBox(kEntryCaption,
                 QStringLiteral("The Bootloader could not be started! Please check the communication settings!"),
                 QMessageBox::Warning);
}

void FirmwarePage::cancelBootloaderStartBtnClick() {
  tmrStartBootloader->stop();
  if (entryRunning_) endEntry();
}

void FirmwarePage::endEntry() {
  tmrStartBootloader->stop();
  entryRunning_ = false;
  ui->writeLabel->setVisible(false);
  ui->prgbWriteFirmware->setValue(0);
  ui->prgbWriteFirmware->setVisible(false);
  host_.setFirmwareWorkRunning(false);
  updateControls();
}

// ---------------------------------------------------------------------------
// Download.

int FirmwarePage::firmwareWorker(DLLConnector* connector, const QString& path) {
  return connector->flash_firmwareW(path);
}

void FirmwarePage::writeFwBtnClick() {
  // One download at a time, and none while the entry runs.
  if (isWorking()) return;
  const QString path = ui->FirmwareFileNameEdit->text();
  DLLConnector* connector = host_.connector();
  if (!connector || path.isEmpty() || !QFileInfo(path).isFile()) {
    updateControls();
    return;
  }
  updateDone = false;
  cancelRequested_ = false;
  // The window's polling would compete with the download for the bus (and
  // stops the status timer): locked first, the timer started after.
  host_.setFirmwareWorkRunning(true);
  staleProgress_ = connector->flash_progressW();
  progressArmed_ = staleProgress_ <= 0;
  tmrUpdateStatus->start();
  setWriteLabel(QStringLiteral("writing Firmware....."), kRunning);
  ui->writeLabel->setVisible(true);
  ui->prgbWriteFirmware->setValue(0);
  ui->prgbWriteFirmware->setVisible(true);
  ui->lblBootloaderState->setVisible(false);
  Logging::instance().log(QStringLiteral("Starting Update "));

  result_ = 0;
  workerConnector_ = connector;
  worker_ = QThread::create([this, connector, path] { result_ = firmwareWorker(connector, path); });
  worker_->setObjectName(QStringLiteral("firmwareWorker"));
  // Emitted on the worker's thread; the page handles the result on its own.
  // A handler without parameters: a queued private signal delivers no
  // QPrivateSignal object for a handler that would take one.
  connect(worker_, &QThread::finished, this, [finished = guarded([this] { downloadFinished(); })] { finished(); },
          Qt::QueuedConnection);
  updateControls();
  repaint();
  worker_->start();
}

void FirmwarePage::cancelWriteFwBtnClick() {
  if (!worker_ || cancelRequested_) return;
  cancelRequested_ = true;
  workerConnector_->flash_cancelW();
  setWriteLabel(QStringLiteral("cancelling....."), kRunning);
  updateControls();
}

void FirmwarePage::tmrUpdateStatusTimer() {
  if (worker_) {
    const int blocks = workerConnector_->flash_progressW();
    // Until the library starts the new download it still reports the last one.
    if (!progressArmed_ && blocks != staleProgress_) progressArmed_ = true;
    if (progressArmed_ && blocks > 0) {
      const int position = std::min(blocks, kBlocks) * kProgressMaximum / kBlocks;
      if (position > ui->prgbWriteFirmware->value()) ui->prgbWriteFirmware->setValue(position);
    }
    // A cancel that came before the library began its download is repeated
    // until the download has seen it.
    if (cancelRequested_) workerConnector_->flash_cancelW();
    return;
  }
  if (ui->prgbWriteFirmware->value() == ui->prgbWriteFirmware->maximum() && updateDone) {
    tmrUpdateStatus->stop();
    setWriteLabel(QStringLiteral("Finished"), kFinished);
    ui->writeLabel->setVisible(true);
    updateDone = false;
  }
}

QString FirmwarePage::resultText(int rc) {
  switch (rc) {
    case -1: return QStringLiteral("Error: Varnex uninitialized");
    case -2: return QStringLiteral("Error while starting Bootloader");
    case -3: return QStringLiteral("Error while flashing Firmware");
    case -4: return QStringLiteral("Error while stopping Bootloader");
    case -5: return QStringLiteral("Error while reading Firmware File");
    case -6: return QStringLiteral("Firmware update cancelled");
    default: return rc >= 0 ? QStringLiteral("Firmware update finished successful") : QStringLiteral("Unknown Error");
  }
}

void FirmwarePage::downloadFinished() {
  if (!worker_) return;
  worker_->wait();
  worker_->deleteLater();
  worker_ = nullptr;
  workerConnector_ = nullptr;
  const int rc = result_;
  // Nothing reached the node when it was not initialised or the file was
  // refused; otherwise it was reset, and what the window read of it is gone.
  const bool nodeTouched = rc != kNotInitialised && rc != kBadFile;
  ui->prgbWriteFirmware->setVisible(false);
  ui->writeLabel->setVisible(false);
  if (nodeTouched) host_.clearObjectViews();

  if (rc >= 0) {
    ui->prgbWriteFirmware->setValue(ui->prgbWriteFirmware->maximum());
    updateDone = true;
    host_.setFirmwareWorkRunning(false);
    Logging::instance().log(QStringLiteral("Finished!"));
    // The node runs the new firmware: no bootloader any more, and its
    // identity is read again.
    host_.setBootloaderActive(false);
    host_.setDeviceConnected(false);
    host_.ShowDriveStateUnknown();
    updateControls();
    showBootloaderState();
    showMessageBox(QString(), resultText(rc), QMessageBox::NoIcon, QMessageBox::Ok);
    host_.reconnect();
    // The polling stop of the reconnection may have stopped the timer.
    tmrUpdateStatus->start();
    tmrUpdateStatusTimer();
    return;
  }

  tmrUpdateStatus->stop();
  // A failed or cancelled download leaves the node in its bootloader; the
  // window asks rather than assumes (a bootloader that never started is not
  // running). The window stays locked until the answer is in.
  finishing_ = true;
  if (nodeTouched && !checkBootloader()) host_.ShowDriveStateUnknown();
  finishing_ = false;
  host_.setFirmwareWorkRunning(false);
  updateControls();
  showBootloaderState();
  if (rc == kCancelled)
    showMessageBox(QStringLiteral("Firmware Update"), resultText(rc), QMessageBox::Information, QMessageBox::Ok);
  else
    showMessageBox(QStringLiteral("Error"), resultText(rc), QMessageBox::NoIcon, QMessageBox::Ok);
}

// ---------------------------------------------------------------------------
// Leaving the bootloader.

bool FirmwarePage::checkBootloader() {
  if (!host_.connector()) return false;
  // The last answers of a download or of the connection may still be on
  // their way and would pass for the probe's: they are let through first,
  // and the probe asks again after a mismatch.
  waitMs(kSettleMs);
  bool inBootloader = false;
  for (int i = 0; i < kProbes && !inBootloader; ++i) inBootloader = host_.probeBootloader();
  if (inBootloader) {
    host_.setBootloaderActive(true);
    host_.setDeviceConnected(false);
    host_.ShowDriveStateUnknown();
  }
  return inBootloader;
}

void FirmwarePage::btnRecoverBootloaderClick() {
  if (isWorking()) return;
  DLLConnector* connector = host_.connector();
  if (!connector) return;
  host_.SetBusy(true);
  // The answer is not needed: the reconnection shows whether the node left.
  connector->writeObject(std::uint8_t(host_.nodeId()), boot::kObject, boot::kSubCommand, TYPE_U8, 5000,
                         boot::kRecover);
  waitMs(1000);
  host_.reconnect();
  // A node that kept its bootloader (its image is incomplete) may still be
  // taken for a connected controller; it keeps the way out open.
  checkBootloader();
  host_.SetBusy(false);
  showBootloaderState();
  updateControls();
}
