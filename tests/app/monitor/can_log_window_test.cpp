// The CAN log window offscreen: paging and kept texts, colours, the frames
// the routing filter and the application log hand over, saving in both
// formats (the candump file read back by python-can), copying, clearing and
// the column hints.
#include <gtest/gtest.h>

#include "FrameSupport.h"
#include "QtTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include <fstream>
#include <memory>

#include "DLLConnector.h"
#include "DLLLoader.h"
#include "Logging.h"
#include "MessageBoxService.h"
#include "RoutingMessageFilter.h"
#include "StringGridSDODataSource.h"
#include "TfrmCANLog.h"

namespace {

QApplication& app() { return kestrum::test::application(); }

using kestrum::test::frame;

class CanLogWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DLLConnector::setShutdownPause(std::chrono::milliseconds(10));  // a connector per test
    app();
    ASSERT_TRUE(dir.isValid());
    const QString eds = dir.filePath(QStringLiteral("EDS_Test.xml"));
    std::ofstream(eds.toStdString()) << R"(<EDS>
  <SDO><ID>1014</ID><ParameterName>COB-ID EMCY</ParameterName><DataType>7</DataType><AccessType>rw</AccessType><DefaultValue>0x81</DefaultValue></SDO>
  <SDO><ID>1800</ID><DataType>8</DataType><SubNumber>2</SubNumber>
    <subnodes>
      <sub0><DataType>5</DataType><AccessType>ro</AccessType><DefaultValue>2</DefaultValue></sub0>
      <sub1><DataType>7</DataType><AccessType>rw</AccessType><DefaultValue>0x181</DefaultValue></sub1>
    </subnodes>
  </SDO>
  <SDO><ID>1A00</ID><DataType>8</DataType><SubNumber>3</SubNumber>
    <subnodes>
      <sub0><DataType>5</DataType><AccessType>rw</AccessType><DefaultValue>2</DefaultValue></sub0>
      <sub1><DataType>7</DataType><AccessType>rw</AccessType><DefaultValue>0x60410010</DefaultValue></sub1>
      <sub2><DataType>7</DataType><AccessType>rw</AccessType><DefaultValue>0x60FD0020</DefaultValue></sub2>
    </subnodes>
  </SDO>
  <SDO><ID>6040</ID><ParameterName>Controlword</ParameterName><DataType>6</DataType><AccessType>rw</AccessType><DefaultValue>0</DefaultValue></SDO>
  <SDO><ID>6041</ID><ParameterName>Statusword</ParameterName><DataType>6</DataType><AccessType>ro</AccessType><DefaultValue>0</DefaultValue></SDO>
</EDS>)";
    db.loadFile(eds);
    connector = std::make_unique<DLLConnector>(&noLibrary);
    list = std::make_unique<StringGridSDODataSource>(nullptr, &db, connector.get());
    log = std::make_unique<TfrmCANLog>();
    log->resize(900, 460);
    log->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(log.get()));
  }
  void TearDown() override {
    log.reset();
    list.reset();
    RoutingMessageFilter::routing().reset();
  }

  template <typename T>
  T* child(const char* name) {
    T* w = log->findChild<T*>(QLatin1String(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
  }
  QPlainTextEdit* area() { return child<QPlainTextEdit>("canMsgWindow"); }
  QScrollBar* scroll() { return child<QScrollBar>("sclProgress"); }
  /// The drawn lines (a multi-line PDO text counts once per line).
  QStringList shownLines() { return area()->toPlainText().split(QLatin1Char('\n')); }
  QByteArray read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  }

  QTemporaryDir dir;
  EDSDatabase db;
  DLLLoader noLibrary{QStringLiteral("/nonexistent/libVarnex.so")};
  std::unique_ptr<DLLConnector> connector;
  std::unique_ptr<StringGridSDODataSource> list;
  std::unique_ptr<TfrmCANLog> log;
};

