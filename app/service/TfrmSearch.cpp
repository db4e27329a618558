#include "TfrmSearch.h"

#include <QCloseEvent>
#include <QEventLoop>
#include <QScreen>
#include <QShortcut>
#include <QTimer>

#include <algorithm>
#include <set>

#include "DLLConnector.h"
#include "NodeScanHost.h"
#include "QuickScan.h"
#include "Util.h"
#include "canopen/Orvane.h"
#include "ui_TfrmSearch.h"

namespace {

// The bit rates in the order they are tried, which is also the order of the
// main window's bit-rate list.
const char* const kRates[6] = {"1000", "500", "250", "125", "50", "20"};

int ratePosition(const QString& rate) {
  for (int i = 0; i < 6; ++i)
    if (rate == QLatin1String(kRates[i])) return i;
  return -1;
}

}  // namespace

TfrmSearch::TfrmSearch(NodeScanHost* host, QWidget* parent)
    : QWidget(parent, Qt::Window), ui(std::make_unique<Ui::TfrmSearch>()), host_(host) {
  ui->setupUi(this);
  rateBoxes_[0] = ui->chkBaudrate1;
  rateBoxes_[1] = ui->chkBaudrate2;
  rateBoxes_[2] = ui->chkBaudrate3;
  rateBoxes_[3] = ui->chkBaudrate4;
  rateBoxes_[4] = ui->chkBaudrate5;
  rateBoxes_[5] = ui->chkBaudrate6;
  ui->searchGrid->setRowCount(0);

  connect(ui->btnStartSearch, &QPushButton::clicked, this, &TfrmSearch::btnStartSearchClick);
  connect(ui->btnStopSearch, &QPushButton::clicked, this, &TfrmSearch::btnStopSearchClick);
  connect(ui->btnCancel, &QPushButton::clicked, this, &TfrmSearch::btnCancelClick);
  connect(ui->btnConnect, &QPushButton::clicked, this, &TfrmSearch::btnConnectClick);
  connect(ui->searchGrid, &QTableWidget::itemSelectionChanged, this, &TfrmSearch::searchGridSelectCell);
  auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
  connect(escape, &QShortcut::activated, this, &TfrmSearch::btnCancelClick);
}

TfrmSearch::~TfrmSearch() = default;

void TfrmSearch::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (centred_) return;
  centred_ = true;
  if (QScreen* s = screen()) move(s->availableGeometry().center() - rect().center());
}

void TfrmSearch::requestStop() {
  stopRequested = true;
  if (wait_) wait_->quit();
}

bool TfrmSearch::waitMs(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  wait_ = &loop;
  loop.exec();
  wait_ = nullptr;
  return !stopRequested && !DLLConnector::appClosing;
}

void TfrmSearch::btnStartSearchClick() {
  if (scanning_) return;
  scanning_ = true;
  // A stop or cancel of an earlier scan (or of an idle window) is not carried
  // over into this one.
  stopRequested = false;
  ui->btnStartSearch->setEnabled(false);
  ui->btnStopSearch->setEnabled(true);

  // Node IDs outside 1..127 address nobody (and only the low byte would
  // reach the adapter), so the range is kept inside them.
  const int first = std::clamp(Util::ToIntDef(ui->txtNodeIDFrom->text(), 1), 1, 127);
  const int last = std::clamp(Util::ToIntDef(ui->txtNodeIDTo->text(), 127), 1, 127);
  const int perRate = std::max(0, last - first + 1);

  QTableWidget* grid = ui->searchGrid;
  grid->clearContents();
  grid->setRowCount(1);  // the row the next node fills
  ui->btnConnect->setEnabled(false);
  ui->prgbStatus->setRange(0, std::max(1, 6 * perRate));
  ui->prgbStatus->setValue(0);

  host_->setScanRunning(true);
  bool found = false;
  for (int i = 0; i < 6 && !stopRequested && !found; ++i) {
    if (!rateBoxes_[i]->isChecked()) {
      ui->prgbStatus->setMaximum(std::max(1, ui->prgbStatus->maximum() - perRate));
      continue;
    }
    const int rate = Util::ToInt(rateBoxes_[i]->text());
    if (ui->chkQuickScan->isChecked() && first <= last) {
      found = quickScan(first, last, rate);
      continue;
    }
    for (int node = first; node <= last && !stopRequested; ++node) {
      ui->prgbStatus->setValue(std::min(ui->prgbStatus->value() + 1, ui->prgbStatus->maximum()));
      if (probe(node, rate)) found = true;
    }
  }
  host_->setScanRunning(false);

  grid->setRowCount(grid->rowCount() - 1);  // the trailing empty row
  ui->btnStopSearch->setEnabled(false);
  stopRequested = false;
  ui->prgbStatus->setValue(0);
  ui->btnStartSearch->setEnabled(true);
  scanning_ = false;

  if (pendingRatePosition_ >= 0 && !DLLConnector::appClosing) {
    const int node = pendingNode_;
    const int position = pendingRatePosition_;
    pendingRatePosition_ = -1;
    host_->connectScannedNode(node, position);
  }
}

