// The page "Motor && Drive Settings" against simulated controllers: values to
// the node and back, stored zeros, the current limits of the chosen motor,
// the BLDC settings, the brake times and window, refused writes, and objects
// the controller does not have.
#include "MainWindowFixture.h"

#include <QCheckBox>
#include <QPlainTextEdit>
#include <QSpinBox>

#include <map>
#include <tuple>

#include "CLLib.h"
#include "MotorHost.h"
#include "MotorLib.h"
#include "MotorSettingsPage.h"
#include "TfrmBrakeInfo.h"

namespace mainwindow_test {
namespace {

constexpr std::uint8_t kNode = 1;

/// One object of the page: index, subindex, size in bytes.
struct Obj {
  std::uint16_t index;
  std::uint8_t sub;
  int size;
};
/// The objects every controller model has.
const Obj kCommonObjects[] = {{0x2004, 7, 1},  {0x2006, 0, 1}, {0x6091, 1, 4}, {0x6091, 2, 4},
                              {0x200C, 1, 2},  {0x200C, 7, 2}, {0x2004, 8, 2}, {0x2004, 9, 2},
                              {0x2004, 10, 2}, {0x607E, 0, 1}, {0x2004, 1, 1}, {0x2004, 2, 1},
                              {0x6092, 1, 4},  {0x6092, 2, 4}, {0x604C, 1, 4}, {0x604C, 2, 4}};

/// The page without a window: a controller of any rated current, no node.
class PageOnlyHost : public MotorHost {
 public:
  device controller;
  MotorLib motors;
  CLLib closedLoop;
  StringGridSDODataSource* sdoList() const override { return nullptr; }
  DLLConnector* connector() const override { return nullptr; }
  int nodeId() const override { return 1; }
  void SetBusy(bool) override {}
  bool offline() const override { return false; }
  bool adapterConnected() const override { return true; }
  bool isClosing() const override { return false; }
  const MotorLib& motorLib() const override { return motors; }
  const CLLib& clLib() const override { return closedLoop; }
  const device* currentDevice() override { return &controller; }
  void stopErrorAutoRefresh() override {}
  bool driveModesShown() const override { return false; }
};

TEST(MotorPageCurrents, PercentLimitFollowsRatedAndMotorCurrent) {
  application();
  struct Case {
    double rated;          // the controller's 100 %
    const char* motorMax;  // as the label shows it; "0.00": no motor known
    const char* edit;      // txtPhaseCurrent or txtBLDCIMax
    const char* typed;
    const char* shown;  // the edit afterwards
    int taken;          // the up-down afterwards
    bool red;
    const char* amperes;  // the value label afterwards
  };
  const Case cases[] = {
      {2.0, "0.00", "txtPhaseCurrent", "50", "50", 50, false, "1.00"},
      {2.0, "1.2", "txtPhaseCurrent", "75", "75", 20, true, "0.40"},  // limit 60 %: not taken over
      {2.0, "1,2", "txtPhaseCurrent", "60", "60", 60, false, "1.20"},
      {0.0, "1.2", "txtPhaseCurrent", "120", "120", 120, false, "0.00"},  // no rated current: no limit
      {2.0, "0.00", "txtPhaseCurrent", "200", "150", 150, false, "3.00"},
      {2.0, "0.00", "txtBLDCIMax", "80", "80", 80, false, "1.60"},  // no motor maximum: not cut to 0
      {2.0, "1.2", "txtBLDCIMax", "80", "60", 60, false, "1.20"},
      {0.0, "1.2", "txtBLDCIMax", "80", "80", 80, false, "0.00"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.edit) + " " + c.typed + " R=" + std::to_string(c.rated) + " M=" + c.motorMax);
    PageOnlyHost host;
    host.controller.MaxMotorCurrent = c.rated;
    MotorSettingsPage page(host, nullptr);
    const bool bldc = QLatin1String(c.edit) == QLatin1String("txtBLDCIMax");
    auto* edit = page.findChild<QLineEdit*>(QLatin1String(c.edit));
    auto* upDown = page.findChild<QSpinBox*>(bldc ? "udPhaseBLDC" : "udPhaseCurrent");
    upDown->setValue(20);
    page.findChild<QLabel*>("lblMotorMaxCurrent")->setText(QLatin1String(c.motorMax));
    edit->setText(QLatin1String(c.typed));
    EXPECT_EQ(edit->text(), c.shown);
    EXPECT_EQ(upDown->value(), c.taken);
    EXPECT_EQ(edit->palette().color(QPalette::Base) == QColor(Qt::red), c.red);
    EXPECT_EQ(page.findChild<QLabel*>(bldc ? "lblBLDCPC" : "lblPCValue")->text(), c.amperes);
    EXPECT_EQ(page.findChild<QLabel*>(bldc ? "lblBLDCPP" : "lblPCPeak")->text(),
              QString::asprintf("%.2f", c.rated * 1.5));
  }
}

class MotorPageTest : public MainWindowTest {
 protected:
  void open(const std::string& model) {
    world().addNode(kNode, model);
    startConnected();
    if (HasFatalFailure()) return;
    widget<QTabWidget>("TabControl")->setCurrentWidget(widget("tabNodeConfig"));
    widget<QTabWidget>("tctlNodeConfig")->setCurrentWidget(widget("tabMotorSettings"));
    ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }, scaled(20s))) << log.all().toStdString();
  }
  QString field(const char* name) { return widget<QLineEdit>(name)->text(); }
  bool enabled(const char* name) { return widget(name)->isEnabled(); }
  bool red(const char* name) { return widget<QLineEdit>(name)->palette().color(QPalette::Base) == QColor(Qt::red); }
  QSpinBox* upDown(const char* name) { return widget<QSpinBox>(name); }
  /// Chooses a list item as the user does.
  void choose(const char* combo, const QString& item) {
    auto* c = widget<QComboBox>(combo);
    const int index = c->findText(item);
    ASSERT_GE(index, 0) << combo << " " << item.toStdString();
    c->setCurrentIndex(index);
    emit c->activated(index);
  }
  void chooseMotor(const QString& type, const QString& series, const QString& model) {
    choose("cmbMotorType", type);
    choose("cmbMotorSeries", series);
    choose("cmbModel", model);
  }
  std::map<std::pair<int, int>, std::int64_t> snapshot(std::initializer_list<Obj> extra = {}) {
    std::map<std::pair<int, int>, std::int64_t> values;
    for (const Obj& o : kCommonObjects) values[{o.index, o.sub}] = nodeValue(kNode, o.index, o.sub);
    for (const Obj& o : extra) values[{o.index, o.sub}] = nodeValue(kNode, o.index, o.sub);
    return values;
  }
  /// (index, subindex) of every SDO download to the node.
  static std::vector<std::pair<int, int>> downloads(const BusRecorder& bus) {
    std::vector<std::pair<int, int>> objects;
    for (const auto& f : bus.frames())
      if (f.id == 0x600u + kNode && f.dlc == 8 && (f.data[0] & 0xE0) == 0x20)
        objects.emplace_back(f.data[1] | f.data[2] << 8, f.data[3]);
    return objects;
  }
  static bool wrote(const BusRecorder& bus, int index, int sub) {
    for (const auto& o : downloads(bus))
      if (o == std::make_pair(index, sub)) return true;
    return false;
  }
};

