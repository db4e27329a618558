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
struct sdoGridEntry;

/// Told every object value decoded from a received PDO, beside the list's
/// cache (the scope window plots them). Called on the user-interface thread
/// from inside the decoding, once per mapped object of each frame, so it must
/// do little: copy the value and return.
class PdoValueListener {
 public:
  virtual ~PdoValueListener() = default;
  /// `index`/`subIndex` of the mapped object, its value as its data type
  /// reads it (sign-extended for the signed types), the raw bits and their
  /// count, and the frame's time stamp (microseconds of the adapter's clock,
  /// 0 when the adapter gives none).
  virtual void pdoValueDecoded(const sdoGridEntry& entry, std::uint16_t index, std::uint8_t subIndex,
                               std::int64_t value, std::uint64_t raw, int bits, std::uint32_t frameTime) = 0;
};

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
  /// `bits` raw bits as the object's data type reads them (sign-extended
  /// for the signed types).
  static std::int64_t numericValue(std::uint64_t raw, int bits, int dataType);
  /// The decimal text of `bits` raw bits as the object's data type reads them
  /// (sign-extended for the signed types), as the SDO list shows values.
  static QString valueText(std::uint64_t raw, int bits, int dataType);

  /// Listeners are process-wide rather than per view: the view is made and
  /// destroyed with the SDO list at every connection, while a listener (an
  /// open scope window) outlives that. A listener removes itself before it
  /// goes; adding one twice has no effect.
  static void addListener(PdoValueListener* listener);
  static void removeListener(PdoValueListener* listener);

 private:
  struct Record {
    sdoGridEntry* entry = nullptr;  ///< not owned; null when the list lacks the object
    int pdo = 0;
    int slot = 0;
    int row = 0;
    int bits = 0;  ///< length the mapping entry gives the object (dummies too)
    std::uint16_t index = 0;  ///< the object's index and subindex as numbers, for the listeners
    std::uint8_t subIndex = 0;
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
  static std::vector<PdoValueListener*>& listeners();
};
