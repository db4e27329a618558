// PDO configuration files against the simulated Mirelo at node 1: saving
// the valid PDOs, loading a file or a preset with and without "Auto Write",
// the NMT state around the load, and damaged files that must change nothing.
#include "MainWindowFixture.h"

#include <QCheckBox>
#include <QFile>
#include <QTableWidget>

#include "PdoMappingPage.h"
#include "TfrmLoadPDOConfig.h"
#include "TfrmSavePDOConfig.h"

namespace mainwindow_test {
namespace {

class PdoConfig : public MainWindowTest {
 protected:
  void SetUp() override {
    world().addNode(1);
    startConnected();
    openSdoList();
    page = form->findChild<PdoMappingPage*>();
    ASSERT_TRUE(page);
  }
  template <typename T>
  T* in(QWidget* window, const char* name) {
    T* w = window->findChild<T*>(QLatin1String(name));
    EXPECT_TRUE(w) << name;
    return w;
  }
  /// Loads through the load window as the user does: `file` on the page
  /// "File", or the preset `preset` when `file` is empty. True when the
  /// window closed with the file used.
  bool load(const QString& file, bool autoWrite, const QString& preset = {}) {
    TfrmLoadPDOConfig* window = page->loadWindow();
    in<QCheckBox>(window, "chkAutoWrite")->setChecked(autoWrite);
    auto* tabs = in<QTabWidget>(window, "ctlTab");
    if (file.isEmpty()) {
      tabs->setCurrentWidget(in<QWidget>(window, "tabPredefined"));
      auto* presets = in<QTableWidget>(window, "lstPredefined");
      for (int r = 0; r < presets->rowCount(); ++r)
        if (presets->item(r, 0)->text() == preset) presets->selectRow(r);
    } else {
      tabs->setCurrentWidget(in<QWidget>(window, "tabFile"));
      window->chooseFile = [file](QWidget*) { return file; };
      in<QAbstractButton>(window, "btnSearchFile")->click();
    }
    bool used = false;
    page->runLoadWindow = [&used](TfrmLoadPDOConfig& w) {
      used = w.btnOKClick();
      return used ? int(QDialog::Accepted) : int(QDialog::Rejected);
    };
    click("btnLoadPDOConfig");
    return used;
  }
  QString writeFile(const char* name, const QByteArray& content) {
    const QString path = dir.filePath(QLatin1String(name));
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    return path;
  }
  std::vector<std::uint8_t> nmtCommands(const BusRecorder& recorder) {
    std::vector<std::uint8_t> commands;
    for (const auto& f : recorder.frames())
      if (f.id == 0 && f.dlc == 2) commands.push_back(f.data[0]);
    return commands;
  }
  kestrum::sim::NmtState nmtState() {
    auto state = kestrum::sim::NmtState::Initialising;
    world().host->withNode(1, [&](kestrum::sim::SimNode& n, std::uint64_t) { state = n.nmtState(); });
    return state;
  }

  PdoMappingPage* page = nullptr;
  QTemporaryDir dir;
};

TEST_F(PdoConfig, SavedValidPdosComeBackAfterAPreset) {
  // The node's defaults: only RxPDO 1 and TxPDO 1 are valid.
  click("btnSavePDOConfig");
  TfrmSavePDOConfig* save = page->saveWindow();
  EXPECT_TRUE(save->isVisible());
  EXPECT_TRUE(in<QCheckBox>(save, "chkRxPDO1")->isChecked());
  EXPECT_FALSE(in<QCheckBox>(save, "chkRxPDO2")->isChecked());
  EXPECT_TRUE(in<QCheckBox>(save, "chkTxPDO1")->isChecked());
  in<QCheckBox>(save, "chkTxPDO1")->setChecked(false);
  save->chooseFile = [this](QWidget*, const QString&) { return dir.filePath("saved.txt"); };
  in<QAbstractButton>(save, "btnFileDialog")->click();
  const QString path = dir.filePath("saved.txt.pcf");  // the extension is added
  EXPECT_EQ(in<QLineEdit>(save, "txtfilename")->text(), path);
  in<QAbstractButton>(save, "btnOk")->click();
  EXPECT_FALSE(save->isVisible());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::ReadOnly));
  const QList<QByteArray> lines = file.readAll().split('\n');
  ASSERT_EQ(lines.size(), 12);  // eleven lines, each ended by CR LF
  EXPECT_TRUE(lines[0].startsWith("1400\t|1\t|")) << lines[0].toStdString();
  EXPECT_TRUE(lines[0].endsWith('\r'));
  const std::int64_t rpdoEntry1 = nodeValue(1, 0x1600, 1);

