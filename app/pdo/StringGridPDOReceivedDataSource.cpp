#include "StringGridPDOReceivedDataSource.h"

#include <QTableWidget>

#include <algorithm>

#include "EDSDatabase.h"
#include "StringGridSDODataSource.h"
#include "Util.h"

StringGridPDOReceivedDataSource::StringGridPDOReceivedDataSource(QTableWidget* grid, QTableWidget* quickView,
                                                                 StringGridSDODataSource* sdoList)
    : grid_(grid), quickView_(quickView), sdoList_(sdoList) {
  RoutingMessageFilter::routing().setPdoView(this);
  setDisplayMode(mode_);
}

StringGridPDOReceivedDataSource::~StringGridPDOReceivedDataSource() {
  RoutingMessageFilter& filter = RoutingMessageFilter::routing();
  if (filter.getPdoView() == this) filter.setPdoView(nullptr);
}

int StringGridPDOReceivedDataSource::widthOf(int dataType) {
  switch (dataType) {
    case 1: case 2: case 5: return 8;
    case 3: case 6: return 16;
    case 4: case 7: return 32;
    default: return 0;
  }
}

void StringGridPDOReceivedDataSource::clearMapping() {
  quick_.clear();
  rows_.clear();
  for (auto& pdo : pdos_) pdo.clear();
  counts_.fill(0);
}

std::int64_t StringGridPDOReceivedDataSource::numericValue(std::uint64_t raw, int bits, int dataType) {
  const bool isSigned = dataType == 2 || dataType == 3 || dataType == 4;
  if (isSigned && bits > 0 && bits < 64 && (raw >> (bits - 1)) & 1) raw |= ~std::uint64_t(0) << bits;
  return std::int64_t(raw);
}

QString StringGridPDOReceivedDataSource::valueText(std::uint64_t raw, int bits, int dataType) {
  const bool isSigned = dataType == 2 || dataType == 3 || dataType == 4;
  return isSigned ? QString::number(numericValue(raw, bits, dataType)) : QString::number(raw);
}

std::vector<PdoValueListener*>& StringGridPDOReceivedDataSource::listeners() {
  static std::vector<PdoValueListener*> all;
  return all;
}

void StringGridPDOReceivedDataSource::addListener(PdoValueListener* listener) {
  auto& all = listeners();
  if (listener && std::find(all.begin(), all.end(), listener) == all.end()) all.push_back(listener);
}

void StringGridPDOReceivedDataSource::removeListener(PdoValueListener* listener) {
  auto& all = listeners();
  all.erase(std::remove(all.begin(), all.end(), listener), all.end());
}

void StringGridPDOReceivedDataSource::addMappedObject(int tpdo, int position, sdoGridEntry* entry) {
  if (tpdo < 1 || tpdo > 4 || position < 1 || position > 8) return;
  auto record = std::make_unique<Record>();
  record->entry = entry;
  record->pdo = tpdo;
  record->slot = position;
  // The mapping entry's own length decides where the next object starts.
  const QString mapping = QStringLiteral("1A0%1").arg(tpdo - 1);
  if (sdoList_) {
    try {
      record->bits = int(std::uint32_t(Util::ToInt(sdoList_->getValue(mapping, position, false))) & 0xFF);
    } catch (const ConversionError&) {
      record->bits = 0;
    }
  }
  if (entry && entry->definition) {
    record->index = entry->definition->id.toUShort(nullptr, 16);
    record->subIndex = std::uint8_t(entry->subindex.toUInt());
  }
  pdos_[std::size_t(tpdo - 1)][position] = std::move(record);
}

void StringGridPDOReceivedDataSource::buildRows() {
  rows_.clear();
  for (int n = 1; n <= 4; ++n)
    counts_[std::size_t(n - 1)] = sdoList_ ? Util::ToIntDef(sdoList_->getValue(QStringLiteral("1A0%1").arg(n - 1), 0, false), 0) : 0;
  for (auto& pdo : pdos_)
    for (auto& [slot, record] : pdo) {
      rows_.push_back(record.get());
      record->row = int(rows_.size());
    }
  refreshAll();
}

void StringGridPDOReceivedDataSource::updateFromPdo(int tpdo, const ConnectorFrame& frame) {
  if (tpdo < 1 || tpdo > 4 || !sdoList_) return;
  ++decoded_;
  const int available = 8 * std::min<int>(frame.dlc, 8);
  int offset = 0;  // in bits: mapping entries need not fill whole bytes
  for (auto& [slot, record] : pdos_[std::size_t(tpdo - 1)]) {
    // Objects beyond the mapping count are not sent, nor those past the data received.
    if (slot > counts_[std::size_t(tpdo - 1)] || record->bits <= 0 || offset + record->bits > available) break;
    std::uint64_t raw = 0;
    for (int b = record->bits - 1; b >= 0; --b) {
      const int at = offset + b;
      raw = raw << 1 | ((frame.data[at / 8] >> (at % 8)) & 1);
    }
    offset += record->bits;
    if (!record->entry || !record->entry->definition) continue;  // a dummy or an unknown object
    const sdoDataDefinition* d = record->entry->definition;
    const QString text = valueText(raw, record->bits, d->dataType);
    const std::int32_t sub = Util::ToIntDef(record->entry->subindex, 0);
    sdoList_->setValue(d->id, sub, text, false);
    // Reading the statusword back through the list refreshes the statusword panel.
    if (d->id == QLatin1String("6041")) sdoList_->getValue(d->id, sub, false);
    refreshRow(record->row);
    for (PdoValueListener* listener : listeners())
      listener->pdoValueDecoded(*record->entry, record->index, record->subIndex,
                                numericValue(raw, record->bits, d->dataType), raw, record->bits, frame.time);
  }
}

