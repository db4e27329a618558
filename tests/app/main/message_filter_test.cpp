// Routing of frames by the message filter, with stand-ins for the SDO list,
// the received-PDO view and the main window's hooks.
#include <gtest/gtest.h>

#include "FrameSupport.h"
#include "QtTestSupport.h"

#include <QApplication>

#include <chrono>
#include <map>
#include <vector>

#include "Logging.h"
#include "RoutingMessageFilter.h"

namespace {

using namespace std::chrono_literals;

QApplication& app() { return kestrum::test::application(); }

struct Values : SdoValueSource {
  std::map<std::pair<QString, int>, QString> values;
  bool allRead = true;
  QString getValue(const QString& id, std::int32_t sub, bool) override {
    const auto it = values.find({id, sub});
    return it == values.end() ? QStringLiteral("0") : it->second;
  }
  sdoGridEntry* findEntry(const QString&, std::int32_t) override { return nullptr; }
  bool isAllRead() const override { return allRead; }
  bool isClosing() const override { return false; }
};

struct PdoView : ReceivedPdoSink {
  struct Mapped {
    int tpdo, position;
  };
  std::vector<Mapped> mapped;
  std::vector<std::pair<int, std::uint16_t>> updates;
  int clears = 0;
  int builds = 0;
  void clearMapping() override {
    ++clears;
    mapped.clear();
  }
  void addMappedObject(int tpdo, int position, sdoGridEntry*) override { mapped.push_back({tpdo, position}); }
  void buildRows() override { ++builds; }
  void updateFromPdo(int tpdo, const ConnectorFrame& f) override { updates.emplace_back(tpdo, f.id); }
};

struct CanLog : CanLogSink {
  std::vector<std::uint16_t> ids;
  bool isLogging() const override { return true; }
  void takeFrame(const ConnectorFrame& f) override { ids.push_back(f.id); }
  QString emergencyDescription(std::uint16_t code) const override { return QStringLiteral("code %1").arg(code, 0, 16); }
};

using kestrum::test::frame;

class MessageFilterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app();
    filter.reset();
    filter.setSdoSource(&values);
    filter.setPdoView(&view);
    filter.setCanLog(&canLog);
    NodeStateHooks hooks;
    hooks.showNmtState = [this](std::uint8_t s) { states.push_back(s); };
    hooks.stopPolling = [this] { ++stops; };
    hooks.clearPollingSuspended = [this] { ++resumes; };
    hooks.nodeId = [] { return 1; };
    filter.setHooks(hooks);
    // TPDO 1 valid on 0x181 with one object; TPDO 2 not valid; TPDO 3
    // valid with slot 3 empty and an object beyond the count of slot 0.
    values.values[{"1800", 1}] = "385";
    values.values[{"1A00", 1}] = "0x60410010";
    values.values[{"1801", 1}] = QString::number(0x80000281u);
    values.values[{"1A01", 1}] = "0x60640020";
    values.values[{"1802", 1}] = "0x381";
    values.values[{"1A02", 0}] = "1";
    values.values[{"1A02", 3}] = "0";
    values.values[{"1A02", 5}] = "0x60FD0020";
    values.values[{"1803", 1}] = "0x481";
    values.values[{"1014", 0}] = "129";
  }
  void TearDown() override { filter.reset(); }
  void enableAndRead() {
    filter.enable();
    filter.rebuildTpdoTable();
  }

  RoutingMessageFilter& filter = RoutingMessageFilter::routing();
  Values values;
  PdoView view;
  CanLog canLog;
  std::vector<std::uint8_t> states;
  int stops = 0;
  int resumes = 0;
};

TEST_F(MessageFilterTest, TransmitPdoTableFollowsTheListsValues) {
  enableAndRead();
  EXPECT_EQ(filter.tpdoOf(0x181), 1);
  EXPECT_EQ(filter.tpdoOf(0x281), -1);  // not valid: never entered
  EXPECT_EQ(filter.tpdoOf(0x381), 3);
  EXPECT_EQ(filter.tpdoOf(0x481), -1);  // valid, but nothing mapped
  ASSERT_EQ(view.mapped.size(), 2u);
  EXPECT_EQ(view.mapped[0].tpdo, 1);
  EXPECT_EQ(view.mapped[1].tpdo, 3);
  EXPECT_EQ(view.mapped[1].position, 5);  // beyond the count, slot 3 skipped
  EXPECT_EQ(view.builds, 1);

  // Frames of TPDO 1 are logged and handed to the view on the next tick; those
  // of the invalid TPDO 2 are only logged.
  filter.onFrame(frame(0x181, {0x37, 0x02}));
  filter.onFrame(frame(0x181, {0x37, 0x06}));
  filter.onFrame(frame(0x281, {1, 2, 3, 4}));
  EXPECT_EQ(canLog.ids, (std::vector<std::uint16_t>{0x181, 0x181, 0x281}));
  EXPECT_EQ(filter.queuedPdoFrames(), 2u);
  EXPECT_EQ(filter.tpdoOf(0x281), 0);  // seen now
  const auto end = std::chrono::steady_clock::now() + 2s;
  while (view.updates.size() < 2 && std::chrono::steady_clock::now() < end)
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
  EXPECT_EQ(view.updates, (std::vector<std::pair<int, std::uint16_t>>{{1, 0x181}, {1, 0x181}}));
}

