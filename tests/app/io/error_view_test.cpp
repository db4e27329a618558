// The error view of the page "Node Settings && Error": the error register,
// the last error code and the error history after the simulated controller's
// emergencies, its auto refresh and what a node that stops answering does to it.
#include "MainWindowFixture.h"

#include <QCheckBox>
#include <QTableWidget>

#include "CanLogDecoder.h"
#include "RefreshReader.h"

namespace mainwindow_test {
namespace {

constexpr std::uint8_t kNode = 1;

class ErrorViewTest : public MainWindowTest {
 protected:
  void SetUp() override {
    world().addNode(kNode);
    startConnected();
    if (HasFatalFailure()) return;
    widget<QTabWidget>("TabControl")->setCurrentWidget(widget("tabNodeConfig"));
    ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }, scaled(20s))) << log.all().toStdString();
  }
  QTableWidget* grid() { return widget<QTableWidget>("ErrorGrid"); }
  QString cell(int row, int column) {
    const QTableWidgetItem* item = grid()->item(row, column);
    return item ? item->text() : QString();
  }
  bool ticked(const char* box) { return widget<QCheckBox>(box)->isChecked(); }
  QTimer* errorTimer() { return form->findChild<QTimer*>(QStringLiteral("tmrError")); }
  int linesWith(const QString& text) {
    int n = 0;
    for (const QString& line : log.lines) n += line.contains(text);
    return n;
  }
  /// Waits until the node's emergency has reached the window (its log line).
  void raiseEmergency(std::uint16_t code, std::uint16_t info = 0) {
    const int before = linesWith("EMERGENCY: ");
    world().host->raiseEmergency(kNode, code, info);
    EXPECT_TRUE(processUntil([&] { return linesWith("EMERGENCY: ") > before; })) << code;
  }
};

TEST_F(ErrorViewTest, HistoryRegisterAndCodeFollowTheEmergenciesAndAnEmptiedHistory) {
  // The page was read on entry: a node without errors.
  EXPECT_EQ(grid()->rowCount(), 1);
  EXPECT_EQ(text("lblErrorCode"), "0000");
  EXPECT_FALSE(ticked("chkErrorBit0"));

  raiseEmergency(0x2310);
  raiseEmergency(0x3100, 5);
  click("btnReadErrors");
  EXPECT_EQ(text("lblErrorCode"), "3100");
  EXPECT_EQ(text("lblErrorCodeDescription"), "VOLTAGE MAIN ERROR");
  struct Bit {
    const char* box;
    bool on;
  };
  // Generic error with the classes of both codes: current and voltage.
  const Bit bits[] = {{"chkErrorBit0", true},  {"chkErrorBit1", true},  {"chkErrorBit2", true}, {"chkErrorBit3", false},
                      {"chkErrorBit4", false}, {"chkErrorBit5", false}, {"chkErrorBit7", false}};
  for (const Bit& b : bits) EXPECT_EQ(ticked(b.box), b.on) << b.box;
  // Newest first; the additional information does not change the description.
  ASSERT_EQ(grid()->rowCount(), 2);
  EXPECT_EQ(cell(0, 0), "1");
  EXPECT_EQ(cell(0, 1), "3100");
  EXPECT_EQ(cell(0, 2), "VOLTAGE MAIN ERROR");
  EXPECT_EQ(cell(1, 0), "2");
  EXPECT_EQ(cell(1, 1), "2310");
  EXPECT_EQ(cell(1, 2), CanLogDecoder::describeEmergencyCode(0x2310));

  // Writing 0 to the entry count empties the node's history (from the SDO list).
  ASSERT_TRUE(list().setValue("1003", 0, "0", true));
  click("btnReadErrors");
  ASSERT_EQ(grid()->rowCount(), 1);
  for (int column = 0; column < 3; ++column) EXPECT_EQ(cell(0, column), "") << column;
  EXPECT_TRUE(boxes.boxes().empty());
}

