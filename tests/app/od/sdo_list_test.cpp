// The SDO list against a scripted connector: row building, conversions in
// both directions, Read All's failure count, Save All's rules, list files.
#include <gtest/gtest.h>

#include "QtTestSupport.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>

#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "DLLConnector.h"
#include "DLLLoader.h"
#include "SdoGridModel.h"
#include "StringGridSDODataSource.h"
#include "Util.h"

// Readable failure messages for Qt texts.
namespace {

QApplication& app() { return kestrum::test::application(); }

/// A connector without a bus: reads answer from a script, writes are
/// recorded and acknowledged.
class ScriptedConnector : public DLLConnector {
 public:
  explicit ScriptedConnector(DLLLoader* loader) : DLLConnector(loader) {}

  struct Write {
    std::uint16_t index;
    std::uint8_t sub;
    std::uint8_t type;
    std::int32_t value;
  };
  std::function<SDOResult(std::uint16_t, std::uint8_t, std::uint8_t)> onRead = [](auto, auto, auto) {
    return SDOResult{0, 0, 4, 7};
  };
  std::vector<Write> writes;
  std::vector<std::uint8_t> nmt;
  std::vector<std::string> trace;  ///< NMT commands and writes in the order they went out
  int reads = 0;

  SDOResult readObject(std::uint8_t, std::uint16_t index, std::uint8_t sub, std::uint8_t type, std::uint32_t) override {
    ++reads;
    return onRead(index, sub, type);
  }
  SDOResult writeObject(std::uint8_t, std::uint16_t index, std::uint8_t sub, std::uint8_t type, std::uint32_t,
                        std::int32_t value) override {
    writes.push_back({index, sub, type, value});
    trace.push_back(QString::asprintf("write %04X", index).toStdString());
    return {};
  }
  void send_nmtW(std::uint8_t command) override {
    nmt.push_back(command);
    trace.push_back(QString::asprintf("nmt %02X", command).toStdString());
  }
};

class SdoListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app();
    ASSERT_TRUE(dir.isValid());
    path = dir.filePath(QStringLiteral("EDS_Test.xml"));
    std::ofstream(path.toStdString()) << R"(<EDS>
  <SDO><ID>1000</ID><ParameterName>Device Type</ParameterName><DataType>7</DataType><AccessType>ro</AccessType><DefaultValue>0x192</DefaultValue></SDO>
  <SDO><ID>1008</ID><ParameterName>Name</ParameterName><DataType>9</DataType><AccessType>const</AccessType><DefaultValue>0</DefaultValue></SDO>
  <SDO><ID>1010</ID><ParameterName>Store</ParameterName><DataType>8</DataType><SubNumber>2</SubNumber>
    <subnodes>
      <sub0><ParameterName>Count</ParameterName><DataType>5</DataType><AccessType>ro</AccessType><DefaultValue>1</DefaultValue></sub0>
      <sub1><ParameterName>Save all</ParameterName><DataType>7</DataType><AccessType>rw</AccessType><DefaultValue>1</DefaultValue></sub1>
    </subnodes>
  </SDO>
  <SDO><ID>1011</ID><ParameterName>Restore</ParameterName><DataType>8</DataType><SubNumber>2</SubNumber>
    <subnodes>
      <sub0><DataType>5</DataType><AccessType>ro</AccessType><DefaultValue>1</DefaultValue></sub0>
      <sub1><DataType>7</DataType><AccessType>rw</AccessType><DefaultValue>1</DefaultValue></sub1>
    </subnodes>
  </SDO>
  <SDO><ID>1400</ID><DataType>8</DataType><SubNumber>3</SubNumber>
    <subnodes>
      <sub0><DataType>5</DataType><AccessType>ro</AccessType><DefaultValue>2</DefaultValue></sub0>
      <sub1><DataType>7</DataType><AccessType>rw</AccessType><DefaultValue>$NODEID+0x200</DefaultValue></sub1>
      <sub2><DataType>5</DataType><AccessType>rw</AccessType><DefaultValue>255</DefaultValue></sub2>
    </subnodes>
  </SDO>
  <SDO><ID>1A03</ID><DataType>8</DataType><SubNumber>1</SubNumber>
    <subnodes><sub0><DataType>5</DataType><AccessType>rw</AccessType><DefaultValue>0</DefaultValue></sub0></subnodes>
  </SDO>
  <SDO><ID>2001</ID><ParameterName>Flag</ParameterName><DataType>1</DataType><AccessType>rw</AccessType><DefaultValue>0</DefaultValue></SDO>
  <SDO><ID>2002</ID><ParameterName>Byte</ParameterName><DataType>5</DataType><AccessType>rw</AccessType><DefaultValue>3</DefaultValue></SDO>
  <SDO><ID>2003</ID><ParameterName>Table</ParameterName><DataType>8</DataType><AccessType>rw</AccessType><DefaultValue>0</DefaultValue></SDO>
  <SDO><ID>2004</ID><ParameterName>Empty record</ParameterName><DataType>8</DataType><SubNumber>2</SubNumber></SDO>
  <SDO><ID>6040</ID><ParameterName>Controlword</ParameterName><DataType>6</DataType><AccessType>rw</AccessType><DefaultValue>0</DefaultValue></SDO>
  <SDO><ID>6041</ID><ParameterName>Statusword</ParameterName><DataType>6</DataType><AccessType>ro</AccessType><DefaultValue>0</DefaultValue></SDO>
  <SDO><ID>6071</ID><ParameterName>Target torque</ParameterName><DataType>3</DataType><AccessType>rw</AccessType><DefaultValue>0</DefaultValue></SDO>
  <SDO><ID>60FF</ID><ParameterName>Target velocity</ParameterName><DataType>4</DataType><AccessType>rw</AccessType><DefaultValue>-5</DefaultValue></SDO>
</EDS>)";
    db.loadFile(path);
    list = std::make_unique<StringGridSDODataSource>(nullptr, &db, &connector);
    StringGridSDODataSource::resetSdoFailureCount();
  }

  QString value(const QString& id, int sub) { return list->getValue(id, sub, false); }
  QString message(const QString& id, int sub) { return list->findEntry(id, sub)->message; }
  std::vector<std::uint16_t> writtenIndices() const {
    std::vector<std::uint16_t> r;
    for (const auto& w : connector.writes) r.push_back(w.index);
    return r;
  }

  QTemporaryDir dir;
  QString path;
  EDSDatabase db;
  DLLLoader noLibrary{QStringLiteral("/nonexistent/libVarnex.so")};
  ScriptedConnector connector{&noLibrary};
  std::unique_ptr<StringGridSDODataSource> list;
};

