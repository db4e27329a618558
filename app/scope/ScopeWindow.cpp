#include "ScopeWindow.h"

#include <QBuffer>
#include <QChart>
#include <QChartView>
#include <QComboBox>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegendMarker>
#include <QLineEdit>
#include <QLineSeries>
#include <QMouseEvent>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QTimer>
#include <QValueAxis>
#include <QVBoxLayout>
#include <QWheelEvent>

#include <algorithm>
#include <cmath>
#include <limits>

#include "DLLConnector.h"
#include "GuardedHandler.h"
#include "MessageBoxService.h"
#include "SaveFile.h"
#include "ScopeHost.h"
#include "StringGridSDODataSource.h"

namespace {

constexpr int kRedrawMs = 33;        // about 30 pictures a second
constexpr int kMinPeriodMs = 10;     // below this a poll would not finish before the next
constexpr int kMaxPeriodMs = 10000;
constexpr std::uint32_t kPollTimeoutMs = 200;
// A standard data frame of 8 bytes without stuffing: 1 + 11 + 3 + 4 + 64 +
// 15 + 1 + 2 + 7 bits, and 3 of interframe space. Stuffing adds up to about
// 20 % more, so the load shown is a lower bound.
constexpr int kBitsPerSdoFrame = 111;
constexpr double kCaptureGraceSeconds = 0.1;
constexpr double kLaneHeight = 1.5;   // a digital lane: 0..1 and a gap
constexpr double kDigitalShare = 0.35;  // of the plot's height, when lanes exist

struct NamedColour {
  const char* name;
  QColor colour;
};
const NamedColour kPalette[] = {
    {"Blue", QColor(31, 119, 180)},   {"Red", QColor(214, 39, 40)},    {"Green", QColor(44, 160, 44)},
    {"Orange", QColor(255, 127, 14)}, {"Purple", QColor(148, 103, 189)}, {"Brown", QColor(140, 86, 75)},
    {"Teal", QColor(23, 190, 207)},   {"Grey", QColor(127, 127, 127)},
};

const struct {
  const char* text;
  double seconds;
} kTimeBases[] = {{"100 ms", 0.1}, {"200 ms", 0.2}, {"500 ms", 0.5}, {"1 s", 1},   {"2 s", 2},
                  {"5 s", 5},      {"10 s", 10},    {"20 s", 20},    {"60 s", 60}};
constexpr int kDefaultTimeBase = 5;

QString objectText(std::uint16_t index, std::uint8_t sub) {
  return QStringLiteral("0x%1:%2")
      .arg(index, 4, 16, QLatin1Char('0'))
      .arg(sub, 2, 16, QLatin1Char('0'))
      .toUpper()
      .replace(QLatin1String("0X"), QLatin1String("0x"));
}

/// "0x6064:00", "6064:0", "0x6064" (subindex 0), followed by anything after
/// a space (the description of a choice): index and subindex in hexadecimal.
bool parseObject(const QString& text, std::uint16_t& index, std::uint8_t& sub) {
  QString t = text.trimmed().section(QLatin1Char(' '), 0, 0);
  const QStringList parts = t.split(QLatin1Char(':'));
  if (parts.isEmpty() || parts.size() > 2) return false;
  auto hex = [](QString s, unsigned limit, unsigned& out) {
    if (s.startsWith(QLatin1String("0x")) || s.startsWith(QLatin1String("0X"))) s.remove(0, 2);
    if (s.isEmpty() || s.size() > 4) return false;
    bool ok = false;
    out = s.toUInt(&ok, 16);
    return ok && out <= limit;
  };
  unsigned i = 0, s = 0;
  if (!hex(parts.at(0), 0xFFFF, i)) return false;
  if (parts.size() == 2 && !hex(parts.at(1), 0xFF, s)) return false;
  index = std::uint16_t(i);
  sub = std::uint8_t(s);
  return true;
}

bool parseDouble(const QString& text, double& out) {
  bool ok = false;
  out = QLocale::c().toDouble(text.trimmed(), &ok);
  return ok && std::isfinite(out);
}

}  // namespace

/// The chart view of the scope: the wheel zooms, a drag pans and a click
/// places a cursor; what that means for the trace the window decides.
class ScopeChartView : public QChartView {
 public:
  using QChartView::QChartView;
  std::function<void(double factor, double x)> onWheel;
  std::function<void(double dx)> onDrag;
  std::function<void(Qt::MouseButton, double x)> onClick;
  std::function<void(QPainter*)> paintTraces;

 protected:
  void drawForeground(QPainter* painter, const QRectF& rect) override {
    QChartView::drawForeground(painter, rect);
    if (paintTraces) paintTraces(painter);
  }
  void wheelEvent(QWheelEvent* event) override {
    if (onWheel && event->angleDelta().y() != 0) onWheel(event->angleDelta().y() > 0 ? 0.8 : 1.25, event->position().x());
    event->accept();
  }
  void mousePressEvent(QMouseEvent* event) override {
    pressX_ = lastX_ = event->position().x();
    dragged_ = false;
    event->accept();
  }
  void mouseMoveEvent(QMouseEvent* event) override {
    if (!(event->buttons() & Qt::LeftButton)) return;
    const double x = event->position().x();
    if (std::abs(x - pressX_) > 3) dragged_ = true;
    if (dragged_ && onDrag) onDrag(x - lastX_);
    lastX_ = x;
    event->accept();
  }
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (!dragged_ && onClick) onClick(event->button(), event->position().x());
    event->accept();
  }

 private:
  double pressX_ = 0;
  double lastX_ = 0;
  bool dragged_ = false;
};

