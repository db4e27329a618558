// The connection workflow against nodes that answer little or nothing: which
// dictionary a named controller gets, what the status bar claims, where the
// identity reads stop when the window closes, and the library check at start.

#include "MainWindowFixture.h"
#include "ScriptedNode.h"

#include <QCheckBox>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPushButton>

#include <atomic>
#include <deque>
#include <functional>
#include <map>

#include "TfrmCANLog.h"

namespace mainwindow_test {
namespace {

using kestrum::sim::test::ScriptedNode;

class ConnectionMendsTest : public MainWindowTest {
 protected:
  /// Chooses a controller item as the user does; the dictionary follows.
  void chooseController(const QString& item) {
    auto* combo = widget<QComboBox>("ControllerBox");
    combo->setCurrentIndex(combo->findText(item));
    emit combo->activated(combo->currentIndex());
    ASSERT_TRUE(processUntil([this] { return !form->isInUse(); })) << item.toStdString();
  }
  QString dictionaryFile() { return QFileInfo(form->database().file()->path).fileName(); }
  bool statusShowsNothingConnected() {
    return form->panelText(2) == "CAN Adapter: disconnected" && form->panelText(3) == "CAN Device: disconnected";
  }
};

TEST_F(ConnectionMendsTest, EveryControllerItemButDefaultLoadsItsOwnDictionary) {
  start(false);
  // The folder listing sorts "Brelan" before "Default"; it is selected at
  // start, but the dictionary is the default one until a controller is named.
  EXPECT_EQ(comboItems("ControllerBox"), (QStringList{"Brelan", "Default", "Mirelo", "Torvik"}));
  EXPECT_EQ(widget<QComboBox>("ControllerBox")->currentIndex(), 0);
  EXPECT_EQ(dictionaryFile(), "EDS_Default.xml");
  ASSERT_TRUE(processUntil([this] { return log.contains("Connected") && !form->isInUse(); }))
      << log.all().toStdString();

  chooseController("Torvik");
  EXPECT_EQ(dictionaryFile(), "EDS_Torvik.xml");
  chooseController("Brelan");
  EXPECT_EQ(dictionaryFile(), "EDS_Brelan.xml");
  chooseController("Default");
  EXPECT_EQ(dictionaryFile(), "EDS_Default.xml");
}

TEST_F(ConnectionMendsTest, AControllerThatSortsFirstIsShownItsOwnObjects) {
  world().addNode(1, "Brelan");
  startConnected();
  ASSERT_EQ(text("lblHWDevice"), "Brelan") << log.all().toStdString();
  EXPECT_EQ(widget<QComboBox>("ControllerBox")->currentIndex(), 0);
  EXPECT_EQ(dictionaryFile(), "EDS_Brelan.xml");
  EXPECT_TRUE(list().findEntry("1009", 0));
}

TEST_F(ConnectionMendsTest, InitializeCanOnASilentNodeIdEndsAtOnceWithoutADevice) {
  world().addNode(1);
  startConnected();
  ASSERT_TRUE(processUntil([this] { return form->panelText(3) == "CAN Device: connected"; }));

  widget<QLineEdit>("MotorIdEdit")->setText("5");  // nothing answers there
  log.lines.clear();
  QElapsedTimer elapsed;
  elapsed.start();
  widget<QPushButton>("canInitBtn")->click();
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }, scaled(30s)));
  // The probe's and the bootloader probe's short waits, not the identity
  // reads' time-outs (about 24 s).
  EXPECT_LT(elapsed.elapsed(), scaled(std::chrono::milliseconds(6000)).count()) << log.all().toStdString();
  EXPECT_TRUE(log.contains("...no Device detected.")) << log.all().toStdString();
  EXPECT_FALSE(log.contains("Connected")) << log.all().toStdString();
  EXPECT_FALSE(form->deviceConnected);
  EXPECT_EQ(text("lblHWDevice"), "");
  ASSERT_TRUE(processUntil([this] { return form->panelText(3) == "CAN Device: disconnected"; }))
      << form->panelText(3).toStdString();
  EXPECT_EQ(form->panelText(2), "CAN Adapter: connected");

  // The node that is there is found again the same way.
  widget<QLineEdit>("MotorIdEdit")->setText("1");
  widget<QPushButton>("canInitBtn")->click();
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }));
  EXPECT_EQ(text("lblHWDevice"), "Mirelo");
  EXPECT_TRUE(form->deviceConnected);
}