TEST_F(MotorPageTest, SettingsGoToTheNodeAndComeBack) {
  open("Mirelo");
  if (HasFatalFailure()) return;
  EXPECT_EQ(comboItems("cmbMotorType"), QStringList{"Stepmotor"});
  // Encoder resolution 2000 increments is 500 lines.
  EXPECT_EQ(widget<QComboBox>("cmbEncoder")->currentText(), "500");

  type("txtPolepairs", "100");
  type("txtGearRationMSide", "3");
  type("txtGearRatioSSide", "7");
  type("txtLoadAngle7", "-12");
  type("txtNodeDist", "33");
  type("txtPhaseCurrent", "60");
  type("txtPhaseStop", "20");
  widget<QComboBox>("cmbEncoder")->setCurrentText("1024");
  widget<QComboBox>("cmbEncoderType")->setCurrentIndex(0);
  widget<QCheckBox>("chkPPMode")->setChecked(true);
  widget<QCheckBox>("chkVelMode")->setChecked(true);
  type("txtVLdimfactorNominator", "120");
  click("btnMoSetSave");
  const std::tuple<std::uint16_t, std::uint8_t, std::int64_t> written[] = {
      {0x2006, 0, 100}, {0x6091, 1, 3},    {0x6091, 2, 7}, {0x200C, 7, 0xFFF4}, {0x2004, 8, 33}, {0x2004, 1, 60},
      {0x2004, 2, 20},  {0x608F, 1, 4096}, {0x2011, 0, 0}, {0x607E, 0, 192},    {0x604C, 1, 120}};
  for (const auto& [index, sub, value] : written)
    EXPECT_EQ(nodeValue(kNode, index, sub), value) << std::hex << index << ":" << int(sub);

  // The node's own values, stored zeros among them, are shown as they are.
  setNodeValue(kNode, 0x607E, 0, 64, 1);
  setNodeValue(kNode, 0x608F, 1, 1000, 4);
  setNodeValue(kNode, 0x2004, 1, 0, 1);
  setNodeValue(kNode, 0x6091, 1, 0, 4);
  setNodeValue(kNode, 0x2004, 2, 100, 1);  // above what the first motor of the list takes
  boxes.clear();
  click("btnMoSetRefresh");
  EXPECT_TRUE(boxes.boxes().empty());  // the node's values are shown as they are
  EXPECT_EQ(field("txtPhaseStop"), "100");
  EXPECT_TRUE(widget<QCheckBox>("chkVelMode")->isChecked());
  EXPECT_FALSE(widget<QCheckBox>("chkPPMode")->isChecked());
  EXPECT_EQ(widget<QComboBox>("cmbEncoderType")->currentText(), "None");
  EXPECT_EQ(widget<QComboBox>("cmbEncoder")->currentIndex(), -1);  // 250 lines: no resolution of the list
  EXPECT_EQ(widget<QComboBox>("cmbEncoder")->placeholderText(), "250");
  EXPECT_EQ(field("txtPhaseCurrent"), "0");
  EXPECT_EQ(field("txtGearRationMSide"), "0");
  EXPECT_EQ(field("txtPolepairs"), "100");

  // Loaded and saved unchanged: the node keeps every value; the resolution
  // the list cannot show is not written at all.
  const auto before = snapshot({{0x2011, 0, 1}, {0x608F, 1, 4}, {0x200D, 0, 1}, {0x200B, 0, 4}});
  BusRecorder bus(*world().bus);
  click("btnMoSetSave");
  EXPECT_EQ(snapshot({{0x2011, 0, 1}, {0x608F, 1, 4}, {0x200D, 0, 1}, {0x200B, 0, 4}}), before);
  EXPECT_TRUE(wrote(bus, 0x2011, 0));
  EXPECT_TRUE(wrote(bus, 0x2004, 1));
  EXPECT_FALSE(wrote(bus, 0x608F, 1));
  EXPECT_TRUE(log.contains("0x608F:01 not written"));
}