TEST_F(CanLogWindowTest, PagesShowOnePageAndOnlyDrawnLinesKeepTheirText) {
  for (int i = 0; i < 100; ++i) log->addFrame(frame(0x281, {std::uint8_t(i)}, 1000 + i), false);
  EXPECT_EQ(scroll()->maximum(), 0);  // the view follows on the tick, not per frame
  log->tmrFillLogTimer();
  EXPECT_EQ(scroll()->maximum(), 100);
  EXPECT_EQ(scroll()->value(), 100);  // auto-scroll: the last page
  const int page = log->linesPerPage();
  ASSERT_GT(page, 5);
  ASSERT_LT(page, 100);
  QStringList lines = shownLines();
  ASSERT_EQ(lines.size(), page);
  EXPECT_TRUE(lines.first().contains(QStringLiteral("\t  %1 00").arg(100 - page, 2, 16, QLatin1Char('0')).toUpper()));
  EXPECT_TRUE(lines.last().contains(QStringLiteral("\t  63 00")));
  EXPECT_EQ(log->keptTextCount(), std::size_t(page));

  // Paging back with auto-scroll off: the page starts at the position; the
  // tick no longer moves it.
  child<QCheckBox>("chkAutoScroll")->setChecked(false);
  scroll()->setValue(10);
  lines = shownLines();
  EXPECT_TRUE(lines.first().contains(QStringLiteral("\t  0A 00")));
  log->addFrame(frame(0x281, {0xFF}, 5000), false);
  log->tmrFillLogTimer();
  EXPECT_EQ(scroll()->value(), 10);
  EXPECT_EQ(scroll()->maximum(), 101);
  EXPECT_EQ(log->keptTextCount(), std::size_t(2 * page));  // the text area holds one page only
  EXPECT_EQ(area()->blockCount(), page);

  // A bigger window shows more lines per page.
  log->resize(900, 900);
  QApplication::processEvents();
  EXPECT_GT(log->linesPerPage(), page);
}

TEST_F(CanLogWindowTest, DrawnLinesKeepTheirInterpretationWhenTheListChanges) {
  const ConnectorFrame answer = frame(0x581, {0x4B, 0x41, 0x60, 0x00, 0x37, 0x06}, 777);
  log->addFrame(answer, false);
  log->tmrFillLogTimer();  // drawn with "Statusword"
  log->addFrame(answer, false);  // not drawn yet
  list->findEntry(QStringLiteral("6041"), 0)->definition->parameterName = QStringLiteral("Status");
  const QString path = dir.filePath(QStringLiteral("kept.log"));
  ASSERT_TRUE(log->saveLog(path, TfrmCANLog::LogFormat::Text));
  const QList<QByteArray> lines = read(path).split('\n');
  ASSERT_EQ(lines.size(), 3);  // two lines and the end after the last line break
  EXPECT_TRUE(lines[0].contains("\tSTATUSWORD RES:0")) << lines[0].toStdString();
  EXPECT_TRUE(lines[1].contains("\tSTATUS RES:0")) << lines[1].toStdString();
  // Copying decodes everything anew.
  EXPECT_EQ(log->logText().count(QStringLiteral("\tSTATUS RES:0")), 2);
}

TEST_F(CanLogWindowTest, AFullLogDropsItsOldestFramesAndSaysSo) {
  log->setCapacity(100);
  auto byte = [](int i) { return std::uint8_t(i & 0xFF); };
  for (int i = 0; i < 60; ++i) log->addFrame(frame(0x281, {byte(i)}, 1000 + i), false);
  log->tmrFillLogTimer();  // frames 60 - page .. 59 drawn: their text is kept
  child<QCheckBox>("chkAutoScroll")->setChecked(false);
  ASSERT_LT(log->linesPerPage(), 40);
  scroll()->setValue(20);
  const QString shownFirst = shownLines().first();
  ASSERT_TRUE(shownFirst.contains(QStringLiteral("\t  14 00"))) << shownFirst.toStdString();
  EXPECT_FALSE(child<QLabel>("lblDropped")->isVisible());

  // Past the capacity the oldest tenth goes at once; the page stays on the
  // frames it showed.
  for (int i = 60; i < 101; ++i) log->addFrame(frame(0x281, {byte(i)}, 1000 + i), false);
  EXPECT_EQ(log->recordCount(), 90u);
  EXPECT_EQ(log->droppedCount(), 11u);
  EXPECT_EQ(scroll()->value(), 9);
  EXPECT_EQ(shownLines().first(), shownFirst);
  EXPECT_TRUE(child<QLabel>("lblDropped")->isVisible());
  EXPECT_EQ(child<QLabel>("lblDropped")->text(), QStringLiteral("11 older frames dropped"));

  // Holding steady at a long run's pace: never more than the capacity.
  for (int i = 101; i < 1000; ++i) log->addFrame(frame(0x281, {byte(i)}, 1000 + i), false);
  EXPECT_LE(log->recordCount(), 100u);
  EXPECT_EQ(log->recordCount() + log->droppedCount(), 1000u);
  EXPECT_LE(log->keptTextCount(), 100u);

  // A save holds what the log holds, oldest first.
  const QString path = dir.filePath(QStringLiteral("held.log"));
  ASSERT_TRUE(log->saveLog(path, TfrmCANLog::LogFormat::Text));
  const QList<QByteArray> lines = read(path).split('\n');
  ASSERT_EQ(std::size_t(lines.size()), log->recordCount() + 1);
  const int first = int(log->droppedCount());
  EXPECT_TRUE(lines[0].contains(QStringLiteral("\t  %1 00").arg(first & 0xFF, 2, 16, QLatin1Char('0')).toUpper().toUtf8()))
      << lines[0].toStdString();

  child<QPushButton>("LogClear")->click();
  EXPECT_EQ(log->droppedCount(), 0u);
  EXPECT_FALSE(child<QLabel>("lblDropped")->isVisible());
}

