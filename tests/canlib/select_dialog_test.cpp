// The adapter selection dialog against the IXXAT stand-in: two virtual buses
// are two devices with one CAN line each; a test's own capability function
// stands for an adapter with more lines. Offscreen; boxes are recorded.

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStyle>
#include <QStyleFactory>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>

#include "Boxes.h"
#include "DeviceDialog.h"
#include "QtTestSupport.h"
#include "StandInTestSupport.h"
#include "Varnex.h"
#include "VarnexStatus.h"
#include "qt/SelectDialog.h"

namespace {

using kestrum::test::application;
using kestrum::test::processUntil;
using kestrum::test::TestBus;
using varnex::SelectDialog;
using namespace std::chrono_literals;

struct Box {
  std::string caption, text;
  int icon;
  bool operator==(const Box& o) const { return caption == o.caption && text == o.text && icon == o.icon; }
};
std::vector<Box> boxes;  // the hook runs on the dialog's (this) thread
void recordBox(const char* caption, const char* text, int icon) { boxes.push_back({caption, text, icon}); }

// An adapter with two CAN lines and a LIN line between them.
HRESULT threeLineCaps(HANDLE, PVCIDEVICECAPS caps) {
  *caps = {};
  caps->BusCtrlCount = 3;
  caps->BusCtrlTypes[0] = VCI_BUS_CTRL(VCI_BUS_CAN, 0);
  caps->BusCtrlTypes[1] = VCI_BUS_CTRL(VCI_BUS_LIN, 0);
  caps->BusCtrlTypes[2] = VCI_BUS_CTRL(VCI_BUS_CAN, 0);
  return VCI_OK;
}
HRESULT noEnumerator(PHANDLE) { return VCI_E_FAIL; }

QStringList rows(SelectDialog& d) {
  QStringList r;
  auto* list = d.findChild<QListWidget*>("lstDevices");
  for (int i = 0; i < list->count(); ++i) r << list->item(i)->text();
  return r;
}
QStringList lines(SelectDialog& d) {
  QStringList r;
  auto* combo = d.findChild<QComboBox*>("cmbBusLine");
  for (int i = 0; i < combo->count(); ++i) r << combo->itemText(i);
  return r;
}
void chooseDevice(SelectDialog& d, int row) { d.findChild<QListWidget*>("lstDevices")->setCurrentRow(row); }
void chooseLine(SelectDialog& d, int index) { d.findChild<QComboBox*>("cmbBusLine")->setCurrentIndex(index); }
void press(QDialog& d, const char* button) { d.findChild<QPushButton*>(button)->click(); }
QString field(SelectDialog& d, const char* name) { return d.findChild<QLineEdit*>(name)->text(); }

class SelectDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The core looks for the drivers beside itself, here the test's folder,
    // then by name; loaded first from the application folder (the working
    // directory), the name finds them.
    static const kestrum::test::StandIn vcinpl("libvcinpl.so"), pcanbasic("libpcanbasic.so");
    ASSERT_TRUE(vcinpl.loaded()) << vcinpl.error();
    application();
    // Fusion draws a group box by scaling a pixmap on Qt's thread pool, whose
    // hand-offs ThreadSanitizer cannot see (Qt is not instrumented); the
    // plain style draws lines. Only threads of our own remain to be checked.
    if (QApplication::style()->name() != "windows") QApplication::setStyle(QStyleFactory::create("Windows"));
    kestrum::test::useBuses(busA.entry() + "," + busB.entry());
    ASSERT_TRUE(vci.load()) << "libvcinpl.so not loaded";
    VarnexStatus::boxHook = &recordBox;
    boxes.clear();
  }
  void TearDown() override { vci.unload(); }

  /// The devices' list lines in enumeration order (bus A first).
  QStringList expectedRows() {
    QStringList r;
    HANDLE e = nullptr;
    VCIDEVICEINFO info;
    vci.vciEnumDeviceOpen(&e);
    while (vci.vciEnumDeviceNext(e, &info) == VCI_OK)
      r << QString::asprintf("%08X%08X - %s", unsigned(info.VciObjectId.AsLuid.HighPart),
                             unsigned(info.VciObjectId.AsLuid.LowPart), info.Description);
    vci.vciEnumDeviceClose(e);
    return r;
  }
  INT64 objectIdOf(HANDLE device) {
    VCIDEVICEINFO info;
    return vci.vciDeviceGetInfo(device, &info) == VCI_OK ? info.VciObjectId.AsInt64 : 0;
  }

  /// Runs `answer` on the modal dialog once it is up and lists `devices` lines.
  void whenShown(int devices, std::function<void(SelectDialog&)> answer) {
    auto* poll = new QTimer(&application());
    QObject::connect(poll, &QTimer::timeout, poll, [=] {
      auto* d = dynamic_cast<SelectDialog*>(QApplication::activeModalWidget());
      if (!d || rows(*d).size() != devices) return;
      poll->deleteLater();
      poll->stop();
      answer(*d);
    });
    poll->start(20);
  }

  TestBus busA, busB;
  varnex::VciApi vci;
};

