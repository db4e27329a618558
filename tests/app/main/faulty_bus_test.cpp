// The "SDO List" page's Read All and Save All while the bus drops, repeats
// and delays frames and carries foreign traffic: both end as they should
// (Read All at the third failed row), the window keeps serving its timers,
// and once the faults stop a second Read All reads every value right.

#include "SdoFaultRun.h"
#include "MainWindowFixture.h"

#include <QPushButton>
#include <QTest>
#include <QTimer>

namespace mainwindow_test {
namespace {

class FaultyBusTest : public MainWindowTest {
 protected:
  void TearDown() override {
    world().bus->setFaults({});
    MainWindowTest::TearDown();
  }
  /// Clicks `button` (its handler runs to its end) and returns the longest
  /// gap between two ticks of a 10 ms timer meanwhile.
  double clickAndMeasureGapMs(const char* button) {
    using Clock = std::chrono::steady_clock;
    QTimer probe;
    probe.setTimerType(Qt::PreciseTimer);
    probe.setInterval(10);
    Clock::time_point last = Clock::now();
    double longest = 0;
    QObject::connect(&probe, &QTimer::timeout, [&] {
      const auto now = Clock::now();
      longest = std::max(longest, std::chrono::duration<double, std::milli>(now - last).count());
      last = now;
    });
    probe.start();
    QTest::mouseClick(widget<QPushButton>(button), Qt::LeftButton);
    probe.stop();
    return std::max(longest, std::chrono::duration<double, std::milli>(Clock::now() - last).count());
  }
  int failedReadLines() const {
    int n = 0;
    for (const QString& line : log.all().split('\n')) n += line.contains("Reading SDO [0x") && line.contains("] failed");
    return n;
  }
  /// Rows whose number the list shows differs from the node's own value.
  QStringList rowsNotMatchingTheNode() {
    QStringList wrong;
    for (int row = 1; row <= list().rowCount(); ++row) {
      const sdoGridEntry* e = list().entryAtRow(row);
      const sdoDataDefinition* d = e->definition;
      if (!d || d->dataType < 1 || d->dataType > 7 || d->accessType == "wo") continue;
      const int sub = e->subindex.toInt();
      const std::int64_t node = nodeValue(1, std::uint16_t(d->id.toUInt(nullptr, 16)), std::uint8_t(sub));
      if (node < 0) continue;
      const int bits = (d->dataType == 3 || d->dataType == 6) ? 16 : (d->dataType == 4 || d->dataType == 7) ? 32 : 8;
      const std::uint64_t mask = (bits == 32) ? 0xFFFFFFFFull : ((1ull << bits) - 1);
      bool ok = false;
      const std::int64_t shown = list().getValue(d->id, sub, false).toLongLong(&ok, 0);
      if (!ok || (std::uint64_t(shown) & mask) != std::uint64_t(node))
        wrong << d->id + "#" + e->subindex + "=" + list().getValue(d->id, sub, false) + " node " + QString::number(node);
    }
    return wrong;
  }

  /// Connected, every object read; remembers the objects the simulated
  /// drive changes by itself, which are left out of the comparison.
  void connectAndRead() {
    world().addNode(1);
    startConnected();
    openSdoList();
    ASSERT_TRUE(list().isAllRead()) << log.all().toStdString();
    moving = rowsNotMatchingTheNode();
  }
  /// Once the faults stop, Read All reads every value the node holds.
  void expectAllReadRight() {
    world().bus->setFaults({});
    (void)processUntil([] { return false; }, 100ms);  // late frames arrive
    QTest::mouseClick(widget<QPushButton>("SDOAktBtn"), Qt::LeftButton);
    EXPECT_EQ(text("PollingLabel"), "Reading all finished") << log.all().right(3000).toStdString();
    QStringList wrong = rowsNotMatchingTheNode();
    for (const QString& m : moving)
      wrong.removeIf([&](const QString& w) { return w.section('=', 0, 0) == m.section('=', 0, 0); });
    EXPECT_TRUE(wrong.isEmpty()) << wrong.join(", ").toStdString() << "\n(moving: " << moving.join(", ").toStdString()
                                 << ")";
  }
  QStringList gridValues() {
    QStringList values;
    for (int row = 1; row <= list().rowCount(); ++row) {
      const sdoGridEntry* e = list().entryAtRow(row);
      // The rows Save All writes; others (the statusword) follow the node.
      if (e->definition && e->definition->isWritable()) values << e->definition->id + "#" + e->subindex + "=" + list().getValue(e->definition->id, e->subindex.toInt(), false);
    }
    return values;
  }
  QStringList moving;
};

TEST_F(FaultyBusTest, ReadAllEndsAtTheThirdFailedRowAndReadsRightOnceTheFaultsStop) {
  connectAndRead();
  for (std::uint64_t seed : {11u, 12u}) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    world().bus->setFaults(kestrum::sim::test::faultyBus(seed));
    const int failedBefore = failedReadLines();
    const double gap = clickAndMeasureGapMs("SDOAktBtn");
    const QString outcome = text("PollingLabel");
    const int failedRows = failedReadLines() - failedBefore;
    if (outcome == "Reading all failed")
      EXPECT_EQ(failedRows, 3);
    else
      EXPECT_EQ(outcome, "Reading all finished");
    EXPECT_LT(failedRows, 4);
    EXPECT_LT(gap, 250.0);
    EXPECT_TRUE(widget("TabControl")->isEnabled());
  }
  expectAllReadRight();
}

TEST_F(FaultyBusTest, SaveAllEndsWithTheWindowResponsiveAndLeavesTheNodeRight) {
  connectAndRead();
  const QStringList before = gridValues();
  world().bus->setFaults(kestrum::sim::test::faultyBus(11));
  const double gap = clickAndMeasureGapMs("btnSaveAll");
  EXPECT_LT(gap, 250.0);
  EXPECT_TRUE(widget("TabControl")->isEnabled());
  EXPECT_FALSE(form->isInUse());
  // A failed write puts the row's value back: the list shows what it showed.
  EXPECT_EQ(gridValues(), before);
  expectAllReadRight();
}

}  // namespace
}  // namespace mainwindow_test