TEST_F(MessageFilterTest, NothingIsQueuedBeforeTheListHasBeenReadCompletely) {
  values.allRead = false;
  enableAndRead();
  filter.onFrame(frame(0x181, {1}));
  EXPECT_EQ(filter.queuedPdoFrames(), 0u);
  EXPECT_EQ(filter.tpdoOf(0x181), 0);
  // A new list forgets what the old one mapped.
  values.allRead = true;
  filter.rebuildTpdoTable();
  EXPECT_EQ(filter.tpdoOf(0x181), 1);
  filter.setSdoSource(&values);
  EXPECT_EQ(filter.tpdoOf(0x181), -1);
}

TEST_F(MessageFilterTest, EmergenciesAreLoggedAndCode3100StopsPolling) {
  QStringList red;
  const auto connection = QObject::connect(&Logging::instance(), &Logging::lineWritten,
                                           [&red](const QString& line, const QColor& color, bool) {
                                             if (color == QColor(Qt::red)) red << line;
                                           });
  filter.enable();
  // Not notified yet: the emergency COB-ID is unknown, so nothing is an
  // emergency; NMT commands (COB-ID 0) reach the CAN log like any frame.
  filter.onFrame(frame(0x000, {0x01, 0x01}, 0, true));
  EXPECT_EQ(canLog.ids, (std::vector<std::uint16_t>{0x000}));
  EXPECT_TRUE(red.isEmpty());
  canLog.ids.clear();

  // An emergency COB-ID of 0 in the list still makes NMT no emergency.
  values.values[{"1014", 0}] = "0";
  filter.setEmergencyNotify(true);
  filter.onFrame(frame(0x000, {0x80, 0x00}, 0, true));
  EXPECT_EQ(canLog.ids, (std::vector<std::uint16_t>{0x000}));
  EXPECT_TRUE(red.isEmpty());
  canLog.ids.clear();

  values.values[{"1014", 0}] = "129";
  filter.setEmergencyNotify(true);
  EXPECT_EQ(filter.emergencyCobId(), 0x81);
  filter.onFrame(frame(0x81, {0x00, 0x31, 0x01, 0, 0, 0, 0, 0}));
  EXPECT_EQ(stops, 1);
  ASSERT_EQ(red.size(), 1);
  EXPECT_TRUE(red.first().endsWith("EMERGENCY: code 3100"));
  EXPECT_TRUE(canLog.ids.empty());

  // Without notification 0x3100 still stops polling, silently.
  filter.setEmergencyNotify(false);
  filter.onFrame(frame(0x81, {0x00, 0x31}));
  filter.onFrame(frame(0x81, {0x10, 0x32}));
  EXPECT_EQ(stops, 2);
  EXPECT_EQ(red.size(), 1);
  QObject::disconnect(connection);
}

TEST_F(MessageFilterTest, OnlyReceivedStateFramesOfTheNodeReachTheDisplay) {
  filter.onFrame(frame(0x701, {0x05}));  // not enabled yet
  filter.enable();
  filter.onFrame(frame(0x701, {0x85}));
  filter.onFrame(frame(0x701, {0x7F}, 0, true));  // our own
  filter.onFrame(frame(0x702, {0x05}));       // another node
  filter.onFrame(frame(0x701, {0x04, 0x00}));  // not one byte: a foreign frame, no state
  filter.onFrame(frame(0x701, {}));
  filter.onFrame(frame(0x701, {0x33}));        // no defined state
  EXPECT_EQ(states, (std::vector<std::uint8_t>{0x85}));
  EXPECT_EQ(resumes, 1);
  EXPECT_EQ(canLog.ids, (std::vector<std::uint16_t>{0x701, 0x701, 0x702, 0x701, 0x701, 0x701}));
}

}  // namespace
