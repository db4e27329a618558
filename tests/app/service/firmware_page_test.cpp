// The page "Firmware Update" offscreen against the simulated controller's
// bootloader through the real library: bootloader entry, download with
// progress and the new version read back, a refused file, cancel and the
// recovery of a node left in its bootloader, the window locked meanwhile, and
// "Quit Bootloader".
#include "MainWindowFixture.h"

#include <QCheckBox>
#include <QFile>
#include <QProgressBar>
#include <QTableWidget>

#include "FirmwarePage.h"
#include "node/Bootloader.h"

namespace mainwindow_test {
namespace {

constexpr std::uint8_t kNode = 1;
using kestrum::sim::Bootloader;
using kestrum::sim::SimNode;

class FirmwarePageTest : public MainWindowTest {
 protected:
  void SetUp() override {
    // The simulated flash survives a test in the state folder: every test
    // starts from the factory firmware.
    QDir state(world().stateDir.path());
    for (const QString& f : state.entryList({QStringLiteral("node%1-*.image").arg(kNode)}, QDir::Files))
      state.remove(f);
    world().addNode(kNode);
    setFlashUsPerBlock(2000);
    startConnected();
    if (HasFatalFailure()) return;
    widget<QTabWidget>("TabControl")->setCurrentWidget(widget("UpdtSheet"));
    page = form->firmwarePage();
    ASSERT_TRUE(page);
  }
  void setFlashUsPerBlock(std::uint64_t us) {
    world().host->withNode(kNode, [us](SimNode& n, std::uint64_t) { n.behaviour<Bootloader>()->setFlashUsPerBlock(us); });
  }
  bool inBootloader() {
    bool running = false;
    world().host->withNode(kNode, [&](SimNode& n, std::uint64_t) { running = n.behaviour<Bootloader>()->running(); });
    return running;
  }
  static QString image() { return QDir::current().absoluteFilePath(QStringLiteral("Firmware/Firmware_V2.20.hex")); }
  QProgressBar* bar() { return widget<QProgressBar>("prgbWriteFirmware"); }
  bool enabled(const char* name) { return widget(name)->isEnabled(); }
  const RecordingMessageBoxService::Box* box(const QString& textPart) const {
    for (const auto& b : boxes.boxes())
      if (b.text.contains(textPart)) return &b;
    return nullptr;
  }
  /// "Start Bootloader" with the real library; the node is then in its bootloader.
  void enterBootloader() {
    click("startBootloaderBtn");
    ASSERT_TRUE(processUntil([this] { return !page->isWorking(); }, scaled(30s)));
    ASSERT_TRUE(boxShown("The Bootloader has been successfully started!")) << log.all().toStdString();
    ASSERT_TRUE(inBootloader());
  }
  /// Writes the file in the name field; returns the highest progress seen
  /// while the download ran.
  int download(const QString& path, const std::function<void()>& whileRunning = {}) {
    type("FirmwareFileNameEdit", path);
    click("writeFwBtn");
    int peak = 0;
    bool ran = false;
    EXPECT_TRUE(processUntil(
        [&] {
          if (page->isWorking()) {
            peak = std::max(peak, bar()->value());
            if (whileRunning && !ran && peak > 0) {
              ran = true;
              whileRunning();
            }
          }
          return !page->isWorking() && !form->isInUse();
        },
        scaled(90s)));
    return peak;
  }
  /// The pages of the main window other than "Firmware Update" that can be used.
  QStringList usablePages() {
    QStringList names;
    auto* tabs = widget<QTabWidget>("TabControl");
    for (int i = 0; i < tabs->count(); ++i)
      if (tabs->isTabEnabled(i) && tabs->widget(i)->objectName() != QLatin1String("UpdtSheet"))
        names << tabs->widget(i)->objectName();
    return names;
  }