ScopeWindow::ScopeWindow(ScopeHost* host, QWidget* parent) : QWidget(parent, Qt::Window), host_(host) {
  setObjectName(QStringLiteral("frmScope"));
  setWindowTitle(QStringLiteral("Scope"));
  clock_.start();
  buildUi();
  const double span = timeBase();
  t0_ = -span;
  t1_ = 0;
  redrawTimer_ = new QTimer(this);
  redrawTimer_->setObjectName(QStringLiteral("tmrScopeRedraw"));
  redrawTimer_->setInterval(kRedrawMs);
  connect(redrawTimer_, &QTimer::timeout, this, guarded([this] { redraw(); }));
  StringGridPDOReceivedDataSource::addListener(this);
  refreshState();
  refreshBusLoad();
  refreshCursorText();
}

ScopeWindow::~ScopeWindow() {
  StringGridPDOReceivedDataSource::removeListener(this);
  stopPolling();
}

QString ScopeWindow::defaultExportChooser(QWidget* parent, const QString& filter) {
  return QFileDialog::getSaveFileName(parent, QStringLiteral("Export"), QString(), filter);
}

void ScopeWindow::buildUi() {
  auto* layout = new QVBoxLayout(this);
  auto label = [this](const char* text) { return new QLabel(QLatin1String(text), this); };
  auto button = [this](const char* name, const char* text) {
    auto* b = new QPushButton(QLatin1String(text), this);
    b->setObjectName(QLatin1String(name));
    return b;
  };

  auto* controls = new QHBoxLayout;
  btnRunStop_ = button("btnRunStop", "Stop");
  QPushButton* btnSingle = button("btnSingle", "Single");
  cmbTimeBase_ = new QComboBox(this);
  cmbTimeBase_->setObjectName(QStringLiteral("cmbTimeBase"));
  for (const auto& base : kTimeBases) cmbTimeBase_->addItem(QLatin1String(base.text));
  cmbTimeBase_->setCurrentIndex(kDefaultTimeBase);
  cmbTriggerSource_ = new QComboBox(this);
  cmbTriggerSource_->setObjectName(QStringLiteral("cmbTriggerSource"));
  cmbTriggerSource_->setMinimumContentsLength(16);
  cmbTriggerMode_ = new QComboBox(this);
  cmbTriggerMode_->setObjectName(QStringLiteral("cmbTriggerMode"));
  cmbTriggerMode_->addItems({QStringLiteral("Rising edge"), QStringLiteral("Falling edge")});
  edtTriggerLevel_ = new QLineEdit(QStringLiteral("0"), this);
  edtTriggerLevel_->setObjectName(QStringLiteral("edtTriggerLevel"));
  edtTriggerLevel_->setMaximumWidth(80);
  edtTriggerLevel_->setToolTip(QStringLiteral("Level crossed, in the channel's scaled units (a digital trace ignores it)"));
  spnPreTrigger_ = new QSpinBox(this);
  spnPreTrigger_->setObjectName(QStringLiteral("spnPreTrigger"));
  spnPreTrigger_->setRange(0, 100);
  spnPreTrigger_->setValue(20);
  spnPreTrigger_->setSuffix(QStringLiteral(" %"));
  lblState_ = new QLabel(this);
  lblState_->setObjectName(QStringLiteral("lblScopeState"));
  lblState_->setMinimumWidth(140);
  QPushButton* btnZoomReset = button("btnZoomReset", "Full View");
  QPushButton* btnExportCsv = button("btnExportCsv", "Export CSV...");
  QPushButton* btnExportPng = button("btnExportPng", "Export PNG...");
  controls->addWidget(btnRunStop_);
  controls->addWidget(btnSingle);
  controls->addWidget(label("Time base"));
  controls->addWidget(cmbTimeBase_);
  controls->addSpacing(12);
  controls->addWidget(label("Trigger"));
  controls->addWidget(cmbTriggerSource_);
  controls->addWidget(cmbTriggerMode_);
  controls->addWidget(label("Level"));
  controls->addWidget(edtTriggerLevel_);
  controls->addWidget(label("Pre-trigger"));
  controls->addWidget(spnPreTrigger_);
  controls->addSpacing(12);
  controls->addWidget(lblState_);
  controls->addStretch(1);
  controls->addWidget(btnZoomReset);
  controls->addWidget(btnExportCsv);
  controls->addWidget(btnExportPng);
  layout->addLayout(controls);

  chart_ = new QChart;
  chart_->legend()->setAlignment(Qt::AlignTop);
  chart_->setMargins(QMargins(4, 4, 4, 4));
  axisTime_ = new QValueAxis(chart_);
  axisTime_->setTitleText(QStringLiteral("Time to now (s)"));
  axisTime_->setLabelFormat(QStringLiteral("%.3f"));
  axisTime_->setTickType(QValueAxis::TicksDynamic);
  axisTime_->setTickAnchor(0);
  axisAnalog_ = new QValueAxis(chart_);
  axisAnalog_->setLabelFormat(QStringLiteral("%g"));
  axisDigital_ = new QValueAxis(chart_);
  axisDigital_->setVisible(false);
  axisDigital_->setRange(0, 1);
  chart_->addAxis(axisTime_, Qt::AlignBottom);
  chart_->addAxis(axisAnalog_, Qt::AlignLeft);
  chart_->addAxis(axisDigital_, Qt::AlignRight);
  chartView_ = new ScopeChartView(chart_, this);
  chartView_->setObjectName(QStringLiteral("scopeChart"));
  chartView_->setRenderHint(QPainter::Antialiasing, false);
  chartView_->setMinimumHeight(300);
  chartView_->onWheel = [this](double factor, double x) { onChartWheel(factor, x); };
  chartView_->onDrag = [this](double dx) { onChartDrag(dx); };
  chartView_->onClick = [this](Qt::MouseButton b, double x) { onChartClick(b, x); };
  chartView_->paintTraces = [this](QPainter* painter) { paintTraces(painter); };
  layout->addWidget(chartView_, 1);

  lblCursors_ = new QLabel(this);
  lblCursors_->setObjectName(QStringLiteral("lblCursors"));
  lblCursors_->setWordWrap(true);
  lblCursors_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  layout->addWidget(lblCursors_);

  auto* editor = new QHBoxLayout;
  cmbObject_ = new QComboBox(this);
  cmbObject_->setObjectName(QStringLiteral("cmbChannelObject"));
  cmbObject_->setEditable(true);
  cmbObject_->setInsertPolicy(QComboBox::NoInsert);
  cmbObject_->setMinimumContentsLength(34);
  cmbObject_->setToolTip(QStringLiteral("Object as index:subindex in hexadecimal (0x6064:00)"));
  cmbSource_ = new QComboBox(this);
  cmbSource_->setObjectName(QStringLiteral("cmbChannelSource"));
  cmbSource_->addItems({QStringLiteral("PDO"), QStringLiteral("SDO poll")});
  edtPeriod_ = new QLineEdit(QStringLiteral("100"), this);
  edtPeriod_->setObjectName(QStringLiteral("edtPollPeriod"));
  edtPeriod_->setMaximumWidth(60);
  edtScale_ = new QLineEdit(QStringLiteral("1"), this);
  edtScale_->setObjectName(QStringLiteral("edtScale"));
  edtScale_->setMaximumWidth(70);
  edtBit_ = new QLineEdit(this);
  edtBit_->setObjectName(QStringLiteral("edtBit"));
  edtBit_->setMaximumWidth(40);
  edtBit_->setToolTip(QStringLiteral("Empty: the value; a bit number: that bit as a digital trace"));
  cmbColour_ = new QComboBox(this);
  cmbColour_->setObjectName(QStringLiteral("cmbColour"));
  for (const NamedColour& c : kPalette) {
    QPixmap swatch(12, 12);
    swatch.fill(c.colour);
    cmbColour_->addItem(QIcon(swatch), QLatin1String(c.name));
  }
  QPushButton* btnAdd = button("btnAddChannel", "Add Channel");
  QPushButton* btnRemove = button("btnRemoveChannel", "Remove Channel");
  editor->addWidget(label("Object"));
  editor->addWidget(cmbObject_, 1);
  editor->addWidget(label("Source"));
  editor->addWidget(cmbSource_);
  editor->addWidget(label("Period (ms)"));
  editor->addWidget(edtPeriod_);
  editor->addWidget(label("Scale"));
  editor->addWidget(edtScale_);
  editor->addWidget(label("Bit"));
  editor->addWidget(edtBit_);
  editor->addWidget(cmbColour_);
  editor->addWidget(btnAdd);
  editor->addWidget(btnRemove);
  layout->addLayout(editor);

  channelTable_ = new QTableWidget(0, 7, this);
  channelTable_->setObjectName(QStringLiteral("channelTable"));
  channelTable_->setHorizontalHeaderLabels({QStringLiteral("On"), QStringLiteral("Object"), QStringLiteral("Name"),
                                            QStringLiteral("Source"), QStringLiteral("Scale"), QStringLiteral("Bit"),
                                            QStringLiteral("Samples")});
  channelTable_->horizontalHeader()->setSectionResizeMode(2, QHeaderView::Stretch);
  channelTable_->verticalHeader()->setVisible(false);
  channelTable_->setSelectionBehavior(QAbstractItemView::SelectRows);
  channelTable_->setSelectionMode(QAbstractItemView::SingleSelection);
  channelTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  channelTable_->verticalHeader()->setDefaultSectionSize(channelTable_->fontMetrics().height() + 6);
  channelTable_->setMaximumHeight(channelTable_->horizontalHeader()->sizeHint().height() +
                                  kMaxChannels * channelTable_->verticalHeader()->defaultSectionSize() + 4);
  layout->addWidget(channelTable_);

  lblBusLoad_ = new QLabel(this);
  lblBusLoad_->setObjectName(QStringLiteral("lblBusLoad"));
  layout->addWidget(lblBusLoad_);

  connect(btnRunStop_, &QPushButton::clicked, this, guarded([this] { acquiring_ ? stop() : run(); }));
  connect(btnSingle, &QPushButton::clicked, this, guarded([this] { single(); }));
  connect(btnZoomReset, &QPushButton::clicked, this, guarded([this] {
            // The whole capture or history of the stopped trace.
            double lo = std::numeric_limits<double>::infinity(), hi = -lo;
            for (const auto& c : channels_)
              if (!c->history.empty()) {
                lo = std::min(lo, c->history.at(0).t);
                hi = std::max(hi, c->history.newest().t);
              }
            if (trigger_.state() == scope::Trigger::State::Done) {
              const double pre = timeBase() * spnPreTrigger_->value() / 100.0;
              lo = trigger_.triggerTime() - pre;
              hi = lo + timeBase();
            }
            if (hi > lo) setView(lo, hi);
          }));
  connect(btnExportCsv, &QPushButton::clicked, this, guarded([this] { exportCsvClicked(); }));
  connect(btnExportPng, &QPushButton::clicked, this, guarded([this] { exportPngClicked(); }));
  connect(btnAdd, &QPushButton::clicked, this, guarded([this] { addChannelFromFields(); }));
  connect(btnRemove, &QPushButton::clicked, this, guarded([this] { removeSelectedChannel(); }));
  connect(cmbTimeBase_, qOverload<int>(&QComboBox::currentIndexChanged), this, guarded([this] {
            if (!acquiring_) setView(t0_, t0_ + timeBase());
            ++dataVersion_;
          }));
  connect(cmbSource_, qOverload<int>(&QComboBox::currentIndexChanged), this,
          guarded([this] { edtPeriod_->setEnabled(cmbSource_->currentIndex() == 1); }));
  edtPeriod_->setEnabled(false);
  connect(channelTable_, &QTableWidget::itemChanged, this,
          [this](QTableWidgetItem* item) { guarded([this, item] { channelItemChanged(item); })(); });
  resize(1280, 800);
}