TEST_F(SdoListTest, RowsFollowTheObjectsAndTheirSubObjects) {
  // 1000, 1008, 1010 x2, 1011 x2, 1400 x3, 1A03, 2001, 2002, 2003, 6040, 6041, 6071, 60FF;
  // a record without sub-objects gives no row.
  ASSERT_EQ(list->rowCount(), 17);
  EXPECT_EQ(list->entryAtRow(0), nullptr);
  EXPECT_EQ(list->entryAtRow(18), nullptr);
  const sdoGridEntry* row3 = list->entryAtRow(3);
  EXPECT_EQ(row3->definition->id, "1010");  // sub-objects carry their object's ID
  EXPECT_EQ(row3->subindex, "0");
  EXPECT_EQ(list->entryAtRow(4)->subindex, "1");
  EXPECT_EQ(list->entryAtRow(1)->subindex, "0");
  EXPECT_EQ(list->findEntry("60ff", 0)->definition->parameterName, "Target velocity");
  EXPECT_EQ(list->findEntry("1400", 2)->row, 9);
  EXPECT_EQ(list->findEntry("1400", 5), nullptr);
  EXPECT_TRUE(list->isWritable(4));
  EXPECT_FALSE(list->isWritable(3));
  EXPECT_EQ(list->getDescription("6041", 0), "Statusword");
  EXPECT_EQ(list->getDescription("7000", 0), "");
}

