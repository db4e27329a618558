#pragma once
#include <QString>
#include <QStringList>
#include <QWidget>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>

#include "PdoHost.h"

class QComboBox;
class TfrmLoadPDOConfig;
class TfrmSavePDOConfig;
namespace Ui {
class PdoMappingPage;
}

/// The "PDO Mapping" page: communication and mapping parameters of one of the
/// node's four receive or four transmit PDOs. Every value shown comes from the
/// SDO list's cache and every value written goes through the SDO list, which
/// sends it and shows the outcome; the node itself is read only to show what
/// it holds after it refused part of a mapping.
class PdoMappingPage : public QWidget {
  Q_OBJECT
 public:
  PdoMappingPage(std::unique_ptr<PdoHost> host, QWidget* parent);
  ~PdoMappingPage() override;
  /// Creates the page and fills `placeholder` with it.
  static PdoMappingPage* insertInto(QWidget* placeholder, std::unique_ptr<PdoHost> host);

  /// The page became the shown one: asks to switch a node that is not
  /// pre-operational, then runs Read.
  void enterPage();
  /// Shows the selected PDO from the cache (no bus traffic).
  void ButtonPdoReadClick();
  /// Writes the selected PDO in the order CiA 301 demands.
  void ButtonPdoWriteClick();
  /// Counts the mapped objects and their bits, takes out an object that
  /// overfills the eight bytes and disables the slots no object fits into.
  void checkPdoSlots();
  /// Fills a slot's list with the mappable objects of the SDO list: for
  /// receive PDOs only the writable ones.
  void fillPdoObjectList(QComboBox* slot, bool transmit) const;
  void btnSavePDOConfigClick();
  void btnLoadPDOConfigClick();

  TfrmSavePDOConfig* saveWindow() const { return saveWindow_; }
  TfrmLoadPDOConfig* loadWindow() const { return loadWindow_; }
  /// Shows the load window modally; tests replace it to fill and confirm it.
  std::function<int(TfrmLoadPDOConfig&)> runLoadWindow;

  /// "u16" / "s16" for 16 bits and so on; other lengths as decimal text.
  static QString typeName(int bits, bool isSigned);

 private:
  struct SlotObject {
    std::uint16_t index = 0;
    std::uint8_t sub = 0;
    int width = 0;
    bool known = false;  ///< a dummy or an object of the SDO list
  };
  bool transmit() const;
  int pdoNumber() const;
  std::uint16_t communicationIndex() const;
  std::uint16_t mappingIndex() const { return std::uint16_t(communicationIndex() + 0x200); }
  QComboBox* slotBox(int s) const { return slots_.at(std::size_t(s)); }
  /// The object of a slot by its character positions; index 0 for an empty
  /// slot or a text that does not read as an object.
  SlotObject slotObject(const QString& text) const;
  int widthOf(std::uint16_t index, std::uint8_t sub) const;
  /// Refills every slot when the SDO list offers other objects than shown.
  void refreshObjectLists(bool force);
  void directionClicked();
  void cobBaseClicked(bool toHex);
  void transmissionTypeChanged();
  /// The rows every slot offers for a direction.
  QStringList objectListItems(bool transmit) const;
  /// Reads the selected PDO's objects from the node into the cache.
  void readBackFromNode();

  std::unique_ptr<Ui::PdoMappingPage> ui;
  std::unique_ptr<PdoHost> host_;
  std::array<QComboBox*, 8> slots_{};
  TfrmSavePDOConfig* saveWindow_ = nullptr;  ///< owned by this page
  TfrmLoadPDOConfig* loadWindow_ = nullptr;  ///< owned by this page
  bool cobHex_ = true;
  bool checking_ = false;
  bool writing_ = false;
};