void ScopeWindow::channelItemChanged(QTableWidgetItem* item) {
  // The "On" box of a row: shows or hides the channel, starts or stops its polls.
  if (!item || item->column() != 0 || item->row() >= int(channels_.size())) return;
  Channel& c = *channels_[std::size_t(item->row())];
  const bool on = item->checkState() == Qt::Checked;
  if (c.enabled == on) return;
  c.enabled = on;
  c.series->setVisible(on);
  if (c.pollTimer) {
    if (on && acquiring_)
      c.pollTimer->start();
    else
      c.pollTimer->stop();
  }
  refreshBusLoad();
  ++dataVersion_;
}

void ScopeWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  fillObjectChoices();
  redrawTimer_->start();
}

void ScopeWindow::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  redrawTimer_->stop();  // hidden or minimised: nothing to draw, the acquisition goes on
}

void ScopeWindow::closeEvent(QCloseEvent* event) {
  // A closed scope polls no more: its bus load would go on unseen.
  if (acquiring_) stop();
  QWidget::closeEvent(event);
}

void ScopeWindow::fillObjectChoices() {
  StringGridSDODataSource* list = host_->sdoList();
  StringGridPDOReceivedDataSource* view = host_->pdoView();
  const QString typed = cmbObject_->currentText();
  cmbObject_->clear();
  if (!list) return;
  // The objects the transmit PDOs carry first: they cost no bus load.
  QStringList mapped, others;
  for (const sdoGridEntry* entry : list->mappableEntries()) {
    if (!entry->definition || StringGridPDOReceivedDataSource::widthOf(entry->definition->dataType) == 0) continue;
    const std::uint16_t index = entry->definition->id.toUShort(nullptr, 16);
    const std::uint8_t sub = std::uint8_t(entry->subindex.toUInt());
    const bool isMapped = view && view->isObjectMapped(entry->definition->id, sub);
    const QString text = objectText(index, sub) + QLatin1Char(' ') + entry->definition->parameterName +
                         (isMapped ? QStringLiteral(" (PDO)") : QString());
    (isMapped ? mapped : others) << text;
  }
  cmbObject_->addItems(mapped + others);
  cmbObject_->setCurrentText(typed.isEmpty() && !mapped.isEmpty() ? mapped.first() : typed);
}

