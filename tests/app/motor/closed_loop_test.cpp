// The closed-loop page and the closed-loop set-up runs of the homing page
// against a simulated Mirelo (closed loop) and Brelan (no closed loop):
// parameter sets from the library into the cache and on to the drive, the
// gain fields' clamps and result labels, refused and non-numeric values, the
// offline boxes, the enable lists kept in step, and the set-up runs to their
// results, a failing run, a refused mode, Stop and closing the window.
#include "MainWindowFixture.h"

#include <QComboBox>
#include <QElapsedTimer>
#include <QPushButton>

#include "CLLib.h"
#include "ClosedLoopSetup.h"
#include "node/Drive402.h"

namespace mainwindow_test {
namespace {

using kestrum::canopen::cia402::PowerState;
using kestrum::sim::Drive402;
using kestrum::sim::SimNode;

constexpr std::uint8_t kNode = 1;

class ClosedLoopTest : public MainWindowTest {
 protected:
  void connect(const std::string& model = "Mirelo") {
    world().addNode(kNode, model);
    startConnected();
  }
  void openClosedLoopPage() {
    widget<QTabWidget>("TabControl")->setCurrentWidget(widget("tabNodeConfig"));
    widget<QTabWidget>("tctlNodeConfig")->setCurrentWidget(widget("tabClosedLoop"));
    ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }));
  }
  QString field(const char* name) { return widget<QLineEdit>(name)->text(); }
  /// The controlwords the window sent, in order.
  static std::vector<std::uint16_t> controlwords(const BusRecorder& bus) {
    std::vector<std::uint16_t> words;
    for (const auto& f : bus.frames())
      if (f.id == 0x600u + kNode && f.dlc >= 6 && (f.data[0] & 0xE0) == 0x20 && f.data[1] == 0x40 && f.data[2] == 0x60)
        words.push_back(std::uint16_t(f.data[4] | f.data[5] << 8));
    return words;
  }
  /// How many SDO downloads went out before the controlword 0x1F.
  static std::size_t writesBeforeStart(const BusRecorder& bus) {
    std::size_t n = 0;
    for (const auto& f : bus.frames()) {
      // The set-up's direct path sends only the value's bytes.
      if (f.id != 0x600u + kNode || f.dlc < 5 || (f.data[0] & 0xE0) != 0x20) continue;
      if (f.data[1] == 0x40 && f.data[2] == 0x60 && (f.data[4] | f.data[5] << 8) == 0x001F) return n;
      ++n;
    }
    return n;
  }
  void withDrive(const std::function<void(Drive402&)>& fn) {
    world().host->withNode(kNode, [&](SimNode& n, std::uint64_t) { fn(*n.behaviour<Drive402>()); });
  }
  bool switchedOff() {
    const PowerState s = driveState(kNode);
    return s == PowerState::SwitchOnDisabled || s == PowerState::ReadyToSwitchOn || s == PowerState::Fault;
  }
};

constexpr const char* kGainFields[] = {
    "txtCL_VL_P_Z",  "txtCL_VL_P_N",  "txtCL_VL_I_Z",  "txtCL_VL_I_N",  "txtCL_VL_D_Z",  "txtCL_VL_D_N",
    "txtCL_PL_P_Z",  "txtCL_PL_P_N",  "txtCL_PL_I_Z",  "txtCL_PL_I_N",  "txtCL_PL_D_Z",  "txtCL_PL_D_N",
    "txtCL_CVL_P_Z", "txtCL_CVL_P_N", "txtCL_CVL_I_Z", "txtCL_CVL_I_N", "txtCL_CVL_D_Z", "txtCL_CVL_D_N",
    "txtCL_CPL_P_Z", "txtCL_CPL_P_N", "txtCL_CPL_I_Z", "txtCL_CPL_I_N", "txtCL_CPL_D_Z", "txtCL_CPL_D_N"};

