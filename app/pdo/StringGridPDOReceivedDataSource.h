#pragma once
#include <QString>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "RoutingMessageFilter.h"

class QTableWidget;
class StringGridSDODataSource;

/// The received-PDO model: the objects mapped into the node's valid transmit
/// PDOs, told by the message filter, and the decoding of each received PDO
/// into them. Every decoded value goes into the SDO list's cache, so the SDO
/// list, the statusword panel and every other reader of the cache see PDO
/// data as if it had been read by SDO. The grid `pdoRecGrid` shows one row
/// per mapped object, the quick view `pdoQuickView` the objects the user
/// marked, in decimal, hexadecimal or binary.
///
/// Registers itself with the routing message filter for its lifetime. All
/// operations run on the user-interface thread.
class StringGridPDOReceivedDataSource : public ReceivedPdoSink {
 public:
  enum DisplayMode { Decimal = 0, Hex = 1, Binary = 2 };

  StringGridPDOReceivedDataSource(QTableWidget* grid, QTableWidget* quickView, StringGridSDODataSource* sdoList);
  ~StringGridPDOReceivedDataSource() override;
  StringGridPDOReceivedDataSource(const StringGridPDOReceivedDataSource&) = delete;
  StringGridPDOReceivedDataSource& operator=(const StringGridPDOReceivedDataSource&) = delete;

  // ReceivedPdoSink
  void clearMapping() override;
  void addMappedObject(int tpdo, int position, sdoGridEntry* entry) override;
  void buildRows() override;
  void updateFromPdo(int tpdo, const ConnectorFrame& frame) override;

  /// Redraws one row, or every row for 0.
  void refreshRow(int row);
  void refreshAll() { refreshRow(0); }
  /// Whether a mapped object has this index text ("6041", "0x6041") and subindex.
  bool isObjectMapped(const QString& index, int subIndex) const;
  int rowCount() const { return int(rows_.size()); }
  /// Frames decoded since the model was made (for the benchmark).
  std::uint64_t decodedFrames() const { return decoded_; }
  /// Marks an object for the quick view (or takes the mark off).
  void setShow(int tpdo, int slot, bool show);
  void setDisplayMode(DisplayMode mode);
  DisplayMode displayMode() const { return mode_; }
  /// The quick view's value text of a value in a display mode.
  static QString quickText(const QString& value, int dataType, DisplayMode mode);

  /// Width in bits of an object of a data-type code (0 for none or unknown).
  static int widthOf(int dataType);
  /// The decimal text of `bits` raw bits as the object's data type reads them
  /// (sign-extended for the signed types), as the SDO list shows values.
  static QString valueText(std::uint64_t raw, int bits, int dataType);

 private:
  struct Record {
    sdoGridEntry* entry = nullptr;  ///< not owned; null when the list lacks the object
    int pdo = 0;
    int slot = 0;
    int row = 0;
    int bits = 0;  ///< length the mapping entry gives the object (dummies too)
    bool show = false;
    std::uint32_t timeStamp = 0;
  };
  void writeRow(int gridRow, const Record& record);
  void rebuildQuickView();
  void redrawQuickView();

  QTableWidget* grid_;
  QTableWidget* quickView_;
  DisplayMode mode_ = Hex;
  std::vector<Record*> quick_;  ///< the marked records, in row order
  StringGridSDODataSource* sdoList_;
  /// Per transmit PDO 1..4: its records by slot.
  std::array<std::map<int, std::unique_ptr<Record>>, 4> pdos_;
  std::array<int, 4> counts_{};  ///< number of mapped objects (sub-index 0) of each PDO
  std::vector<Record*> rows_;  ///< row n at index n - 1
  std::uint64_t decoded_ = 0;
};