TEST_F(MotorPageTest, ValuesThePageCannotShowAreReportedAndNotWritten) {
  open("Mirelo");
  if (HasFatalFailure()) return;
  // A motor type this stepper controller does not offer, and cached texts that are no numbers.
  setNodeValue(kNode, 0x2004, 7, 1, 1);
  click("btnMoSetRefresh");
  list().setValue("608F", 1, "abc", false);
  list().setValue("2004", 1, "", false);
  list().setValue("607E", 0, "x1", false);
  widget<QTabWidget>("tctlNodeConfig")->setCurrentWidget(widget("tabNodeSettings"));
  widget<QTabWidget>("tctlNodeConfig")->setCurrentWidget(widget("tabMotorSettings"));
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }));
  EXPECT_EQ(widget<QComboBox>("cmbMotorType")->currentIndex(), -1);
  EXPECT_EQ(widget<QComboBox>("cmbEncoder")->currentIndex(), -1);
  EXPECT_TRUE(log.contains("0x608F:01 holds \"abc\", which is not a number")) << log.all().toStdString();
  BusRecorder bus(*world().bus);
  click("btnMoSetSave");
  for (const auto& [index, sub] : {std::pair{0x2004, 7}, {0x608F, 1}, {0x2004, 1}, {0x607E, 0}})
    EXPECT_FALSE(wrote(bus, index, sub)) << std::hex << index << ":" << sub;
  EXPECT_TRUE(wrote(bus, 0x2004, 2));
  EXPECT_EQ(nodeValue(kNode, 0x2004, 7), 1);

  // Set by the user, they are written again.
  widget<QCheckBox>("chkVelMode")->click();
  type("txtPhaseCurrent", "30");
  click("btnMoSetSave");
  EXPECT_EQ(nodeValue(kNode, 0x607E), 64);
  EXPECT_EQ(nodeValue(kNode, 0x2004, 1), 30);
}

