#pragma once
#include <QColor>
#include <QElapsedTimer>
#include <QPointer>
#include <QPointF>
#include <QString>
#include <QVector>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "ScopeData.h"
#include "StringGridPDOReceivedDataSource.h"

class QChart;
class QChartView;
class QComboBox;
class QLabel;
class QLineEdit;
class QLineSeries;
class QPainter;
class QPushButton;
class QSpinBox;
class QTableWidget;
class QTableWidgetItem;
class QTimer;
class QValueAxis;
class ScopeChartView;
class ScopeHost;

/// The scope: up to eight objects of the connected node plotted against
/// time. A channel takes its values either from the received PDOs (it listens
/// beside the received-PDO view's decoding, so it costs no bus traffic and
/// sees every frame) or from SDO reads at its own period through the
/// connector, as the pages read (a tick is skipped while another transfer is
/// pending; the window shows the load the polls add). A channel with a bit
/// number is a digital trace of that bit, drawn in a lane below the analog
/// plot.
///
/// Run rolls the display over the chosen time base; Stop freezes it (and
/// the acquisition), and a stopped trace can be zoomed (wheel), panned (drag)
/// and measured with two cursors (left and right click). Single arms a
/// trigger on an edge of a channel (a bit, or a level crossed) and stops
/// once the capture after it is complete, with the chosen share of the time
/// base before the trigger.
///
/// The scope only reads: it never writes an object of the node. It takes no
/// frames from the CAN log or the pages. Everything runs on the
/// user-interface thread.
class ScopeWindow : public QWidget, public PdoValueListener {
  Q_OBJECT
 public:
  enum class Source { Pdo, Poll };

  /// What a channel plots; validated by addChannel.
  struct ChannelRequest {
    QString object;       ///< "0x6064:00" (index and subindex in hexadecimal)
    Source source = Source::Pdo;
    QString periodMs = QStringLiteral("100");  ///< poll period, 10 to 10000
    QString scale = QStringLiteral("1");
    QString bit;          ///< empty: analog; else the bit 0..width-1 drawn as a digital trace
    QColor colour;        ///< invalid: the next colour of the palette
  };

  explicit ScopeWindow(ScopeHost* host, QWidget* parent = nullptr);
  ~ScopeWindow() override;

  static constexpr int kMaxChannels = 8;

  /// Adds a channel; on bad input shows why and changes nothing.
  bool addChannel(const ChannelRequest& request);
  void removeChannel(int channel);
  int channelCount() const { return int(channels_.size()); }
  QString channelName(int channel) const;
  const scope::SampleHistory& history(int channel) const;
  /// Polls of a channel that were skipped because a transfer was pending,
  /// and those that failed.
  std::uint64_t skippedPolls(int channel) const;
  std::uint64_t failedPolls(int channel) const;
  /// Samples a channel has taken since it was added (the history keeps a minute of them).
  std::uint64_t samplesReceived(int channel) const;

  void run();
  void stop();
  /// Arms the trigger of the trigger fields; shows why when it cannot.
  bool single();
  bool isRunning() const { return acquiring_; }
  scope::Trigger::State triggerState() const { return trigger_.state(); }
  double triggerTime() const { return trigger_.triggerTime(); }

  /// The time span shown (seconds on the scope's clock).
  double viewStart() const { return t0_; }
  double viewEnd() const { return t1_; }
  /// The time the time axis counts from (now while rolling, the trigger of
  /// a capture, the stop); exported times count from it too.
  double timeOrigin() const { return reference_; }
  /// Zoom and pan act on a stopped trace only (false while running).
  bool setView(double t0, double t1);
  bool zoom(double factor, double centre);
  bool pan(double seconds);
  /// Cursor 0 or 1 at time `t`.
  void setCursor(int cursor, double t);
  /// The seconds of the time base chosen.
  double timeBase() const;

  /// Writes the channels' samples in the span shown as CSV (see
  /// scope::toCsv); false with a box on failure, the old file kept.
  bool exportCsv(const QString& path);
  /// Writes the chart as a PNG picture; false with a box on failure.
  bool exportPng(const QString& path);