  FirmwarePage* page = nullptr;
};

TEST_F(FirmwarePageTest, WriteFirmwareNeedsAnExistingFile) {
  const QString dir = world().stateDir.path();
  struct Case {
    const char* what;
    QString path;
    bool enabled;
  } cases[] = {
      {"empty", QString(), false},
      {"missing", dir + QStringLiteral("/missing.hex"), false},
      {"a folder", dir, false},
      {"the image", image(), true},
      {"blank again", QString(), false},
  };
  for (const Case& c : cases) {
    type("FirmwareFileNameEdit", c.path);
    EXPECT_EQ(enabled("writeFwBtn"), c.enabled) << c.what;
  }
  // The folder button fills the field; a cancelled dialog keeps what is there.
  page->chooseFirmwareFile = [](QWidget*) { return image(); };
  click("SpeedButton1");
  EXPECT_EQ(widget<QLineEdit>("FirmwareFileNameEdit")->text(), image());
  EXPECT_TRUE(enabled("writeFwBtn"));
  page->chooseFirmwareFile = [](QWidget*) { return QString(); };
  click("SpeedButton1");
  EXPECT_EQ(widget<QLineEdit>("FirmwareFileNameEdit")->text(), image());
  EXPECT_EQ(FirmwarePage::firmwareFileFilter(), QStringLiteral("Firmware Files (*.hex);;all Files (*.*)"));
}

TEST_F(FirmwarePageTest, AFileThatIsNotHexIsRefusedWithoutTouchingTheNode) {
  const QString path = world().stateDir.path() + QStringLiteral("/notes.hex");
  {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("firmware version 2\n");
  }
  BusRecorder recorder(*world().bus);
  download(path);
  const auto* b = box(QStringLiteral("Error while reading Firmware File"));
  ASSERT_TRUE(b);
  EXPECT_EQ(b->caption, QStringLiteral("Error"));
  for (const auto& f : recorder.frames())
    EXPECT_TRUE(f.id != 0x600u + kNode && f.id != 0 && f.id != 0x325) << std::hex << f.id;
  EXPECT_FALSE(inBootloader());
  EXPECT_FALSE(enabled("btnRecoverBootloader"));
  EXPECT_TRUE(enabled("writeFwBtn")) << "a corrected file can be written next";
  EXPECT_FALSE(widget("writeLabel")->isVisible());
  EXPECT_EQ(usablePages().size(), widget<QTabWidget>("TabControl")->count() - 1);
}

TEST_F(FirmwarePageTest, ADownloadEndsWithTheNewVersionReadBack) {
  enterBootloader();
  for (const char* text : {"Please power off the controller and click OK!",
                           "Please click OK and power on the controller afterwards!"}) {
    const auto* b = box(QLatin1String(text));
    ASSERT_TRUE(b) << text;
    EXPECT_EQ(b->caption, QStringLiteral("Start Bootloader"));
    EXPECT_EQ(b->icon, QMessageBox::Warning);
  }
  EXPECT_EQ(form->panelText(4), QStringLiteral("Drivestate: BOOTLOADER"));
  EXPECT_TRUE(enabled("btnRecoverBootloader"));
  EXPECT_TRUE(widget("lblBootloaderState")->isVisible());

  const int peak = download(image());
  EXPECT_GT(peak, 0) << "the bar followed the blocks";
  const auto* done = box(QStringLiteral("Firmware update finished successful"));
  ASSERT_TRUE(done) << log.all().toStdString();
  EXPECT_EQ(done->caption, QString());
  EXPECT_EQ(bar()->value(), 256);
  EXPECT_TRUE(log.contains(QStringLiteral("Starting Update ")));
  EXPECT_TRUE(log.contains(QStringLiteral("Finished!")));
  // The window reconnected to the restarted node and reads its new identity.
  EXPECT_EQ(text("lblSWVersion"), QStringLiteral("V2.20"));
  EXPECT_EQ(text("lblHWDevice"), QStringLiteral("Mirelo"));
  EXPECT_FALSE(form->bootloaderActive);
  EXPECT_FALSE(enabled("btnRecoverBootloader"));
  EXPECT_FALSE(form->sdoList()->isAllRead());
  EXPECT_EQ(widget<QTableWidget>("pdoRecGrid")->rowCount() <= 1, true);
  EXPECT_TRUE(processUntil([this] { return text("writeLabel") == QLatin1String("Finished"); }));
  EXPECT_FALSE(boxShown(QStringLiteral("Error")));
}

TEST_F(FirmwarePageTest, ACancelledDownloadLocksTheWindowMeanwhileAndLeavesTheNodeReadyForAnother) {
  enterBootloader();
  widget<QCheckBox>("chkLifeguard")->click();
  auto* lifeguard = form->findChild<QTimer*>(QStringLiteral("tmrLifeguard"));
  ASSERT_TRUE(lifeguard && lifeguard->isActive());
  setFlashUsPerBlock(40000);

  download(image(), [&] {
    // While the download runs nothing else reaches the bus.
    EXPECT_TRUE(usablePages().isEmpty()) << usablePages().join(',').toStdString();
    EXPECT_FALSE(lifeguard->isActive());
    EXPECT_FALSE(enabled("writeFwBtn"));
    EXPECT_FALSE(enabled("startBootloaderBtn"));
    page->writeFwBtnClick();  // a second start is ignored
    EXPECT_FALSE(form->close()) << "the window stays open under a download";
    EXPECT_TRUE(form->isVisible());
    EXPECT_TRUE(boxShown(QStringLiteral("A firmware update is running.")));
    ASSERT_TRUE(enabled("cancelWriteFwBtn"));
    click("cancelWriteFwBtn");
  });
  EXPECT_EQ(log.lines.filter(QStringLiteral("Starting Update ")).size(), 1);
  const auto* cancelled = box(QStringLiteral("Firmware update cancelled"));
  ASSERT_TRUE(cancelled) << log.all().toStdString();
  EXPECT_TRUE(inBootloader());
  EXPECT_TRUE(form->bootloaderActive);
  EXPECT_EQ(form->panelText(4), QStringLiteral("Drivestate: BOOTLOADER"));
  EXPECT_TRUE(enabled("btnRecoverBootloader"));
  EXPECT_TRUE(widget("lblBootloaderState")->isVisible());
  EXPECT_TRUE(enabled("writeFwBtn"));
  EXPECT_EQ(usablePages().size(), widget<QTabWidget>("TabControl")->count() - 1);
  EXPECT_TRUE(lifeguard->isActive()) << "node guarding goes on as ticked";
  widget<QCheckBox>("chkLifeguard")->click();

  // Half an image cannot run: the node refuses to leave, and the window
  // keeps the way out open.
  click("btnRecoverBootloader");
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }, scaled(30s)));
  EXPECT_TRUE(inBootloader());
  EXPECT_TRUE(form->bootloaderActive) << log.all().toStdString();
  EXPECT_TRUE(enabled("btnRecoverBootloader"));

  // A new download brings it back.
  setFlashUsPerBlock(2000);
  widget<QTabWidget>("TabControl")->setCurrentWidget(widget("UpdtSheet"));
  download(image());
  EXPECT_TRUE(boxShown(QStringLiteral("Firmware update finished successful"))) << log.all().toStdString();
  EXPECT_FALSE(inBootloader());
  EXPECT_EQ(text("lblSWVersion"), QStringLiteral("V2.20"));
  EXPECT_FALSE(enabled("btnRecoverBootloader"));
}

