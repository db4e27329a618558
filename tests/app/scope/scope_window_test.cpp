// The scope window against the simulated Mirelo at node 1: a positioning
// move traced from the transmit PDOs with a trigger on set-point
// acknowledge, a channel polled by SDO, a stopped trace zoomed, panned and
// measured, and channel input that is refused.
#include "MainWindowFixture.h"

#include <QFile>
#include <QImage>
#include <QMouseEvent>
#include <QSpinBox>
#include <QTableWidget>
#include <QWheelEvent>
#include <QtCharts/QChartView>

#include <algorithm>

#include "ScopeWindow.h"

namespace mainwindow_test {
namespace {

constexpr std::uint8_t kNode = 1;

class ScopeTest : public MainWindowTest {
 protected:
  void SetUp() override { world().addNode(kNode); }

  /// Transmit PDO 1 carries the statusword and the actual position every
  /// millisecond once the node is operational.
  void mapStatusAndPosition() {
    setNodeValue(kNode, 0x1800, 1, 0x80000181, 4);
    setNodeValue(kNode, 0x1800, 2, 255, 1);
    setNodeValue(kNode, 0x1800, 5, 1, 2);
    setNodeValue(kNode, 0x1A00, 0, 0, 1);
    setNodeValue(kNode, 0x1A00, 1, 0x60410010, 4);
    setNodeValue(kNode, 0x1A00, 2, 0x60640020, 4);
    setNodeValue(kNode, 0x1A00, 0, 2, 1);
    setNodeValue(kNode, 0x1800, 1, 0x181, 4);
  }
  /// Connected, every object read (the PDO mapping with them), the scope open.
  void openScope() {
    startConnected();
    openSdoList();
    click("btnScope");
    scope = form->scopeWindow();
    ASSERT_TRUE(scope);
    ASSERT_TRUE(scope->isVisible());
  }
  void startNode() {
    click("startBtn");
    auto operational = [this] {
      auto state = kestrum::sim::NmtState::Initialising;
      world().host->withNode(kNode, [&](kestrum::sim::SimNode& n, std::uint64_t) { state = n.nmtState(); });
      return state == kestrum::sim::NmtState::Operational;
    };
    ASSERT_TRUE(processUntil(operational, scaled(5s))) << log.all().toStdString();
  }
  template <typename T = QWidget>
  T* inScope(const char* name) {
    T* w = scope->findChild<T*>(QLatin1String(name));
    EXPECT_TRUE(w) << name;
    return w;
  }
  /// Adds a channel through the fields, as the user does.
  void addChannel(const QString& object, bool polled, const QString& bit = {}, const QString& period = "100",
                  const QString& scale = "1") {
    inScope<QComboBox>("cmbChannelObject")->setCurrentText(object);
    inScope<QComboBox>("cmbChannelSource")->setCurrentIndex(polled ? 1 : 0);
    inScope<QLineEdit>("edtPollPeriod")->setText(period);
    inScope<QLineEdit>("edtScale")->setText(scale);
    inScope<QLineEdit>("edtBit")->setText(bit);
    inScope<QAbstractButton>("btnAddChannel")->click();
  }
  void waitMs(int ms) { (void)processUntil([] { return false; }, std::chrono::milliseconds(ms)); }
  /// The first box's text, for failure messages.
  std::string firstBox() const { return boxes.boxes().empty() ? std::string() : boxes.boxes().front().text.toStdString(); }