void ScopeWindow::refuse(const QString& text) {
  showMessageBox(QStringLiteral("Scope"), text, QMessageBox::Warning);
}

void ScopeWindow::addChannelFromFields() {
  ChannelRequest request;
  request.object = cmbObject_->currentText();
  request.source = cmbSource_->currentIndex() == 1 ? Source::Poll : Source::Pdo;
  request.periodMs = edtPeriod_->text();
  request.scale = edtScale_->text();
  request.bit = edtBit_->text();
  request.colour = kPalette[std::size_t(std::clamp(cmbColour_->currentIndex(), 0, kMaxChannels - 1))].colour;
  if (addChannel(request)) cmbColour_->setCurrentIndex((cmbColour_->currentIndex() + 1) % cmbColour_->count());
}

bool ScopeWindow::addChannel(const ChannelRequest& request) {
  if (int(channels_.size()) >= kMaxChannels) {
    refuse(QStringLiteral("The scope shows at most %1 channels; remove one first.").arg(kMaxChannels));
    return false;
  }
  std::uint16_t index = 0;
  std::uint8_t sub = 0;
  if (!parseObject(request.object, index, sub)) {
    refuse(QStringLiteral("Object: '%1' is not an index:subindex in hexadecimal (such as 0x6064:00).").arg(request.object));
    return false;
  }
  StringGridSDODataSource* list = host_->sdoList();
  const QString id = QStringLiteral("%1").arg(index, 4, 16, QLatin1Char('0')).toUpper();
  sdoGridEntry* entry = list ? list->findEntry(id, sub) : nullptr;
  if (!entry || !entry->definition) {
    refuse(QStringLiteral("Object %1 is not in the node's dictionary.").arg(objectText(index, sub)));
    return false;
  }
  const int width = StringGridPDOReceivedDataSource::widthOf(entry->definition->dataType);
  if (width == 0) {
    refuse(QStringLiteral("Object %1 has no numeric value to plot.").arg(objectText(index, sub)));
    return false;
  }
  if (request.source == Source::Pdo) {
    StringGridPDOReceivedDataSource* view = host_->pdoView();
    if (!view || !view->isObjectMapped(id, sub)) {
      refuse(QStringLiteral("Object %1 is not mapped in a transmit PDO of the node. Map it on the PDO mapping page, "
                            "or poll it by SDO.")
                 .arg(objectText(index, sub)));
      return false;
    }
  }
  int period = 0;
  if (request.source == Source::Poll) {
    bool ok = false;
    period = request.periodMs.trimmed().toInt(&ok);
    if (!ok || period < kMinPeriodMs || period > kMaxPeriodMs) {
      refuse(QStringLiteral("Poll period: '%1' is not a number of milliseconds from %2 to %3.")
                 .arg(request.periodMs)
                 .arg(kMinPeriodMs)
                 .arg(kMaxPeriodMs));
      return false;
    }
  }
  double scale = 1;
  if (!parseDouble(request.scale, scale) || scale == 0) {
    refuse(QStringLiteral("Scale: '%1' is not a number other than 0.").arg(request.scale));
    return false;
  }
  int bit = -1;
  if (!request.bit.trimmed().isEmpty()) {
    bool ok = false;
    bit = request.bit.trimmed().toInt(&ok);
    if (!ok || bit < 0 || bit >= width) {
      refuse(QStringLiteral("Bit: '%1' is not a bit number from 0 to %2.").arg(request.bit).arg(width - 1));
      return false;
    }
  }

  auto channel = std::make_unique<Channel>();
  channel->id = nextChannelId_++;
  channel->index = index;
  channel->subIndex = sub;
  channel->dataType = entry->definition->dataType;
  channel->bits = width;
  channel->name = entry->definition->parameterName + (bit >= 0 ? QStringLiteral(" bit %1").arg(bit) : QString());
  channel->source = request.source;
  channel->periodMs = period;
  channel->scale = scale;
  channel->bit = bit;
  if (request.colour.isValid()) {
    channel->colour = request.colour;
  } else {
    channel->colour = kPalette[channels_.size() % std::size(kPalette)].colour;
  }
  channel->series = new QLineSeries(chart_);
  channel->series->setName(channel->name + (request.source == Source::Poll ? QStringLiteral(" (polled)") : QString()));
  QPen pen(channel->colour);
  pen.setWidthF(1.5);
  channel->series->setPen(pen);
  chart_->addSeries(channel->series);
  channel->series->attachAxis(axisTime_);
  channel->series->attachAxis(bit >= 0 ? axisDigital_ : axisAnalog_);
  if (request.source == Source::Poll) {
    channel->pollTimer = new QTimer(this);
    channel->pollTimer->setInterval(period);
    channel->pollTimer->setTimerType(Qt::PreciseTimer);
    const std::uint64_t channelId = channel->id;
    connect(channel->pollTimer, &QTimer::timeout, this, guarded([this, channelId] { poll(channelId); }));
    if (acquiring_) channel->pollTimer->start();
  }
  channels_.push_back(std::move(channel));
  refreshChannelTable();
  refreshTriggerSources();
  refreshBusLoad();
  ++dataVersion_;
  return true;
}

