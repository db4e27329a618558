#pragma once
#include <QString>
#include <QWidget>

#include <atomic>
#include <functional>
#include <memory>

class DLLConnector;
class FirmwareHost;
class QThread;
class QTimer;
namespace Ui {
class FirmwarePage;
}

/// The page "Firmware Update": brings the node into its bootloader (one
/// attempt per tick of the window's 1 ms timer, at most 100), downloads an
/// Intel HEX file through the library on a worker thread with progress and
/// cancel, and takes the node out of its bootloader again ("Quit
/// Bootloader", a button of the node-settings group the window wires here).
///
/// The worker makes the only bus calls while it runs; its result comes back
/// to the page's thread, which shows every text and box. A download that
/// fails or is cancelled leaves the node in its bootloader: the page says so
/// and a new download or "Quit Bootloader" takes it from there.
class FirmwarePage : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kMaxEntryAttempts = 100;
  static constexpr int kProgressMaximum = 256;
  static constexpr int kBlocks = 85;  ///< blocks of a download, as the library counts them

  /// `startTimer` (1 ms) runs the bootloader entry, `statusTimer` (100 ms)
  /// the progress and the end of a download; both belong to the window.
  FirmwarePage(FirmwareHost& host, QTimer* startTimer, QTimer* statusTimer, QWidget* parent);
  /// Cancels a running download and waits for its end.
  ~FirmwarePage() override;

  /// The bootloader entry or a download is running.
  bool isWorking() const;
  /// Stops whatever runs and waits for the worker (the window is going).
  void abortWork();

  // Handlers (their published names).
  void SpeedButton1Click();
  void FirmwareFileNameEditChange();
  void startBootloaderBtnClick();
  void tmrStartBootloaderTimer();
  void cancelBootloaderStartBtnClick();
  void writeFwBtnClick();
  void cancelWriteFwBtnClick();
  void tmrUpdateStatusTimer();
  void btnRecoverBootloaderClick();

  /// The file filter of the firmware file dialog.
  static QString firmwareFileFilter();
  /// Asks for the HEX file; empty when the user cancels. Tests replace it.
  std::function<QString(QWidget* parent)> chooseFirmwareFile = &FirmwarePage::defaultFirmwareFileChooser;
  static QString defaultFirmwareFileChooser(QWidget* parent);
  /// One bootloader entry attempt; the library's start_Bootloader through the
  /// connector by default. Tests replace it to run 100 failing attempts
  /// without the library's seconds per attempt.
  std::function<bool()> bootloaderEntryAttempt;

  /// The text of a download result for its box (1 and above: success).
  static QString resultText(int rc);

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  /// The worker thread's routine: the download, nothing else.
  static int firmwareWorker(DLLConnector* connector, const QString& path);
  void downloadFinished();
  void endEntry();
  /// Asks the node whether it runs its bootloader and records the answer;
  /// true when it does.
  bool checkBootloader();
  void updateControls();
  void showBootloaderState();
  void setWriteLabel(const QString& text, const QColor& color);

  std::unique_ptr<Ui::FirmwarePage> ui;
  FirmwareHost& host_;
  QTimer* tmrStartBootloader;
  QTimer* tmrUpdateStatus;
  int entryAttempts = 0;
  bool entryRunning_ = false;
  bool updateDone = false;
  QThread* worker_ = nullptr;
  DLLConnector* workerConnector_ = nullptr;  ///< the connector the running download uses
  std::atomic<int> result_{0};
  bool cancelRequested_ = false;
  bool finishing_ = false;  ///< the download ended; the node is being asked where it is
  int staleProgress_ = 0;   ///< the library's count from the last download, until it restarts
  bool progressArmed_ = false;
};
