#pragma once
#include <QByteArray>
#include <QColor>
#include <QTimer>
#include <QWidget>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <unordered_map>

#include "CanLogDecoder.h"
#include "RoutingMessageFilter.h"

class QFileDialog;
namespace Ui {
class TfrmCANLog;
}

/// The window "CAN Log": every frame routed while logging is on, one line per
/// frame, decoded into readable text (CanLogDecoder) from the SDO list's
/// current values.
///
/// Records stay small: a record is a 20-byte copy of the frame. A line's text
/// is made when it is drawn and kept from then on (so a drawn line keeps its
/// interpretation when the list changes later); saving and copying decode the
/// other lines on the fly without keeping them. The view holds one page.
///
/// Frames are appended at bus rate; the scroll bar and the page follow on the
/// 200 ms tick of `tmrFillLog`, so a loaded bus costs one page draw per tick.
///
/// The log holds at most `capacity()` frames (about 40 MB at the default):
/// beyond it the oldest tenth is dropped at once, the window says how many
/// frames it no longer holds, and the application log says so once per
/// clearing. A log left running for hours at full bus load thus levels off
/// instead of taking the machine's memory.
///
/// The window registers itself with the routing message filter as its CAN
/// log and takes the emergency frames the application log announces. All of
/// it runs on the user-interface thread.
class TfrmCANLog : public QWidget, public CanLogSink {
  Q_OBJECT
 public:
  enum class LogFormat { Text, Candump };

  explicit TfrmCANLog(QWidget* parent = nullptr);
  ~TfrmCANLog() override;

  // CanLogSink: the routing filter's view of the log.
  bool isLogging() const override;
  void takeFrame(const ConnectorFrame& frame) override { addFrame(frame, false); }
  QString emergencyDescription(std::uint16_t errorCode) const override {
    return describeEmergencyCode(errorCode);
  }

  /// Appends a copy of the frame; `remote` marks a remote (RTR) frame for
  /// the candump export.
  void addFrame(const ConnectorFrame& frame, bool emergency, bool remote = false);
  /// The line of a frame, decoded now from the list's values.
  QString decodeFrame(const ConnectorFrame& frame) { return decoder_.decodeFrame(frame); }
  static QString describeEmergencyCode(std::uint16_t errorCode) {
    return CanLogDecoder::describeEmergencyCode(errorCode);
  }
  /// Fills the text area with the page the scroll bar selects.
  void redrawPage();
  /// Stops or resumes the tick that lets the page follow new records (it
  /// resumes only while logging); records are still appended meanwhile.
  void setFilling(bool on) {
    if (on && isLogging())
      tmrFillLog.start();
    else if (!on)
      tmrFillLog.stop();
  }
  bool isFilling() const { return tmrFillLog.isActive(); }

  /// Writes the whole log; on failure the previous file is kept, `error`
  /// (when given) says why, and nothing is shown (the button's handler shows it).
  bool saveLog(const QString& path, LogFormat format, QString* error = nullptr);
  /// Every line decoded anew, each followed by "\n" (what "Copy" copies).
  QString logText();

  std::size_t recordCount() const { return records_.size(); }
  /// Frames dropped from the front since the last clearing.
  std::uint64_t droppedCount() const { return dropped_; }
  static constexpr std::size_t kDefaultCapacity = 2'000'000;
  std::size_t capacity() const { return capacity_; }
  /// Sets the most frames the log holds (at least 10); drops the oldest
  /// frames at once when it holds more.
  void setCapacity(std::size_t frames);
  /// Lines whose text is kept (drawn lines).
  std::size_t keptTextCount() const { return keptText_.size(); }
  int linesPerPage() const { return linesPerPage_; }
  int timeWidth() const { return decoder_.timeWidth(); }
  /// The colour a record is drawn in.
  QColor lineColour(std::size_t record) const;

  // Handlers of the window's controls.
  void LogEnableClick();
  void LogClearClick();
  void saveLogBtnClick();
  void Button1Click();
  void tmrFillLogTimer();
  void sclProgressChange();
  void canMsgWindowResize();

 protected:
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  /// One logged frame: the connector's frame record packed into 20 bytes.
  struct canLogRecord {
    std::uint8_t data[8];
    std::uint32_t time;
    std::uint32_t seq;
    std::uint32_t id;  ///< the whole identifier (29 bits with kExtended)
    std::uint8_t dlc;
    std::uint8_t flags;  ///< kTx | kEmergency | kRemote | kExtended
    ConnectorFrame frame() const;
  };
  static constexpr std::uint8_t kTx = 1, kEmergency = 2, kRemote = 4, kExtended = 8;

  class ListLookup;

  /// The scroll bar follows the records appended since the last tick.
  void flushPending();
  /// Drops the oldest frames when the log holds more than its capacity.
  void dropOldest();
  /// The kept text of a record, decoded and kept on first use.
  QString pageText(std::size_t record);
  void updateHint(const QPoint& viewportPos);
  bool writeText(QIODevice& out);
  bool writeCandump(QIODevice& out);

  std::unique_ptr<Ui::TfrmCANLog> ui;
  QTimer tmrFillLog;
  QFileDialog* saveLogFileChooser;
  std::unique_ptr<ListLookup> lookup_;
  CanLogDecoder decoder_;
  std::deque<canLogRecord> records_;
  /// UTF-8, by the record's number counted from the last clearing (its
  /// index plus `dropped_`), so dropping old records keeps the rest in place.
  std::unordered_map<std::uint64_t, QByteArray> keptText_;
  std::size_t capacity_ = kDefaultCapacity;
  std::uint64_t dropped_ = 0;
  int linesPerPage_ = 26;
  bool pending_ = false;
  bool pageStale_ = false;
};