TEST_F(SelectDialogTest, ListsTheDevicesAndShowsTheChosenOnesInformationAndLines) {
  const QStringList expected = expectedRows();
  ASSERT_EQ(expected.size(), 2);
  SelectDialog d(vci, VCI_BUS_CAN);
  EXPECT_EQ(d.windowTitle(), "Select BUS Controller");
  EXPECT_EQ(rows(d), expected);
  EXPECT_TRUE(lines(d).isEmpty());
  EXPECT_FALSE(d.findChild<QComboBox*>("cmbBusLine")->isEnabled());

  chooseDevice(d, 1);
  EXPECT_EQ(field(d, "txtDescription"), expected[1].section(" - ", 1));
  EXPECT_EQ(field(d, "txtManufacturer"), "Kestrum");
  EXPECT_EQ(field(d, "txtDriverVersion"), "3.05");
  EXPECT_EQ(field(d, "txtHardwareVersion"), "1.00");
  EXPECT_TRUE(field(d, "txtDeviceClass").startsWith('{'));
  EXPECT_TRUE(field(d, "txtHardwareId").startsWith('{'));
  EXPECT_TRUE(field(d, "txtObjectId").isEmpty());
  EXPECT_EQ(lines(d), QStringList{"CAN - A"});
  EXPECT_TRUE(d.findChild<QComboBox*>("cmbBusLine")->isEnabled());
  EXPECT_EQ(d.findChild<QComboBox*>("cmbBusLine")->currentIndex(), -1) << "no line is chosen for the user";
}

TEST_F(SelectDialogTest, OkWithoutDeviceOrLineExplainsAndStaysOpen) {
  struct Case {
    const char* name;
    std::function<void(SelectDialog&)> choose;
    const char* text;
  } cases[] = {
      {"nothing chosen", [](SelectDialog&) {}, "Please select a device !"},
      {"device without line", [](SelectDialog& d) { chooseDevice(d, 0); }, "Please select a BUS line !"},
      // The line list of the other device is refilled: the earlier row must not carry over.
      {"line chosen, then another device",
       [](SelectDialog& d) { chooseDevice(d, 0), chooseLine(d, 0), chooseDevice(d, 1); },
       "Please select a BUS line !"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    boxes.clear();
    SelectDialog d(vci, VCI_BUS_CAN);
    d.show();
    c.choose(d);
    press(d, "btnOK");
    EXPECT_EQ(boxes, (std::vector<Box>{{"Select BUS Controller", c.text, int(varnex::BoxIcon::Error)}}));
    EXPECT_TRUE(d.isVisible());
    EXPECT_EQ(d.takeOpenedDevice(), nullptr);
  }
}

TEST_F(SelectDialogTest, OffersTheLinesOfTheRequestedKindAndReturnsTheChosenController) {
  varnex::VciApi threeLines = vci;
  threeLines.vciDeviceGetCaps = &threeLineCaps;
  {
    SelectDialog lin(threeLines, VCI_BUS_LIN);
    chooseDevice(lin, 0);
    EXPECT_EQ(lines(lin), QStringList{"LIN - A"});
  }
  SelectDialog d(threeLines, VCI_BUS_CAN);
  d.show();
  chooseDevice(d, 0);
  EXPECT_EQ(lines(d), (QStringList{"CAN - A", "CAN - B"}));
  chooseLine(d, 1);
  press(d, "btnOK");
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(d.result(), QDialog::Accepted);
  EXPECT_EQ(d.chosenLine(), 2u) << "CAN - B is the device's third controller";
  HANDLE device = d.takeOpenedDevice();
  ASSERT_NE(device, nullptr);
  EXPECT_NE(objectIdOf(device), 0) << "the caller's device stays open after the dialog closed";
  vci.vciDeviceClose(device);
}

TEST_F(SelectDialogTest, DevicesAddedAndRemovedWhileOpenShowWithoutUserAction) {
  busB.stop();
  SelectDialog d(vci, VCI_BUS_CAN);
  d.show();
  ASSERT_TRUE(d.watching());
  ASSERT_EQ(rows(d).size(), 1);
  const QString rowA = rows(d)[0];

  busB.restart();
  ASSERT_TRUE(processUntil([&] { return rows(d).size() == 2; })) << "added bus never listed";
  const QString rowB = rows(d)[1];

  chooseDevice(d, 0);
  chooseLine(d, 0);
  busA.stop();
  ASSERT_TRUE(processUntil([&] { return rows(d).size() == 1; })) << "removed bus still listed";
  EXPECT_EQ(rows(d), QStringList{rowB});
  // The chosen device went away: nothing is chosen, not its neighbour.
  EXPECT_TRUE(field(d, "txtDescription").isEmpty());
  EXPECT_FALSE(d.findChild<QComboBox*>("cmbBusLine")->isEnabled());
  press(d, "btnOK");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].text, "Please select a device !");
  EXPECT_NE(rowA, rowB);
}