bool TfrmSearch::probe(int node, int rate) {
  DLLConnector* connector = host_->connector();
  if (!connector || DLLConnector::appClosing) {
    requestStop();
    return false;
  }
  connector->cancelQuery();
  host_->ConnectNode(node, rate, true);
  if (!waitMs(kSettleMs)) return false;

  // The connector of the moment: the pause ran the event loop.
  connector = host_->connector();
  if (!connector) return false;
  const auto id = std::uint8_t(node);
  if (connector->readObject(id, 0x1018, 0, TYPE_U8, kProbeTimeoutMs).code != sdo_result::kOk) return false;

  identifyAndAdd(node, rate, true);
  return true;
}

bool TfrmSearch::quickScan(int first, int last, int rate) {
  DLLConnector* connector = host_->connector();
  if (!connector || DLLConnector::appClosing) {
    requestStop();
    return false;
  }
  connector->cancelQuery();
  host_->ConnectNode(first, rate, false);
  if (!waitMs(kQuickSettleMs)) return false;
  // The connector of the moment: the pause ran the event loop.
  connector = host_->connector();
  if (!connector) return false;
  const quickscan::Result result = quickscan::findNodes(*connector, first, last, rate, [this] { return stopRequested; });
  const std::set<int> nodes(result.nodes.begin(), result.nodes.end());
  ui->prgbStatus->setValue(std::min(ui->prgbStatus->value() + (last - first + 1), ui->prgbStatus->maximum()));
  for (const int node : nodes) {
    if (stopRequested || DLLConnector::appClosing) break;
    identifyAndAdd(node, rate, false);
  }
  return !nodes.empty();
}

void TfrmSearch::identifyAndAdd(int node, int rate, bool hostAddressesNode) {
  DLLConnector* connector = host_->connector();
  if (!connector) return;
  // A failed read leaves 0: "Unkown" vendor and product code 0. The host's
  // name read addresses the node of its node fields, which only the
  // per-node scan sets; the quick scan reads the name of the node it found.
  const quickscan::Identity identity = quickscan::identify(
      *connector, node,
      [&](int n) {
        return hostAddressesNode ? host_->ReadHardwareName(n) : quickscan::readControllerName(*connector, n);
      },
      kProbeTimeoutMs);
  addRow(node, identity.vendor, identity.controller, rate);
}

void TfrmSearch::addRow(int node, const QString& vendor, const QString& controller, int rate) {
  QTableWidget* grid = ui->searchGrid;
  const int row = grid->rowCount() - 1;
  const QString cells[4] = {QString::number(node), vendor, controller, QString::number(rate)};
  for (int column = 0; column < 4; ++column) grid->setItem(row, column, new QTableWidgetItem(cells[column]));
  grid->setRowCount(row + 2);
}

void TfrmSearch::btnStopSearchClick() { requestStop(); }

void TfrmSearch::btnCancelClick() {
  requestStop();
  hide();
}

void TfrmSearch::closeEvent(QCloseEvent* event) {
  requestStop();
  QWidget::closeEvent(event);
}

void TfrmSearch::searchGridSelectCell() { ui->btnConnect->setEnabled(true); }

void TfrmSearch::btnConnectClick() {
  requestStop();
  QTableWidget* grid = ui->searchGrid;
  const int row = grid->currentRow();
  const QTableWidgetItem* nodeCell = row >= 0 ? grid->item(row, 0) : nullptr;
  const QTableWidgetItem* rateCell = row >= 0 ? grid->item(row, 3) : nullptr;
  // The empty row a running scan fills next has nothing to connect to.
  if (!nodeCell || !rateCell) return;
  const int node = Util::ToIntDef(nodeCell->text(), 0);
  const int position = ratePosition(rateCell->text());
  if (node < 1 || node > 127 || position < 0) return;
  hide();
  if (scanning_) {
    // The scan's probe still owns the adapter and the SDO exchange; the
    // connection follows the moment it has ended.
    pendingNode_ = node;
    pendingRatePosition_ = position;
    return;
  }
  host_->connectScannedNode(node, position);
}
