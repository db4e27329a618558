// The received-PDO view: values decoded into the SDO list, the grid, marking
// objects for the quick view and its display modes.
#include "MainWindowFixture.h"

#include <QAction>
#include <QKeyEvent>
#include <QTableWidget>

#include "StringGridPDOReceivedDataSource.h"

namespace mainwindow_test {
namespace {

using View = StringGridPDOReceivedDataSource;

TEST(QuickViewText, EachDisplayModeByWidth) {
  struct Case {
    const char* value;
    int dataType;
    View::DisplayMode mode;
    const char* shown;
  };
  const Case cases[] = {
      {"1591", 6, View::Decimal, "d 1591"},
      {"5", 5, View::Hex, "0x05"},
      {"-1", 7, View::Hex, "0xFFFFFFFF"},
      {"5", 5, View::Binary, "0000  0101  "},
      {"4660", 3, View::Binary, "0001  0010  0011  0100  "},
      {"-1", 4, View::Binary, "1111  1111  1111  1111  1111  1111  1111  1111  "},
      {"abc", 7, View::Hex, "abc"},  // not a number: shown as it is
  };
  for (const Case& c : cases)
    EXPECT_EQ(View::quickText(c.value, c.dataType, c.mode), c.shown) << c.value << " " << c.mode;
}

TEST(QuickViewText, ReceivedValuesReadAsTheirDataType) {
  EXPECT_EQ(View::valueText(0xFFFF, 16, 3), "-1");                 // s16
  EXPECT_EQ(View::valueText(0xFFFF, 16, 6), "65535");              // u16
  EXPECT_EQ(View::valueText(0xFFFFFFFF, 32, 7), "4294967295");     // u32, top bit set
  EXPECT_EQ(View::valueText(0xFFFFFFFF, 32, 4), "-1");             // s32
  EXPECT_EQ(View::valueText(0x80, 8, 2), "-128");                  // s8
}

class ReceivedPdo : public MainWindowTest {};

TEST_F(ReceivedPdo, RowsMarkedForTheQuickViewShowInTheChosenMode) {
  world().addNode(1);
  startConnected();
  openSdoList();
  View* view = form->pdoView();
  ASSERT_TRUE(view);
  // The mapping as the list holds it: statusword, actual position; count 2.
  list().setValue("1A00", 2, "0x60640020", false);
  list().setValue("1A00", 0, "2", false);
  view->clearMapping();
  view->addMappedObject(1, 1, list().findEntry("6041", 0));
  view->addMappedObject(1, 2, list().findEntry("6064", 0));
  view->addMappedObject(2, 1, nullptr);  // an object the list lacks takes no line
  view->buildRows();
  auto* grid = widget<QTableWidget>("pdoRecGrid");
  ASSERT_EQ(grid->rowCount(), 2);
  EXPECT_EQ(grid->item(1, 0)->text(), "1-2");
  EXPECT_EQ(grid->item(1, 1)->text(), "6064-0");

  ConnectorFrame frame;
  const std::uint8_t data[] = {0x37, 0x06, 0xFF, 0xFF, 0xFF, 0xFF};
  std::copy(std::begin(data), std::end(data), frame.data);
  frame.dlc = 6;
  view->updateFromPdo(1, frame);
  EXPECT_EQ(grid->item(1, 3)->text(), "-1");

  auto* quick = widget<QTableWidget>("pdoQuickView");
  EXPECT_EQ(quick->rowCount(), 0);
  emit grid->cellDoubleClicked(1, 0);
  ASSERT_EQ(quick->rowCount(), 1);
  EXPECT_EQ(grid->item(1, 5)->text(), "true");
  EXPECT_EQ(quick->item(0, 1)->text(), "0xFFFFFFFF");  // hexadecimal at start
  QKeyEvent key(QEvent::KeyRelease, Qt::Key_D, Qt::NoModifier, QStringLiteral("d"));
  QApplication::sendEvent(quick, &key);
  EXPECT_EQ(quick->item(0, 1)->text(), "d -1");
  EXPECT_EQ(quick->horizontalHeaderItem(1)->text(), "Value (decimal)");
  form->findChild<QAction*>("binary1")->trigger();
  EXPECT_TRUE(quick->item(0, 1)->text().startsWith("1111  "));
  emit grid->cellDoubleClicked(1, 0);  // unmarked again
  EXPECT_EQ(quick->rowCount(), 0);
  // A frame shorter than the mapping leaves the objects beyond its end alone.
  frame.dlc = 2;
  frame.data[2] = 0x10;
  view->updateFromPdo(1, frame);
  EXPECT_EQ(list().getValue("6064", 0, false), "-1");
  // Nor are objects beyond the mapping count decoded.
  list().setValue("1A00", 0, "1", false);
  view->buildRows();
  frame.dlc = 6;
  view->updateFromPdo(1, frame);
  EXPECT_EQ(list().getValue("6064", 0, false), "-1");
}

}  // namespace
}  // namespace mainwindow_test
