#include "TfrmCANLog.h"

#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QToolTip>

#include <algorithm>
#include <cstring>

#include "Logging.h"
#include "MessageBoxService.h"
#include "SaveFile.h"
#include "StringGridSDODataSource.h"
#include "Util.h"
#include "ui_TfrmCANLog.h"
#include "canopen/Cia301.h"

namespace {

const QString kTextFilter = QStringLiteral("LogFiles (*.log)");
const QString kCandumpFilter = QStringLiteral("candump log (*.log)");

}  // namespace

/// The SDO list of the moment, as the routing filter knows it: a new list
/// registers itself there, so the log always decodes against the current one.
class TfrmCANLog::ListLookup : public CanLogLookup {
 public:
  QString description(const QString& id, std::int32_t subIndex) override {
    const sdoGridEntry* entry = find(id, subIndex);
    return entry ? entry->definition->parameterName : QString();
  }
  std::optional<QString> value(const QString& id, std::int32_t subIndex) override {
    const sdoGridEntry* entry = find(id, subIndex);
    if (!entry) return std::nullopt;
    return entry->definition->value;
  }

 private:
  static sdoGridEntry* find(const QString& id, std::int32_t subIndex) {
    SdoValueSource* list = RoutingMessageFilter::routing().sdoSource();
    return list ? list->findEntry(id, subIndex) : nullptr;
  }
};

ConnectorFrame TfrmCANLog::canLogRecord::frame() const {
  ConnectorFrame f;
  std::memcpy(f.data, data, sizeof data);
  f.time = time;
  f.id = std::uint16_t(id & 0x7FF);
  f.wholeId = id;
  f.dlc = dlc;
  f.isTx = (flags & kTx) ? 1 : 0;
  f.seq = seq;
  f.kind = std::uint8_t(((flags & kExtended) ? kFrameExtended : 0) | ((flags & kRemote) ? kFrameRemote : 0));
  return f;
}

TfrmCANLog::TfrmCANLog(QWidget* parent)
    : QWidget(parent, Qt::Window),
      ui(std::make_unique<Ui::TfrmCANLog>()),
      lookup_(std::make_unique<ListLookup>()),
      decoder_(lookup_.get()) {
  ui->setupUi(this);
  ui->canMsgWindow->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  ui->canMsgWindow->installEventFilter(this);
  ui->canMsgWindow->viewport()->installEventFilter(this);
  ui->canMsgWindow->viewport()->setMouseTracking(true);

  tmrFillLog.setObjectName(QStringLiteral("tmrFillLog"));
  tmrFillLog.setInterval(200);
  saveLogFileChooser = new QFileDialog(this, QStringLiteral("Save Log"));
  saveLogFileChooser->setObjectName(QStringLiteral("saveLogFileChooser"));
  saveLogFileChooser->setAcceptMode(QFileDialog::AcceptSave);
  saveLogFileChooser->setNameFilters({kTextFilter, kCandumpFilter});

  connect(ui->LogEnable, &QCheckBox::toggled, this, &TfrmCANLog::LogEnableClick);
  connect(ui->LogClear, &QPushButton::clicked, this, &TfrmCANLog::LogClearClick);
  connect(ui->saveLogBtn, &QPushButton::clicked, this, &TfrmCANLog::saveLogBtnClick);
  connect(ui->Button1, &QPushButton::clicked, this, &TfrmCANLog::Button1Click);
  connect(ui->sclProgress, &QScrollBar::valueChanged, this, &TfrmCANLog::sclProgressChange);
  connect(&tmrFillLog, &QTimer::timeout, this, &TfrmCANLog::tmrFillLogTimer);
  connect(&Logging::instance(), &Logging::emergencyFrame, this, [this](const ConnectorFrame& frame) {
    if (isLogging()) addFrame(frame, true);
  });

  RoutingMessageFilter::routing().setCanLog(this);
  LogEnableClick();  // logging and the tick are on from the start
}

