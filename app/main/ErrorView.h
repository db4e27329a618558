#pragma once
#include <QWidget>

#include <memory>

class DriveHost;
class QTimer;
namespace Ui {
class ErrorView;
}

/// The group "Error View" of the page "Node Settings && Error": the node's
/// error register (0x1001), its last error code (0x603F) and its error
/// history (0x1003), read through the SDO list once or every 500 ms, and the
/// switch of the emergency notification in the log.
class ErrorView : public QWidget {
  Q_OBJECT
 public:
  /// `timer` is the window's error refresh timer (500 ms), which the window
  /// also stops with the rest of its polling.
  ErrorView(DriveHost& host, QTimer* timer, QWidget* parent);
  ~ErrorView() override;

  /// The page is shown: the grid's titles, then everything read once.
  void enter();
  /// Reads and shows everything once; skipped while another transfer waits
  /// for its answer. False when a read or a value failed (then told once in
  /// the log; the values shown so far stay).
  bool btnReadErrorsClick();
  /// Unticks "Auto Refresh", which stops the timer.
  void stopAutoRefresh();
  /// Hands the state of "Notify on Emergency Message" to the message filter.
  void applyEmergencyNotify();

 protected:
  void hideEvent(QHideEvent* event) override;

 private:
  void tmrErrorTimer();
  void showHistory(int count);

  std::unique_ptr<Ui::ErrorView> ui;
  DriveHost& host_;
  QTimer* timer_;
  bool reading_ = false;  ///< a read is waiting for the node: ticks meanwhile are skipped
};