void ScopeWindow::removeSelectedChannel() {
  const int row = channelTable_->currentRow();
  if (row < 0 || row >= int(channels_.size())) {
    refuse(QStringLiteral("Select the channel to remove in the table."));
    return;
  }
  removeChannel(row);
}

void ScopeWindow::removeChannel(int channel) {
  if (channel < 0 || channel >= int(channels_.size())) return;
  Channel& c = *channels_[std::size_t(channel)];
  // The trigger names its channel by position, which a removal shifts.
  if (trigger_.state() == scope::Trigger::State::Armed) trigger_.disarm();
  delete c.pollTimer;
  chart_->removeSeries(c.series);
  delete c.series;
  channels_.erase(channels_.begin() + channel);
  refreshChannelTable();
  refreshTriggerSources();
  refreshBusLoad();
  refreshCursorText();
  refreshState();
  ++dataVersion_;
}

QString ScopeWindow::channelName(int channel) const { return channels_.at(std::size_t(channel))->name; }

const scope::SampleHistory& ScopeWindow::history(int channel) const { return channels_.at(std::size_t(channel))->history; }

std::uint64_t ScopeWindow::skippedPolls(int channel) const { return channels_.at(std::size_t(channel))->skipped; }

std::uint64_t ScopeWindow::failedPolls(int channel) const { return channels_.at(std::size_t(channel))->failed; }

std::uint64_t ScopeWindow::samplesReceived(int channel) const { return channels_.at(std::size_t(channel))->received; }

ScopeWindow::Channel* ScopeWindow::channelById(std::uint64_t id) {
  for (auto& c : channels_)
    if (c->id == id) return c.get();
  return nullptr;
}

void ScopeWindow::refreshChannelTable() {
  QSignalBlocker block(channelTable_);
  channelTable_->setRowCount(int(channels_.size()));
  for (int r = 0; r < int(channels_.size()); ++r) {
    const Channel& c = *channels_[std::size_t(r)];
    auto* on = new QTableWidgetItem;
    on->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable | Qt::ItemIsSelectable);
    on->setCheckState(c.enabled ? Qt::Checked : Qt::Unchecked);
    QPixmap swatch(12, 12);
    swatch.fill(c.colour);
    on->setIcon(QIcon(swatch));
    channelTable_->setItem(r, 0, on);
    const QString cells[] = {objectText(c.index, c.subIndex), c.name,
                             c.source == Source::Pdo ? QStringLiteral("PDO")
                                                     : QStringLiteral("SDO poll, %1 ms").arg(c.periodMs),
                             QString::number(c.scale), c.bit >= 0 ? QString::number(c.bit) : QString(),
                             QString::number(c.history.size())};
    for (int col = 1; col < 7; ++col) channelTable_->setItem(r, col, new QTableWidgetItem(cells[col - 1]));
  }
  channelTable_->resizeColumnToContents(1);
  channelTable_->resizeColumnToContents(3);
}

void ScopeWindow::refreshTriggerSources() {
  const int current = cmbTriggerSource_->currentIndex();
  cmbTriggerSource_->clear();
  for (const auto& c : channels_) cmbTriggerSource_->addItem(c->name);
  cmbTriggerSource_->setCurrentIndex(current >= 0 && current < cmbTriggerSource_->count() ? current : 0);
}

void ScopeWindow::refreshBusLoad() {
  double framesPerSecond = 0;
  int polled = 0;
  std::uint64_t skipped = 0, failed = 0;
  for (const auto& c : channels_) {
    if (c->source != Source::Poll) continue;
    skipped += c->skipped;
    failed += c->failed;
    if (!c->enabled) continue;
    ++polled;
    framesPerSecond += 2 * 1000.0 / c->periodMs;  // request and answer
  }
  if (polled == 0 && skipped == 0 && failed == 0) {
    lblBusLoad_->setText(QStringLiteral("SDO polling: none (PDO channels add no bus load)"));
    return;
  }
  const int kbit = std::max(1, host_->bitRateKbit());
  const double load = 100.0 * framesPerSecond * kBitsPerSdoFrame / (kbit * 1000.0);
  lblBusLoad_->setText(QStringLiteral("SDO polling: %1 channel(s), %2 frames/s, at least %3 % of %4 kbit/s; "
                                      "%5 polls skipped (transfer pending), %6 failed")
                           .arg(polled)
                           .arg(framesPerSecond, 0, 'f', 0)
                           .arg(load, 0, 'f', 1)
                           .arg(kbit)
                           .arg(skipped)
                           .arg(failed));
}