TfrmCANLog::~TfrmCANLog() {
  tmrFillLog.stop();
  RoutingMessageFilter::routing().setCanLog(nullptr);
}

bool TfrmCANLog::isLogging() const { return ui->LogEnable->isChecked(); }

void TfrmCANLog::addFrame(const ConnectorFrame& frame, bool emergency, bool remote) {
  canLogRecord r;
  std::memcpy(r.data, frame.data, sizeof r.data);
  r.time = frame.time;
  r.seq = frame.seq;
  const bool extended = (frame.kind & kFrameExtended) != 0;
  remote = remote || (frame.kind & kFrameRemote);
  r.id = extended ? frame.wholeId : frame.id;
  r.dlc = frame.dlc;
  r.flags = std::uint8_t((frame.isTx ? kTx : 0) | (emergency ? kEmergency : 0) | (remote ? kRemote : 0) |
                         (extended ? kExtended : 0));
  records_.push_back(r);
  pending_ = true;
  if (records_.size() > capacity_) dropOldest();
}

void TfrmCANLog::setCapacity(std::size_t frames) {
  capacity_ = std::max<std::size_t>(frames, 10);
  if (records_.size() > capacity_) dropOldest();
}

void TfrmCANLog::dropOldest() {
  // A tenth at a time: the scroll bar, the kept texts and the label change
  // once per many frames rather than with every frame at bus rate.
  const std::size_t excess = records_.size() - std::min(records_.size(), capacity_);
  const std::size_t count = std::min(records_.size(), excess + capacity_ / 10);
  if (count == 0) return;
  if (dropped_ == 0)
    Logging::instance().log(QStringLiteral("CAN log full: the oldest frames are dropped (it keeps the newest %1 frames)")
                                .arg(capacity_));
  records_.erase(records_.begin(), records_.begin() + std::ptrdiff_t(count));
  dropped_ += count;
  for (auto it = keptText_.begin(); it != keptText_.end();)
    it = it->first < dropped_ ? keptText_.erase(it) : std::next(it);
  // The page stays on the frames it shows as long as they are held.
  QScrollBar* bar = ui->sclProgress;
  const int value = bar->value();
  const QSignalBlocker block(bar);
  bar->setMaximum(int(std::min<std::size_t>(records_.size(), INT32_MAX)));
  bar->setValue(std::max(0, value - int(count)));
  if (isVisible())
    redrawPage();
  else
    pageStale_ = true;
  ui->lblDropped->setText(QStringLiteral("%1 older frames dropped").arg(dropped_));
  ui->lblDropped->setVisible(true);
}

void TfrmCANLog::flushPending() {
  if (!pending_) return;
  pending_ = false;
  ui->sclProgress->setMaximum(int(std::min<std::size_t>(records_.size(), INT32_MAX)));
}

void TfrmCANLog::tmrFillLogTimer() {
  flushPending();
  if (ui->chkAutoScroll->isChecked()) ui->sclProgress->setValue(ui->sclProgress->maximum());
}

void TfrmCANLog::sclProgressChange() {
  // A hidden window draws when it is shown again.
  if (!isVisible()) {
    pageStale_ = true;
    return;
  }
  redrawPage();
}

void TfrmCANLog::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  flushPending();
  if (pageStale_) redrawPage();
}

void TfrmCANLog::LogEnableClick() {
  if (isLogging()) {
    tmrFillLog.start();
  } else {
    tmrFillLog.stop();
    tmrFillLogTimer();  // show what came in since the last tick
  }
}

void TfrmCANLog::LogClearClick() {
  records_.clear();
  records_.shrink_to_fit();
  keptText_.clear();
  dropped_ = 0;
  ui->lblDropped->clear();
  ui->lblDropped->setVisible(false);
  pending_ = false;
  ui->sclProgress->setMaximum(0);
  ui->sclProgress->setValue(0);
  ui->canMsgWindow->clear();
}

