#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "EDSDatabase.h"

namespace {

// One object in the XML rendering the database reads.
QString object(const QString& id, int dataType, const QString& def, const QString& access = "rw",
               const QString& extra = {}) {
  return QStringLiteral("<SDO><ID>%1</ID><ParameterName>Object %1</ParameterName><ObjectType>7</ObjectType>"
                        "<DataType>%2</DataType><DefaultValue>%3</DefaultValue><AccessType>%4</AccessType>"
                        "<PDOMapping>0</PDOMapping>%5</SDO>")
      .arg(id)
      .arg(dataType)
      .arg(def, access, extra);
}

class EdsDatabaseTest : public ::testing::Test {
 protected:
  QTemporaryDir dir;
  EDSDatabase db;

  QString write(const QString& name, const QString& body) {
    QDir(dir.path()).mkpath("XML");
    const QString path = dir.path() + "/XML/" + name;
    QFile f(path);
    EXPECT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(("<?xml version=\"1.0\"?>\n<EDS>\n" + body + "\n</EDS>\n").toUtf8());
    return path;
  }
  QString defaultOf(const QString& id) { return db.find(id) ? db.find(id)->defaultValue : "<missing>"; }
};

}  // namespace

TEST_F(EdsDatabaseTest, DefaultsAreNormalisedByWidthAndSign) {
  write("EDS_Default.xml",
        object("1014", 7, "$NODEID+0x180") + object("1015", 6, "$NODEID+0x180") +
            object("2001", 2, "0xFF") + object("2002", 5, "0xFF") + object("2003", 5, "0x1FF") +
            object("2004", 7, "4294967295") + object("2005", 4, "4294967295") +
            object("2006", 3, "-2") + object("2007", 7, "junk") + object("2008", 9, "12"));
  db.loadDefault(dir.path());
  EXPECT_EQ(defaultOf("1014"), "384");
  EXPECT_EQ(defaultOf("1015"), "384");
  EXPECT_EQ(defaultOf("2001"), "-1");
  EXPECT_EQ(defaultOf("2002"), "255");
  EXPECT_EQ(defaultOf("2003"), "255");
  EXPECT_EQ(defaultOf("2004"), "4294967295");
  EXPECT_EQ(defaultOf("2005"), "-1");
  EXPECT_EQ(defaultOf("2006"), "-2");
  EXPECT_EQ(defaultOf("2007"), "0");  // short non-numbers take the conversion's default
  EXPECT_EQ(db.find("2008")->value, "12");
  EXPECT_EQ(db.file()->list.count, 10);
}

TEST_F(EdsDatabaseTest, SubObjectsDuplicatesAndOrdering) {
  const QString subs =
      "<SubNumber>3</SubNumber><subnodes>"
      "<sub0><DataType>5</DataType><DefaultValue>2</DefaultValue><AccessType>ro</AccessType></sub0>"
      "<sub1><DataType>7</DataType><DefaultValue>0x60400010</DefaultValue></sub1>"
      "<sub1A><DataType>5</DataType><DefaultValue>7</DefaultValue></sub1A>"
      "</subnodes>";
  write("EDS_Mirelo.xml", object("1A00", 7, "0", "rw", subs) + object("1600", 7, "0") + object("1a00", 7, "0") +
                              object("1000", 7, "1") + object("1000", 7, "2") + object("6041", 6, "0", "RW"));
  db.loadForController(dir.path(), "Mirelo");

  const sdoDataDefinition* rec = db.find("1A00");
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->subNumber, 3);
  ASSERT_EQ(rec->subObjects.size(), 3u);
  EXPECT_EQ(rec->sub(1)->defaultValue, "1614807056");
  EXPECT_NE(rec->sub(26), nullptr);
  EXPECT_FALSE(rec->sub(0)->isWritable());

  EXPECT_EQ(defaultOf("1000"), "2");  // the later duplicate wins
  QStringList order;
  for (const auto& [id, def] : db.file()->list.entries) order << id;
  EXPECT_EQ(order.join(" "), "1000 1600 1A00 1a00 6041");
  EXPECT_FALSE(db.find("6041")->isWritable());  // upper-case RW is not writable
  EXPECT_TRUE(db.find("1600")->isWritable());
}

TEST_F(EdsDatabaseTest, BadFilesNameFileAndLineAndKeepThePreviousDictionary) {
  write("EDS_Default.xml", object("1000", 7, "1"));
  db.loadDefault(dir.path());

  // A long default that is no number cannot be converted.
  const QString bad = write("EDS_Bad.xml", object("1001", 7, "1") + "\n" + object("1002", 7, "abcdefghijk"));
  try {
    db.loadFile(bad);
    FAIL() << "expected a load error";
  } catch (const EdsLoadError& e) {
    EXPECT_TRUE(e.message().contains("EDS_Bad.xml, line 4:")) << e.what();
    EXPECT_TRUE(e.message().contains("is not a valid integer value!")) << e.what();
  }
  EXPECT_NE(db.find("1000"), nullptr);
  EXPECT_EQ(db.find("1001"), nullptr);

  write("EDS_Broken.xml", "<SDO><ID>1000</ID>");
  EXPECT_THROW(db.loadForController(dir.path(), "Broken"), EdsLoadError);
  EXPECT_THROW(db.loadForController(dir.path(), "Absent"), EdsLoadError);
  write("EDS_BadSub.xml", object("1A00", 7, "0", "rw", "<subnodes><subZZ/></subnodes>"));
  EXPECT_THROW(db.loadForController(dir.path(), "BadSub"), EdsLoadError);
  EXPECT_NE(db.find("1000"), nullptr);
}

TEST_F(EdsDatabaseTest, ControllerChoice) {
  write("EDS_Default.xml", "");
  write("EDS_Torvik.xml", "");
  write("notes.txt", "");
  EXPECT_EQ(EDSDatabase::controllerItems(dir.path()), (QStringList{"Default", "Torvik"}));
  EXPECT_TRUE(EDSDatabase::choiceUsesDefault(""));
  EXPECT_TRUE(EDSDatabase::choiceUsesDefault("--offline--"));
  EXPECT_TRUE(EDSDatabase::choiceUsesDefault("Default"));
  // A controller sorted before "Default" still has its own file.
  EXPECT_FALSE(EDSDatabase::choiceUsesDefault("Brelan"));
  EXPECT_FALSE(EDSDatabase::choiceUsesDefault("Torvik"));
}