void ScopeWindow::refreshState() {
  btnRunStop_->setText(acquiring_ ? QStringLiteral("Stop") : QStringLiteral("Run"));
  QString state;
  switch (trigger_.state()) {
    case scope::Trigger::State::Armed: state = QStringLiteral("Waiting for trigger"); break;
    case scope::Trigger::State::Fired: state = QStringLiteral("Triggered"); break;
    case scope::Trigger::State::Done: state = QStringLiteral("Captured"); break;
    case scope::Trigger::State::Idle: state = acquiring_ ? QStringLiteral("Running") : QStringLiteral("Stopped"); break;
  }
  lblState_->setText(state);
}

// ---- Acquisition -------------------------------------------------------------

void ScopeWindow::startPolling() {
  for (auto& c : channels_)
    if (c->pollTimer && c->enabled) c->pollTimer->start();
}

void ScopeWindow::stopPolling() {
  for (auto& c : channels_)
    if (c->pollTimer) c->pollTimer->stop();
}

void ScopeWindow::run() {
  trigger_.disarm();
  acquiring_ = true;
  startPolling();
  refreshState();
  ++dataVersion_;
}

void ScopeWindow::stop() {
  acquiring_ = false;
  stopPolling();
  if (trigger_.state() == scope::Trigger::State::Armed) trigger_.disarm();
  refreshState();
  refreshChannelTable();
  ++dataVersion_;
}

bool ScopeWindow::single() {
  const int source = cmbTriggerSource_->currentIndex();
  if (source < 0 || source >= int(channels_.size())) {
    refuse(QStringLiteral("Add a channel to trigger on first."));
    return false;
  }
  const Channel& c = *channels_[std::size_t(source)];
  double level = 0.5;
  if (c.bit < 0 && !parseDouble(edtTriggerLevel_->text(), level)) {
    refuse(QStringLiteral("Trigger level: '%1' is not a number.").arg(edtTriggerLevel_->text()));
    return false;
  }
  const double span = timeBase();
  const double post = span * (100 - spnPreTrigger_->value()) / 100.0;
  trigger_.arm(source,
               cmbTriggerMode_->currentIndex() == 1 ? scope::Trigger::Edge::Falling : scope::Trigger::Edge::Rising,
               level, now(), post);
  acquiring_ = true;
  startPolling();
  refreshState();
  ++dataVersion_;
  return true;
}

void ScopeWindow::store(int number, double t, double value) {
  Channel& channel = *channels_[std::size_t(number)];
  std::optional<double> previous;
  if (!channel.history.empty()) previous = scope::shownValue(channel.history.newest().v, channel.scale, channel.bit);
  channel.history.push(t, value);
  ++channel.received;
  ++dataVersion_;
  if (trigger_.feed(number, t, scope::shownValue(value, channel.scale, channel.bit), previous)) refreshState();
}

void ScopeWindow::pdoValueDecoded(const sdoGridEntry&, std::uint16_t index, std::uint8_t subIndex, std::int64_t value,
                                  std::uint64_t, int, std::uint32_t frameTime) {
  if (!acquiring_) return;
  bool wanted = false;
  for (const auto& c : channels_) wanted |= c->source == Source::Pdo && c->index == index && c->subIndex == subIndex;
  if (!wanted) return;
  const double t = stampClock_.toSeconds(frameTime, now());
  for (int n = 0; n < int(channels_.size()); ++n) {
    const Channel& c = *channels_[std::size_t(n)];
    if (c.source == Source::Pdo && c.index == index && c.subIndex == subIndex) store(n, t, double(value));
  }
}

void ScopeWindow::poll(std::uint64_t channelId) {
  Channel* c = channelById(channelId);
  if (!c || !acquiring_ || !c->enabled) return;
  DLLConnector* connector = host_->connector();
  if (!connector) return;
  if (host_->busBusy() || connector->isQueryPending()) {
    ++c->skipped;
    return;
  }
  const std::uint8_t type = c->bits == 8 ? TYPE_U8 : c->bits == 16 ? TYPE_U16 : TYPE_U32;
  const std::uint16_t index = c->index;
  const std::uint8_t sub = c->subIndex;
  const double start = now();
  QPointer<ScopeWindow> alive(this);
  ScopeHost* host = host_;  // outlives the window
  // The read lets the event loop run: the window or the channel may be gone after it.
  host->setTransferRunning(true);
  const SDOResult result = connector->readObject(std::uint8_t(host->nodeId()), index, sub, type, kPollTimeoutMs);
  host->setTransferRunning(false);
  if (!alive) return;
  c = channelById(channelId);
  if (!c) return;
  ++c->polled;
  if (result.code >= sdo_result::kNodeRange && result.code <= sdo_result::kClosing) {
    ++c->skipped;
    return;
  }
  if (result.code != sdo_result::kOk) {
    ++c->failed;
    return;
  }
  if (!acquiring_) return;  // stopped while the answer was on its way
  const auto value =
      StringGridPDOReceivedDataSource::numericValue(std::uint32_t(result.value), c->bits, c->dataType);
  for (int n = 0; n < int(channels_.size()); ++n)
    if (channels_[std::size_t(n)].get() == c) store(n, (start + now()) / 2, double(value));
}