TEST_F(SdoListTest, ReadValuesAreShownBySignAndWidthOfTheirType) {
  connector.onRead = [](std::uint16_t, std::uint8_t, std::uint8_t type) {
    return SDOResult{0, 0, type, std::int32_t(0xFFFFFFFF)};
  };
  EXPECT_TRUE(list->readById("6071", 0));
  EXPECT_EQ(value("6071", 0), "-1");
  EXPECT_TRUE(list->readById("6041", 0));
  EXPECT_EQ(value("6041", 0), "65535");
  EXPECT_EQ(message("6041", 0), "READ OK");
  EXPECT_TRUE(list->readById("1000", 0));
  EXPECT_EQ(value("1000", 0), "4294967295");
  EXPECT_TRUE(list->readById("60FF", 0));
  EXPECT_EQ(value("60FF", 0), "-1");

  // Strings are skipped as a success; arrays are no readable type.
  const int before = connector.reads;
  EXPECT_TRUE(list->readById("1008", 0));
  EXPECT_EQ(message("1008", 0), "SKIPPED");
  EXPECT_FALSE(list->readById("2003", 0));
  EXPECT_EQ(message("2003", 0), "Error: unknown data type for SD0 2003");
  EXPECT_EQ(connector.reads, before);

  // An abort keeps the value and counts as read; a time-out does not.
  connector.onRead = [](auto, auto, auto) { return SDOResult{3, 0x06020000, 0, 0}; };
  EXPECT_TRUE(list->readById("6071", 0));
  EXPECT_EQ(value("6071", 0), "-1");
  EXPECT_EQ(message("6071", 0), "slave reported error: Object does not exist in the object dictionary.");
  EXPECT_FALSE(list->lastReadOk());
  connector.onRead = [](auto, auto, auto) { return SDOResult{2, 0, 0, 0}; };
  EXPECT_EQ(list->getValue("6071", 0, true), "-1");
  EXPECT_EQ(list->getValue("6071", 0, true), "-1");
  EXPECT_EQ(StringGridSDODataSource::getSdoFailureCount(), 2);
  EXPECT_EQ(message("6071", 0), "protocol: no answer within timeout");
}

TEST_F(SdoListTest, WritesConvertByTypeAndAFailedWriteKeepsTheOldValue) {
  EXPECT_TRUE(list->setValue("2001", 0, "0", true));
  EXPECT_TRUE(list->setValue("2002", 0, "300", true));  // the low byte
  EXPECT_TRUE(list->setValue("60FF", 0, "-2", true));
  EXPECT_TRUE(list->setValue("1010", 1, "0x65766173", true));
  ASSERT_EQ(connector.writes.size(), 4u);
  EXPECT_EQ(connector.writes[0].value, 0);
  EXPECT_EQ(connector.writes[0].type, TYPE_U8);
  EXPECT_EQ(connector.writes[1].value, 44);
  EXPECT_EQ(connector.writes[2].value, -2);
  EXPECT_EQ(connector.writes[2].type, TYPE_U32);
  EXPECT_EQ(std::uint32_t(connector.writes[3].value), 0x65766173u);
  EXPECT_EQ(message("2002", 0), "WRITE OK");

  // A boolean takes 0 or 1 only: anything else is refused unsent, like a
  // mistyped number, and the row keeps its value.
  for (const char* text : {"2", "-1", "0x10"})
    EXPECT_THROW(list->setValue("2001", 0, text, true), ConversionError) << text;
  EXPECT_EQ(value("2001", 0), "0");
  EXPECT_TRUE(list->setValue("2001", 0, "1", true));
  EXPECT_EQ(connector.writes.back().value, 1);
  connector.writes.pop_back();

  // An unknown ID is logged and reported as done; nothing is sent.
  EXPECT_TRUE(list->setValue("7777", 0, "1", true));
  EXPECT_EQ(connector.writes.size(), 4u);

  // A mistyped number is refused before anything is sent, for 32-bit
  // objects too, and the row keeps its value.
  EXPECT_THROW(list->setValue("60FF", 0, "12a", true), ConversionError);
  EXPECT_THROW(list->setValue("2002", 0, "x", true), ConversionError);
  EXPECT_EQ(value("60FF", 0), "-2");
  EXPECT_EQ(value("2002", 0), "300");
  EXPECT_EQ(connector.writes.size(), 4u);
}

class RefusingConnector : public ScriptedConnector {
 public:
  using ScriptedConnector::ScriptedConnector;
  SDOResult writeObject(std::uint8_t, std::uint16_t, std::uint8_t, std::uint8_t, std::uint32_t, std::int32_t) override {
    return {3, 0x06090030, 0, 0};
  }
};

TEST_F(SdoListTest, ARefusedWritePutsTheOldValueBack) {
  RefusingConnector refusing(&noLibrary);
  list.reset();
  list = std::make_unique<StringGridSDODataSource>(nullptr, &db, &refusing);
  EXPECT_FALSE(list->setValue("2002", 0, "9", true));
  EXPECT_EQ(value("2002", 0), "3");
  EXPECT_EQ(message("2002", 0), "slave reported error: Value range of parameter exceeded (only for write access).");
  EXPECT_EQ(StringGridSDODataSource::getSdoFailureCount(), 1);
}