QString TfrmCANLog::pageText(std::size_t record) {
  auto it = keptText_.find(record + dropped_);
  if (it == keptText_.end())
    it = keptText_.emplace(record + dropped_, decoder_.decodeFrame(records_[record].frame()).toUtf8()).first;
  return QString::fromUtf8(it->second);
}

QColor TfrmCANLog::lineColour(std::size_t record) const {
  const canLogRecord& r = records_[record];
  if (r.flags & kEmergency) return Qt::red;
  QColor colour = Qt::black;
  if (CanLogDecoder::isSdoRange(r.id) && r.data[2] == 0x60) {
    switch (r.data[1]) {
      case 0x40: colour = QColor(0, 193, 0); break;     // controlword
      case 0x41: colour = QColor(0, 149, 0); break;     // status word
      case 0x60: colour = QColor(182, 169, 58); break;  // modes of operation
      case 0x61: colour = QColor(134, 127, 64); break;  // its display
      default: break;
    }
  } else if ((r.id & 0xF00) == kestrum::canopen::cob::kErrorControl) {
    colour = QColor(128, 128, 128);
  }
  if (std::int64_t(r.id) == Util::ToIntDef(ui->txtDebugCobID->text(), 15)) colour = QColor(255, 0, 255);
  return colour;
}

void TfrmCANLog::redrawPage() {
  pageStale_ = false;
  QPlainTextEdit* area = ui->canMsgWindow;
  area->clear();
  if (records_.empty()) return;
  const long long max = ui->sclProgress->maximum();
  const long long pos = ui->sclProgress->value();
  long long first = (pos == max || pos > max - linesPerPage_) ? max - linesPerPage_ : pos;
  first = std::max(0LL, first);
  // The scroll bar may lag behind the records by one tick; draw what it shows.
  const long long shown = std::min<long long>(max, static_cast<long long>(records_.size()));
  const long long last = std::min(shown, first + linesPerPage_);

  QTextCursor cursor(area->document());
  cursor.beginEditBlock();
  for (long long i = first; i < last; ++i) {
    QTextCharFormat format;
    format.setForeground(lineColour(std::size_t(i)));
    if (i != first) cursor.insertBlock();
    cursor.insertText(pageText(std::size_t(i)), format);
  }
  cursor.endEditBlock();
  area->moveCursor(QTextCursor::End);
  area->horizontalScrollBar()->setValue(0);  // the caret at the end, the view at the start
}

void TfrmCANLog::canMsgWindowResize() {
  tmrFillLog.stop();
  // The page is as many lines as the text area shows in its font.
  const int lineHeight = std::max(1, QFontMetrics(ui->canMsgWindow->font()).lineSpacing());
  linesPerPage_ = std::max(1, ui->canMsgWindow->viewport()->height() / lineHeight);
  ui->sclProgress->setValue(ui->sclProgress->maximum() - linesPerPage_);
  if (isLogging()) tmrFillLog.start();
  if (isVisible()) redrawPage();
}

// ---------------------------------------------------------------------------
// Hints and the debug COB-ID field.

