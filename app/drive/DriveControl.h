#pragma once
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

#include "DriveHost.h"
#include "canopen/Cia402.h"

class QAbstractButton;
class QWidget;

/// The power state machine of the drive pages: reading the statusword and
/// the controlword, the status waits, power on and off, quick stop and halt,
/// and the power-off question before a save.
///
/// The drive is never enabled, moved, released from a halt or a quick stop,
/// or left powered unless the user asked for exactly that: Power On enables
/// with halt set, stops only set halt, a failed step leaves the drive stopped
/// and says so in the log. The application keeps no model of the drive: each
/// action reads the words it changes and decides from what it read.
///
/// Everything runs on the user-interface thread; the waits keep the window
/// responsive, so a Stop or Power Off can arrive while a transfer of the wait
/// is under way. Such a stop sets the abort flags at once and goes to the bus
/// as soon as the bus is free.
class DriveControl : public QObject {
  Q_OBJECT
 public:
  using PowerState = kestrum::canopen::cia402::PowerState;

  /// `window` holds the power controls (found by objectName).
  DriveControl(DriveHost& host, QWidget* window);

  DriveHost& host() const { return host_; }

  // ---- Objects ---------------------------------------------------------------
  /// Reads the statusword from the node (refreshing the statusword panel);
  /// false with a log line when the node did not answer.
  bool readStatusword(std::uint16_t& statusword);
  /// The drive state the node reports; nullopt (logged) when it did not answer.
  std::optional<PowerState> readState();
  bool readControlword(std::uint16_t& controlword);
  /// Whether a page may start a motion: the drive answers and is in
  /// operation enabled; otherwise a log line says why and nothing is written.
  bool readyToStart();
  /// Writes the controlword; logs `failure` when the node refused it. Keeps
  /// the halt captions and the Quick Stop button in step with what was sent.
  bool writeControlword(std::uint16_t controlword, const QString& failure);
  /// Writes an object through the SDO list; logs `failure` when it failed.
  bool writeValue(const QString& id, int subIndex, qint64 value, const QString& failure);
  /// Reads an object from the node; nullopt when the node did not answer.
  std::optional<qint64> readValue(const QString& id, int subIndex);
  /// The mode of operation the drive shows (0x6061); nullopt without answer.
  std::optional<int> readModeDisplay();

  /// A field's text as a number: decimal or 0x hexadecimal, an optional
  /// leading "-" for decimal; nothing else ("", "-", "12a" are not numbers).
  static std::optional<qint64> fieldNumber(const QString& text);

  // ---- Waits -----------------------------------------------------------------
  /// Polls the statusword until all `bits` are set: `n` polls (twice as many
  /// on the SDO path) 10 ms apart, or without end when `countDown` is false,
  /// until Stop, Power Off or a suspended polling end it. A failed read ends
  /// it too. On a time-out the window's polling stops.
  bool WaitStatus(int n, std::uint16_t bits, bool countDown);
  /// Polls every 100 ms, at most `n` times, until statusword & m == v & m.
  bool WaitStatusMask(int n, std::uint16_t v, std::uint16_t m, std::uint16_t* out = nullptr);

  // ---- Power -----------------------------------------------------------------
  void pwrBtnClick();
  void pwrOffBtnClick();
  void QStopBtnClick();
  void HaltButtonClick();
  void SetDriveButtonsEnabled(bool enabled);
  /// Asks to switch the power off before a save; false: do not save.
  bool AskPowerOffForSave();
  static QString ModeName(int mode);

  // ---- Runs of the pages -----------------------------------------------------
  /// A page starts a run: earlier aborts no longer count.
  void beginRun();
  /// Whether the running sequence must end now (Stop, Power Off, closing).
  bool runEnded() const;
  /// Ends a motion: halt set and the new set-point bit cleared, nothing else
  /// changed. Sets the abort flag at once; the write waits for a free bus.
  /// `keepBit4`: in velocity mode bit 4 enables the ramp, and clearing it
  /// would drop the speed at once instead of braking on the ramp.
  void stopMotion(const QString& failure, bool keepBit4 = false);
  /// Runs `write` now, or once the transfer under way has ended (a Stop
  /// pressed during a wait); gives up after a few seconds with a log line.
  void whenBusFree(const QString& what, std::function<void()> write);

  /// Captions of statusword bits 12 and 13 for the page shown.
  void setModeCaptions(const QString& bit12, const QString& bit13);
  void log(const QString& text) const;
  /// Nothing may go to the bus any more (the window closes).
  bool closing() const;

 private:
  /// Waits `ms` with the event loop running.
  void pause(int ms) const;
  /// Reads a 16-bit word from the node; logs "reading NAME failed" without an answer.
  bool readWord(const char* id, const char* name, std::uint16_t& word);
  /// Power Off's and the power-off question's two writes from `controlword`.
  bool switchOff(std::uint16_t controlword);
  void showControlword(std::uint16_t controlword);
  QAbstractButton* button(const char* name) const;

  DriveHost& host_;
  QWidget* window_;
};