TEST_F(MotorPageTest, CurrentsFollowTheControllerAndTheMotor) {
  open("Mirelo");  // 100 % = 4.2 A
  if (HasFatalFailure()) return;
  // No motor chosen yet: no limit but the 150 % of the up-down.
  type("txtPhaseCurrent", "50");
  EXPECT_EQ(text("lblPCValue"), "2.10");
  EXPECT_EQ(text("lblPCPeak"), "6.30");
  type("txtPhaseCurrent", "200");
  EXPECT_EQ(field("txtPhaseCurrent"), "150");
  EXPECT_EQ(upDown("udPhaseCurrent")->value(), 150);

  // The maximum current of the wiring: 3.0 A over the square root of two, or times it.
  chooseMotor("Stepmotor", "ST56", "ST56-56-3.0");
  EXPECT_TRUE(enabled("cmbWiring"));
  EXPECT_EQ(text("lblMotorMaxCurrent"), widget<QComboBox>("cmbWiring")->currentText() == "Serial" ? "2.12" : "4.24");
  choose("cmbWiring", "Parallel");
  EXPECT_EQ(text("lblMotorMaxCurrent"), "4.24");

  // A motor of 0.67 A takes at most 15 %: both currents are corrected, with one box.
  boxes.clear();
  type("txtPhaseStop", "25");
  chooseMotor("Stepmotor", "ST28", "ST28-32-0.67");
  EXPECT_EQ(text("lblMotorMaxCurrent"), "0.67");
  EXPECT_FALSE(enabled("cmbWiring"));  // two windings: one wiring only
  EXPECT_TRUE(boxShown("Error: The given value is higher than the motor max value. Fixing value!"));
  EXPECT_EQ(upDown("udPhaseCurrent")->value(), 15);
  EXPECT_EQ(upDown("udPhaseStop")->value(), 15);
  EXPECT_EQ(field("txtPhaseStop"), "15");
  EXPECT_EQ(text("lblPCValue"), "0.63");

  // Typed above the limit: red and not taken over; the arrows stop at the limit.
  type("txtPhaseCurrent", "40");
  EXPECT_TRUE(red("txtPhaseCurrent"));
  EXPECT_EQ(upDown("udPhaseCurrent")->value(), 15);
  const std::int64_t nodeCurrent = nodeValue(kNode, 0x2004, 1);
  click("btnMoSetSave");
  EXPECT_EQ(nodeValue(kNode, 0x2004, 1), nodeCurrent);  // what the edit shows is not what would be sent
  EXPECT_TRUE(log.contains("0x2004:01 not written"));
  EXPECT_EQ(nodeValue(kNode, 0x2004, 2), 15);
  type("txtPhaseCurrent", "10");
  EXPECT_FALSE(red("txtPhaseCurrent"));
  for (int step : {3, 10, 50}) {
    upDown("udPhaseCurrent")->stepBy(step);
    EXPECT_EQ(upDown("udPhaseCurrent")->value(), std::min(10 + step, 15)) << step;
    upDown("udPhaseCurrent")->setValue(10);
  }
  upDown("udPhaseCurrent")->stepBy(20);
  EXPECT_EQ(field("txtPhaseCurrent"), "15");
  click("btnMoSetSave");
  EXPECT_EQ(nodeValue(kNode, 0x2004, 1), 15);
}

