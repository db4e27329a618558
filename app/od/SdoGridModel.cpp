#include "SdoGridModel.h"

#include <QBrush>
#include <QColor>

#include <algorithm>

#include "StringGridSDODataSource.h"

SdoGridModel::SdoGridModel(std::function<sdoGridEntry*(int row)> entryAt, QObject* parent)
    : QAbstractTableModel(parent), entryAt_(std::move(entryAt)) {
  publishTimer_.setSingleShot(true);
  publishTimer_.callOnTimeout(this, &SdoGridModel::publishChanges);
}

QVariant SdoGridModel::data(const QModelIndex& index, int role) const {
  const sdoGridEntry* entry = index.isValid() ? entryAt_(index.row() + 1) : nullptr;
  if (!entry || !entry->definition) return {};
  const sdoDataDefinition& def = *entry->definition;
  switch (role) {
    case Qt::DisplayRole:
      switch (index.column()) {
        case ColId: return QStringLiteral("0x") + def.id;
        case ColSub: return entry->subindex;
        case ColType: return dataTypeName(def.dataType);
        case ColValue: return def.value;
        case ColDescription: return def.parameterName;
        case ColMessage: return entry->message;
        default: return {};
      }
    case Qt::ToolTipRole:
      // Long descriptions and abort texts may not fit their column.
      if (index.column() == ColDescription) return def.parameterName;
      if (index.column() == ColMessage && !entry->message.isEmpty()) return entry->message;
      return {};
    case Qt::BackgroundRole:
      return QBrush(def.isWritable() ? QColor(128, 240, 140) : QColor(192, 192, 192));
    case Qt::ForegroundRole:
      // The row colours are fixed light ones: keep the text dark in any theme.
      return QBrush(Qt::black);
    default:
      return {};
  }
}

QVariant SdoGridModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section < titles_.size())
    return titles_.at(section);
  return QAbstractTableModel::headerData(section, orientation, role);
}

void SdoGridModel::setTitles(const QStringList& titles) {
  titles_ = titles;
  emit headerDataChanged(Qt::Horizontal, 0, ColumnCount - 1);
}

void SdoGridModel::resetRows(int rows) {
  publishTimer_.stop();
  changedFirst_ = std::numeric_limits<int>::max();
  changedLast_ = -1;
  beginResetModel();
  rows_ = rows;
  endResetModel();
}

// "Read All" changes a row every quarter of a millisecond, and a view
// repaints everything it shows for a changed row, which takes longer than
// the next transfer on the wire. Announced one by one, those repaints would
// hold up the transfers on a busy machine, for pictures nobody can see.
void SdoGridModel::rowChanged(int listRow) {
  if (listRow < 1 || listRow > rows_) return;
  changedFirst_ = std::min(changedFirst_, listRow - 1);
  changedLast_ = std::max(changedLast_, listRow - 1);
  const auto since = std::chrono::steady_clock::now() - lastPublished_;
  if (since >= kChangeInterval)
    publishChanges();
  else if (!publishTimer_.isActive())
    publishTimer_.start(std::chrono::ceil<std::chrono::milliseconds>(kChangeInterval - since));
}

void SdoGridModel::publishChanges() {
  publishTimer_.stop();
  const int first = changedFirst_;
  const int last = std::min(changedLast_, rows_ - 1);
  changedFirst_ = std::numeric_limits<int>::max();
  changedLast_ = -1;
  if (first > last) return;
  lastPublished_ = std::chrono::steady_clock::now();
  emit dataChanged(index(first, 0), index(last, ColumnCount - 1));
}
