#pragma once
#include <QAbstractTableModel>
#include <QStringList>
#include <QTimer>

#include <chrono>
#include <functional>
#include <limits>

struct sdoGridEntry;

/// The table model behind the "SDO List" grid: one line per list row (the
/// list's row n is model row n - 1), six columns, writable rows light green
/// and the others grey. It holds no values of its own and reads the entries
/// through `entryAt` when the view asks.
class SdoGridModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  enum Column { ColId, ColSub, ColType, ColValue, ColDescription, ColMessage, ColumnCount };

  explicit SdoGridModel(std::function<sdoGridEntry*(int row)> entryAt, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : rows_; }
  int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : ColumnCount; }
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  void setTitles(const QStringList& titles);
  /// Shows `rows` list rows afresh.
  void resetRows(int rows);
  /// One list row (from 1) changed. A change after a quiet spell reaches
  /// the views at once; the changes that follow it reach them together,
  /// `kChangeInterval` later.
  void rowChanged(int listRow);

  static constexpr std::chrono::milliseconds kChangeInterval{100};

 private:
  void publishChanges();

  std::function<sdoGridEntry*(int)> entryAt_;
  QStringList titles_;
  int rows_ = 0;
  // Model rows changed but not announced yet (first > last: none).
  int changedFirst_ = std::numeric_limits<int>::max();
  int changedLast_ = -1;
  std::chrono::steady_clock::time_point lastPublished_{};
  QTimer publishTimer_;
};