TEST_F(MotorPageTest, BldcControllerOffersTheBldcMotors) {
  open("Torvik");  // 100 % = 10 A; the node holds motor type 1
  if (HasFatalFailure()) return;
  EXPECT_EQ(comboItems("cmbMotorType"), (QStringList{"Stepmotor", "BLDC", "BLDC with Encoder"}));
  EXPECT_EQ(widget<QComboBox>("cmbMotorType")->currentText(), "BLDC");
  EXPECT_TRUE(enabled("txtHallMode"));
  EXPECT_TRUE(enabled("txtBLDCIMax"));
  EXPECT_TRUE(enabled("txtBLDCPeakTime"));
  EXPECT_EQ(comboItems("cmbMotorSeries"), (QStringList{"BL42", "BL57", "BL86"}));

  // Without a known motor maximum nothing limits the BLDC current.
  ASSERT_EQ(text("lblMotorMaxCurrent"), "0.00");
  type("txtBLDCIMax", "80");
  EXPECT_EQ(field("txtBLDCIMax"), "80");
  EXPECT_EQ(upDown("udPhaseBLDC")->value(), 80);
  EXPECT_EQ(text("lblBLDCPC"), "8.00");

  // A motor of 3.5 A: 35 % at most, for the BLDC current as well.
  boxes.clear();
  chooseMotor("BLDC with Encoder", "BL42", "BL42-47-24");
  EXPECT_EQ(widget<QComboBox>("cmbWiring")->currentText(), "Parallel");
  EXPECT_FALSE(enabled("cmbWiring"));
  EXPECT_TRUE(enabled("txtHallMode"));
  EXPECT_EQ(field("txtHallMode"), "0");
  EXPECT_TRUE(boxShown("Error: The given BLDC Value is Higher than the motor max value"));
  EXPECT_EQ(upDown("udPhaseBLDC")->value(), 35);
  type("txtBLDCIMax", "90");
  EXPECT_EQ(field("txtBLDCIMax"), "35");

  type("txtHallMode", "3");
  type("txtBLDCPeakTime", "1500");
  click("btnMoSetSave");
  EXPECT_EQ(nodeValue(kNode, 0x2004, 7), 2);
  EXPECT_EQ(nodeValue(kNode, 0x2004, 0x0C), 3);
  EXPECT_EQ(nodeValue(kNode, 0x2004, 0x0D), 35);
  EXPECT_EQ(nodeValue(kNode, 0x2004, 0x0E), 1500);

  // A stepper on this controller: no hall mode, no BLDC current; the wiring
  // is free for a motor with four windings or more.
  choose("cmbMotorType", "Stepmotor");
  EXPECT_FALSE(enabled("txtHallMode"));
  EXPECT_EQ(field("txtHallMode"), "0");
  EXPECT_FALSE(enabled("txtBLDCIMax"));
  EXPECT_FALSE(enabled("cmbWiring"));  // the first motor has two windings
  choose("cmbMotorSeries", "ST56");
  EXPECT_TRUE(enabled("cmbWiring"));
}

struct LackingCase {
  const char* model;
  std::vector<const char*> enabledControls;
  std::vector<const char*> disabledControls;
  std::vector<std::pair<int, int>> notWritten;
};

class LackingObjectsTest : public MotorPageTest, public ::testing::WithParamInterface<LackingCase> {};

TEST_P(LackingObjectsTest, AreNeitherShownNorWritten) {
  const LackingCase& c = GetParam();
  open(c.model);
  if (HasFatalFailure()) return;
  for (const char* name : c.enabledControls) EXPECT_TRUE(enabled(name)) << name;
  for (const char* name : c.disabledControls) EXPECT_FALSE(enabled(name)) << name;
  BusRecorder bus(*world().bus);
  click("btnMoSetSave");
  EXPECT_TRUE(wrote(bus, 0x2006, 0));
  for (const auto& [index, sub] : c.notWritten) EXPECT_FALSE(wrote(bus, index, sub)) << std::hex << index << ":" << sub;
}

INSTANTIATE_TEST_SUITE_P(Controllers, LackingObjectsTest,
                         ::testing::Values(LackingCase{"Mirelo",
                                                       {"cmbEncoderType", "cmbEncoder", "chkRevertEncDir"},
                                                       {"txtBrakeTa", "txtBrakeTc", "txtHallMode", "txtBLDCIMax",
                                                        "udPhaseBLDC", "txtBLDCPeakTime"},
                                                       {{0x2007, 1}, {0x2004, 0x0C}, {0x2004, 0x0D}, {0x2004, 0x0E}}},
                                           LackingCase{
                                               "Brelan",
                                               {"txtBrakeTa", "txtBrakeTb", "txtBrakeTc"},
                                               {"cmbEncoderType", "cmbEncoder", "txtEncIndexOffset", "chkRevertEncDir",
                                                "txtBLDCIMax"},
                                               {{0x2011, 0}, {0x608F, 1}, {0x200B, 0}, {0x200D, 0}, {0x2004, 0x0D}}}),
                         [](const auto& info) { return std::string(info.param.model); });

