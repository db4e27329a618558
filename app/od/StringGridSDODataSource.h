#pragma once
#include <QPointer>
#include <QString>
#include <QStringList>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "EDSDatabase.h"
#include "RoutingMessageFilter.h"
#include "canopen/Cia301.h"

class DLLConnector;
class QLabel;
class QTableView;
class SdoGridModel;

/// One row of the SDO list: an object or a sub-object of the loaded EDS file.
struct sdoGridEntry {
  sdoDataDefinition* definition = nullptr;  ///< not owned: belongs to the loaded file
  QString message;                          ///< result of the last operation on the row
  QString subindex;                         ///< decimal, as shown in the "Sub" column
  std::int32_t row = 0;                     ///< grid row, from 1
};

/// The application's working copy of the node's object dictionary, and the
/// single path by which every page reads and writes the node's objects.
///
/// Rows come from the loaded EDS file (row numbers from 1; row 0 is the title
/// row of the grid). Pages address objects by ID text ("6041", compared
/// upper-cased) and subindex; the list converts between the value text and
/// the transfer format, runs the SDO transfer through the connector and keeps
/// the row's value and message current.
///
/// Transfers wait with the event loop running, so other list operations may
/// run in between; `applicationClosing` ends every operation and loop at its
/// next step. All operations run on the user-interface thread.
class StringGridSDODataSource : public SdoValueSource {
 public:
  /// Registers with the message filter as its source of values and builds
  /// the rows from the database's loaded file (none when nothing is loaded).
  /// `grid` may be null (a list without a view).
  StringGridSDODataSource(QTableView* grid, EDSDatabase* database, DLLConnector* connector);
  ~StringGridSDODataSource() override;
  StringGridSDODataSource(const StringGridSDODataSource&) = delete;
  StringGridSDODataSource& operator=(const StringGridSDODataSource&) = delete;

  virtual void setColumnTitles(const QStringList& titles);
  virtual void setNodeId(std::uint8_t nodeId) { nodeId_ = nodeId; }
  std::uint8_t nodeId() const { return nodeId_; }
  virtual void setStatusWordLabels(const std::array<QLabel*, 16>& labels);
  /// 0 pre-operational, 1 operational, 2 stopped, 3 unknown, 4 bootloader.
  virtual void setNmtState(std::uint8_t state) { nmtState_ = state; }
  virtual std::uint8_t getNmtState() const { return nmtState_; }
  bool isAllRead() const override { return allRead_; }
  virtual void clearAllRead() { allRead_ = false; }
  bool lastReadOk() const { return lastReadOk_; }

  /// Null for row 0 and rows beyond the last.
  virtual sdoGridEntry* entryAtRow(std::int32_t row);
  /// The first entry stored under the upper-cased ID whose subindex matches.
  sdoGridEntry* findEntry(const QString& id, std::int32_t subIndex) override;
  /// Refreshes one row in the grid; row 0 refreshes all rows.
  virtual void showRow(std::int32_t row);
  std::int32_t rowCount() const { return std::int32_t(rows_.size()); }
  const std::vector<sdoGridEntry*>& mappableEntries() const { return mappableEntries_; }

  /// One SDO upload into the row; true also for an abort by the node (the
  /// value is kept) and for "string" rows, which are skipped.
  virtual bool readEntry(sdoGridEntry* entry);
  virtual bool readRow(std::int32_t row);
  virtual bool readById(const QString& id, std::int32_t subIndex);
  virtual bool readByIdValueOk(const QString& id, std::int32_t subIndex);
  /// One SDO download of the row's value; an empty value is not sent.
  /// Throws ConversionError for a value that does not convert (nothing sent).
  virtual bool writeSDOInternal(sdoGridEntry* entry);

  /// Sets the value and, with `write`, sends it; a refused write puts the old
  /// value back. True when nothing was written or the ID is unknown.
  virtual bool setValue(const QString& id, std::int32_t subIndex, const QString& text, bool write);
  /// Optionally reads, then returns the value ("0" for an unknown ID). Any
  /// read of "6041" updates the status-word bit labels.
  QString getValue(const QString& id, std::int32_t subIndex, bool read) override;
  virtual QString getDescription(const QString& id, std::int32_t subIndex);
  virtual bool isWritable(std::int32_t row);

  /// Reads every row with a progress window; stops at the third failure.
  virtual bool readAll();
  /// Writes every writable row (not the PDO objects, not 0x6040, 0x1010 and
  /// 0x1011 only with their signatures); NMT state kept around the writes.
  virtual bool writeAll();
  virtual bool resetToDefaults();
  /// Writes the list file; on failure the previous file is kept and `error`
  /// (when given) says why.
  virtual bool saveToFile(const QString& path, QString* error = nullptr);
  virtual bool loadFromFile(const QString& path);
  virtual QString connectorName();

  static std::int32_t getSdoFailureCount() { return sdoFailureCount; }
  static void resetSdoFailureCount() { sdoFailureCount = 0; }
  bool isClosing() const override { return applicationClosing; }

  /// Consecutive failed transfers of setValue/getValue.
  static std::int32_t sdoFailureCount;
  /// Set when the main window closes; cleared when a list is created.
  static bool applicationClosing;

  /// The signatures that make 0x1010:01 store and 0x1011:01 restore.
  static constexpr std::uint32_t kSaveSignature = kestrum::canopen::od::kSaveSignature;
  static constexpr std::uint32_t kLoadSignature = kestrum::canopen::od::kLoadSignature;

 private:
  void buildRows();
  /// Writes every writable row Save All writes; false after a failed write.
  bool writeRows();
  void addRow(sdoDataDefinition* definition, const QString& subindex);
  static void log(const QString& text);

  QPointer<QTableView> grid_;
  EDSDatabase* database_;
  DLLConnector* connector_;
  std::unique_ptr<SdoGridModel> model_;
  std::map<std::int32_t, std::unique_ptr<sdoGridEntry>> rows_;
  std::multimap<QString, sdoGridEntry*> index_;
  std::vector<sdoGridEntry*> mappableEntries_;
  std::array<QPointer<QLabel>, 16> statusWordLabels_;
  std::uint8_t nodeId_ = 1;
  std::uint8_t nmtState_ = 3;
  bool allRead_ = false;
  bool lastReadOk_ = false;
};