TEST_F(ErrorViewTest, AutoRefreshShowsNewErrorsAndStopsWhenThePageIsLeft) {
  widget<QCheckBox>("chkErrorAutoRefresh")->setChecked(true);
  EXPECT_TRUE(errorTimer()->isActive());
  raiseEmergency(0x4210);
  EXPECT_TRUE(processUntil([&] { return text("lblErrorCode") == "4210" && cell(0, 1) == "4210"; }))
      << text("lblErrorCode").toStdString();
  EXPECT_TRUE(ticked("chkErrorBit3"));  // temperature
  // The refresh sets the boxes without running what a click runs: still on.
  EXPECT_TRUE(ticked("chkErrorAutoRefresh"));

  // Another inner page, then back and to another main page: each stops it.
  widget<QTabWidget>("tctlNodeConfig")->setCurrentWidget(widget("tabMotorSettings"));
  EXPECT_FALSE(ticked("chkErrorAutoRefresh"));
  EXPECT_FALSE(errorTimer()->isActive());
  widget<QTabWidget>("tctlNodeConfig")->setCurrentWidget(widget("tabNodeSettings"));
  widget<QCheckBox>("chkErrorAutoRefresh")->setChecked(true);
  widget<QTabWidget>("TabControl")->setCurrentWidget(widget("tabIO"));
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }));
  EXPECT_FALSE(ticked("chkErrorAutoRefresh"));
  EXPECT_FALSE(errorTimer()->isActive());
}

TEST_F(ErrorViewTest, NotifyBoxSwitchesTheEmergencyLinesInTheLog) {
  raiseEmergency(0x4210);
  EXPECT_TRUE(log.contains("EMERGENCY: " + CanLogDecoder::describeEmergencyCode(0x4210)));
  click("chkEmergencyNotify");
  ASSERT_FALSE(ticked("chkEmergencyNotify"));
  const int before = linesWith("EMERGENCY: ");
  world().host->raiseEmergency(kNode, 0x5000);
  EXPECT_FALSE(processUntil([&] { return linesWith("EMERGENCY: ") > before; }, 500ms));
  click("chkEmergencyNotify");
  raiseEmergency(0x5000);
}

TEST_F(ErrorViewTest, ANodeThatFallsSilentEndsTheAutoRefreshWithOneLine) {
  widget<QCheckBox>("chkErrorAutoRefresh")->setChecked(true);
  ASSERT_TRUE(errorTimer()->isActive());
  log.lines.clear();
  world().host->setSilent(kNode, true);
  EXPECT_TRUE(processUntil([&] { return !ticked("chkErrorAutoRefresh"); }, scaled(20s)));
  // Further ticks would have come: none reads, nothing more is told.
  EXPECT_FALSE(processUntil([] { return false; }, 1500ms));
  EXPECT_EQ(linesWith("Reading SDO"), 1) << log.all().toStdString();
  EXPECT_EQ(linesWith(") Connection Problems detected, Node Setting & Error Auto Refresh disabled!"), 1)
      << log.all().toStdString();
  EXPECT_FALSE(errorTimer()->isActive());
  EXPECT_TRUE(boxes.boxes().empty());

  // The page stays usable: with the node back, a read shows its state.
  world().host->setSilent(kNode, false);
  world().host->raiseEmergency(kNode, 0x4210);
  EXPECT_TRUE(widget("btnReadErrors")->isEnabled());
  click("btnReadErrors");
  EXPECT_EQ(text("lblErrorCode"), "4210");
}

TEST_F(ErrorViewTest, AValueThatIsNoNumberEndsTheRefreshWithOneLine) {
  RefreshReader read(list());
  list().setValue("603F", 0, "", false);
  log.lines.clear();
  EXPECT_FALSE(read.number("603F", 0, false));
  EXPECT_TRUE(read.failed());
  EXPECT_FALSE(read.text("1001", 0, false));  // the refresh has ended: nothing more is read
  EXPECT_EQ(log.lines.size(), 1) << log.all().toStdString();
  EXPECT_TRUE(log.contains("Refresh stopped: 0x603F:0 holds \"\", which is not a number"));
  EXPECT_TRUE(boxes.boxes().empty());
}

}  // namespace
}  // namespace mainwindow_test
