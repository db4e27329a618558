// The three library files: what the pages get from them, and what a damaged
// file leaves (the records before and after the fault, one message with the
// file and the line).
#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "CLLib.h"
#include "DeviceLib.h"
#include "MessageBoxService.h"
#include "MotorLib.h"

namespace {

using libraryfiles::readClosedLoop;
using libraryfiles::readDevices;
using libraryfiles::readMotors;

const QString kFile = QStringLiteral("lib.xml");

QByteArray controller(const char* name, const char* current = "2.0", const char* input = "4") {
  return QByteArray("<C><Device>") + name + "</Device><ClosedLoop>true</ClosedLoop><MaxMotorCurrent>" + current +
         "</MaxMotorCurrent><ExternalBrake>false</ExternalBrake><Input>" + input +
         "</Input><Output>3</Output><PI>false</PI><BLDC>true</BLDC></C>\n";
}

QByteArray motorXml(const char* series, const char* model, const char* design = "Stepper_Motor",
                    const char* angle = "<StepAngle>Degrees1_8PerStep</StepAngle>", const char* current = "1.5",
                    const char* points = "<a>1</a><a>2</a><a>3</a><a>4</a><a>5</a><a>6</a><a>7</a>") {
  return QByteArray("<MotorTypeSetting><MotorID>1</MotorID><MotorType>") + series + "</MotorType><MotorBezeichnung>" +
         model + "</MotorBezeichnung><Design>" + design + "</Design>" + angle +
         "<Windings>2</Windings><Polepairs>50</Polepairs><LoadAngle>" + points +
         "</LoadAngle><NodeDistance>20</NodeDistance><MaxCurrent>" + current + "</MaxCurrent></MotorTypeSetting>\n";
}

QByteArray clSet(const char* type, int first) {
  QByteArray xml = QByteArray("<Set><MotorType>") + type +
                   "</MotorType><PositionWindow>1</PositionWindow><PositionWindowTime>2</PositionWindowTime>"
                   "<FollowingErrorWindow>3</FollowingErrorWindow><FollowingErrorTimeout>4</FollowingErrorTimeout>";
  for (std::size_t k = 0; k < CLRecord::kGainNames.size(); ++k) {
    const QByteArray name = CLRecord::kGainNames[k];
    xml += "<" + name + ">" + QByteArray::number(first + int(k)) + "</" + name + ">";
  }
  return xml + "</Set>\n";
}

TEST(LibraryFiles, ShippedFilesReadWhole) {
  MotorLib motors;
  DeviceLib devices;
  CLLib cl;
  EXPECT_TRUE(motors.load()) << motors.error().toStdString();
  EXPECT_TRUE(devices.load()) << devices.error().toStdString();
  EXPECT_TRUE(cl.load()) << cl.error().toStdString();
  EXPECT_FALSE(motors.getSeries(QStringLiteral("Stepmotor")).isEmpty());
  EXPECT_FALSE(motors.getSeries(QStringLiteral("BLDC")).isEmpty());
  for (const char* name : {"Mirelo", "Torvik", "Brelan"}) EXPECT_TRUE(devices.contains(QLatin1String(name))) << name;
  EXPECT_TRUE(cl.getKeys().contains(QStringLiteral("De")));
  ASSERT_TRUE(cl.getRecord(QStringLiteral("Default")));
}

TEST(LibraryFiles, MotorFieldsAndTree) {
  const QByteArray xml = "<M>" + motorXml("A", "a1") +
                         motorXml("B", "b1", "BLDC_Hall", "<HallMode>3</HallMode>", "2,5") +
                         motorXml("A", "a2", "Stepper_Motor", "<StepAngle>Degrees0_9PerStep</StepAngle>", "2.5") +
                         motorXml("A", "a2", "Stepper_Motor", "<StepAngle>Degrees1_8PerStep</StepAngle>", "3") + "</M>";
  const auto read = readMotors(xml, kFile);
  ASSERT_TRUE(read.ok()) << read.error.toStdString();
  ASSERT_EQ(read.records.size(), 4u);
  EXPECT_EQ(read.records[0].StepAngle, "1.8");
  EXPECT_EQ(read.records[1].StepAngle, "3");  // a BLDC motor's hall mode
  EXPECT_EQ(read.records[2].StepAngle, "0.9");
  EXPECT_DOUBLE_EQ(read.records[1].MaxCurrent, read.records[2].MaxCurrent);  // decimal comma and point
  EXPECT_EQ(read.records[0].LoadAngle[6], 7);

  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("MotorType.xml"));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(xml);
  f.close();
  MotorLib lib;
  ASSERT_TRUE(lib.load(path));
  EXPECT_EQ(lib.getSeries(QStringLiteral("Stepmotor")), QStringList({"A"}));
  EXPECT_EQ(lib.getSeries(QStringLiteral("BLDC with Encoder")), QStringList({"B"}));
  EXPECT_TRUE(lib.getSeries(QStringLiteral("stepmotor")).isEmpty());
  EXPECT_EQ(lib.getModels(QStringLiteral("Stepmotor"), QStringLiteral("A")), QStringList({"a1", "a2", "a2"}));
  // Of two motors with one designation the later counts.
  const motor* a2 = lib.getMotor(QStringLiteral("Stepmotor"), QStringLiteral("A"), QStringLiteral("a2"));
  ASSERT_TRUE(a2);
  EXPECT_DOUBLE_EQ(a2->MaxCurrent, 3.0);
  EXPECT_FALSE(lib.getMotor(QStringLiteral("BLDC"), QStringLiteral("A"), QStringLiteral("a1")));
}