TEST_F(CanLogWindowTest, LinesAreColouredByKind) {
  log->addFrame(frame(0x081, {0x00, 0x23}), true);                   // emergency
  log->addFrame(frame(0x601, {0x2B, 0x40, 0x60, 0x00}, 0, true), false);  // controlword write
  log->addFrame(frame(0x581, {0x4B, 0x41, 0x60, 0x00}, 5), false);         // status word answer
  log->addFrame(frame(0x581, {0x4F, 0x60, 0x60, 0x00}, 5), false);         // 0x6060
  log->addFrame(frame(0x581, {0x4F, 0x61, 0x60, 0x00}, 5), false);         // 0x6061
  log->addFrame(frame(0x701, {0x05}, 5), false);                           // heartbeat
  log->addFrame(frame(0x00F, {}, 5), false);                               // the debug COB-ID
  log->addFrame(frame(0x181, {}, 5), false);
  EXPECT_EQ(log->lineColour(0), QColor(Qt::red));
  EXPECT_EQ(log->lineColour(1), QColor(0, 193, 0));
  EXPECT_EQ(log->lineColour(2), QColor(0, 149, 0));
  EXPECT_EQ(log->lineColour(3), QColor(182, 169, 58));
  EXPECT_EQ(log->lineColour(4), QColor(134, 127, 64));
  EXPECT_EQ(log->lineColour(5), QColor(128, 128, 128));
  EXPECT_EQ(log->lineColour(6), QColor(255, 0, 255));
  EXPECT_EQ(log->lineColour(7), QColor(Qt::black));

  // Ctrl+F12 in the text area shows the hidden debug field; its COB-ID turns
  // lines magenta, also over the other colours, but not emergencies.
  auto* debug = child<QLineEdit>("txtDebugCobID");
  EXPECT_FALSE(debug->isVisible());
  QTest::keyClick(area(), Qt::Key_F12, Qt::ControlModifier);
  EXPECT_TRUE(debug->isVisible());
  debug->setText(QStringLiteral("0x701"));
  EXPECT_EQ(log->lineColour(5), QColor(255, 0, 255));
  debug->setText(QStringLiteral("0x81"));
  EXPECT_EQ(log->lineColour(0), QColor(Qt::red));
  debug->setText(QStringLiteral("zz"));  // not a number: 15
  EXPECT_EQ(log->lineColour(6), QColor(255, 0, 255));
  QTest::keyClick(area(), Qt::Key_F12, Qt::ControlModifier);
  EXPECT_FALSE(debug->isVisible());
}

TEST_F(CanLogWindowTest, RoutedFramesAndEmergenciesReachTheLogWhileLoggingIsOn) {
  RoutingMessageFilter& filter = RoutingMessageFilter::routing();
  filter.enable();
  filter.onFrame(frame(0x181, {1, 2}, 10));
  Logging::instance().emergency(QStringLiteral("EMERGENCY: test"), frame(0x081, {0x00, 0x23, 0x02}, 11));
  ASSERT_EQ(log->recordCount(), 2u);
  EXPECT_EQ(log->lineColour(1), QColor(Qt::red));
  EXPECT_TRUE(log->logText().contains(QStringLiteral("EMERGENCY MESSAGE: \tCURRENT OUTPUT ERROR")));

  child<QCheckBox>("LogEnable")->click();  // off
  EXPECT_FALSE(log->isLogging());
  filter.onFrame(frame(0x181, {3}, 12));
  Logging::instance().emergency(QStringLiteral("EMERGENCY: test"), frame(0x081, {0x00, 0x23}, 13));
  EXPECT_EQ(log->recordCount(), 2u);
  EXPECT_EQ(scroll()->maximum(), 2);  // switching off shows what had come in
  child<QCheckBox>("LogEnable")->click();
  filter.onFrame(frame(0x181, {4}, 14));
  EXPECT_EQ(log->recordCount(), 3u);

  // The log is gone: the filter no longer hands frames to it.
  log.reset();
  filter.onFrame(frame(0x181, {5}, 15));
}