bool TfrmCANLog::eventFilter(QObject* watched, QEvent* event) {
  QPlainTextEdit* area = ui->canMsgWindow;
  if (watched == area->viewport() && event->type() == QEvent::Resize) {
    // The text area follows the window's size through the layout.
    canMsgWindowResize();
  } else if (watched == area && event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_F12 && (key->modifiers() & Qt::ControlModifier)) {
      ui->txtDebugCobID->setVisible(!ui->txtDebugCobID->isVisible());
      return true;
    }
  } else if (watched == area->viewport()) {
    if (event->type() == QEvent::MouseMove) {
      updateHint(static_cast<QMouseEvent*>(event)->position().toPoint());
    } else if (event->type() == QEvent::ToolTip) {
      const auto* help = static_cast<QHelpEvent*>(event);
      updateHint(help->pos());
      if (area->toolTip().isEmpty())
        QToolTip::hideText();
      else
        QToolTip::showText(help->globalPos(), area->toolTip(), area->viewport());
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TfrmCANLog::updateHint(const QPoint& viewportPos) {
  QPlainTextEdit* area = ui->canMsgWindow;
  QTextCursor cursor = area->cursorForPosition(viewportPos);
  int column = cursor.positionInBlock();
  // The cursor lands between characters; the character under the mouse is the
  // one to the left when the mouse is left of the cursor position.
  if (column > 0 && area->cursorRect(cursor).left() > viewportPos.x()) --column;
  // Below the last line the nearest cursor is still on it: no hint there.
  const QRect caret = area->cursorRect(cursor);
  const bool onLine = viewportPos.y() >= caret.top() && viewportPos.y() <= caret.bottom();
  area->setToolTip(onLine ? CanLogDecoder::columnHint(cursor.block().text(), column) : QString());
}

// ---------------------------------------------------------------------------
// Saving and copying.

void TfrmCANLog::saveLogBtnClick() {
  saveLogFileChooser->selectNameFilter(kTextFilter);
  if (saveLogFileChooser->exec() != QDialog::Accepted || saveLogFileChooser->selectedFiles().isEmpty()) return;
  const LogFormat format =
      saveLogFileChooser->selectedNameFilter() == kCandumpFilter ? LogFormat::Candump : LogFormat::Text;
  const QString path = saveLogFileChooser->selectedFiles().first();
  QString error;
  if (!saveLog(path, format, &error))
    showMessageBox(QStringLiteral("Error"),
                   QStringLiteral("The log could not be saved to %1: %2").arg(QDir::toNativeSeparators(path), error),
                   QMessageBox::Critical);
}

bool TfrmCANLog::saveLog(const QString& path, LogFormat format, QString* error) {
  flushPending();
  // A failed save leaves the previous file as it was.
  return savefile::write(
      path, [&](QIODevice& out) { return format == LogFormat::Candump ? writeCandump(out) : writeText(out); }, error);
}

bool TfrmCANLog::writeText(QIODevice& out) {
  // Written in blocks: a log of a busy hour is far too large to build whole.
  QByteArray block;
  for (std::size_t i = 0; i < records_.size(); ++i) {
    const auto kept = keptText_.find(i + dropped_);
    QByteArray line = kept != keptText_.end() ? kept->second : decoder_.decodeFrame(records_[i].frame()).toUtf8();
    line.replace("\n", "\r\n");  // the file takes CR LF, also inside multi-line PDO texts
    block += line;
    block += "\r\n";
    if (block.size() > (1 << 16)) {
      if (out.write(block) != block.size()) return false;
      block.clear();
    }
  }
  return out.write(block) == block.size();
}

bool TfrmCANLog::writeCandump(QIODevice& out) {
  // Our own frames carry no time stamp: they take the time of the frame
  // before, so the trace stays in order. The 32-bit microsecond clock wraps
  // every 71 minutes; a large step back is counted as a wrap.
  QByteArray block;
  std::uint64_t epoch = 0;
  std::uint32_t lastTime = 0;
  for (const canLogRecord& r : records_) {
    std::uint32_t t = r.time;
    if (t == 0) {
      t = lastTime;
    } else if (t < lastTime && lastTime - t > 0x80000000u) {
      epoch += 0x100000000ULL;
    }
    lastTime = t;
    block += CanLogDecoder::candumpLine(r.frame(), (r.flags & kRemote) != 0, epoch + t);
    block += '\n';
    if (block.size() > (1 << 16)) {
      if (out.write(block) != block.size()) return false;
      block.clear();
    }
  }
  return out.write(block) == block.size();
}

QString TfrmCANLog::logText() {
  flushPending();
  QString text;
  for (const canLogRecord& r : records_) text += decoder_.decodeFrame(r.frame()) + QLatin1Char('\n');
  return text;
}

void TfrmCANLog::Button1Click() { QGuiApplication::clipboard()->setText(logText()); }