TEST_F(ClosedLoopTest, ParameterSetsGoToTheCacheOnLoadAndToTheDriveOnSave) {
  connect();
  openClosedLoopPage();
  EXPECT_EQ(comboItems("cmbDefaultSeries"), (QStringList{"Default", "ST28xx", "ST42xx", "ST56xx", "ST86xx"}));
  auto* series = widget<QComboBox>("cmbDefaultSeries");

  for (const QString entry : {"ST42xx", "Default"}) {
    SCOPED_TRACE(entry.toStdString());
    const CLRecord* set = form->clLib().getRecord(entry == "Default" ? "De" : entry.mid(2, 2));
    ASSERT_TRUE(set);
    series->setCurrentIndex(series->findText(entry));
    BusRecorder bus(*world().bus);
    click("btnLoadDefualts");
    EXPECT_TRUE(bus.downloads(kNode).empty());  // the cache only
    for (int i = 0; i < 24; ++i) {
      EXPECT_EQ(field(kGainFields[i]), QString::number(set->gains[std::size_t(i)])) << kGainFields[i];
      EXPECT_EQ(list().getValue("2002", i + 1, false), QString::number(set->gains[std::size_t(i)]));
    }
    EXPECT_EQ(field("txtPositionErrorCount"), QString::number(set->PositionWindow));
    EXPECT_EQ(field("txtFollowingErrorTime"), QString::number(set->FollowingErrorTimeout));

    click("btnCLSave");
    for (int i = 0; i < 24; ++i) EXPECT_EQ(nodeValue(kNode, 0x2002, std::uint8_t(i + 1)), set->gains[std::size_t(i)]);
    EXPECT_EQ(nodeValue(kNode, 0x6067), set->PositionWindow);
    EXPECT_EQ(nodeValue(kNode, 0x6068), set->PositionWindowTime);
    EXPECT_EQ(nodeValue(kNode, 0x6065), set->FollowingErrorWindow);
    EXPECT_EQ(nodeValue(kNode, 0x6066), set->FollowingErrorTimeout);
  }

  // An entry whose key has no set changes nothing.
  series->addItem("ST99xx");
  series->setCurrentIndex(series->findText("ST99xx"));
  type("txtCL_VL_P_Z", "7");
  click("btnLoadDefualts");
  EXPECT_EQ(field("txtCL_VL_P_Z"), "7");
  EXPECT_EQ(list().getValue("2002", 1, false), QString::number(form->clLib().getRecord("De")->gains[0]));
}

TEST_F(ClosedLoopTest, GainFieldsAreClampedToTheirObjectsAndTheLabelsFollow) {
  connect();
  openClosedLoopPage();
  struct Case {
    const char* edit;
    const char* typed;
    const char* shown;
    const char* label;
    const char* result;
  };
  type("txtCL_PL_P_Z", "100");
  type("txtCL_PL_P_N", "0");
  const Case cases[] = {
      {"txtCL_PL_P_N", "2", "2", "lblP_L_P", "25"},
      {"txtCL_PL_P_N", "20", "15", "lblP_L_P", "0.0030517578125"},
      {"txtCL_PL_P_N", "6", "6", "lblP_L_P", "1.5625"},
      {"txtCL_PL_P_Z", "70000", "65536", "lblP_L_P", "1024"},
      {"txtCL_PL_P_Z", "99999999999", "65536", "lblP_L_P", "1024"},  // beyond 32 bits: still the largest
      {"txtCL_PL_P_Z", "-5", "0", "lblP_L_P", "0"},
      {"txtCL_PL_P_Z", "0x40", "64", "lblP_L_P", "1"},
      {"txtCL_PL_P_Z", "12ab", "64", "lblP_L_P", "1"},  // not a number: the field keeps its value
      {"txtCL_PL_P_Z", "", "", "lblP_L_P", "1"},        // being typed: nothing happens
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.edit) + " = '" + c.typed + "'");
    log.lines.clear();
    type(c.edit, c.typed);
    EXPECT_EQ(field(c.edit), c.shown);
    EXPECT_EQ(text(c.label), c.result);
    EXPECT_EQ(log.contains("is not a number"), QString(c.typed) == "12ab") << log.all().toStdString();
  }

  // A controller whose numerator is 16 bits wide stores 65536 as 0: its
  // largest value is 65535.
  list().findEntry("2002", 7)->definition->dataType = 6;
  type("txtCL_PL_P_Z", "70000");
  EXPECT_EQ(field("txtCL_PL_P_Z"), "65535");
}