TEST_F(ConnectionMendsTest, ABusThatGoesAwayShowsLostAndInitializeCanConnectsAgain) {
  world().addNode(1);
  startConnected();
  ASSERT_TRUE(processUntil([this] { return form->panelText(3) == "CAN Device: connected"; }));
  widget<QCheckBox>("chkLifeguard")->setChecked(true);  // a timer that talks to the node

  // The simulator goes away: the connection to the bus is cut.
  const std::uint16_t port = world().server->port();
  QElapsedTimer elapsed;
  elapsed.start();
  world().server->stop();
  ASSERT_TRUE(processUntil([this] { return form->panelText(2) == "CAN Adapter: bus lost"; }, scaled(3s)))
      << form->panelText(2).toStdString();
  RecordProperty("lost_shown_ms", int(elapsed.elapsed()));
  EXPECT_LT(elapsed.elapsed(), scaled(std::chrono::milliseconds(1000)).count());
  EXPECT_EQ(form->panelText(3), "CAN Device: disconnected");
  EXPECT_TRUE(log.contains("CAN bus lost")) << log.all().toStdString();
  // Nothing waits on the lost bus: a read returns at once (its request cannot be sent).
  elapsed.restart();
  list().getValue("1018", 1, true);
  EXPECT_LT(elapsed.elapsed(), 1000);

  // Back on the same address: "Initialize CAN" connects without a restart.
  std::string error;
  ASSERT_TRUE(world().server->start("127.0.0.1", port, error)) << error;
  widget<QPushButton>("canInitBtn")->click();
  ASSERT_TRUE(processUntil([this] { return !form->isInUse() && form->panelText(3) == "CAN Device: connected"; },
                           scaled(10s)))
      << log.all().toStdString();
  EXPECT_EQ(form->panelText(2), "CAN Adapter: connected");
  EXPECT_EQ(text("lblHWDevice"), "Mirelo");
}

TEST_F(ConnectionMendsTest, OfflineNeverShowsAnAdapterOrADeviceAsConnected) {
  world().addNode(1);
  startConnected();
  ASSERT_TRUE(processUntil([this] { return form->panelText(3) == "CAN Device: connected"; }));

  chooseAdapter("offline");
  EXPECT_EQ(text("lblHWDevice"), "--OFFLINE--");
  EXPECT_FALSE(form->adapterConnected);
  EXPECT_FALSE(form->deviceConnected);
  ASSERT_TRUE(processUntil([this] { return statusShowsNothingConnected(); }))
      << form->panelText(2).toStdString() << ", " << form->panelText(3).toStdString();

  // Reading the list from the defaults connects nothing either.
  openSdoList();
  EXPECT_FALSE(processUntil([this] { return !statusShowsNothingConnected(); }, 300ms))  // a few status ticks
      << form->panelText(2).toStdString() << ", " << form->panelText(3).toStdString();

  // Back on the adapter, both are connected again.
  chooseAdapter("IXXAT");
  ASSERT_TRUE(processUntil([this] {
    return form->panelText(2) == "CAN Adapter: connected" && form->panelText(3) == "CAN Device: connected";
  })) << form->panelText(2).toStdString() << ", " << form->panelText(3).toStdString();
}

TEST_F(ConnectionMendsTest, TheCanLogPausesItsPageWhileTheWorkflowRuns) {
  world().addNode(1);
  startConnected();
  TfrmCANLog* canLog = form->canLog();
  ASSERT_TRUE(canLog->isFilling());

  bool pausedMeanwhile = false;
  QTimer sampler;
  sampler.setInterval(1);
  QObject::connect(&sampler, &QTimer::timeout, [&] {
    if (form->isInUse() && !canLog->isFilling()) pausedMeanwhile = true;
  });
  sampler.start();
  widget<QPushButton>("canInitBtn")->click();
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }));
  sampler.stop();
  EXPECT_TRUE(pausedMeanwhile);
  EXPECT_EQ(text("lblHWDevice"), "Mirelo");
  EXPECT_TRUE(canLog->isFilling());
}