TEST_F(SdoListTest, ReadAllStopsAtTheThirdFailureCountedOverTheWholeRun) {
  // Rows 5 and 12 time out and row 13 is an array (no readable type): the
  // failures are not in a row, rows 6 to 11 succeed in between.
  connector.onRead = [this](std::uint16_t index, std::uint8_t sub, std::uint8_t) {
    const sdoGridEntry* e = list->findEntry(QStringLiteral("%1").arg(index, 4, 16, QLatin1Char('0')).toUpper(), sub);
    const bool fails = e && (e->row == 5 || e->row == 12);
    return fails ? SDOResult{2, 0, 0, 0} : SDOResult{0, 0, 4, 1};
  };
  EXPECT_FALSE(list->readAll());
  EXPECT_FALSE(list->isAllRead());
  EXPECT_EQ(list->entryAtRow(11)->message, "READ OK");
  EXPECT_EQ(list->entryAtRow(12)->message, "protocol: no answer within timeout");
  EXPECT_EQ(list->entryAtRow(13)->message, "Error: unknown data type for SD0 2003");
  EXPECT_EQ(list->entryAtRow(14)->message, "");  // never read
  EXPECT_EQ(list->entryAtRow(14)->definition->value, "0");

  // One failure alone does not stop the run; its end decides.
  connector.onRead = [](auto, auto, auto) { return SDOResult{0, 0, 4, 1}; };
  EXPECT_TRUE(list->readAll());
  EXPECT_TRUE(list->isAllRead());
}

TEST_F(SdoListTest, SaveAllSkipsPdoObjectsTheControlwordAndUnsignedStoreCommands) {
  list->setNmtState(1);  // operational: pre-operational for the writes, then back to operational
  EXPECT_TRUE(list->writeAll());
  EXPECT_EQ(connector.nmt, (std::vector<std::uint8_t>{0x80, 0x01}));
  EXPECT_EQ(connector.trace.front(), "nmt 80");
  EXPECT_EQ(connector.trace.back(), "nmt 01") << "the state is restored after the last write";
  EXPECT_EQ(writtenIndices(), (std::vector<std::uint16_t>{0x2001, 0x2002, 0x6071, 0x60FF}));
  EXPECT_EQ(list->findEntry("1400", 1)->message, "SKIPPED");
  EXPECT_EQ(list->findEntry("1A03", 0)->message, "SKIPPED");
  EXPECT_EQ(list->findEntry("6040", 0)->message, "");

  // With their signatures the store and restore commands go out.
  connector.writes.clear();
  connector.nmt.clear();
  list->setNmtState(0);
  list->setValue("1010", 1, QString::number(StringGridSDODataSource::kSaveSignature), false);
  list->setValue("1011", 1, QString::number(StringGridSDODataSource::kLoadSignature), false);
  list->writeAll();
  EXPECT_TRUE(connector.nmt.empty());
  EXPECT_EQ(writtenIndices(), (std::vector<std::uint16_t>{0x1010, 0x1011, 0x2001, 0x2002, 0x6071, 0x60FF}));
}

TEST_F(SdoListTest, ResetToDefaultsWritesTheDefaultsOfWritableRows) {
  list->setValue("2002", 0, "77", false);
  list->setValue("60FF", 0, "1000", false);
  list->setNmtState(3);  // unknown: written pre-operational, never reset
  EXPECT_TRUE(list->resetToDefaults());
  EXPECT_EQ(connector.nmt, (std::vector<std::uint8_t>{0x80}));
  EXPECT_EQ(value("2002", 0), "3");
  EXPECT_EQ(value("60FF", 0), "-5");
  ASSERT_EQ(connector.writes.size(), 4u);
  EXPECT_EQ(connector.writes[3].value, -5);
}