TEST_F(CanLogWindowTest, SavesTextWithCrLfAndReportsAFileThatCannotBeWritten) {
  RecordingMessageBoxService boxes;
  log->addFrame(frame(0x181, {0x37, 0x06, 0x00, 0x00, 0x2A, 0x00}, 1234567), false);  // two-line PDO text
  log->addFrame(frame(0x000, {0x01, 0x00}, 0, true), false);
  const QString path = dir.filePath(QStringLiteral("log.log"));
  ASSERT_TRUE(log->saveLog(path, TfrmCANLog::LogFormat::Text));
  EXPECT_EQ(read(path),
            " -> \t1234567   \t0x181\t  37 06 00 00 2A 00 00 00 \tSTATUSWORD: RES:0 RES:0 MS1:0 MS2:0 ILA:0 TGR:1 "
            "REM:1 PLL:0 WNG:0 SOD:0 QUS:1 VEN:1 FLT:0 OEN:1 SON:1 RTS:1\r\n\t\t\t\tDIGITAL INPUT: IN6:1 IN5:0 "
            "IN4:1 IN3:0 IN2:1 IN1:0\r\n"
            " <- \t          \t0x000\t  01 00 00 00 00 00 00 00 \t\r\n");
  QString error;
  EXPECT_FALSE(log->saveLog(dir.filePath(QStringLiteral("missing/folder/log.log")), TfrmCANLog::LogFormat::Text, &error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_TRUE(boxes.boxes().empty()) << "saving itself shows nothing; the button does";

  // A failed save keeps the previous file whole.
  ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("taken.log")));
  EXPECT_FALSE(log->saveLog(dir.filePath(QStringLiteral("taken.log")), TfrmCANLog::LogFormat::Text));
  const QByteArray before = read(path);
  log->addFrame(frame(0x182, {1}, 2000000), false);
  QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
  if (!QFileInfo(dir.path()).isWritable()) {  // root writes anywhere
    EXPECT_FALSE(log->saveLog(path, TfrmCANLog::LogFormat::Text));
    EXPECT_EQ(read(path), before);
  }
  QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

TEST_F(CanLogWindowTest, SaveButtonReportsAFailedSaveNamingTheFile) {
  RecordingMessageBoxService boxes;
  log->addFrame(frame(0x181, {1}, 3000000), false);
  const QString path = dir.filePath(QStringLiteral("gone/chosen.log"));
  auto* chooser = child<QFileDialog>("saveLogFileChooser");
  QTimer::singleShot(0, chooser, [&] {
    chooser->selectFile(path);
    static_cast<QDialog*>(chooser)->accept();
  });
  child<QPushButton>("saveLogBtn")->click();
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].caption, "Error");
  EXPECT_TRUE(boxes.boxes()[0].text.contains(QDir::toNativeSeparators(path))) << boxes.boxes()[0].text.toStdString();
  EXPECT_FALSE(QFile::exists(path));
}

TEST_F(CanLogWindowTest, CandumpExportReadsBackWithACandumpParser) {
  log->addFrame(frame(0x601, {0x40, 0x41, 0x60, 0x00}, 0, true), false);  // before any time stamp
  log->addFrame(frame(0x581, {0x4B, 0x41, 0x60, 0x00, 0x37, 0x06, 0x00, 0x00}, 1500000), false);
  log->addFrame(frame(0x701, {}, 0, true), false, true);  // guarding request: remote
  log->addFrame(frame(0x701, {0x05}, 2000001), false);
  log->addFrame(frame(0x080, {}, 4294967000u), false);     // SYNC just before the clock wraps
  log->addFrame(frame(0x080, {}, 100), false);             // and after it
  const QString path = dir.filePath(QStringLiteral("trace.log"));
  ASSERT_TRUE(log->saveLog(path, TfrmCANLog::LogFormat::Candump));

  // python-can's reader where it is installed; else the format by hand.
  const char* script =
      "import sys, can\n"
      "for m in can.io.CanutilsLogReader(sys.argv[1]):\n"
      "    print('%.6f %s %03X %d %s' % (m.timestamp, m.channel, m.arbitration_id, m.is_remote_frame,"
      " bytes(m.data).hex().upper()))\n";
  QProcess python;
  python.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral("-c"), QLatin1String(script), path});
  QStringList parsed;
  if (python.waitForFinished(30000) && python.exitStatus() == QProcess::NormalExit && python.exitCode() == 0) {
    parsed = QString::fromUtf8(python.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  } else {
    const QRegularExpression format(QStringLiteral(R"(^\((\d+)\.(\d{6})\) (\S+) ([0-9A-F]{3})#(R|(?:[0-9A-F]{2})*)$)"));
    for (const QByteArray& line : read(path).split('\n')) {
      if (line.isEmpty()) continue;
      const auto m = format.match(QString::fromLatin1(line));
      ASSERT_TRUE(m.hasMatch()) << line.toStdString();
      const bool remote = m.captured(5) == QLatin1String("R");
      parsed << QStringLiteral("%1.%2 %3 %4 %5 %6")
                    .arg(m.captured(1).toULongLong())
                    .arg(m.captured(2), m.captured(3), m.captured(4))
                    .arg(int(remote))
                    .arg(remote ? QString() : m.captured(5));
    }
  }
  const QStringList expected = {
      "0.000000 can0 601 0 40416000",
      "1.500000 can0 581 0 4B41600037060000",
      "1.500000 can0 701 1 ",
      "2.000001 can0 701 0 05",
      "4294.967000 can0 080 0 ",
      "4294.967396 can0 080 0 ",
  };
  ASSERT_EQ(parsed.size(), expected.size()) << parsed.join(QLatin1Char('|')).toStdString();
  for (int i = 0; i < expected.size(); ++i) EXPECT_EQ(parsed[i].trimmed(), expected[i].trimmed()) << i;
}