TEST(LibraryFiles, DevicesAndTheirFallback) {
  const auto read = readDevices("<D>" + controller("X", "2,5", "") + controller("Y", "1.5", "0") +
                                    controller("Z", "1", "abc") + controller("X", "3.5") + "</D>",
                                kFile);
  ASSERT_TRUE(read.ok()) << read.error.toStdString();
  ASSERT_EQ(read.records.size(), 4u);
  EXPECT_DOUBLE_EQ(read.records[0].MaxMotorCurrent, 2.5);
  for (int k : {0, 1, 2}) EXPECT_EQ(read.records[std::size_t(k)].Input, 6) << k;
  EXPECT_EQ(read.records[3].Input, 4);

  DeviceLib lib;
  ASSERT_TRUE(lib.load());
  RecordingMessageBoxService boxes;
  EXPECT_EQ(lib.getDevice(QStringLiteral("Torvik"))->name, "Torvik");
  EXPECT_TRUE(boxes.boxes().empty());
  // Names are compared exactly: another case is another controller.
  const device* fallback = lib.getDevice(QStringLiteral("torvik"));
  ASSERT_TRUE(fallback);
  EXPECT_EQ(fallback->name, "Mirelo");
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].caption, "ERROR");
  EXPECT_EQ(boxes.boxes()[0].text, DeviceLib::kNotFound);
}

TEST(LibraryFiles, ClosedLoopKeysAndSets) {
  const auto read = readClosedLoop("<CL><G>" + clSet("Default", 0) + clSet("28xx", 10) + "</G><H>" +
                                       clSet("28yy", 100) + "</H></CL>",
                                   kFile);
  ASSERT_TRUE(read.ok()) << read.error.toStdString();
  ASSERT_EQ(read.records.size(), 3u);
  EXPECT_EQ(read.records[2].gains[23], 123);
  EXPECT_EQ(read.records[0].FollowingErrorTimeout, 4);

  QTemporaryDir dir;
  const QString path = dir.filePath(QStringLiteral("ClosedLoop.xml"));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write("<CL><G>" + clSet("Default", 0) + clSet("28xx", 10) + clSet("28yy", 100) + "</G></CL>");
  f.close();
  CLLib lib;
  ASSERT_TRUE(lib.load(path));
  EXPECT_EQ(lib.getKeys(), QStringList({"De", "28", "28"}));
  ASSERT_TRUE(lib.getRecord(QStringLiteral("28")));
  EXPECT_EQ(lib.getRecord(QStringLiteral("28zz"))->gains[0], 100);  // the later set of a key
  EXPECT_FALSE(lib.getRecord(QStringLiteral("42")));
}