TEST_F(ClosedLoopTest, SaveWritesOnlyNumbersAndReportsWhatTheDriveRefuses) {
  connect();
  openDrivePage("tabRefMode");
  openClosedLoopPage();
  {
    SCOPED_TRACE("a window field that is not a number: nothing is written");
    type("txtFollowingError", "12a");
    BusRecorder bus(*world().bus);
    click("btnCLSave");
    EXPECT_TRUE(bus.downloads(kNode).empty());
    EXPECT_TRUE(boxShown("Following Error Count: '12a' is not a number"));
    EXPECT_EQ(field("txtFollowingError"), "12a");  // the user's text stays for correction
  }
  {
    SCOPED_TRACE("beyond the object's type (U16): nothing is written");
    type("txtFollowingError", "1000");
    type("txtFollowingErrorTime", "70000");
    BusRecorder bus(*world().bus);
    click("btnCLSave");
    EXPECT_TRUE(bus.downloads(kNode).empty());
    EXPECT_TRUE(boxShown("Following Error Time: 70000 is outside 0 to 65535"));
  }
  // Powered, the drive refuses the enable mode; the rest is written.
  openDrivePage("tabRefMode");
  click("Button1");
  ASSERT_EQ(driveState(kNode), PowerState::OperationEnabled);
  openClosedLoopPage();
  type("txtFollowingErrorTime", "250");
  type("txtCL_VL_P_Z", "5");
  log.lines.clear();
  click("btnCLSave");
  EXPECT_EQ(nodeValue(kNode, 0x2002, 1), 5);
  EXPECT_EQ(nodeValue(kNode, 0x6066), 250);
  EXPECT_TRUE(log.contains("Closed Loop: writing Enable CL (0x2001) = 1 failed: slave reported error"))
      << log.all().toStdString();
  EXPECT_EQ(widget<QComboBox>("ComboBox1")->currentIndex(), 1);

  // Refresh shows what the drive holds now.
  setNodeValue(kNode, 0x2002, 2, 3, 1);
  setNodeValue(kNode, 0x2002, 1, 40000, 4);
  setNodeValue(kNode, 0x200F, 0, 1, 1);
  click("btnCLRefresh");
  EXPECT_EQ(field("txtCL_VL_P_Z"), "40000");
  EXPECT_EQ(text("lblV_L_P"), "5000");
  EXPECT_EQ(widget<QComboBox>("cmbReglerTyp")->currentText(), "Position");
}

TEST_F(ClosedLoopTest, EnableListsStayInStepAndOfflineNothingIsWritten) {
  connect();
  openDrivePage("tabRefMode");
  openClosedLoopPage();
  auto* page = widget<QComboBox>("ComboBox1");
  auto* homing = widget<QComboBox>("cmbEnableCLAuto");
  EXPECT_EQ(page->currentIndex(), 1);
  page->setCurrentIndex(3);
  EXPECT_EQ(nodeValue(kNode, 0x2001), 3);
  EXPECT_EQ(homing->currentIndex(), 3);
  openDrivePage("tabRefMode");
  homing->setCurrentIndex(2);
  EXPECT_EQ(nodeValue(kNode, 0x2001), 2);
  EXPECT_EQ(page->currentIndex(), 2);

  chooseAdapter("offline");
  openClosedLoopPage();
  BusRecorder bus(*world().bus);
  page->setCurrentIndex(3);
  EXPECT_TRUE(boxShown("No active CAN Card found. Closed Loop status can not be changed!"));
  EXPECT_EQ(page->currentIndex(), 0);
  click("btnCLSave");
  EXPECT_TRUE(boxShown("No active CAN Card found. Closed Loop status can not be saved!"));
  EXPECT_EQ(boxes.boxes().back().caption, "ERROR");
  click("cl_einrichtmodus_kurz");
  EXPECT_TRUE(log.contains("nothing was sent")) << log.all().toStdString();
  EXPECT_EQ(bus.requestsTo(kNode), 0u);
}

