#include "ErrorView.h"

#include <QCheckBox>
#include <QHideEvent>
#include <QRegularExpression>
#include <QSignalBlocker>
#include <QTableWidget>
#include <QTimer>

#include <algorithm>
#include <array>

#include "AutoRefresh.h"
#include "CanLogDecoder.h"
#include "DLLConnector.h"
#include "DriveHost.h"
#include "Logging.h"
#include "RefreshReader.h"
#include "RoutingMessageFilter.h"
#include "StringGridSDODataSource.h"
#include "ui_ErrorView.h"

namespace {

const QStringList kGridTitles{QStringLiteral("No."), QStringLiteral("Error Code"), QStringLiteral("Description")};

QString hex4(std::uint32_t value) {
  return QStringLiteral("%1").arg(value & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper();
}

/// Sets a display box without running anything connected to it.
void display(QCheckBox* box, bool on) {
  const QSignalBlocker blocker(box);
  box->setChecked(on);
}

}  // namespace

ErrorView::ErrorView(DriveHost& host, QTimer* timer, QWidget* parent)
    : QWidget(parent), ui(std::make_unique<Ui::ErrorView>()), host_(host), timer_(timer) {
  ui->setupUi(this);
  // The register boxes show the node's bits: a click must not change them.
  for (QCheckBox* box : findChildren<QCheckBox*>(QRegularExpression(QStringLiteral("^chkErrorBit\\d$"))))
    box->setAttribute(Qt::WA_TransparentForMouseEvents);
  ui->ErrorGrid->setColumnCount(int(kGridTitles.size()));
  ui->ErrorGrid->setHorizontalHeaderLabels(kGridTitles);
  ui->ErrorGrid->setRowCount(1);
  ui->ErrorGrid->setColumnWidth(0, 50);
  ui->ErrorGrid->setColumnWidth(1, 110);

  connect(ui->btnReadErrors, &QAbstractButton::clicked, this, [this] { btnReadErrorsClick(); });
  // The timer runs exactly while the box is ticked, whoever ticks it.
  connect(ui->chkErrorAutoRefresh, &QCheckBox::toggled, this, [this](bool on) {
    if (!timer_) return;
    if (on)
      timer_->start();
    else
      timer_->stop();
  });
  connect(ui->chkEmergencyNotify, &QCheckBox::clicked, this, [this] { applyEmergencyNotify(); });
  if (timer_) connect(timer_, &QTimer::timeout, this, &ErrorView::tmrErrorTimer);
}

ErrorView::~ErrorView() = default;

void ErrorView::enter() {
  ui->ErrorGrid->setHorizontalHeaderLabels(kGridTitles);
  btnReadErrorsClick();
}

void ErrorView::stopAutoRefresh() { ui->chkErrorAutoRefresh->setChecked(false); }

void ErrorView::applyEmergencyNotify() {
  RoutingMessageFilter::routing().setEmergencyNotify(ui->chkEmergencyNotify->isChecked());
}

void ErrorView::hideEvent(QHideEvent* event) {
  // Another page is shown: nobody sees the errors any more.
  if (!event->spontaneous()) stopAutoRefresh();
  QWidget::hideEvent(event);
}

bool ErrorView::btnReadErrorsClick() {
  StringGridSDODataSource* list = host_.sdoList();
  DLLConnector* connector = host_.connector();
  if (!list || !connector || reading_ || connector->isQueryPending()) return true;
  reading_ = true;
  RefreshReader read(*list);

  if (const auto reg = read.numberOr(QStringLiteral("1001"), 0, 0)) {
    static constexpr std::array<int, 7> kBits{0, 1, 2, 3, 4, 5, 7};  // bit 6 is reserved
    for (int bit : kBits) display(findChild<QCheckBox*>(QStringLiteral("chkErrorBit%1").arg(bit)), (*reg >> bit) & 1);
  }
  if (const auto code = read.number(QStringLiteral("603F"), 0)) {
    ui->lblErrorCode->setText(hex4(std::uint32_t(*code)));
    ui->lblErrorCodeDescription->setText(CanLogDecoder::describeEmergencyCode(std::uint16_t(*code)));
  }
  if (const auto count = read.number(QStringLiteral("1003"), 0)) {
    // The history holds at most 254 entries; a count beyond that is no history.
    const int n = std::clamp(*count, 0, 254);
    showHistory(n);
    for (int i = 1; i <= n; ++i) {
      const auto entry = read.unsigned32(QStringLiteral("1003"), i);
      if (!entry) break;
      auto set = [this, i](int column, const QString& text) { ui->ErrorGrid->item(i - 1, column)->setText(text); };
      set(0, QString::number(i));
      set(1, hex4(*entry));
      set(2, CanLogDecoder::describeEmergencyCode(std::uint16_t(*entry & 0xFFFF)));
      ui->ErrorGrid->item(i - 1, 1)->setToolTip(QStringLiteral("0x%1 (additional information 0x%2)")
                                                    .arg(*entry, 8, 16, QLatin1Char('0'))
                                                    .arg(*entry >> 16, 4, 16, QLatin1Char('0')));
    }
  }
  reading_ = false;
  return !read.failed();
}

void ErrorView::showHistory(int count) {
  // An empty history keeps one row, shown empty: an old entry left in it
  // would read as an error the node still reports.
  const int rows = count == 0 ? 1 : count;
  ui->ErrorGrid->setRowCount(rows);
  for (int row = 0; row < rows; ++row) {
    for (int column = 0; column < ui->ErrorGrid->columnCount(); ++column) {
      QTableWidgetItem* item = ui->ErrorGrid->item(row, column);
      if (!item) ui->ErrorGrid->setItem(row, column, item = new QTableWidgetItem);
      item->setText(QString());
      item->setToolTip(QString());
    }
  }
}

void ErrorView::tmrErrorTimer() {
  const bool wasOn = ui->chkErrorAutoRefresh->isChecked();
  const bool linkLost = StringGridSDODataSource::getSdoFailureCount() > auto_refresh::kFailureLimit;
  if (linkLost) StringGridSDODataSource::resetSdoFailureCount();
  // Read also on the tick that ends the refresh: the page shows the last state it could get.
  if (linkLost) stopAutoRefresh();
  const bool ok = btnReadErrorsClick();
  if (wasOn && (linkLost || !ok)) {
    stopAutoRefresh();
    Logging::instance().log(
        QStringLiteral("Connection Problems detected, Node Setting & Error Auto Refresh disabled!"));
  }
}