TEST(LibraryFiles, DamagedFilesNameTheLineAndKeepTheOtherRecords) {
  struct Case {
    const char* what;
    QByteArray xml;
    std::size_t kept;
    const char* message;
  };
  const QByteArray good = motorXml("A", "a1");
  const Case cases[] = {
      {"not XML", "<M>\n" + good + "<MotorTypeSetting>\n</M>", 0, "lib.xml, line 4:"},
      {"element missing", "<M>\n" + good + "<MotorTypeSetting><MotorID>2</MotorID></MotorTypeSetting>\n" + good + "</M>",
       2, "lib.xml, line 3: element \"MotorType\" is missing"},
      {"integer no number", "<M>\n" + good + QByteArray(good).replace("<Windings>2<", "<Windings>2x<") + "</M>", 1,
       "lib.xml, line 3: Windings \"2x\" is not a number"},
      {"real no number", "<M>\n" + motorXml("A", "a1", "Stepper_Motor", "<StepAngle>x</StepAngle>", "1.2.3") + "</M>",
       0, "lib.xml, line 2: MaxCurrent \"1.2.3\" is not a number"},
      {"empty current", "<M>\n" + motorXml("A", "a1", "Stepper_Motor", "<StepAngle>x</StepAngle>", "") + "</M>", 0,
       "MaxCurrent \"\" is not a number"},
      {"six load angles",
       "<M>\n" + motorXml("A", "a1", "Stepper_Motor", "<StepAngle>x</StepAngle>", "1",
                          "<a>1</a><a>2</a><a>3</a><a>4</a><a>5</a><a>6</a>") + "</M>",
       0, "LoadAngle holds fewer than 7 values"},
  };
  for (const Case& c : cases) {
    const auto read = readMotors(c.xml, kFile);
    EXPECT_EQ(read.records.size(), c.kept) << c.what;
    EXPECT_TRUE(read.error.startsWith(QLatin1String(c.message)) || read.error.contains(QLatin1String(c.message)))
        << c.what << ": " << read.error.toStdString();
  }
  const auto devices = readDevices("<D>\n" + controller("X", "abc") + controller("Y") + "</D>", kFile);
  ASSERT_EQ(devices.records.size(), 1u);
  EXPECT_EQ(devices.records[0].name, "Y");
  EXPECT_TRUE(devices.error.contains(QLatin1String("line 2: MaxMotorCurrent \"abc\""))) << devices.error.toStdString();
  const auto cl = readClosedLoop("<CL><G>\n" + QByteArray(clSet("De", 0)).replace("<KD_css_N>23<", "<KD_css_N>-<") +
                                     "</G></CL>",
                                 kFile);
  EXPECT_TRUE(cl.records.empty());
  EXPECT_TRUE(cl.error.contains(QLatin1String("KD_css_N \"-\" is not a number"))) << cl.error.toStdString();

  // A file that is not there: the libraries stay empty and say which file.
  MotorLib motors;
  CLLib closedLoop;
  EXPECT_FALSE(motors.load(QStringLiteral("/nonexistent/MotorType.xml")));
  EXPECT_TRUE(motors.error().startsWith(QLatin1String("/nonexistent/MotorType.xml: cannot open")));
  EXPECT_TRUE(motors.getSeries(QStringLiteral("Stepmotor")).isEmpty());
  EXPECT_FALSE(closedLoop.load(QStringLiteral("/nonexistent/ClosedLoop.xml")));
  EXPECT_TRUE(closedLoop.getKeys().isEmpty());
}

}  // namespace