// ---------------------------------------------------------------------------
// Where the identity reads stop when the window closes.

/// A node's answers per object, in request order; a request without a
/// planned answer is refused ("object does not exist").
struct AnswerPlan {
  enum Kind { Byte, Word, Silent };
  struct Answer {
    Kind kind;
    std::uint32_t value = 0;
  };
  std::map<std::uint32_t, std::deque<Answer>> answers;
  std::atomic<bool> silenced{false};  ///< a Silent answer was due

  AnswerPlan& on(std::uint16_t index, std::uint8_t sub, std::initializer_list<Answer> list) {
    auto& queue = answers[std::uint32_t(index) << 8 | sub];
    queue.insert(queue.end(), list);
    return *this;
  }
  /// Runs on the bus thread, under the scripted node's lock.
  std::optional<kestrum::sim::CanFrame> answer(const kestrum::sim::CanFrame& request) {
    const std::uint16_t index = std::uint16_t(request.data[1] | request.data[2] << 8);
    const std::uint8_t sub = request.data[3];
    auto reply = [&](std::uint8_t command, std::uint32_t value) {
      return kestrum::sim::test::frame(0x581, {command, request.data[1], request.data[2], sub, std::uint8_t(value),
                                               std::uint8_t(value >> 8), std::uint8_t(value >> 16),
                                               std::uint8_t(value >> 24)});
    };
    auto& queue = answers[std::uint32_t(index) << 8 | sub];
    if (queue.empty()) return reply(0x80, 0x06020000);
    const Answer a = queue.front();
    queue.pop_front();
    switch (a.kind) {
      case Byte: return reply(0x4F, a.value & 0xFF);
      case Word: return reply(0x43, a.value);
      case Silent: silenced = true; return std::nullopt;
    }
    return std::nullopt;
  }
};

/// A box service that begins the closing when a box comes up.
class ClosingBoxes : public RecordingMessageBoxService {
 public:
  QMessageBox::StandardButton show(const QString& caption, const QString& text, QMessageBox::Icon icon,
                                   QMessageBox::StandardButtons buttons,
                                   QMessageBox::StandardButton defaultButton) override {
    DLLConnector::appClosing = true;
    return RecordingMessageBoxService::show(caption, text, icon, buttons, defaultButton);
  }
};