  ScopeWindow* scope = nullptr;
};

TEST_F(ScopeTest, PositioningMoveTracedFromTheTriggerOnSetPointAcknowledge) {
  mapStatusAndPosition();
  openScope();
  startNode();
  click("Button1");
  ASSERT_EQ(driveState(kNode), kestrum::canopen::cia402::PowerState::OperationEnabled) << log.all().toStdString();
  openDrivePage("tabPPMode");
  type("PPminspeed", "500");
  type("PPqsdecel", "80000");
  type("PPmaxspeed", "20000");
  type("PPaccel", "200000");
  type("PPdecel", "200000");
  widget<QComboBox>("PPmovemode")->setCurrentText("absolute");
  type("weg_edit", "4000");

  addChannel("0x6041:00", false, "12");
  addChannel("0x6064:00", false);
  ASSERT_EQ(scope->channelCount(), 2) << firstBox();
  ASSERT_TRUE(processUntil([&] { return scope->history(1).size() > 100; }, scaled(5s)));
  const std::int64_t start = std::int64_t(scope->history(1).newest().v);
  ASSERT_NE(start, 4000);

  inScope<QComboBox>("cmbTimeBase")->setCurrentText("2 s");
  inScope<QComboBox>("cmbTriggerSource")->setCurrentIndex(0);
  inScope<QComboBox>("cmbTriggerMode")->setCurrentText("Rising edge");
  inScope<QSpinBox>("spnPreTrigger")->setValue(25);
  inScope<QAbstractButton>("btnSingle")->click();
  EXPECT_EQ(scope->triggerState(), scope::Trigger::State::Armed);
  waitMs(100);
  EXPECT_EQ(scope->triggerState(), scope::Trigger::State::Armed);  // nothing acknowledged yet

  click("dogrid");
  ASSERT_TRUE(processUntil([&] { return scope->triggerState() == scope::Trigger::State::Done; }, scaled(10s)))
      << int(scope->triggerState());
  EXPECT_FALSE(scope->isRunning());
  EXPECT_EQ(inScope<QAbstractButton>("btnRunStop")->text(), "Run");
  const double trigger = scope->triggerTime();
  EXPECT_NEAR(scope->viewStart(), trigger - 0.5, 1e-9);
  EXPECT_NEAR(scope->viewEnd(), trigger + 1.5, 1e-9);
  // The acknowledge came before the drive moved; within the capture the
  // position reaches the target.
  const auto& position = scope->history(1);
  EXPECT_EQ(scope::shownValue(*scope->history(0).valueAt(trigger), 1, 12), 1);
  EXPECT_NEAR(*position.valueAt(trigger), double(start), 50);
  EXPECT_EQ(*position.valueAt(scope->viewEnd()), 4000);
  // The trace holds every frame: about one a millisecond around the move.
  const std::size_t inView = position.lowerBound(scope->viewEnd()) - position.lowerBound(scope->viewStart());
  EXPECT_GT(inView, 1000u);

  QTemporaryDir dir;
  const QString csvPath = dir.filePath("move.csv");
  ASSERT_TRUE(scope->exportCsv(csvPath));
  QFile file(csvPath);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const auto table = scope::parseCsv(file.readAll());
  ASSERT_TRUE(table);
  EXPECT_EQ(table->names, QStringList({scope->channelName(0), scope->channelName(1)}));
  ASSERT_GE(table->times.size(), inView);
  // Times count from the trigger, as the time axis does.
  EXPECT_DOUBLE_EQ(scope->timeOrigin(), trigger);
  EXPECT_GE(table->times.front(), scope->viewStart() - trigger - 1e-6);
  EXPECT_LE(table->times.back(), scope->viewEnd() - trigger + 1e-6);
  EXPECT_LT(table->times.front(), 0);
  EXPECT_GT(table->times.back(), 0);
  // Both objects of a frame share its line; the last line has the target.
  EXPECT_TRUE(table->cells.back()[0] && table->cells.back()[1]);
  EXPECT_EQ(table->cells.back()[1], 4000);
  EXPECT_TRUE(std::any_of(table->cells.begin(), table->cells.end(), [](const auto& row) { return row[0] == 1.0; }));

  const QString pngPath = dir.filePath("move.png");
  ASSERT_TRUE(scope->exportPng(pngPath));
  EXPECT_FALSE(QImage(pngPath).isNull());
  EXPECT_TRUE(boxes.boxes().empty()) << firstBox();
}

TEST_F(ScopeTest, PolledChannelReadsAtItsPeriodAndWritesNothing) {
  openScope();
  BusRecorder bus(*world().bus);
  addChannel("0x606C:00", true, {}, "50");
  ASSERT_EQ(scope->channelCount(), 1) << firstBox();
  EXPECT_TRUE(scope->channelName(0).size() > 0);
  EXPECT_EQ(inScope<QTableWidget>("channelTable")->item(0, 3)->text(), "SDO poll, 50 ms");
  EXPECT_TRUE(inScope<QLabel>("lblBusLoad")->text().contains("40 frames/s")) << inScope<QLabel>("lblBusLoad")->text().toStdString();

  ASSERT_TRUE(processUntil([&] { return scope->history(0).size() >= 30; }, scaled(10s)));
  const auto& h = scope->history(0);
  std::vector<double> gaps;
  for (std::size_t i = 1; i < h.size(); ++i) gaps.push_back(h.at(i).t - h.at(i - 1).t);
  std::nth_element(gaps.begin(), gaps.begin() + long(gaps.size() / 2), gaps.end());
  // Late ticks on a loaded machine stretch a gap, never shorten it.
  EXPECT_GE(gaps[gaps.size() / 2], 0.045);
  EXPECT_LE(gaps[gaps.size() / 2], 0.080);
  EXPECT_EQ(scope->failedPolls(0), 0u);
  // The scope only reads.
  EXPECT_TRUE(bus.downloads(kNode).empty());
  EXPECT_GE(bus.requestsTo(kNode), h.size());

  // While another transfer waits for its answer, the scope skips its ticks:
  // it neither fails nor makes the other transfer fail.
  const std::size_t taken = h.size();
  const SDOResult other = form->connector()->readObject(5, 0x1000, 0, TYPE_U32, 300);  // no node 5
  EXPECT_EQ(other.code, sdo_result::kNoAnswer);
  EXPECT_GE(scope->skippedPolls(0), 3u);
  EXPECT_EQ(scope->failedPolls(0), 0u);
  EXPECT_LE(h.size(), taken + 1);
  scope->redraw();
  EXPECT_TRUE(inScope<QLabel>("lblBusLoad")->text().contains(QString("%1 polls skipped").arg(scope->skippedPolls(0))))
      << inScope<QLabel>("lblBusLoad")->text().toStdString();
  EXPECT_TRUE(processUntil([&] { return h.size() >= taken + 5; }, scaled(5s)));

  // Stopped, it polls no more.
  inScope<QAbstractButton>("btnRunStop")->click();
  const std::size_t requests = bus.requestsTo(kNode);
  waitMs(300);
  EXPECT_EQ(bus.requestsTo(kNode), requests);
  // Running again, then the window closed: no polls go on unseen.
  inScope<QAbstractButton>("btnRunStop")->click();
  EXPECT_TRUE(processUntil([&] { return bus.requestsTo(kNode) > requests; }, scaled(5s)));
  scope->close();
  waitMs(100);  // a poll under way ends
  const std::size_t afterClose = bus.requestsTo(kNode);
  waitMs(300);
  EXPECT_EQ(bus.requestsTo(kNode), afterClose);
  EXPECT_FALSE(scope->isRunning());
}

TEST_F(ScopeTest, StoppedTraceFreezesAndIsZoomedPannedAndMeasured) {
  mapStatusAndPosition();
  openScope();
  startNode();
  addChannel("0x6064:00", false);
  addChannel("0x6041:00", false, "0");
  ASSERT_EQ(scope->channelCount(), 2);
  ASSERT_TRUE(processUntil([&] { return scope->history(0).size() > 200; }, scaled(5s)));
  EXPECT_FALSE(scope->zoom(0.5, scope->viewEnd()));  // running: the view rolls

  inScope<QAbstractButton>("btnRunStop")->click();
  EXPECT_FALSE(scope->isRunning());
  waitMs(100);
  const std::size_t kept = scope->history(0).size();
  const double t0 = scope->viewStart(), t1 = scope->viewEnd();
  waitMs(200);
  EXPECT_EQ(scope->history(0).size(), kept);
  EXPECT_EQ(scope->viewStart(), t0);

  EXPECT_TRUE(scope->zoom(0.5, t1));
  EXPECT_NEAR(scope->viewEnd() - scope->viewStart(), (t1 - t0) / 2, 1e-9);
  EXPECT_NEAR(scope->viewEnd(), t1, 1e-9);
  EXPECT_TRUE(scope->pan(-0.25));
  EXPECT_NEAR(scope->viewEnd(), t1 - 0.25, 1e-9);

  // The mouse: the wheel zooms in, a left click places cursor 1, a right
  // click cursor 2, and the readout gives the time between them.
  scope->redraw();
  QWidget* viewport = scope->chartView()->viewport();
  const double span = scope->viewEnd() - scope->viewStart();
  const QPointF middle(viewport->width() / 2.0, viewport->height() / 2.0);
  QWheelEvent wheel(middle, viewport->mapToGlobal(middle), {}, QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                    Qt::NoScrollPhase, false);
  QApplication::sendEvent(viewport, &wheel);
  EXPECT_NEAR(scope->viewEnd() - scope->viewStart(), span * 0.8, 1e-9);
  scope->redraw();
  for (auto [x, button] : {std::pair{0.3, Qt::LeftButton}, std::pair{0.7, Qt::RightButton}}) {
    const QPointF at(viewport->width() * x, viewport->height() / 2.0);
    QMouseEvent press(QEvent::MouseButtonPress, at, viewport->mapToGlobal(at), button, button, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, viewport->mapToGlobal(at), button, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(viewport, &press);
    QApplication::sendEvent(viewport, &release);
  }
  const QString readout = inScope<QLabel>("lblCursors")->text();
  EXPECT_TRUE(readout.contains("Cursor 1: ") && readout.contains("Cursor 2: ") && readout.contains("Δt: "))
      << readout.toStdString();
  EXPECT_TRUE(readout.contains(scope->channelName(0) + ": ")) << readout.toStdString();

  inScope<QAbstractButton>("btnRunStop")->click();
  EXPECT_TRUE(scope->isRunning());
  EXPECT_TRUE(processUntil([&] { return scope->history(0).size() > kept + 50; }, scaled(5s)));
}

TEST_F(ScopeTest, BadChannelInputIsRefusedAndChangesNothing) {
  mapStatusAndPosition();
  openScope();
  struct Case {
    const char* object;
    bool polled;
    const char* period;
    const char* scale;
    const char* bit;
    const char* message;
  };
  const Case cases[] = {
      {"60x4", false, "100", "1", "", "'60x4' is not an index:subindex in hexadecimal"},
      {"0x6064:100", false, "100", "1", "", "is not an index:subindex"},
      {"0x5FFF:00", true, "100", "1", "", "Object 0x5FFF:00 is not in the node's dictionary."},
      {"0x606C:00", false, "100", "1", "", "Object 0x606C:00 is not mapped in a transmit PDO of the node."},
      {"0x606C:00", true, "5", "1", "", "Poll period: '5' is not a number of milliseconds from 10 to 10000."},
      {"0x606C:00", true, "", "1", "", "Poll period: '' is not"},
      {"0x6064:00", false, "100", "abc", "", "Scale: 'abc' is not a number other than 0."},
      {"0x6064:00", false, "100", "0", "", "Scale: '0' is not"},
      {"0x6041:00", false, "100", "1", "16", "Bit: '16' is not a bit number from 0 to 15."},
      {"0x6041:00", false, "100", "1", "-1", "Bit: '-1' is not"},
  };
  for (const Case& c : cases) {
    boxes.clear();
    addChannel(c.object, c.polled, c.bit, c.period, c.scale);
    EXPECT_EQ(scope->channelCount(), 0) << c.object;
    EXPECT_TRUE(boxShown(c.message)) << c.message << " / " << firstBox();
  }
  boxes.clear();
  inScope<QAbstractButton>("btnSingle")->click();
  EXPECT_TRUE(boxShown("Add a channel to trigger on first."));

  // Eight channels, then a ninth is refused.
  for (int i = 0; i < ScopeWindow::kMaxChannels; ++i) addChannel("0x606C:00", true, {}, "10000");
  ASSERT_EQ(scope->channelCount(), ScopeWindow::kMaxChannels);
  boxes.clear();
  addChannel("0x6064:00", false);
  EXPECT_EQ(scope->channelCount(), ScopeWindow::kMaxChannels);
  EXPECT_TRUE(boxShown("The scope shows at most 8 channels"));
  // A level that is no number arms nothing.
  boxes.clear();
  inScope<QLineEdit>("edtTriggerLevel")->setText("1,5");
  inScope<QAbstractButton>("btnSingle")->click();
  EXPECT_TRUE(boxShown("Trigger level: '1,5' is not a number."));
  EXPECT_EQ(scope->triggerState(), scope::Trigger::State::Idle);
  // Removing needs a selected row; removing one frees a place.
  boxes.clear();
  inScope<QTableWidget>("channelTable")->setCurrentCell(-1, -1);
  inScope<QAbstractButton>("btnRemoveChannel")->click();
  EXPECT_TRUE(boxShown("Select the channel to remove"));
  inScope<QTableWidget>("channelTable")->selectRow(3);
  inScope<QAbstractButton>("btnRemoveChannel")->click();
  EXPECT_EQ(scope->channelCount(), ScopeWindow::kMaxChannels - 1);
}

}  // namespace
}  // namespace mainwindow_test
