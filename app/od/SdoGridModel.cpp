#include "SdoGridModel.h"

#include <QBrush>
#include <QColor>

#include "StringGridSDODataSource.h"

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
  beginResetModel();
  rows_ = rows;
  endResetModel();
}

void SdoGridModel::rowChanged(int listRow) {
  if (listRow < 1 || listRow > rows_) return;
  emit dataChanged(index(listRow - 1, 0), index(listRow - 1, ColumnCount - 1));
}