TEST_F(ConnectionMendsTest, ReadVersNamesTheStepTheClosingCutShort) {
  using A = AnswerPlan::Answer;
  const A silent{AnswerPlan::Silent};
  auto byte = [](std::uint32_t v) { return A{AnswerPlan::Byte, v}; };
  auto word = [](std::uint32_t v) { return A{AnswerPlan::Word, v}; };

  ScriptedNode node(*world().bus, 1);  // refuses everything, the probe too
  node.setResponder([](const kestrum::sim::CanFrame&) -> std::optional<kestrum::sim::CanFrame> { return {}; });
  startConnected();
  ASSERT_TRUE(log.contains("...no Device detected.")) << log.all().toStdString();

  // Runs ReadVers against the plan; a Silent answer begins the closing
  // while its read waits.
  auto readVers = [&](const std::shared_ptr<AnswerPlan>& plan) {
    node.setResponder([plan](const kestrum::sim::CanFrame& r) { return plan->answer(r); });
    QTimer closer;
    closer.setInterval(1);
    QObject::connect(&closer, &QTimer::timeout, [plan] {
      if (plan->silenced) DLLConnector::appClosing = true;
    });
    closer.start();
    const int result = form->ReadVers(false);
    closer.stop();
    DLLConnector::appClosing = false;
    return result;
  };
  auto plan = [] { return std::make_shared<AnswerPlan>(); };

  // The name as a string, its length, its characters; the version likewise;
  // then revision and serial number.
  struct Step {
    const char* step;
    std::function<void(AnswerPlan&)> script;
    int code;
  };
  const std::vector<Step> steps = {
      {"0x1009", [&](AnswerPlan& p) { p.on(0x1009, 0, {silent}); }, TMainForm::kClosedHardwareName},
      {"0x1009:0", [&](AnswerPlan& p) { p.on(0x1009, 0, {byte(3), silent}); }, TMainForm::kClosedHardwareNameLength},
      {"0x1009:1",
       [&](AnswerPlan& p) { p.on(0x1009, 0, {byte(3), byte(3)}).on(0x1009, 1, {silent}); },
       TMainForm::kClosedHardwareNameCharacters},
      {"0x100A", [&](AnswerPlan& p) { p.on(0x100A, 0, {silent}); }, TMainForm::kClosedSoftwareVersion},
      {"0x100A:0", [&](AnswerPlan& p) { p.on(0x100A, 0, {byte(2), silent}); }, TMainForm::kClosedSoftwareVersionLength},
      {"0x100A:1",
       [&](AnswerPlan& p) { p.on(0x100A, 0, {byte(2), byte(2)}).on(0x100A, 1, {silent}); },
       TMainForm::kClosedSoftwareVersionCharacters},
      {"0x1018:3", [&](AnswerPlan& p) { p.on(0x1018, 3, {silent}); }, TMainForm::kClosedRevision},
      {"0x1018:4", [&](AnswerPlan& p) { p.on(0x1018, 3, {word(7)}).on(0x1018, 4, {silent}); },
       TMainForm::kClosedSerialNumber},
  };
  for (const Step& s : steps) {
    auto p = plan();
    s.script(*p);
    EXPECT_EQ(readVers(p), s.code) << s.step;
  }

  // The controller's dictionary: a name in the list whose file is missing
  // brings up a box, and the closing begins meanwhile.
  {
    widget<QComboBox>("ControllerBox")->addItem("Ghost");
    auto p = plan();
    p->on(0x1009, 0, {byte(5), byte(5)});
    for (std::uint8_t i = 1; i <= 5; ++i) p->on(0x1009, i, {byte(std::uint8_t("Ghost"[i - 1]))});
    ClosingBoxes closingBoxes;
    EXPECT_EQ(readVers(p), TMainForm::kClosedObjectViews);
    EXPECT_EQ(text("lblHWDevice"), "Ghost");
    EXPECT_EQ(closingBoxes.boxes().size(), 1u);
  }

  // Without closing: the identity, or the first refused object's code.
  {
    auto p = plan();
    p->on(0x1018, 3, {word(7)}).on(0x1018, 4, {word(9)});
    EXPECT_EQ(readVers(p), 0);
    EXPECT_EQ(text("lblCANRevision"), "7");
    EXPECT_EQ(text("lblSerialNumber"), "9");
  }
  EXPECT_EQ(readVers(plan()), sdo_result::kAborted);
}

// ---------------------------------------------------------------------------
// The library's version check at start.

TEST_F(ConnectionMendsTest, AnOutdatedLibraryIsReportedAlsoWithoutAnAdapter) {
  const QString wrong = QStringLiteral("Wrong libVarnex.so loaded. Version 1.0.0.2 or higher needed!");
  {
    // No library at all: nothing to report.
    startConnected(false);
    EXPECT_FALSE(boxShown(wrong));
    form->close();
    form.reset();
  }

  // A library of version 1.0.0.1 that finds no adapter: the window works
  // offline, and the outdated library is still reported.
  const QString path = QStringLiteral(FAKE_VARNEX_V1001);
  static DLLLoader* outdated = new DLLLoader(path);
  ASSERT_TRUE(outdated->available);
  form = std::make_unique<TMainForm>(outdated, path);
  form->show();
  ASSERT_TRUE(processUntil([this] { return log.contains("Connected") && !form->isInUse(); }))
      << log.all().toStdString();
  EXPECT_EQ(form->connector()->getClassName(), "DLLConnectorEmpty");
  EXPECT_EQ(comboItems("comboExVendor"), QStringList{"offline"});
  EXPECT_TRUE(boxShown(wrong));
}

}  // namespace
}  // namespace mainwindow_test