TEST_F(SelectDialogTest, ClosingNeverWaitsLongForTheWatcher) {
  varnex::VciApi noEvents = vci, noEnumeration = vci;
  noEvents.vciEnumDeviceWaitEvent = nullptr;
  noEnumeration.vciEnumDeviceOpen = &noEnumerator;
  struct Case {
    const char* name;
    const varnex::VciApi& api;
    bool watching;
    bool changeUnread;  // a device change signalled that the dialog has not taken yet
  } cases[] = {
      {"watcher waiting for a change", vci, true, false},
      {"change signalled, not yet taken", vci, true, true},
      {"driver without change events", noEvents, false, false},
      {"no enumerator", noEnumeration, false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (!busB.restart()) return;
    auto d = std::make_unique<SelectDialog>(c.api, VCI_BUS_CAN);
    d->show();
    EXPECT_EQ(d->watching(), c.watching);
    if (c.changeUnread) {
      busB.stop();
      std::this_thread::sleep_for(700ms);  // the watcher's poll notices it; no event is processed
    }
    const auto start = std::chrono::steady_clock::now();
    d->reject();
    d.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  }
}

TEST_F(SelectDialogTest, SelectBusControllerStatuses) {
  HANDLE device = nullptr;
  UINT32 line = 7;
  EXPECT_EQ(varnex::selectBusController(nullptr, VCI_BUS_CAN, vci, nullptr, &line), VCI_E_INVALIDARG);
  EXPECT_EQ(varnex::selectBusController(nullptr, VCI_BUS_CAN, vci, &device, nullptr), VCI_E_INVALIDARG);
  EXPECT_EQ(varnex::selectBusController(nullptr, 3, vci, &device, &line), VCI_E_INVALIDARG);

  whenShown(2, [](SelectDialog& d) { press(d, "btnCancel"); });
  EXPECT_EQ(varnex::selectBusController(nullptr, VCI_BUS_CAN, vci, &device, &line), VCI_E_ABORT);
  EXPECT_EQ(device, nullptr);
  EXPECT_EQ(line, 7u);

  whenShown(2, [](SelectDialog& d) { chooseDevice(d, 1), chooseLine(d, 0), press(d, "btnOK"); });
  EXPECT_EQ(varnex::selectBusController(nullptr, VCI_BUS_CAN, vci, &device, &line), VCI_OK);
  EXPECT_EQ(line, 0u);
  ASSERT_NE(device, nullptr);
  const QString chosen = expectedRows()[1];
  EXPECT_EQ(QString::asprintf("%016llX", static_cast<unsigned long long>(objectIdOf(device))), chosen.left(16));
  vci.vciDeviceClose(device);
}

// The adapter layer's interactive choice: the dialog's device, or the
// automatic one (the last device) when it is cancelled or skipped.
TEST_F(SelectDialogTest, SelectDeviceTakesTheDialogsChoiceOrFallsBack) {
  Varnex adapter;
  ASSERT_TRUE(Varnex::bIxxatLoaded);
  const QStringList devices = expectedRows();
  auto openDevice = [&] {
    VCIDEVICEINFO info;
    if (!Varnex::hDevice || vci.vciDeviceGetInfo(Varnex::hDevice, &info) != VCI_OK) return QString();
    return QString::asprintf("%016llX", static_cast<unsigned long long>(info.VciObjectId.AsInt64));
  };
  struct Case {
    const char* name;
    bool skip;
    std::function<void(SelectDialog&)> answer;  // null: no dialog expected
    int device;
  } cases[] = {
      {"first device chosen", false, [](SelectDialog& d) { chooseDevice(d, 0), chooseLine(d, 0), press(d, "btnOK"); }, 0},
      {"cancelled", false, [](SelectDialog& d) { press(d, "btnCancel"); }, 1},
      {"skipped", true, nullptr, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Varnex::lCtrlNo = 5;
    bool shown = false;
    if (c.answer) whenShown(2, [&, answer = c.answer](SelectDialog& d) { shown = true, answer(d); });
    adapter.SelectDevice(nullptr, c.skip);
    EXPECT_EQ(shown, c.answer != nullptr);
    EXPECT_EQ(openDevice(), devices[c.device].left(16));
    EXPECT_EQ(Varnex::lCtrlNo, 0);
  }
  EXPECT_TRUE(boxes.empty());
}

}  // namespace