TEST_F(SdoListTest, ListFilesRoundTripWithoutTransfers) {
  list->setValue("2002", 0, "42", false);
  list->setValue("60FF", 0, "-7", false);
  const QString file = dir.filePath("values.log");
  ASSERT_TRUE(list->saveToFile(file));
  QFile f(file);
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QByteArray content = f.readAll();
  EXPECT_TRUE(content.startsWith("1000\t|0\t|402\t|Device Type\r\n")) << content.left(60).toStdString();
  EXPECT_TRUE(content.contains("1010\t|1\t|1\t|Save all\r\n"));

  // A list that cannot be written says why and leaves no file behind.
  QString error;
  EXPECT_FALSE(list->saveToFile(dir.filePath("gone/values.log"), &error));
  EXPECT_FALSE(error.isEmpty());
  EXPECT_FALSE(QFile::exists(dir.filePath("gone/values.log")));

  list->setValue("2002", 0, "1", false);
  list->setValue("60FF", 0, "1", false);
  ASSERT_TRUE(list->loadFromFile(file));
  EXPECT_EQ(value("2002", 0), "42");
  EXPECT_EQ(value("60FF", 0), "-7");
  EXPECT_TRUE(connector.writes.empty());
  EXPECT_EQ(connector.reads, 0);
  EXPECT_FALSE(list->loadFromFile(dir.filePath("missing.log")));
}

TEST_F(SdoListTest, ListFilesWithATitleLineHaveFiveFields) {
  const QString file = dir.filePath("titled.log");
  std::ofstream(file.toStdString()) << "iD\t|Sub\t|Type\t|Value\t|Description\r\n"
                                       "0x2002\t|0\t|u8\t|9\t|Byte\r\n"
                                       "60ff\t|0\t|s32\t|-3\t|Target velocity\n"
                                       "7777\t|0\t|u8\t|1\t|not in the list\r\n"
                                       "2001\t|0\t|bool\t|\t|no value\r\n";
  ASSERT_TRUE(list->loadFromFile(file));
  EXPECT_EQ(value("2002", 0), "9");
  EXPECT_EQ(value("60FF", 0), "-3");
  EXPECT_EQ(value("2001", 0), "0");

  // A subindex that is no number ends the load; earlier lines stay applied.
  std::ofstream(file.toStdString()) << "2002\t|0\t|5\t|x\r\n2001\t|zero\t|1\t|y\r\n";
  EXPECT_THROW(list->loadFromFile(file), ConversionError);
  EXPECT_EQ(value("2002", 0), "5");
}

TEST_F(SdoListTest, ClosingEndsEveryOperation) {
  StringGridSDODataSource::applicationClosing = true;
  EXPECT_EQ(list->findEntry("2002", 0), nullptr);
  EXPECT_EQ(list->getValue("2002", 0, true), "");
  EXPECT_FALSE(list->setValue("2002", 0, "1", true));
  EXPECT_FALSE(list->readAll());
  EXPECT_FALSE(list->writeAll());
  EXPECT_EQ(connector.reads, 0);
  EXPECT_TRUE(connector.writes.empty());
  // A new list starts afresh.
  list = std::make_unique<StringGridSDODataSource>(nullptr, &db, &connector);
  EXPECT_FALSE(StringGridSDODataSource::applicationClosing);
}

}  // namespace

// A bulk operation changes rows faster than anyone can look: the first change
// after a quiet spell reaches the view at once, the following ones together
// one interval later, and nothing is announced for rows a reset removed.
TEST(SdoGridModelTest, RowChangesReachTheViewAtOnceThenTogether) {
  app();
  SdoGridModel model([](int) { return nullptr; });
  model.resetRows(10);
  std::vector<std::pair<int, int>> announced;
  QObject::connect(&model, &QAbstractItemModel::dataChanged,
                   [&](const QModelIndex& a, const QModelIndex& b) { announced.emplace_back(a.row(), b.row()); });
  // Runs the event loop for a little more than one interval after `until` holds.
  auto runPastInterval = [](const std::function<bool()>& until) {
    QElapsedTimer t;
    t.start();
    while (!until() && t.elapsed() < 10 * SdoGridModel::kChangeInterval.count())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    t.restart();
    while (t.elapsed() < SdoGridModel::kChangeInterval.count() + 20)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
  };

  model.rowChanged(3);
  ASSERT_EQ(announced.size(), 1u);
  EXPECT_EQ(announced[0], std::make_pair(2, 2));
  model.rowChanged(5);
  model.rowChanged(9);
  model.rowChanged(4);
  model.rowChanged(11);  // no such row
  EXPECT_EQ(announced.size(), 1u);
  runPastInterval([&] { return announced.size() > 1; });
  ASSERT_EQ(announced.size(), 2u);
  EXPECT_EQ(announced[1], std::make_pair(3, 8));

  model.rowChanged(2);  // at once again after the quiet spell
  ASSERT_EQ(announced.size(), 3u);
  model.rowChanged(10);
  model.resetRows(5);
  runPastInterval([] { return true; });
  EXPECT_EQ(announced.size(), 3u);
}