TEST_F(FirmwarePageTest, QuitBootloaderStartsTheFirmwareTheNodeHolds) {
  enterBootloader();
  click("btnRecoverBootloader");
  ASSERT_TRUE(processUntil([this] { return !form->isInUse(); }, scaled(30s)));
  EXPECT_FALSE(inBootloader());
  EXPECT_FALSE(form->bootloaderActive);
  EXPECT_TRUE(form->deviceConnected);
  EXPECT_EQ(text("lblHWDevice"), QStringLiteral("Mirelo"));
  EXPECT_FALSE(enabled("btnRecoverBootloader"));
  EXPECT_NE(form->panelText(4), QStringLiteral("Drivestate: BOOTLOADER"));
}

TEST_F(FirmwarePageTest, BootloaderEntryAttemptsEndAfterAHundredOrOnCancel) {
  struct Case {
    const char* what;
    int succeedAt;  // attempt that finds the bootloader, 0: none
    int cancelAt;   // attempt during which "Cancel" is clicked, 0: none
    int attempts;
    const char* box;  // part of the last box, null: none after the power boxes
    bool active;
  } cases[] = {
      {"never", 0, 0, 100, "The Bootloader could not be started! Please check the communication settings!", false},
      {"fifth attempt", 5, 0, 5, "The Bootloader has been successfully started!", true},
      {"cancelled", 0, 3, 3, nullptr, false},
      {"cancelled, but the attempt found it", 3, 3, 3, "The Bootloader has been successfully started!", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    boxes.clear();
    form->bootloaderActive = false;
    widget("btnRecoverBootloader")->setEnabled(false);
    int attempts = 0;
    int barDuringLast = -1;
    page->bootloaderEntryAttempt = [&] {
      ++attempts;
      EXPECT_TRUE(usablePages().isEmpty());
      barDuringLast = bar()->isVisible() ? bar()->value() : -1;
      if (attempts == c.cancelAt) click("CancelstartBootloaderBtn");
      return attempts == c.succeedAt;
    };
    click("startBootloaderBtn");
    ASSERT_TRUE(processUntil([this] { return !page->isWorking(); }, scaled(20s)));
    (void)processUntil([] { return false; }, 50ms);  // a stray tick would make another attempt
    EXPECT_EQ(attempts, c.attempts);
    EXPECT_EQ(barDuringLast, c.attempts - 1) << "the bar counts the attempts";
    ASSERT_EQ(boxes.boxes().size(), c.box ? 3u : 2u);
    if (c.box) {
      EXPECT_TRUE(boxes.boxes().back().text.contains(QLatin1String(c.box)));
    }
    EXPECT_EQ(form->bootloaderActive, c.active);
    EXPECT_EQ(enabled("btnRecoverBootloader"), c.active);
    EXPECT_FALSE(bar()->isVisible());
    EXPECT_FALSE(widget("writeLabel")->isVisible());
    EXPECT_EQ(usablePages().size(), widget<QTabWidget>("TabControl")->count() - 1);
  }
}

}  // namespace
}  // namespace mainwindow_test
