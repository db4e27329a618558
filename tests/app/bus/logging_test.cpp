// The application log: line format and colour, the pane, and lines written
// from another thread.
#include <gtest/gtest.h>

#include <QApplication>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QTextBlock>
#include <QTextEdit>

#include <thread>

#include "Logging.h"

namespace {

struct Line {
  QString text;
  QColor color;
  bool shown;
};

class LoggingTest : public ::testing::Test {
 protected:
  LoggingTest() {
    QObject::connect(&Logging::instance(), &Logging::lineWritten, &context,
                     [this](const QString& t, const QColor& c, bool s) { lines.push_back({t, c, s}); });
  }
  ~LoggingTest() override { Logging::instance().detach(); }

  static QApplication& app() {
    static int argc = 1;
    static char name[] = "t";
    static char* argv[] = {name, nullptr};
    qputenv("QT_QPA_PLATFORM", "offscreen");
    static QApplication a(argc, argv);
    return a;
  }

  QApplication& application = app();
  QObject context;
  std::vector<Line> lines;
};

TEST_F(LoggingTest, LinesCarryTheTimeAndReachThePaneOnlyWhenAttached) {
  Logging::instance().log(QStringLiteral("before the pane"));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_FALSE(lines[0].shown);
  EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\(\\d\\d:\\d\\d:\\d\\d\\) before the pane$"))
                  .match(lines[0].text)
                  .hasMatch());
  EXPECT_EQ(lines[0].color, QColor(Qt::black));

  QTextEdit pane;
  Logging::instance().attach(&pane);
  ConnectorFrame emcy;
  emcy.id = 0x85;
  std::vector<std::uint16_t> emcyIds;
  QObject::connect(&Logging::instance(), &Logging::emergencyFrame, &context,
                   [&](const ConnectorFrame& f) { emcyIds.push_back(f.id); });
  Logging::instance().log(QStringLiteral("Connecting to Node: 1"));
  Logging::instance().emergency(QStringLiteral("EMERGENCY: overcurrent"), emcy);

  const QTextDocument* doc = pane.document();
  ASSERT_EQ(doc->blockCount(), 2);
  EXPECT_TRUE(doc->firstBlock().text().endsWith(QStringLiteral(") Connecting to Node: 1")));
  const QTextBlock red = doc->lastBlock();
  EXPECT_TRUE(red.text().endsWith(QStringLiteral(") EMERGENCY: overcurrent")));
  EXPECT_EQ(red.begin().fragment().charFormat().foreground().color(), QColor(Qt::red));
  EXPECT_EQ(doc->firstBlock().begin().fragment().charFormat().foreground().color(), QColor(Qt::black));
  EXPECT_EQ(emcyIds, std::vector<std::uint16_t>{0x85});
  EXPECT_TRUE(lines.back().shown);
}

TEST_F(LoggingTest, DestroyedPaneDetachesItself) {
  {
    QPlainTextEdit pane;
    Logging::instance().attach(&pane);
    Logging::instance().log(QStringLiteral("shown"));
    EXPECT_EQ(pane.document()->blockCount(), 1);
  }
  EXPECT_FALSE(Logging::instance().isAttached());
  Logging::instance().log(QStringLiteral("dropped"));  // must not touch the destroyed pane
  EXPECT_FALSE(lines.back().shown);
}

TEST_F(LoggingTest, LinesFromOtherThreadsArriveInOrderOnTheOwningThread) {
  QTextEdit pane;
  Logging::instance().attach(&pane);
  std::thread worker([] {
    for (int i = 0; i < 50; ++i) Logging::instance().log(QString::number(i));
  });
  worker.join();
  EXPECT_TRUE(lines.empty());  // nothing is written on the worker thread
  QCoreApplication::processEvents();
  ASSERT_EQ(lines.size(), 50u);
  for (int i = 0; i < 50; ++i) EXPECT_TRUE(lines[i].text.endsWith(QStringLiteral(") ") + QString::number(i)));
  EXPECT_EQ(pane.document()->blockCount(), 50);
}

}  // namespace