  /// Thins the data of the span shown for drawing and asks for a paint (the
  /// 30 Hz timer calls it; stopped, only when something changed); returns
  /// whether anything is to be drawn anew.
  bool redraw();
  QChartView* chartView() const;
  /// The seconds of the scope's clock now.
  double now() const { return double(clock_.nsecsElapsed()) / 1e9; }

  /// Asks for the file name of an export; empty when the user cancels.
  /// Tests call the export functions with a path instead.
  std::function<QString(QWidget* parent, const QString& filter)> chooseExportFile = &ScopeWindow::defaultExportChooser;
  static QString defaultExportChooser(QWidget* parent, const QString& filter);

  // PdoValueListener
  void pdoValueDecoded(const sdoGridEntry& entry, std::uint16_t index, std::uint8_t subIndex, std::int64_t value,
                       std::uint64_t raw, int bits, std::uint32_t frameTime) override;

 protected:
  void showEvent(QShowEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  struct Channel {
    std::uint64_t id = 0;
    std::uint16_t index = 0;
    std::uint8_t subIndex = 0;
    int dataType = 0;
    int bits = 0;
    QString name;
    Source source = Source::Pdo;
    int periodMs = 100;
    double scale = 1;
    int bit = -1;
    QColor colour;
    bool enabled = true;
    scope::SampleHistory history;
    QLineSeries* series = nullptr;  ///< empty: names the channel in the legend
    QVector<QPointF> drawn;         ///< the decimated points of the span shown (time, axis value)
    QTimer* pollTimer = nullptr;
    std::uint64_t skipped = 0;
    std::uint64_t failed = 0;
    std::uint64_t polled = 0;
    std::uint64_t received = 0;
  };

  void buildUi();
  void addChannelFromFields();
  void removeSelectedChannel();
  void channelItemChanged(QTableWidgetItem* item);
  void fillObjectChoices();
  void refreshChannelTable();
  void refreshTriggerSources();
  void refreshBusLoad();
  void refreshCursorText();
  void refreshState();
  void store(int channel, double t, double value);
  void poll(std::uint64_t channelId);
  void startPolling();
  void stopPolling();
  Channel* channelById(std::uint64_t id);
  void exportCsvClicked();
  void exportPngClicked();
  void onChartWheel(double factor, double x);
  void onChartDrag(double dx);
  void onChartClick(Qt::MouseButton button, double x);
  /// The time at a horizontal pixel position of the chart view.
  double timeAtPixel(double x) const;
  void paintTraces(QPainter* painter);
  void refuse(const QString& text);

  ScopeHost* host_;
  std::vector<std::unique_ptr<Channel>> channels_;
  std::uint64_t nextChannelId_ = 1;
  QElapsedTimer clock_;
  scope::StampClock stampClock_;
  scope::Trigger trigger_;
  bool acquiring_ = true;
  double t0_ = 0;
  double t1_ = 5;
  /// Where the time axis has its 0: now while rolling, the trigger of a
  /// capture, the moment of the stop. Times kept and exported are absolute.
  double reference_ = 0;
  std::optional<double> cursors_[2];  ///< unset until placed
  std::uint64_t dataVersion_ = 1;
  std::uint64_t drawnVersion_ = 0;

  QChart* chart_ = nullptr;
  ScopeChartView* chartView_ = nullptr;
  QValueAxis* axisTime_ = nullptr;
  QValueAxis* axisAnalog_ = nullptr;
  QValueAxis* axisDigital_ = nullptr;
  QTimer* redrawTimer_ = nullptr;
  QTableWidget* channelTable_ = nullptr;
  QComboBox* cmbObject_ = nullptr;
  QComboBox* cmbSource_ = nullptr;
  QLineEdit* edtPeriod_ = nullptr;
  QLineEdit* edtScale_ = nullptr;
  QLineEdit* edtBit_ = nullptr;
  QComboBox* cmbColour_ = nullptr;
  QPushButton* btnRunStop_ = nullptr;
  QComboBox* cmbTimeBase_ = nullptr;
  QComboBox* cmbTriggerSource_ = nullptr;
  QComboBox* cmbTriggerMode_ = nullptr;
  QLineEdit* edtTriggerLevel_ = nullptr;
  QSpinBox* spnPreTrigger_ = nullptr;
  QLabel* lblState_ = nullptr;
  QLabel* lblCursors_ = nullptr;
  QLabel* lblBusLoad_ = nullptr;
};
