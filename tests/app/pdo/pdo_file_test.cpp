// The PDO configuration file: what the reader takes, what it rejects as a
// whole (and at which line), and the shipped presets.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "PdoConfigFile.h"

namespace {

QByteArray block(const char* index, const char* map, int count) {
  QByteArray text = QByteArray(index) + "\t|1\t|385\r\n" + index + "\t|2\t|255\r\n" + map + "\t|0\t|" +
                    QByteArray::number(count) + "\r\n";
  for (int s = 1; s <= 8; ++s)
    text += QByteArray(map) + "\t|" + QByteArray::number(s) + "\t|" + (s <= count ? "1614872592" : "0") + "\r\n";
  return text;
}

TEST(PdoConfigFile, WrittenLinesReadBack) {
  QByteArray text = pdofile::formatLine(0x1800, 1, "385") + pdofile::formatLine(0x1a00, 0, "1") +
                    pdofile::formatLine(0x1a00, 1, "1614872592") + pdofile::formatLine(0x2004, 3, "text value");
  EXPECT_TRUE(text.startsWith("1800\t|1\t|385\r\n1A00\t|0\t|1\r\n"));
  const pdofile::Content content = pdofile::read(text);
  ASSERT_TRUE(content.ok()) << content.error.toStdString();
  ASSERT_EQ(content.lines.size(), 4u);
  EXPECT_EQ(content.lines[1].index, "1A00");
  EXPECT_EQ(content.lines[1].indexValue, 0x1A00);
  EXPECT_EQ(content.lines[2].sub, 1);
  EXPECT_EQ(content.lines[2].value, "1614872592");
  EXPECT_EQ(content.lines[3].value, "text value");  // objects outside the PDO range are kept as they are
  EXPECT_EQ(content.lines[3].lineNumber, 4);
}

TEST(PdoConfigFile, LenientWhereTheFormatAllowsIt) {
  struct Case {
    const char* what;
    QByteArray text;
    std::size_t lines;
  };
  const Case cases[] = {
      {"LF line ends", "1400\t|2\t|255\n1400\t|1\t|513\n", 2},
      {"blanks around the fields", "  1400 \t| 2 \t| 255 \r\n", 1},
      {"lines without two separators", "# comment\n1400|2\n1400\t|2\t|255\n", 1},
      {"an empty field", "1400\t|\t|255\n\t|2\t|1\n1400\t|2\t|\n", 0},
      {"blank lines and an empty file", "\r\n\n", 0},
      {"a lower-case index", "1a00\t|1\t|0\n", 1},
      {"a count of 0 needs no entries", "1A00\t|0\t|0\n", 1},
  };
  for (const Case& c : cases) {
    const pdofile::Content content = pdofile::read(c.text);
    EXPECT_TRUE(content.ok()) << c.what << ": " << content.error.toStdString();
    EXPECT_EQ(content.lines.size(), c.lines) << c.what;
  }
}

TEST(PdoConfigFile, DamagedFilesAreRejectedAtTheirLine) {
  struct Case {
    const char* what;
    QByteArray text;
    int line;
    const char* reason;
  };
  const QByteArray good = block("1800", "1A00", 1);
  const Case cases[] = {
      {"subindex not a number", "1400\t|2\t|255\r\n1400\t|x\t|255\r\n", 2, "subindex \"x\""},
      {"subindex above 255", "1400\t|256\t|1\r\n", 1, "subindex \"256\""},
      {"index not hexadecimal", "14G0\t|1\t|1\r\n", 1, "index \"14G0\""},
      {"index too long", "14000\t|1\t|1\r\n", 1, "index \"14000\""},
      {"PDO value not a number", good + "1801\t|1\t|0x28g\r\n", 12, "value \"0x28g\""},
      {"count above 8", "1A00\t|0\t|9\r\n", 1, "count 9"},
      {"count without its entries", block("1800", "1A00", 2).left(good.indexOf("1A00\t|2")), 3, "no entry 2"},
      {"last line cut", good + "1801\t|1\t|64", 12, "cut short"},
  };
  for (const Case& c : cases) {
    const pdofile::Content content = pdofile::read(c.text);
    EXPECT_FALSE(content.ok()) << c.what;
    EXPECT_EQ(content.errorLine, c.line) << c.what;
    EXPECT_TRUE(content.error.contains(QLatin1String(c.reason))) << c.what << ": " << content.error.toStdString();
    EXPECT_TRUE(content.lines.empty()) << c.what;  // nothing of a rejected file is handed on
  }
}

TEST(PdoConfigFile, SlotsOfCobIdsAndCounts) {
  EXPECT_EQ(pdofile::cobIdSlot(0x1400, 1), 0);
  EXPECT_EQ(pdofile::cobIdSlot(0x1403, 1), 3);
  EXPECT_EQ(pdofile::cobIdSlot(0x1800, 1), 4);
  EXPECT_EQ(pdofile::cobIdSlot(0x1803, 1), 7);
  EXPECT_EQ(pdofile::cobIdSlot(0x1404, 1), -1);
  EXPECT_EQ(pdofile::cobIdSlot(0x1400, 2), -1);
  EXPECT_EQ(pdofile::countSlot(0x1600, 0), 0);
  EXPECT_EQ(pdofile::countSlot(0x1A03, 0), 7);
  EXPECT_EQ(pdofile::countSlot(0x1A00, 1), -1);
  EXPECT_EQ(pdofile::countSlot(0x1800, 0), -1);
}

TEST(PdoConfigFile, ShippedPresetsRead) {
  const QDir dir(QDir::currentPath() + QStringLiteral("/Presets"));
  const QStringList names = dir.entryList({QStringLiteral("*.ppf")}, QDir::Files);
  ASSERT_GE(names.size(), 5) << dir.path().toStdString();
  for (const QString& name : names) {
    QFile file(dir.filePath(name));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
    const pdofile::Content content = pdofile::read(file.readAll());
    EXPECT_TRUE(content.ok()) << name.toStdString() << ": " << content.error.toStdString();
    EXPECT_EQ(content.lines.size() % 11, 0u) << name.toStdString();
  }
}

}  // namespace
