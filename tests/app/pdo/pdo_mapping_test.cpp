// The PDO mapping page against the simulated Mirelo at node 1: what Write
// sends and in which order, what the page shows afterwards, and the mapping
// seen at work in both directions.
#include "MainWindowFixture.h"

#include <QCheckBox>
#include <QRadioButton>
#include <QTableWidget>

#include "PdoMappingPage.h"
#include "StringGridPDOReceivedDataSource.h"
#include "canopen/Cia301.h"

namespace mainwindow_test {
namespace {

namespace pdo = kestrum::canopen::pdo;

/// One SDO download as the bus carried it.
struct Download {
  std::uint16_t index;
  std::uint8_t sub;
  std::uint32_t value;
  bool operator==(const Download& o) const { return index == o.index && sub == o.sub && value == o.value; }
};

std::vector<Download> downloads(const BusRecorder& recorder) {
  std::vector<Download> result;
  for (const auto& f : recorder.frames())
    if (f.id == 0x601u && f.dlc == 8 && (f.data[0] & 0xE0) == 0x20)
      result.push_back({std::uint16_t(f.data[1] | f.data[2] << 8), f.data[3],
                        std::uint32_t(f.data[4] | f.data[5] << 8 | f.data[6] << 16 | std::uint32_t(f.data[7]) << 24)});
  return result;
}

class PdoMapping : public MainWindowTest {
 protected:
  /// Node 1 connected, every object read, the page shown (a node that is
  /// not pre-operational is switched there).
  void openPage() {
    world().addNode(1);
    startConnected();
    openSdoList();
    boxes.answerNext(QMessageBox::Yes);
    widget<QTabWidget>("tabCtlObjMngnt")->setCurrentWidget(widget("tabPdoMapping"));
    ASSERT_TRUE(page());
  }
  PdoMappingPage* page() { return form->findChild<PdoMappingPage*>(); }
  void choose(bool transmit, int number) {
    click(transmit ? "rdoTxPDO" : "rdoRxPDO");
    widget<QComboBox>("ComboBoxPdoNumber")->setCurrentIndex(number - 1);
    page()->ButtonPdoReadClick();
  }
  QComboBox* slotBox(int s) { return widget<QComboBox>(QStringLiteral("ComboBoxPdoObject%1").arg(s).toLatin1()); }
  /// Picks the list row that begins with `prefix` ("0x6041 0x00").
  void setSlot(int s, const QString& prefix) {
    QComboBox* box = slotBox(s);
    for (int i = 0; i < box->count(); ++i)
      if (box->itemText(i).startsWith(prefix)) {
        box->setCurrentIndex(i);
        return;
      }
    ADD_FAILURE() << "no row " << prefix.toStdString();
  }
  void clearSlots() {
    for (int s = 8; s >= 1; --s) setSlot(s, "0x0000");
  }
  std::uint32_t entryOf(std::uint16_t index, std::uint8_t sub, std::uint8_t bits) {
    return pdo::pack({index, sub, bits});
  }
  kestrum::sim::NmtState nmtState() {
    auto state = kestrum::sim::NmtState::Initialising;
    world().host->withNode(1, [&](kestrum::sim::SimNode& n, std::uint64_t) { state = n.nmtState(); });
    return state;
  }
  bool enabledSlots(int from, int to, bool enabled) {
    for (int s = from; s <= to; ++s)
      if (slotBox(s)->isEnabled() != enabled) return false;
    return true;
  }
};

TEST_F(PdoMapping, SlotCheckCountsBytesAndClosesSlotsNothingFits) {
  openPage();
  choose(true, 2);
  clearSlots();
  setSlot(1, "0x6064 0x00");  // 32 bits
  setSlot(2, "0x6041 0x00");  // 16 bits
  EXPECT_EQ(text("lblNumOfObj"), "2");
  EXPECT_TRUE(enabledSlots(1, 4, true));
  EXPECT_TRUE(enabledSlots(5, 8, false));
  // A 32-bit object in slot 3 would need ten bytes: it is taken out again.
  setSlot(3, "0x606C 0x00");
  EXPECT_TRUE(boxShown("You exceeded the PDO Memory space. Only 8 Byte available"));
  EXPECT_TRUE(slotBox(3)->currentText().startsWith("0x0000"));
  EXPECT_EQ(text("lblNumOfObj"), "2");
  // Two 32-bit objects fill the PDO.
  setSlot(2, "0x606C 0x00");
  EXPECT_TRUE(enabledSlots(3, 8, false));
  // Three dummy bytes count 24 bits.
  clearSlots();
  for (int s = 1; s <= 3; ++s) setSlot(s, "0x0005");
  EXPECT_EQ(text("lblNumOfObj"), "3");
  EXPECT_TRUE(enabledSlots(1, 8, true));
}

TEST_F(PdoMapping, MappingEntriesReadFromTheCacheShowAsObjects) {
  openPage();
  list().setValue("1A01", 1, QString::number(0x60410010), false);
  list().setValue("1A01", 2, QString::number(0x00050008), false);
  list().setValue("1A01", 3, QString::number(0x00030010), false);
  list().setValue("1A01", 4, QString::number(0x12340008), false);  // not in the dictionary
  choose(true, 2);
  EXPECT_TRUE(slotBox(1)->currentText().startsWith("0x6041 0x00 u16 ")) << slotBox(1)->currentText().toStdString();
  EXPECT_GT(slotBox(1)->currentText().size(), 16);  // the object's name follows
  EXPECT_EQ(slotBox(2)->currentText(), "0x0005 0x00 u8 Dummy Type u8");
  EXPECT_EQ(slotBox(3)->currentText(), "0x0003 0x00 s16 Dummy Type s16");
  EXPECT_EQ(slotBox(4)->currentText(), "0x0000 0x00 0 none");
  // Three 32-bit objects do not fit: the third goes.
  for (int s = 1; s <= 3; ++s) list().setValue("1A01", s, QString::number(0x60640020), false);
  page()->ButtonPdoReadClick();
  EXPECT_TRUE(boxShown("You exceeded the PDO Memory space"));
  EXPECT_EQ(slotBox(3)->currentText(), "0x0000 0x00 0 none");
  EXPECT_EQ(text("lblNumOfObj"), "2");
  EXPECT_TRUE(enabledSlots(3, 8, false));
}

TEST_F(PdoMapping, CobIdBaseAndTransmissionTypeFields) {
  openPage();
  type("EditPdoCob", "601");
  click("RadioButtonPdoCobDec");
  EXPECT_EQ(widget<QLineEdit>("EditPdoCob")->text(), "1537");
  EXPECT_EQ(text("lblCOBPraefix"), "");
  click("RadioButtonPdoCobHex");
  EXPECT_EQ(widget<QLineEdit>("EditPdoCob")->text(), "0601");
  EXPECT_EQ(text("lblCOBPraefix"), "0x");
  widget<QComboBox>("ComboBoxPdoTransmissionType")->setEditText("300");
  EXPECT_EQ(widget<QComboBox>("ComboBoxPdoTransmissionType")->currentText(), "255");
}

TEST_F(PdoMapping, WriteFollowsTheOrderOfCia301AndClosesGaps) {
  openPage();
  choose(false, 1);
  clearSlots();
  setSlot(2, "0x6060 0x00");  // slot 1 left empty
  setSlot(4, "0x0005");
  type("EditPdoCob", "201");
  widget<QCheckBox>("CheckBoxPdoEnable")->setChecked(true);
  widget<QComboBox>("ComboBoxPdoTransmissionType")->setEditText("254");
  BusRecorder recorder(*world().bus);
  click("ButtonPdoWrite");
  const std::uint32_t mode = entryOf(0x6060, 0, 8);
  const std::uint32_t dummy = entryOf(0x0005, 0, 8);
  const std::vector<Download> expected = {
      {0x1400, 1, 0x80000000u}, {0x1600, 0, 0},   {0x1600, 1, mode}, {0x1600, 2, dummy}, {0x1600, 3, 0},
      {0x1600, 4, 0},           {0x1600, 5, 0},   {0x1600, 6, 0},    {0x1600, 7, 0},     {0x1600, 8, 0},
      {0x1600, 0, 2},           {0x1400, 2, 254}, {0x1400, 1, 0x201}};  // no inhibit or event time for an RxPDO
  EXPECT_EQ(downloads(recorder), expected);
  EXPECT_EQ(nodeValue(1, 0x1600, 0), 2);
  EXPECT_EQ(nodeValue(1, 0x1600, 1), mode);
  EXPECT_EQ(nodeValue(1, 0x1600, 2), dummy);
  EXPECT_EQ(nodeValue(1, 0x1400, 1), 0x201);
  // The page shows the mapping as written: gap closed.
  EXPECT_TRUE(slotBox(1)->currentText().startsWith("0x6060 0x00 u8 "));
  EXPECT_EQ(slotBox(2)->currentText(), "0x0005 0x00 u8 Dummy Type u8");
  EXPECT_EQ(text("lblNumOfObj"), "2");
}

TEST_F(PdoMapping, RefusedEntryLeavesThePdoDisabledAndShowsWhatTheNodeHolds) {
  openPage();
  choose(false, 1);
  clearSlots();
  setSlot(1, "0x6060 0x00");
  // The statusword is read-only: no receive PDO may write it.
  slotBox(2)->setEditText("0x6041 0x00 u16 Statusword");
  const std::int64_t entry2 = nodeValue(1, 0x1600, 2);
  widget<QCheckBox>("CheckBoxPdoEnable")->setChecked(true);
  BusRecorder recorder(*world().bus);
  click("ButtonPdoWrite");
  EXPECT_TRUE(log.contains("The node refused the mapping of RxPDO 1"));
  // Nothing after the refused entry: the count stays 0, the PDO invalid.
  const std::vector<Download> sent = downloads(recorder);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.back().index, 0x1600);
  EXPECT_EQ(sent.back().sub, 2);
  EXPECT_EQ(nodeValue(1, 0x1600, 0), 0);
  EXPECT_TRUE(nodeValue(1, 0x1400, 1) & 0x80000000);
  EXPECT_EQ(nodeValue(1, 0x1600, 2), entry2);
  // The page reads back what the node holds, not what was typed.
  EXPECT_FALSE(widget<QCheckBox>("CheckBoxPdoEnable")->isChecked());
  EXPECT_FALSE(slotBox(2)->currentText().startsWith("0x6041")) << slotBox(2)->currentText().toStdString();
}

TEST_F(PdoMapping, BadFieldsWriteNothing) {
  openPage();
  choose(true, 2);
  struct Case {
    const char* what;
    std::function<void()> set;
    const char* message;
  };
  const Case cases[] = {
      {"slot not a number", [&] { slotBox(1)->setEditText("0x60zz 0x00 u16"); }, "is not a valid integer value!"},
      {"COB-ID above 11 bits", [&] { type("EditPdoCob", "FFFF"); }, "is not a CAN identifier"},
      {"empty inhibit time", [&] { type("EditPdoInhibitTime", ""); }, "is not a valid integer value!"},
  };
  for (const Case& c : cases) {
    page()->ButtonPdoReadClick();
    c.set();
    boxes.clear();
    BusRecorder recorder(*world().bus);
    click("ButtonPdoWrite");
    EXPECT_TRUE(recorder.downloads(1).empty()) << c.what;
    EXPECT_TRUE(boxShown(c.message)) << c.what;
  }
}

TEST_F(PdoMapping, MappedTransmitPdoIsDecodedOnceTheNodeRuns) {
  openPage();
  choose(true, 2);
  clearSlots();
  setSlot(1, "0x6041 0x00");
  setSlot(2, "0x6064 0x00");
  widget<QCheckBox>("CheckBoxPdoEnable")->setChecked(true);
  type("EditPdoEventTime", "50");
  click("ButtonPdoWrite");
  EXPECT_EQ(nodeValue(1, 0x1A01, 0), 2);
  EXPECT_EQ(nodeValue(1, 0x1A01, 1), entryOf(0x6041, 0, 16));
  EXPECT_EQ(nodeValue(1, 0x1A01, 2), entryOf(0x6064, 0, 32));
  EXPECT_EQ(nodeValue(1, 0x1801, 1) & 0x800007FF, 0x281);
  EXPECT_TRUE(form->pdoView()->isObjectMapped("6064", 0));

  setNodeValue(1, 0x6064, 0, 123456, 4);
  click("startBtn");
  auto* grid = widget<QTableWidget>("pdoRecGrid");
  auto cell = [grid](const QString& pdo, int column) {
    for (int r = 0; r < grid->rowCount(); ++r)
      if (grid->item(r, 0) && grid->item(r, 0)->text() == pdo) return grid->item(r, column)->text();
    return QString();
  };
  ASSERT_TRUE(processUntil([&] { return cell("2-2", 3) == "123456"; }, scaled(5s))) << cell("2-2", 3).toStdString();
  EXPECT_EQ(cell("2-1", 1), "6041-0");
  EXPECT_EQ(cell("2-1", 3), QString::number(nodeValue(1, 0x6041)));
}

TEST_F(PdoMapping, MappedReceivePdoChangesTheNodesObject) {
  openPage();
  choose(false, 2);
  clearSlots();
  setSlot(1, "0x6060 0x00");
  type("EditPdoCob", "301");
  widget<QCheckBox>("CheckBoxPdoEnable")->setChecked(true);
  click("ButtonPdoWrite");
  ASSERT_EQ(nodeValue(1, 0x1601, 0), 1);
  ASSERT_EQ(nodeValue(1, 0x1401, 1), 0x301);
  ASSERT_NE(nodeValue(1, 0x6060), 3);

  click("startBtn");
  ASSERT_TRUE(processUntil([&] { return nmtState() == kestrum::sim::NmtState::Operational; }, scaled(5s)));
  std::uint8_t data[8] = {3};
  ASSERT_TRUE(form->connector()->send_PDOW(0x301, data, false));
  EXPECT_TRUE(processUntil([&] { return nodeValue(1, 0x6060) == 3; }, scaled(5s)));
}

TEST_F(PdoMapping, EnteringThePageOutsidePreOperationalAsks) {
  world().addNode(1);
  startConnected();
  openSdoList();
  click("startBtn");
  click("chkLifeguard");  // node guarding brings the NMT state to the status bar
  ASSERT_TRUE(processUntil([&] { return form->panelText(4) == "Drivestate: Operational"; }, scaled(5s)));
  boxes.answerNext(QMessageBox::Yes);
  widget<QTabWidget>("tabCtlObjMngnt")->setCurrentWidget(widget("tabPdoMapping"));
  EXPECT_TRUE(boxShown("You are not in state Pre Operational."));
  EXPECT_TRUE(processUntil([&] { return form->panelText(4) == "Drivestate: Pre Operational"; }, scaled(5s)));
  // Back and forth in pre-operational state: no question.
  boxes.clear();
  widget<QTabWidget>("tabCtlObjMngnt")->setCurrentWidget(widget("tabSDOList"));
  widget<QTabWidget>("tabCtlObjMngnt")->setCurrentWidget(widget("tabPdoMapping"));
  EXPECT_TRUE(boxes.boxes().empty());
}

}  // namespace
}  // namespace mainwindow_test