  // The preset maps RxPDO 1 anew and TxPDO 1 with three objects.
  ASSERT_TRUE(load({}, true, "Position control"));
  EXPECT_EQ(nodeValue(1, 0x1600, 0), 2);
  EXPECT_EQ(nodeValue(1, 0x1600, 2), 1618608160);
  EXPECT_EQ(nodeValue(1, 0x1A00, 0), 2);
  EXPECT_EQ(nodeValue(1, 0x1800, 1), 385);
  EXPECT_TRUE(nodeValue(1, 0x1801, 1) & 0x80000000);  // not in the preset: disabled

  // The saved file holds RxPDO 1 only: every other PDO ends disabled with count 0.
  ASSERT_TRUE(load(path, true));
  EXPECT_EQ(nodeValue(1, 0x1600, 0), 1);
  EXPECT_EQ(nodeValue(1, 0x1600, 1), rpdoEntry1);
  EXPECT_EQ(nodeValue(1, 0x1400, 1), 0x201);
  EXPECT_EQ(nodeValue(1, 0x1A00, 0), 0);
  EXPECT_TRUE(nodeValue(1, 0x1800, 1) & 0x80000000);
  // The page shows what was loaded.
  EXPECT_EQ(text("lblNumOfObj"), "1");
  EXPECT_TRUE(widget<QCheckBox>("CheckBoxPdoEnable")->isChecked());
}

TEST_F(PdoConfig, AutoWriteOrderAndTheNmtStateAround) {
  const QString path = writeFile("status.pcf",
                                 "1800\t|1\t|385\r\n1800\t|2\t|255\r\n1A00\t|0\t|1\r\n"
                                 "1A00\t|1\t|1614872592\r\n");
  click("startBtn");
  ASSERT_TRUE(processUntil([&] { return nmtState() == kestrum::sim::NmtState::Operational; }, scaled(5s)));
  list().setNmtState(1);
  BusRecorder recorder(*world().bus);
  ASSERT_TRUE(load(path, true));
  // NMT frames have no answer: they reach the recorder a little later.
  (void)processUntil([&] { return nmtCommands(recorder).size() >= 2; }, scaled(2s));
  EXPECT_EQ(nmtCommands(recorder), (std::vector<std::uint8_t>{0x80, 0x01}));
  EXPECT_TRUE(processUntil([&] { return nmtState() == kestrum::sim::NmtState::Operational; }, scaled(5s)));
  const std::vector<std::uint16_t> indices = recorder.downloads(1);
  // Sixteen disabling writes, the two plain lines, eight counts, then the one COB-ID.
  ASSERT_EQ(indices.size(), 16u + 2 + 8 + 1);
  const std::vector<std::uint16_t> first = {0x1400, 0x1800, 0x1600, 0x1A00};
  EXPECT_EQ(std::vector<std::uint16_t>(indices.begin(), indices.begin() + 4), first);
  EXPECT_EQ(indices[16], 0x1800);
  EXPECT_EQ(indices[17], 0x1A00);
  EXPECT_EQ(indices.back(), 0x1800);
  EXPECT_EQ(nodeValue(1, 0x1A00, 0), 1);
  EXPECT_EQ(nodeValue(1, 0x1800, 1), 385);
  EXPECT_TRUE(nodeValue(1, 0x1400, 1) & 0x80000000);

  // A state the window does not know is not "restored" by a reset, which
  // would throw away what was just written.
  for (std::uint8_t state : {std::uint8_t(3), std::uint8_t(4)}) {
    list().setNmtState(state);
    BusRecorder again(*world().bus);
    ASSERT_TRUE(load(path, true));
    (void)processUntil([&] { return nmtCommands(again).size() >= 2; }, 300ms);
    EXPECT_EQ(nmtCommands(again), (std::vector<std::uint8_t>{0x80})) << int(state);
    EXPECT_EQ(nodeValue(1, 0x1A00, 0), 1);
  }
}

