// The offline connector answers reads from the EDS defaults.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QTemporaryDir>

#include <fstream>

#include "DLLConnectorEmpty.h"
#include "DLLLoader.h"
#include "EDSDatabase.h"
#include "MessageFilter.h"

namespace {

class OfflineConnector : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("EDS_Test.xml"));
    std::ofstream(path.toStdString()) << R"(<EDS>
  <SDO><ID>1017</ID><DataType>6</DataType><DefaultValue></DefaultValue></SDO>
  <SDO><ID>2001</ID><DataType>2</DataType><DefaultValue>0xFF</DefaultValue></SDO>
  <SDO><ID>1014</ID><DataType>7</DataType><DefaultValue>$NODEID+0x80</DefaultValue></SDO>
  <SDO><ID>1008</ID><DataType>9</DataType><DefaultValue>0</DefaultValue></SDO>
  <SDO><ID>1018</ID><DataType>7</DataType><SubNumber>2</SubNumber>
    <subnodes>
      <sub0><DataType>5</DataType><DefaultValue>1</DefaultValue></sub0>
      <sub1><DataType>7</DataType><DefaultValue>0xFEDCBA98</DefaultValue></sub1>
    </subnodes>
  </SDO>
</EDS>)";
    db.loadFile(path);
  }

  int argc = 1;
  char name[2] = "t";
  char* argv[2] = {name, nullptr};
  QCoreApplication app{argc, argv};
  QTemporaryDir dir;
  EDSDatabase db;
  DLLLoader noLibrary{QStringLiteral("/nonexistent/libVarnex.so")};
  DLLConnectorEmpty connector{&noLibrary};
};

TEST_F(OfflineConnector, ReadsAnswerWithTheDefaults) {
  EXPECT_EQ(connector.readObject(1, 0x1017, 0, TYPE_U8, 0).code, 513);  // nothing bound yet
  connector.bindDatabase(&db);

  SDOResult r = connector.readObject(1, 0x1017, 0, TYPE_U32, 0);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.size, 6);  // the EDS data type, not the requested size
  EXPECT_EQ(r.value, 0);

  r = connector.readObject(1, 0x2001, 0, TYPE_U8, 0);
  EXPECT_EQ(r.size, 2);
  EXPECT_EQ(r.value, 0xFF);  // s8 -1 as its 8 bits
  EXPECT_EQ(connector.readObject(1, 0x1014, 0, TYPE_U8, 0).value, 0x80);

  r = connector.readObject(1, 0x1018, 1, TYPE_U8, 0);
  EXPECT_EQ(r.size, 7);
  EXPECT_EQ(std::uint32_t(r.value), 0xFEDCBA98u);
  EXPECT_EQ(connector.readObject(1, 0x1018, 0, TYPE_U8, 0).value, 1);

  EXPECT_EQ(connector.readObject(1, 0x1018, 2, TYPE_U8, 0).code, 513);  // no such sub-object
  EXPECT_EQ(connector.readObject(1, 0x6041, 0, TYPE_U16, 0).code, 513);  // no such object
  EXPECT_EQ(connector.readObject(1, 0x1008, 0, TYPE_STRING, 0).code, 513);  // not a number type

  // A value text edited into something that is no number is refused, not thrown.
  db.find(QStringLiteral("1018"))->subObjects.at(1)->value = QStringLiteral("abc");
  EXPECT_EQ(connector.readObject(1, 0x1018, 1, TYPE_U32, 0).code, 513);
}

TEST_F(OfflineConnector, EverythingElseSucceedsWithoutEffect) {
  EXPECT_EQ(connector.getClassName(), "DLLConnectorEmpty");
  EXPECT_EQ(connector.getLevel(), 0.0);
  EXPECT_EQ(connector.writeObject(1, 0x6040, 0, TYPE_U16, 100, 6).code, 1024);
  // Its error texts are the online connector's, so log lines name the failure.
  EXPECT_EQ(connector.getErrorText({1024, 0, 0, 0}), "unknown error: 1024");
  EXPECT_EQ(connector.getErrorText({513, 0, 0, 0}), "internal: unknown type given");
  EXPECT_EQ(connector.getErrorText({0, 0, 0, 0}), "no error");
  EXPECT_TRUE(connector.init_canW(1, 1000, -1, -1, true, 0x51, nullptr));
  std::uint8_t type = 0x55;
  std::int32_t value = 0x55;
  EXPECT_TRUE(connector.recv_sdoW(0x6041, 0, type, value));
  EXPECT_EQ(type, 0x55);
  EXPECT_EQ(value, 0x55);
  EXPECT_EQ(connector.getMessageFilter(), MessageFilter::instance());
}

}  // namespace