void StringGridPDOReceivedDataSource::writeRow(int gridRow, const Record& record) {
  const sdoDataDefinition* d = record.entry->definition;
  const QString cells[] = {QStringLiteral("%1-%2").arg(record.pdo).arg(record.slot),
                           d->id + QLatin1Char('-') + record.entry->subindex,
                           d->parameterName,
                           d->value,
                           QString::number(record.timeStamp),
                           record.show ? QStringLiteral("true") : QStringLiteral("false")};
  for (int c = 0; c < 6; ++c) {
    QTableWidgetItem* item = grid_->item(gridRow, c);
    if (!item) grid_->setItem(gridRow, c, item = new QTableWidgetItem);
    if (item->text() != cells[c]) item->setText(cells[c]);
  }
}

void StringGridPDOReceivedDataSource::refreshRow(int row) {
  if (grid_ && row > 0) {
    if (row > int(rows_.size())) return;
    const Record* record = rows_[std::size_t(row - 1)];
    if (!record->entry || !record->entry->definition) return;
    // Records without an entry take no grid line, so grid lines are counted.
    int gridRow = 0;
    for (int r = 0; r < row; ++r) gridRow += rows_[std::size_t(r)]->entry != nullptr;
    if (gridRow - 1 < grid_->rowCount()) writeRow(gridRow - 1, *record);
  } else if (grid_) {
    int lines = 0;
    for (const Record* record : rows_) lines += record->entry && record->entry->definition;
    grid_->setRowCount(lines);
    int gridRow = 0;
    for (const Record* record : rows_)
      if (record->entry && record->entry->definition) writeRow(gridRow++, *record);
  }
  redrawQuickView();
}

void StringGridPDOReceivedDataSource::setShow(int tpdo, int slot, bool show) {
  if (tpdo < 1 || tpdo > 4) return;
  auto& pdo = pdos_[std::size_t(tpdo - 1)];
  const auto it = pdo.find(slot);
  if (it == pdo.end()) return;
  it->second->show = show;
  rebuildQuickView();
  refreshRow(it->second->row);
}

void StringGridPDOReceivedDataSource::rebuildQuickView() {
  // The offline connector has no PDOs: its quick view stays as it was.
  if (sdoList_ && sdoList_->connectorName() == QLatin1String("DLLConnectorEmpty")) return;
  quick_.clear();
  for (Record* record : rows_)
    if (record->show && record->entry && record->entry->definition) quick_.push_back(record);
}

void StringGridPDOReceivedDataSource::setDisplayMode(DisplayMode mode) {
  mode_ = mode;
  if (quickView_) {
    static const char* const kTitles[] = {"Value (decimal)", "Value (hex)", "Value (binary)"};
    quickView_->setColumnCount(2);
    quickView_->setHorizontalHeaderLabels({QStringLiteral("SDO"), QLatin1String(kTitles[mode])});
  }
  redrawQuickView();
}

QString StringGridPDOReceivedDataSource::quickText(const QString& value, int dataType, DisplayMode mode) {
  if (mode == Decimal) return QStringLiteral("d ") + value;
  std::uint32_t v = 0;
  try {
    v = std::uint32_t(Util::ToInt(value));
  } catch (const ConversionError&) {
    return value;  // a text that is no number is shown as it is
  }
  if (mode == Hex) return QStringLiteral("0x") + QString::number(v, 16).toUpper().rightJustified(2, QLatin1Char('0'));
  const int bits = widthOf(dataType) == 8 ? 8 : widthOf(dataType) == 16 ? 16 : 32;
  QString text;
  for (int b = bits - 1; b >= 0; --b) {
    text += (v >> b) & 1 ? QLatin1Char('1') : QLatin1Char('0');
    if (b % 4 == 0) text += QLatin1String("  ");
  }
  return text;
}

void StringGridPDOReceivedDataSource::redrawQuickView() {
  if (!quickView_) return;
  quickView_->setRowCount(int(quick_.size()));
  for (int i = 0; i < int(quick_.size()); ++i) {
    const sdoDataDefinition* d = quick_[std::size_t(i)]->entry->definition;
    const QString cells[2] = {d->parameterName, quickText(d->value, d->dataType, mode_)};
    for (int c = 0; c < 2; ++c) {
      QTableWidgetItem* item = quickView_->item(i, c);
      if (!item) quickView_->setItem(i, c, item = new QTableWidgetItem);
      if (item->text() != cells[c]) item->setText(cells[c]);
    }
  }
}

bool StringGridPDOReceivedDataSource::isObjectMapped(const QString& index, int subIndex) const {
  QString id = index;
  if (id.size() > 1 && id.at(1) == QLatin1Char('x')) id.remove(0, 2);
  for (const Record* record : rows_) {
    if (!record->entry || !record->entry->definition) continue;
    if (record->entry->definition->id == id && Util::ToIntDef(record->entry->subindex, 0) == subIndex) return true;
  }
  return false;
}