TEST_F(PdoConfig, WithoutAutoWriteOnlyTheCacheChanges) {
  const QString path = writeFile("cache.pcf", "1A00\t|0\t|1\r\n1A00\t|1\t|1616969736\r\n1800\t|1\t|999\r\n");
  const QString count = list().getValue("1A00", 0, false);
  click("startBtn");
  ASSERT_TRUE(processUntil([&] { return nmtState() == kestrum::sim::NmtState::Operational; }, scaled(5s)));
  list().setNmtState(1);
  BusRecorder recorder(*world().bus);
  ASSERT_TRUE(load(path, false));
  EXPECT_TRUE(recorder.downloads(1).empty());
  EXPECT_TRUE(nmtCommands(recorder).empty());
  EXPECT_EQ(list().getValue("1A00", 1, false), "1616969736");
  EXPECT_EQ(list().getValue("1A00", 0, false), count);  // counts and COB-IDs are dropped
  EXPECT_NE(list().getValue("1800", 1, false), "999");
}

TEST_F(PdoConfig, DamagedFilesWriteNothingAndNameFileAndLine) {
  struct Case {
    const char* name;
    QByteArray content;
    const char* where;
  };
  const QByteArray start = "1800\t|1\t|385\r\n1800\t|2\t|255\r\n";
  const Case cases[] = {
      {"number.pcf", start + "1A00\t|zero\t|1\r\n", "line 3"},
      {"cut.pcf", start + "1A00\t|0\t|2\r\n1A00\t|1\t|1614872592\r\n1A00\t|2\t|16171", "line 5"},
      {"lines.pcf", start + "1A00\t|0\t|2\r\n1A00\t|1\t|1614872592\r\n", "line 3"},
      {"unknown.pcf", start + "2FFF\t|0\t|1\r\n", "line 3"},
      {"controlword.pcf", start + "6040\t|0\t|15\r\n", "line 3"},
  };
  page->ButtonPdoReadClick();
  const QString shownCount = text("lblNumOfObj");
  click("startBtn");
  ASSERT_TRUE(processUntil([&] { return nmtState() == kestrum::sim::NmtState::Operational; }, scaled(5s)));
  for (const Case& c : cases) {
    const QString path = writeFile(c.name, c.content);
    list().setNmtState(1);
    boxes.clear();
    BusRecorder recorder(*world().bus);
    EXPECT_FALSE(load(path, true)) << c.name;
    EXPECT_TRUE(recorder.downloads(1).empty()) << c.name;
    EXPECT_TRUE(nmtCommands(recorder).empty()) << c.name;
    ASSERT_EQ(boxes.boxes().size(), 1u) << c.name;
    EXPECT_TRUE(boxes.boxes()[0].text.contains(path)) << boxes.boxes()[0].text.toStdString();
    EXPECT_TRUE(boxes.boxes()[0].text.contains(QLatin1String(c.where))) << boxes.boxes()[0].text.toStdString();
    EXPECT_EQ(text("lblNumOfObj"), shownCount) << c.name;
  }
  EXPECT_EQ(nodeValue(1, 0x1800, 1), 385);  // the node's mapping is untouched
}

TEST_F(PdoConfig, FilesThatCannotBeOpenedAreReported) {
  boxes.clear();
  BusRecorder recorder(*world().bus);
  const QString missing = dir.filePath("missing.pcf");
  EXPECT_FALSE(load(missing, true));
  EXPECT_TRUE(boxShown(missing));
  EXPECT_TRUE(recorder.downloads(1).empty());
  EXPECT_TRUE(nmtCommands(recorder).empty());

  click("btnSavePDOConfig");
  TfrmSavePDOConfig* save = page->saveWindow();
  const QString unwritable = dir.filePath("no-such-folder/x.pcf");
  save->chooseFile = [&](QWidget*, const QString&) { return unwritable; };
  in<QAbstractButton>(save, "btnFileDialog")->click();
  in<QAbstractButton>(save, "btnOk")->click();
  EXPECT_TRUE(boxShown(unwritable));
  EXPECT_TRUE(save->isVisible());  // the user can choose another file
}

}  // namespace
}  // namespace mainwindow_test