TEST_F(CanLogWindowTest, SaveButtonAsksForFileAndFormat) {
  log->addFrame(frame(0x181, {1}, 3000000), false);
  const QString path = dir.filePath(QStringLiteral("chosen.log"));
  auto* chooser = child<QFileDialog>("saveLogFileChooser");
  QTimer::singleShot(0, chooser, [&] {
    chooser->selectNameFilter(QStringLiteral("candump log (*.log)"));
    chooser->selectFile(path);
    static_cast<QDialog*>(chooser)->accept();  // as the dialog's Save button does
  });
  child<QPushButton>("saveLogBtn")->click();
  EXPECT_EQ(read(path), "(0000000003.000000) can0 181#01\n");

  // Cancelled: nothing written; the text format is offered first again.
  QFile::remove(path);
  QTimer::singleShot(0, chooser, [&] {
    EXPECT_EQ(chooser->selectedNameFilter(), QStringLiteral("LogFiles (*.log)"));
    chooser->reject();
  });
  child<QPushButton>("saveLogBtn")->click();
  EXPECT_FALSE(QFile::exists(path));
}

TEST_F(CanLogWindowTest, CopyPutsEveryLineOnTheClipboardAndClearEmptiesTheLog) {
  for (int i = 0; i < 40; ++i) log->addFrame(frame(0x281, {std::uint8_t(i)}, 100 + i), false);
  child<QPushButton>("Button1")->click();
  const QString copied = QApplication::clipboard()->text();
  EXPECT_EQ(copied.count(QLatin1Char('\n')), 40);
  EXPECT_TRUE(copied.endsWith(QStringLiteral("27 00 00 00 00 00 00 00 \t\n")));

  log->tmrFillLogTimer();
  child<QPushButton>("LogClear")->click();
  EXPECT_EQ(log->recordCount(), 0u);
  EXPECT_EQ(log->keptTextCount(), 0u);
  EXPECT_EQ(scroll()->maximum(), 0);
  EXPECT_TRUE(area()->toPlainText().isEmpty());
  log->tmrFillLogTimer();
  EXPECT_TRUE(area()->toPlainText().isEmpty());
}

TEST_F(CanLogWindowTest, MouseOverAColumnShowsItsHint) {
  log->addFrame(frame(0x601, {0x2B, 0x40, 0x60, 0x00, 0x0F}, 1234567), false);
  log->tmrFillLogTimer();
  const QTextBlock block = area()->document()->firstBlock();
  const auto pointAt = [&](const QString& part, int extra) {
    QTextCursor c(block);
    c.setPosition(block.position() + int(block.text().indexOf(part)) + extra);
    const QRect r = area()->cursorRect(c);
    return QPoint(r.left() + 3, r.center().y());
  };
  QTest::mouseMove(area()->viewport(), pointAt(QStringLiteral("0x601"), 2));
  EXPECT_EQ(area()->toolTip(), "CobID");
  QTest::mouseMove(area()->viewport(), pointAt(QStringLiteral("2B"), 0));
  EXPECT_EQ(area()->toolTip(), "Request Type");
  QTest::mouseMove(area()->viewport(), QPoint(5, area()->viewport()->height() - 5));  // below the text
  EXPECT_EQ(area()->toolTip(), "");
}

}  // namespace