// ---- Display -----------------------------------------------------------------

double ScopeWindow::timeBase() const {
  const int i = cmbTimeBase_->currentIndex();
  return kTimeBases[std::size_t(i >= 0 && i < int(std::size(kTimeBases)) ? i : kDefaultTimeBase)].seconds;
}

QChartView* ScopeWindow::chartView() const { return chartView_; }

bool ScopeWindow::redraw() {
  const double span = timeBase();
  // Frames reach the scope a little after their time stamps (the decoding
  // runs on a timer): the capture ends once those up to its end are in.
  if (trigger_.complete(now() - kCaptureGraceSeconds)) {
    // The capture is complete: the trace freezes on it.
    acquiring_ = false;
    stopPolling();
    refreshState();
    refreshChannelTable();
    const double pre = span * spnPreTrigger_->value() / 100.0;
    t0_ = trigger_.triggerTime() - pre;
    t1_ = t0_ + span;
    reference_ = trigger_.triggerTime();
    ++dataVersion_;
  } else if (acquiring_) {
    if (trigger_.state() == scope::Trigger::State::Fired) {
      const double pre = span * spnPreTrigger_->value() / 100.0;
      t0_ = trigger_.triggerTime() - pre;
      t1_ = t0_ + span;
      reference_ = trigger_.triggerTime();
    } else {
      t1_ = now();
      t0_ = t1_ - span;
      reference_ = t1_;
    }
  }
  if (drawnVersion_ == dataVersion_ && !acquiring_) return false;
  drawnVersion_ = dataVersion_;
  refreshBusLoad();  // the skipped and failed polls so far

  // Two pixels a column: a column draws up to four points (first, lowest,
  // highest, last), so a trace costs about two points a pixel.
  const int columns = std::max(100, int(chart_->plotArea().width()) / 2);
  int lanes = 0;
  for (const auto& c : channels_) lanes += c->bit >= 0;
  double lo = std::numeric_limits<double>::infinity(), hi = -lo;
  int lane = 0;
  for (const auto& c : channels_) {
    QVector<QPointF>& points = c->drawn;
    points.clear();
    if (c->enabled) {
      if (c->bit >= 0) {
        const double base = (lanes - 1 - lane) * kLaneHeight;
        const int bit = c->bit;
        scope::decimate(c->history, t0_, t1_, columns,
                        [base, bit](double v) { return base + scope::shownValue(v, 1, bit); }, points);
      } else {
        const double scale = c->scale;
        scope::decimate(c->history, t0_, t1_, columns, [scale](double v) { return v * scale; }, points);
        for (const QPointF& p : points)
          if (p.x() >= t0_ && p.x() <= t1_) {
            lo = std::min(lo, p.y());
            hi = std::max(hi, p.y());
          }
      }
    }
    if (c->bit >= 0) ++lane;
  }
  if (!(hi >= lo)) {
    lo = 0;
    hi = 1;
  }
  const double pad = hi > lo ? (hi - lo) * 0.05 : std::max(1.0, std::abs(hi) * 0.05);
  lo -= pad;
  hi += pad;
  // With digital lanes, the analog traces keep the upper part of the plot
  // and the lanes the lower part.
  if (lanes > 0) {
    lo = hi - (hi - lo) / (1 - kDigitalShare);
    axisDigital_->setRange(-0.2, lanes * kLaneHeight / kDigitalShare);
  }
  // An axis whose range changes rebuilds all its labels, which costs more
  // than the traces: the value axis changes only when the data leave it or
  // fill less than half of it, and the time axis is shown relative to a
  // reference (now while rolling, the trigger, the stop), so a rolling trace
  // keeps it still.
  if (lo < axisAnalog_->min() || hi > axisAnalog_->max() || (hi - lo) < 0.5 * (axisAnalog_->max() - axisAnalog_->min())) {
    axisAnalog_->setRange(lo, hi);
    axisAnalog_->applyNiceNumbers();
  }
  axisTime_->setRange(t0_ - reference_, t1_ - reference_);
  const QString title = trigger_.state() == scope::Trigger::State::Done || trigger_.state() == scope::Trigger::State::Fired
                            ? QStringLiteral("Time from the trigger (s)")
                        : acquiring_ ? QStringLiteral("Time to now (s)")
                                     : QStringLiteral("Time to the stop (s)");
  if (axisTime_->titleText() != title) axisTime_->setTitleText(title);
  // Time ticks at round steps of about a tenth of the span, whatever the zoom.
  const double rough = (t1_ - t0_) / 10;
  const double magnitude = std::pow(10.0, std::floor(std::log10(rough)));
  const double step = rough / magnitude < 2 ? magnitude : rough / magnitude < 5 ? 2 * magnitude : 5 * magnitude;
  if (axisTime_->tickInterval() != step) {
    axisTime_->setTickInterval(step);
    axisTime_->setLabelFormat(step >= 1 ? QStringLiteral("%.0f") : step >= 0.1 ? QStringLiteral("%.1f")
                              : step >= 0.01 ? QStringLiteral("%.2f") : QStringLiteral("%.3f"));
  }
  chartView_->viewport()->update();
  return true;
}

