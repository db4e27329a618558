#pragma once
#include <QAbstractTableModel>
#include <QStringList>

#include <functional>

struct sdoGridEntry;

/// The table model behind the "SDO List" grid: one line per list row (the
/// list's row n is model row n - 1), six columns, writable rows light green
/// and the others grey. It holds no values of its own and reads the entries
/// through `entryAt` when the view asks.
class SdoGridModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column { ColId, ColSub, ColType, ColValue, ColDescription, ColMessage, ColumnCount };

  explicit SdoGridModel(std::function<sdoGridEntry*(int row)> entryAt, QObject* parent = nullptr)
      : QAbstractTableModel(parent), entryAt_(std::move(entryAt)) {}

  int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : rows_; }
  int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : ColumnCount; }
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  void setTitles(const QStringList& titles);
  /// Shows `rows` list rows afresh.
  void resetRows(int rows);
  /// One list row (from 1) changed.
  void rowChanged(int listRow);

 private:
  std::function<sdoGridEntry*(int)> entryAt_;
  QStringList titles_;
  int rows_ = 0;
};
