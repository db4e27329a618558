#include "StringGridSDODataSource.h"

#include "SaveFile.h"

#include <QDialog>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QTableView>
#include <QVBoxLayout>

#include <chrono>

#include "DLLConnector.h"
#include "Logging.h"
#include "SdoGridModel.h"
#include "SdoValues.h"
#include "Util.h"
#include "canopen/Cia301.h"

std::int32_t StringGridSDODataSource::sdoFailureCount = 0;
bool StringGridSDODataSource::applicationClosing = false;

namespace {

QString hex4(std::int32_t value) {
  return QStringLiteral("%1").arg(value & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper();
}

std::int32_t objectIndex(const sdoGridEntry& entry) {
  return Util::ToInt(QStringLiteral("0x") + entry.definition->id);
}

/// The small stay-on-top window that shows the progress of "Read All".
class ReadProgressWindow : public QDialog {
 public:
  ReadProgressWindow(QWidget* parent, int maximum)
      : QDialog(parent, Qt::Tool | Qt::WindowStaysOnTopHint | Qt::CustomizeWindowHint | Qt::WindowTitleHint) {
    setObjectName(QStringLiteral("frmReadProgress"));
    setWindowTitle(QStringLiteral("Reading Config from Drive"));
    auto* layout = new QVBoxLayout(this);
    bar_ = new QProgressBar(this);
    bar_->setObjectName(QStringLiteral("ProgressBar"));
    bar_->setRange(0, maximum);
    bar_->setValue(0);
    bar_->setMinimumWidth(360);
    layout->addWidget(bar_);
    show();
  }
  /// Moves the bar; at most every 100 ms, since every transfer runs the
  /// event loop and each move would repaint the window.
  void setPosition(int position) {
    const auto now = std::chrono::steady_clock::now();
    if (position < bar_->maximum() && now - lastMove_ < std::chrono::milliseconds(100)) return;
    lastMove_ = now;
    bar_->setValue(position);
  }
  int position() const { return bar_->value(); }

 private:
  QProgressBar* bar_;
  std::chrono::steady_clock::time_point lastMove_{};
};

}  // namespace

StringGridSDODataSource::StringGridSDODataSource(QTableView* grid, EDSDatabase* database,
                                                 DLLConnector* connector)
    : grid_(grid), database_(database), connector_(connector) {
  applicationClosing = false;
  model_ = std::make_unique<SdoGridModel>([this](int row) { return entryAtRow(row); });
  RoutingMessageFilter::routing().setSdoSource(this);
  buildRows();
  if (grid_) {
    grid_->setModel(model_.get());
    const QFontMetrics fm(grid_->font());
    QHeaderView* header = grid_->horizontalHeader();
    header->setStretchLastSection(true);
    header->resizeSection(SdoGridModel::ColId, fm.horizontalAdvance(QStringLiteral("0x0000MM")));
    header->resizeSection(SdoGridModel::ColSub, fm.horizontalAdvance(QStringLiteral("SubMM")));
    header->resizeSection(SdoGridModel::ColType, fm.horizontalAdvance(QStringLiteral("stringMM")));
    header->resizeSection(SdoGridModel::ColValue, fm.horizontalAdvance(QStringLiteral("-2147483648MM")));
    header->resizeSection(SdoGridModel::ColDescription, fm.horizontalAdvance(QLatin1Char('M')) * 24);
    grid_->verticalHeader()->setDefaultSectionSize(fm.height() + 6);
  }
}

StringGridSDODataSource::~StringGridSDODataSource() {
  if (RoutingMessageFilter::routing().sdoSource() == this) RoutingMessageFilter::routing().setSdoSource(nullptr);
  if (grid_ && grid_->model() == model_.get()) grid_->setModel(nullptr);
}

void StringGridSDODataSource::log(const QString& text) { Logging::instance().log(text); }

void StringGridSDODataSource::buildRows() {
  const edsFile* file = database_ ? database_->file() : nullptr;
  if (!file) return;
  for (const auto& item : file->list.entries) {
    sdoDataDefinition* def = database_->find(item.first);
    if (!def) continue;
    if (def->subNumber <= 0) {
      addRow(def, QStringLiteral("0"));
      continue;
    }
    for (auto& sub : def->subObjects) {
      sub.second->id = def->id;  // sub-objects are addressed by their object's ID
      addRow(sub.second.get(), QString::number(sub.first));
    }
  }
  showRow(0);
}

void StringGridSDODataSource::addRow(sdoDataDefinition* definition, const QString& subindex) {
  auto entry = std::make_unique<sdoGridEntry>();
  entry->definition = definition;
  entry->subindex = subindex;
  entry->row = std::int32_t(rows_.size()) + 1;
  index_.emplace(definition->id.toUpper(), entry.get());
  if (definition->pdoMapping) mappableEntries_.push_back(entry.get());
  rows_.emplace(entry->row, std::move(entry));
}

void StringGridSDODataSource::setColumnTitles(const QStringList& titles) { model_->setTitles(titles); }

void StringGridSDODataSource::setStatusWordLabels(const std::array<QLabel*, 16>& labels) {
  for (std::size_t i = 0; i < labels.size(); ++i) statusWordLabels_[i] = labels[i];
}

sdoGridEntry* StringGridSDODataSource::entryAtRow(std::int32_t row) {
  if (applicationClosing) return nullptr;
  const auto it = rows_.find(row);
  return it == rows_.end() ? nullptr : it->second.get();
}

sdoGridEntry* StringGridSDODataSource::findEntry(const QString& id, std::int32_t subIndex) {
  if (applicationClosing) return nullptr;
  const QString sub = QString::number(subIndex);
  const auto range = index_.equal_range(id.toUpper());
  for (auto it = range.first; it != range.second; ++it)
    if (it->second->subindex == sub) return it->second;
  return nullptr;
}

void StringGridSDODataSource::showRow(std::int32_t row) {
  if (row == 0)
    model_->resetRows(rowCount());
  else
    model_->rowChanged(row);
}

bool StringGridSDODataSource::readEntry(sdoGridEntry* entry) {
  lastReadOk_ = false;
  if (applicationClosing) return false;
  if (!entry) {
    log(QStringLiteral("Read Failed: no Matching SDO Found"));
    return false;
  }
  const std::int32_t index = objectIndex(*entry);
  const std::int32_t subIndex = Util::ToInt(entry->subindex);
  const QString type = dataTypeName(entry->definition->dataType);
  if (type == QLatin1String("string")) {
    entry->message = QStringLiteral("SKIPPED");
    return true;
  }
  const std::uint8_t size = sdovalues::transferSize(type);
  if (size == 0) {
    entry->message = QStringLiteral("Error: unknown data type for SD0 ") + entry->definition->id;
    log(entry->message);
    return false;
  }
  const SDOResult result = connector_->readObject(nodeId_, std::uint16_t(index), std::uint8_t(subIndex), size, 2000);
  // The connector answers "success, 0" once the window is closing; that is
  // no value of the node and must not overwrite the row.
  if (applicationClosing) return false;
  if (result.code == sdo_result::kOk) {
    lastReadOk_ = true;
    entry->definition->value = sdovalues::formatRead(type, result.value);
    entry->message = QStringLiteral("READ OK");
    return true;
  }
  const QString text = connector_->getErrorText(result);
  entry->message = text;
  if (result.code == sdo_result::kAborted) return true;  // the node refused: its answer is the row's message
  log(QStringLiteral("Reading SDO [0x%1] failed: Error%2, Error Code:%3: %4")
          .arg(hex4(index))
          .arg(result.code)
          .arg(result.abortCode)
          .arg(text));
  return false;
}

bool StringGridSDODataSource::readRow(std::int32_t row) {
  const bool ok = readEntry(entryAtRow(row));
  if (ok) showRow(row);
  return ok;
}

bool StringGridSDODataSource::readById(const QString& id, std::int32_t subIndex) {
  sdoGridEntry* entry = findEntry(id, subIndex);
  const bool ok = readEntry(entry);
  if (ok && entry) showRow(entry->row);
  return ok;
}

bool StringGridSDODataSource::readByIdValueOk(const QString& id, std::int32_t subIndex) {
  readEntry(findEntry(id, subIndex));
  return lastReadOk_;
}

bool StringGridSDODataSource::writeSDOInternal(sdoGridEntry* entry) {
  if (applicationClosing || !entry) return false;
  const std::int32_t index = objectIndex(*entry);
  const std::int32_t subIndex = Util::ToInt(entry->subindex);
  const QString& text = entry->definition->value;
  if (text.isEmpty()) return true;
  const QString type = dataTypeName(entry->definition->dataType);
  const std::optional<sdovalues::Encoded> encoded = sdovalues::encodeWrite(type, text);
  if (!encoded) {
    entry->message = QStringLiteral("Unknown Data Type");
    log(QStringLiteral("Error: Unbekannter Datentyp bei SD0 0x") + entry->definition->id);
    return false;
  }
  const std::int32_t value = encoded->value;
  const std::uint8_t size = encoded->size;
  const SDOResult result =
      connector_->writeObject(nodeId_, std::uint16_t(index), std::uint8_t(subIndex), size, 2500, value);
  if (result.code == sdo_result::kOk) {
    entry->message = QStringLiteral("WRITE OK");
    return true;
  }
  entry->message = result.code == sdo_result::kAborted ? connector_->getErrorText(result)
                                    : QStringLiteral("WRITE FAILED: ") + QString::number(result.code);
  return false;
}

bool StringGridSDODataSource::setValue(const QString& id, std::int32_t subIndex, const QString& text, bool write) {
  if (applicationClosing) return false;
  sdoGridEntry* entry = findEntry(id, subIndex);
  if (!entry) {
    log(QStringLiteral("Entry for %1:%2 not found").arg(id).arg(subIndex));
    return true;
  }
  const QString old = entry->definition->value;
  entry->definition->value = text;
  bool ok = true;
  if (write) {
    try {
      ok = writeSDOInternal(entry);
    } catch (...) {
      // Nothing was sent: the row keeps the value the node has.
      entry->definition->value = old;
      showRow(entry->row);
      throw;
    }
    if (ok) {
      sdoFailureCount = 0;
      entry->message = QStringLiteral("WRITE OK");
    } else {
      ++sdoFailureCount;
      entry->definition->value = old;
    }
  }
  showRow(entry->row);
  return ok;
}

QString StringGridSDODataSource::getValue(const QString& id, std::int32_t subIndex, bool read) {
  if (applicationClosing) return {};
  if (read) {
    if (readById(id, subIndex))
      sdoFailureCount = 0;
    else
      ++sdoFailureCount;
  }
  const sdoGridEntry* entry = findEntry(id, subIndex);
  if (!entry) return QStringLiteral("0");
  const QString value = entry->definition->value;
  if (id == QLatin1String("6041")) {
    try {
      const std::int32_t word = Util::ToInt(value);
      for (int bit = 0; bit < 16; ++bit)
        if (statusWordLabels_[bit]) statusWordLabels_[bit]->setText((word >> bit) & 1 ? QStringLiteral("1") : QStringLiteral("0"));
    } catch (const ConversionError&) {
      // a value that is no number leaves the display as it was
    }
  }
  return value;
}

QString StringGridSDODataSource::getDescription(const QString& id, std::int32_t subIndex) {
  const sdoGridEntry* entry = findEntry(id, subIndex);
  return entry ? entry->definition->parameterName : QString();
}

bool StringGridSDODataSource::isWritable(std::int32_t row) {
  const sdoGridEntry* entry = entryAtRow(row);
  return entry && entry->definition->isWritable();
}

QString StringGridSDODataSource::connectorName() { return connector_->getClassName(); }

bool StringGridSDODataSource::readAll() {
  if (applicationClosing || connectorName() == QLatin1String("DLLConnectorEmpty")) return false;
  if (ReceivedPdoSink* view = RoutingMessageFilter::routing().getPdoView()) view->clearMapping();
  ReadProgressWindow progress(grid_ ? grid_->window() : nullptr, rowCount());
  int failures = 0;
  int done = 0;
  bool last = false;
  for (std::int32_t row = 1; row <= rowCount(); ++row) {
    if (applicationClosing) return false;
    last = readRow(row);
    if (!last && ++failures == 3) return false;
    showRow(row);
    progress.setPosition(++done);
  }
  if (last) allRead_ = true;
  progress.close();
  RoutingMessageFilter::routing().rebuildTpdoTable();
  return last;
}

bool StringGridSDODataSource::writeAll() {
  if (applicationClosing) return false;
  // The node is written in pre-operational state and returned to the state
  // it was in after the last write. A node in an unknown state stays
  // pre-operational: resetting it would lose what was just written.
  namespace nmt = kestrum::canopen::nmt;
  const std::uint8_t before = nmtState_;
  if (before != 0) connector_->send_nmtW(nmt::kEnterPreOperational);
  const bool result = writeRows();
  if (applicationClosing) return false;
  if (before == 1) connector_->send_nmtW(nmt::kStart);
  if (before == 2) connector_->send_nmtW(nmt::kStop);
  return result;
}

bool StringGridSDODataSource::writeRows() {
  bool result = true;
  for (std::int32_t row = 1; row <= rowCount(); ++row) {
    if (applicationClosing) return false;
    sdoGridEntry* entry = entryAtRow(row);
    if (!entry || !entry->definition->isWritable()) continue;
    const std::int32_t index = objectIndex(*entry);
    const QString id = entry->definition->id;
    const std::int32_t subIndex = Util::ToIntDef(entry->subindex, 0);
    const QString value = getValue(id, subIndex, false);
    const sdovalues::SaveAllRule rule = sdovalues::saveAllRule(index, value);
    if (rule == sdovalues::SaveAllRule::SkipPdo) {
      entry->message = QStringLiteral("SKIPPED");
      showRow(row);
      continue;
    }
    if (rule == sdovalues::SaveAllRule::SkipSilent) continue;
    result = setValue(id, subIndex, value, true);
    if (!result) log(QStringLiteral("write on %1#%2 failed").arg(id, entry->subindex));
  }
  return result;
}

bool StringGridSDODataSource::resetToDefaults() {
  for (auto& row : rows_)
    if (row.second->definition->isWritable()) row.second->definition->value = row.second->definition->defaultValue;
  const bool result = writeAll();
  showRow(0);
  if (result) log(QStringLiteral("reset to defaults succesful"));
  return result;
}

bool StringGridSDODataSource::saveToFile(const QString& path, QString* error) {
  QByteArray out;
  for (const auto& row : rows_) {
    const sdoGridEntry& e = *row.second;
    out += sdovalues::listFileLine(e.definition->id, e.subindex, e.definition->value, e.definition->parameterName);
  }
  // A failed save leaves the previous file as it was.
  return savefile::write(path, out, error);
}

bool StringGridSDODataSource::loadFromFile(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return false;
  for (const sdovalues::ListFileEntry& line : sdovalues::parseListFile(file.readAll())) {
    if (applicationClosing) return false;
    setValue(line.id, Util::ToInt(line.subindex), line.value, false);
  }
  return true;
}