// ---- Set-up runs ------------------------------------------------------------------

TEST_F(ClosedLoopTest, SetupRunsEndWithTheirResultsAndTheDriveSwitchedOff) {
  connect();
  openDrivePage("tabRefMode");
  struct Case {
    const char* button;
    int enableMode;
    std::int8_t mode;
    bool loadAngles;
    int minMs;  ///< six pauses of 250 ms and the run itself
  };
  const Case cases[] = {{"cl_einrichtmodus", 1, -1, true, 1500 + 3000}, {"cl_einrichtmodus_kurz", 3, -2, false, 1500 + 1000}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button);
    widget<QComboBox>("cmbEnableCLAuto")->setCurrentIndex(c.enableMode);
    ASSERT_EQ(nodeValue(kNode, 0x2001), c.enableMode);
    EXPECT_EQ(text("lblClosedLoopEnabled"), "disabled");
    boxes.answerNext(QMessageBox::Ok);
    BusRecorder bus(*world().bus);
    log.lines.clear();
    QElapsedTimer took;
    took.start();
    click(c.button);

    EXPECT_GE(took.elapsed(), c.minMs);
    EXPECT_TRUE(log.contains("finished: encoder offset 127")) << log.all().toStdString();
    EXPECT_EQ(log.contains("load angles 5, 13, 19, 25, 31, 37, 43"), c.loadAngles) << log.all().toStdString();
    EXPECT_EQ(list().getValue("200B", 0, false), "127");
    if (c.loadAngles) {
      EXPECT_EQ(list().getValue("200C", 7, false), "43");
    }
    EXPECT_TRUE(log.contains("the drive is switched off")) << log.all().toStdString();
    EXPECT_TRUE(switchedOff());
    EXPECT_EQ(text("lblClosedLoopEnabled"), "enabled");
    EXPECT_EQ(nodeValue(kNode, 0x6060), std::uint8_t(c.mode));

    // Halt is released once, by the start of the run, after six set-up writes.
    const auto words = controlwords(bus);
    const auto start = std::find(words.begin(), words.end(), 0x001F);
    ASSERT_NE(start, words.end());
    for (auto w = words.begin(); w != start; ++w) EXPECT_TRUE(*w & 0x0100 || (*w & 0x000F) != 0x000F) << *w;
    EXPECT_EQ(writesBeforeStart(bus), 6u);
  }
  EXPECT_EQ(boxes.boxes().size(), 1u);  // only the long run asks
  EXPECT_EQ(boxes.boxes().front().caption, "Warning");
}