void ScopeWindow::paintTraces(QPainter* painter) {
  // The chart draws the axes, the grid and the legend; the traces and the
  // cursors are drawn here, over its plot area. Handing the chart thousands
  // of points per series 30 times a second cost 10 to 50 ms a picture (each
  // series rebuilt its geometry on every point list and axis change); a
  // polyline costs well under a millisecond.
  const QRectF plot = chart_->mapRectToScene(chart_->plotArea());
  if (plot.width() <= 0 || plot.height() <= 0 || !(t1_ > t0_)) return;
  painter->save();
  painter->setClipRect(plot);
  painter->setRenderHint(QPainter::Antialiasing, false);
  const double xScale = plot.width() / (t1_ - t0_);
  QPolygonF polyline;
  for (const auto& c : channels_) {
    if (!c->enabled || c->drawn.isEmpty()) continue;
    const QValueAxis* axis = c->bit >= 0 ? axisDigital_ : axisAnalog_;
    const double lo = axis->min(), span = axis->max() - axis->min();
    if (!(span > 0)) continue;
    const double yScale = plot.height() / span;
    polyline.resize(c->drawn.size());
    for (int i = 0; i < c->drawn.size(); ++i) {
      const QPointF& p = c->drawn[i];
      polyline[i] = QPointF(plot.left() + (p.x() - t0_) * xScale, plot.bottom() - (p.y() - lo) * yScale);
    }
    painter->setPen(QPen(c->colour, 0));  // cosmetic: one pixel at any scale, the fast path
    painter->drawPolyline(polyline);
  }
  for (int k = 0; k < 2; ++k) {
    if (!cursors_[k] || *cursors_[k] < t0_ || *cursors_[k] > t1_) continue;
    const double x = plot.left() + (*cursors_[k] - t0_) * xScale;
    painter->setPen(QPen(Qt::black, 0, k == 0 ? Qt::DashLine : Qt::DotLine));
    painter->drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
  }
  painter->restore();
}

bool ScopeWindow::setView(double t0, double t1) {
  if (acquiring_ || !(t1 > t0) || !std::isfinite(t0) || !std::isfinite(t1)) return false;
  t0_ = t0;
  t1_ = t1;
  ++dataVersion_;
  return true;
}

bool ScopeWindow::zoom(double factor, double centre) {
  if (acquiring_ || !(factor > 0)) return false;
  return setView(centre - (centre - t0_) * factor, centre + (t1_ - centre) * factor);
}

bool ScopeWindow::pan(double seconds) { return !acquiring_ && setView(t0_ + seconds, t1_ + seconds); }

double ScopeWindow::timeAtPixel(double x) const {
  const QRectF plot = chart_->plotArea();
  if (plot.width() <= 0) return t0_;
  const QPointF inChart = chartView_->mapToScene(QPoint(int(x), 0));
  return t0_ + (inChart.x() - plot.left()) / plot.width() * (t1_ - t0_);
}

void ScopeWindow::onChartWheel(double factor, double x) { zoom(factor, timeAtPixel(x)); }

void ScopeWindow::onChartDrag(double dx) {
  const double width = chart_->plotArea().width();
  if (width > 0) pan(-dx / width * (t1_ - t0_));
}

void ScopeWindow::onChartClick(Qt::MouseButton button, double x) {
  if (acquiring_) return;
  setCursor(button == Qt::RightButton ? 1 : 0, timeAtPixel(x));
}

void ScopeWindow::setCursor(int cursor, double t) {
  if (cursor < 0 || cursor > 1) return;
  cursors_[cursor] = t;
  refreshCursorText();
  ++dataVersion_;
}

void ScopeWindow::refreshCursorText() {
  if (!cursors_[0] && !cursors_[1]) {
    lblCursors_->setText(QStringLiteral("Cursors: stop the trace, then click (left: cursor 1, right: cursor 2); "
                                        "wheel zooms, drag pans."));
    return;
  }
  QStringList parts;
  for (int k = 0; k < 2; ++k)
    parts << (cursors_[k] ? QStringLiteral("Cursor %1: %2 s").arg(k + 1).arg(*cursors_[k] - reference_, 0, 'f', 6)
                          : QStringLiteral("Cursor %1: -").arg(k + 1));
  if (cursors_[0] && cursors_[1])
    parts << QStringLiteral("Δt: %1 ms").arg((*cursors_[1] - *cursors_[0]) * 1000, 0, 'f', 3);
  QStringList values;
  for (const auto& c : channels_) {
    QStringList at;
    for (int k = 0; k < 2; ++k) {
      const auto v = cursors_[k] ? c->history.valueAt(*cursors_[k]) : std::nullopt;
      at << (v ? QString::number(scope::shownValue(*v, c->scale, c->bit), 'g', 10) : QStringLiteral("-"));
    }
    values << QStringLiteral("%1: %2 | %3").arg(c->name, at[0], at[1]);
  }
  lblCursors_->setText(parts.join(QLatin1String("    ")) +
                       (values.isEmpty() ? QString() : QLatin1Char('\n') + values.join(QLatin1String("    "))));
}

// ---- Export ------------------------------------------------------------------

bool ScopeWindow::exportCsv(const QString& path) {
  std::vector<scope::CsvColumn> columns;
  for (const auto& c : channels_)
    if (c->enabled) columns.push_back({c->name, &c->history, c->scale, c->bit});
  QString error;
  if (!savefile::write(path, scope::toCsv(columns, t0_, t1_, reference_), &error)) {
    refuse(QStringLiteral("The CSV file could not be written: %1").arg(error));
    return false;
  }
  return true;
}

bool ScopeWindow::exportPng(const QString& path) {
  redraw();
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  QString error;
  if (!chartView_->grab().save(&buffer, "PNG")) {
    refuse(QStringLiteral("The picture could not be made."));
    return false;
  }
  if (!savefile::write(path, bytes, &error)) {
    refuse(QStringLiteral("The PNG file could not be written: %1").arg(error));
    return false;
  }
  return true;
}

void ScopeWindow::exportCsvClicked() {
  const QString path = chooseExportFile(this, QStringLiteral("CSV files (*.csv)"));
  if (!path.isEmpty()) exportCsv(path);
}

void ScopeWindow::exportPngClicked() {
  const QString path = chooseExportFile(this, QStringLiteral("PNG pictures (*.png)"));
  if (!path.isEmpty()) exportPng(path);
}