TEST_F(MotorPageTest, BrakeTimesAreClampedAndExplained) {
  open("Brelan");
  if (HasFatalFailure()) return;
  EXPECT_EQ(field("txtBrakeTa"), QString::number(nodeValue(kNode, 0x2007, 1)));
  const std::pair<const char*, const char*> cases[] = {
      {"70000", "65535"}, {"-5", "0"}, {"65535", "65535"}, {"250", "250"}};
  for (const auto& [typed, shown] : cases) {
    type("txtBrakeTb", typed);
    EXPECT_EQ(field("txtBrakeTb"), shown) << typed;
  }
  type("txtBrakeTa", "1234");
  click("btnMoSetSave");
  EXPECT_EQ(nodeValue(kNode, 0x2007, 1), 1234);
  EXPECT_EQ(nodeValue(kNode, 0x2007, 2), 250);

  // The window does not block the page; "Close" closes it.
  click("btnBrakeInfo");
  auto* info = form->findChild<TfrmBrakeInfo*>();
  ASSERT_TRUE(info);
  EXPECT_TRUE(info->isVisible());
  EXPECT_FALSE(info->isModal());
  EXPECT_EQ(info->windowTitle(), "Brake Configuration");
  EXPECT_TRUE(info->findChild<QPlainTextEdit*>()->toPlainText().startsWith(
      "The external brake can be configured by three parameters:  ta, tb, tc"));
  type("txtBrakeTc", "77");  // the page still takes input
  EXPECT_EQ(field("txtBrakeTc"), "77");
  info->findChild<QAbstractButton*>("btnClose")->click();
  EXPECT_TRUE(processUntil([this] { return !form->findChild<TfrmBrakeInfo*>(); }));
}

TEST_F(MotorPageTest, RefusedWritesAreReportedAndTheNodesValueShown) {
  open("Mirelo");
  if (HasFatalFailure()) return;
  // 0 pole pairs is below the object's range: the node refuses it.
  type("txtPolepairs", "0");
  click("btnMoSetSave");
  EXPECT_TRUE(log.contains("Writing 0x2006:00 failed")) << log.all().toStdString();
  EXPECT_EQ(field("txtPolepairs"), "50");
  EXPECT_EQ(nodeValue(kNode, 0x2006), 50);

  // 300 does not fit the object's byte: refused before sending.
  type("txtPolepairs", "300");
  BusRecorder bus(*world().bus);
  click("btnMoSetSave");
  EXPECT_FALSE(wrote(bus, 0x2006, 0));
  EXPECT_TRUE(log.contains("0x2006:00 not written: \"300\""));

  // With the power stage on the drive keeps its motor settings.
  setNodeValue(kNode, 0x6041, 0, 0x0237, 2);
  boxes.clear();
  widget<QTabWidget>("tctlNodeConfig")->setCurrentWidget(widget("tabNodeSettings"));
  widget<QTabWidget>("tctlNodeConfig")->setCurrentWidget(widget("tabMotorSettings"));
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }));
  EXPECT_TRUE(boxShown("To save several values on this tab the motor power has to be turned off"));
  type("txtPolepairs", "60");
  click("btnMoSetSave");
  EXPECT_TRUE(log.contains("slave reported error")) << log.all().toStdString();
  EXPECT_EQ(nodeValue(kNode, 0x2006), 50);
  EXPECT_EQ(field("txtPolepairs"), "50");
}

TEST_F(MotorPageTest, OfflineLoadAndSaveUseTheCacheOnly) {
  open("Mirelo");
  if (HasFatalFailure()) return;
  chooseAdapter("offline");
  if (HasFatalFailure()) return;
  widget<QTabWidget>("TabControl")->setCurrentWidget(widget("tabNodeConfig"));
  widget<QTabWidget>("tctlNodeConfig")->setCurrentWidget(widget("tabMotorSettings"));
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }));
  BusRecorder bus(*world().bus);
  type("txtPolepairs", "77");
  click("btnMoSetSave");
  EXPECT_EQ(list().getValue("2006", 0, false), "77");
  type("txtPolepairs", "1");
  click("btnMoSetRefresh");
  EXPECT_EQ(field("txtPolepairs"), "77");
  EXPECT_EQ(bus.requestsTo(kNode), 0u);
}

}  // namespace
}  // namespace mainwindow_test