TEST_F(ClosedLoopTest, SetupRunsThatFailOrAreStoppedLeaveTheDriveSwitchedOff) {
  connect();
  openDrivePage("tabRefMode");
  {
    SCOPED_TRACE("Cancel in the question sends nothing");
    boxes.answerNext(QMessageBox::Cancel);
    BusRecorder bus(*world().bus);
    click("cl_einrichtmodus");
    EXPECT_EQ(bus.requestsTo(kNode), 0u);
  }
  {
    SCOPED_TRACE("the drive ends the run with a fault");
    withDrive([](Drive402& d) { d.failNextSetup(); });
    log.lines.clear();
    click("cl_einrichtmodus_kurz");
    EXPECT_TRUE(log.contains("failed: the drive reports a fault (error code 0x7305)")) << log.all().toStdString();
    EXPECT_FALSE(log.contains("finished"));
    EXPECT_TRUE(log.contains("the drive is switched off")) << log.all().toStdString();
    EXPECT_EQ(driveState(kNode), PowerState::Fault);
    EXPECT_TRUE(widget("cl_einrichtmodus")->isEnabled());
  }
  ASSERT_TRUE(processUntil([this] { return driveState(kNode) == PowerState::Fault; }));
  click("Button1");  // fault reset and power on, then new runs from there
  ASSERT_EQ(driveState(kNode), PowerState::OperationEnabled) << log.all().toStdString();
  for (const char* stop : {"hm_stop", "Button2"}) {
    SCOPED_TRACE(std::string(stop) + " during the run");
    log.lines.clear();
    QTimer::singleShot(2200, form.get(), [this, stop] { click(stop); });
    boxes.answerNext(QMessageBox::Ok);
    click("cl_einrichtmodus");
    EXPECT_TRUE(log.contains("Closed Loop Motor Setup stopped")) << log.all().toStdString();
    EXPECT_FALSE(log.contains("finished"));
    EXPECT_TRUE(switchedOff());
    EXPECT_TRUE(log.contains("the drive is switched off")) << log.all().toStdString();
  }
  {
    SCOPED_TRACE("a run that never reports its end");
    ClosedLoopSetup::setTimeLimitMs(200);
    log.lines.clear();
    click("cl_einrichtmodus_kurz");
    ClosedLoopSetup::setTimeLimitMs(0);
    EXPECT_TRUE(log.contains("did not report the end of the run within 0.2 s")) << log.all().toStdString();
    EXPECT_TRUE(switchedOff());
  }
}

TEST_F(ClosedLoopTest, ARefusedModeStopsTheSetupBeforeTheRunStarts) {
  connect("Brelan");  // no closed loop: the set-up modes are refused
  openDrivePage("tabRefMode");
  struct Case {
    const char* button;
    const char* failure;
  };
  const Case cases[] = {{"cl_einrichtmodus", "connector->send_sdoW(0x6060, 0x0, TYPE_U8, -1) failed"},
                        {"cl_einrichtmodus_kurz", "connector->send_sdoW(0x6060, 0x0, TYPE_U8, -2) failed"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button);
    boxes.answerNext(QMessageBox::Ok);
    BusRecorder bus(*world().bus);
    log.lines.clear();
    click(c.button);
    EXPECT_TRUE(log.contains(c.failure)) << log.all().toStdString();
    const auto words = controlwords(bus);
    EXPECT_EQ(std::count(words.begin(), words.end(), 0x001F), 0);
    for (std::uint16_t w : words) EXPECT_TRUE(w & 0x0100 || (w & 0x000F) != 0x000F) << w;
    EXPECT_EQ(driveState(kNode), PowerState::SwitchOnDisabled);
    EXPECT_TRUE(log.contains("the drive is switched off")) << log.all().toStdString();
  }
}

TEST_F(ClosedLoopTest, ClosingTheWindowDuringARunEndsItWithoutFurtherTraffic) {
  connect();
  openDrivePage("tabRefMode");
  BusRecorder bus(*world().bus);
  std::size_t atClose = 0;
  // The close belongs to this test's locals: should the run end early, it
  // must not fire later, during the fixture's tear-down, on a dead recorder.
  QObject closer;
  QTimer::singleShot(2200, &closer, [&] {
    atClose = bus.requestsTo(kNode);
    form->close();
  });
  boxes.answerNext(QMessageBox::Ok);
  click("cl_einrichtmodus");
  ASSERT_GT(atClose, 0u);
  EXPECT_FALSE(processUntil([] { return false; }, 300ms));
  EXPECT_LE(bus.requestsTo(kNode), atClose + 1);  // at most the read that was under way
}

}  // namespace
}  // namespace mainwindow_test
