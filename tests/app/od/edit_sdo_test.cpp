// The value editor offscreen over an SDO list with a recording connector:
// the three coupled forms by data type, the key rules of both fields, and
// what "Ok" and "Cancel" write.
#include <gtest/gtest.h>

#include "QtTestSupport.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <fstream>
#include <memory>
#include <vector>

#include "DLLConnector.h"
#include "DLLLoader.h"
#include "MessageBoxService.h"
#include "StringGridSDODataSource.h"
#include "TfrmEditSDO.h"

namespace {

QApplication& app() { return kestrum::test::application(); }

/// Acknowledges every write and records it.
class RecordingConnector : public DLLConnector {
 public:
  using DLLConnector::DLLConnector;
  struct Write {
    std::uint16_t index;
    std::uint8_t sub;
    std::int32_t value;
  };
  std::vector<Write> writes;
  SDOResult writeObject(std::uint8_t, std::uint16_t index, std::uint8_t sub, std::uint8_t, std::uint32_t,
                        std::int32_t value) override {
    writes.push_back({index, sub, value});
    return {};
  }
};

class EditSdoTest : public ::testing::Test {
 protected:
  void SetUp() override {
    app();
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("EDS_Test.xml"));
    std::ofstream(path.toStdString()) << R"(<EDS>
  <SDO><ID>2001</ID><ParameterName>Flag</ParameterName><DataType>1</DataType><AccessType>rw</AccessType><DefaultValue>0</DefaultValue></SDO>
  <SDO><ID>2002</ID><ParameterName>Byte</ParameterName><DataType>5</DataType><AccessType>rw</AccessType><DefaultValue>3</DefaultValue></SDO>
  <SDO><ID>2003</ID><ParameterName>Signed byte</ParameterName><DataType>2</DataType><AccessType>rw</AccessType><DefaultValue>0</DefaultValue></SDO>
  <SDO><ID>2004</ID><ParameterName>Word</ParameterName><DataType>6</DataType><AccessType>rw</AccessType><DefaultValue>4660</DefaultValue></SDO>
  <SDO><ID>2005</ID><DataType>8</DataType><SubNumber>2</SubNumber>
    <subnodes>
      <sub0><ParameterName>Count</ParameterName><DataType>5</DataType><AccessType>ro</AccessType><DefaultValue>1</DefaultValue></sub0>
      <sub1><ParameterName>Signed word</ParameterName><DataType>3</DataType><AccessType>rw</AccessType><DefaultValue>0</DefaultValue></sub1>
    </subnodes>
  </SDO>
  <SDO><ID>2006</ID><ParameterName>Long</ParameterName><DataType>7</DataType><AccessType>rw</AccessType><DefaultValue>0</DefaultValue></SDO>
  <SDO><ID>2007</ID><ParameterName>Signed long</ParameterName><DataType>4</DataType><AccessType>rw</AccessType><DefaultValue>0</DefaultValue></SDO>
  <SDO><ID>2008</ID><ParameterName>Table</ParameterName><DataType>8</DataType><AccessType>rw</AccessType><DefaultValue>0</DefaultValue></SDO>
</EDS>)";
    db.loadFile(path);
    connector = std::make_unique<RecordingConnector>(&noLibrary);
    list = std::make_unique<StringGridSDODataSource>(nullptr, &db, connector.get());
    dialog = std::make_unique<TfrmEditSDO>();
  }

  /// Opens the dialog for the row of (id, sub) and shows it.
  void open(const char* id, int sub = 0) {
    const sdoGridEntry* entry = list->findEntry(QLatin1String(id), sub);
    ASSERT_NE(entry, nullptr);
    ASSERT_TRUE(dialog->openForRow(entry->row, list.get()));
    dialog->show();
  }
  template <typename T>
  T* child(const QString& name) {
    T* w = dialog->findChild<T*>(name);
    EXPECT_NE(w, nullptr) << name.toStdString();
    return w;
  }
  QLineEdit* dec() { return child<QLineEdit>(QStringLiteral("txtEditDecimal")); }
  QLineEdit* hex() { return child<QLineEdit>(QStringLiteral("txtEditHex")); }
  QCheckBox* bit(int i) { return child<QCheckBox>(QStringLiteral("chkBinary%1").arg(i)); }
  /// The value the boxes show, and which boxes are enabled.
  std::uint32_t boxes() {
    std::uint32_t v = 0;
    for (int i = 0; i < 32; ++i) v |= bit(i)->isChecked() ? 1u << i : 0u;
    return v;
  }
  int enabledBoxes() {
    int n = 0;
    for (int i = 0; i < 32; ++i) n += bit(i)->isEnabled();
    return n;
  }
  void type(QLineEdit* field, const QString& text) {
    field->setFocus();
    QTest::keyClicks(field, text);
  }

  QTemporaryDir dir;
  EDSDatabase db;
  DLLLoader noLibrary{QStringLiteral("/nonexistent/libVarnex.so")};
  std::unique_ptr<RecordingConnector> connector;
  std::unique_ptr<StringGridSDODataSource> list;
  std::unique_ptr<TfrmEditSDO> dialog;
};

TEST_F(EditSdoTest, OpeningShowsTheRowInAllThreeForms) {
  open("2004");  // u16 holding 4660
  EXPECT_EQ(dialog->windowTitle(), "Edit SDO");
  EXPECT_EQ(child<QLabel>("lblObjID")->text(), "2004");
  EXPECT_EQ(child<QLabel>("lblSubID")->text(), "0");
  EXPECT_EQ(child<QLabel>("lblDataType")->text(), "u16");
  EXPECT_EQ(child<QLabel>("lblDescription")->text(), "Word");
  EXPECT_EQ(dec()->text(), "4660");
  EXPECT_EQ(hex()->text(), "0x1234");
  EXPECT_EQ(boxes(), (1u << 2) | (1u << 4) | (1u << 5) | (1u << 9) | (1u << 12));
  EXPECT_EQ(enabledBoxes(), 16);

  // Reopened for a narrower type: the boxes beyond its width are disabled
  // and cleared.
  open("2002");
  EXPECT_EQ(enabledBoxes(), 8);
  EXPECT_EQ(boxes(), 3u);
  EXPECT_EQ(hex()->text(), "0x03");
  open("2008");  // an array: no hex form, no boxes
  EXPECT_EQ(enabledBoxes(), 0);
  EXPECT_EQ(hex()->text(), "");
  EXPECT_FALSE(dialog->openForRow(99, list.get()));
}

TEST_F(EditSdoTest, FormsFollowEachOtherWithinTheTypesWidth) {
  open("2002");  // u8: 300 keeps its low byte
  dec()->setText(QStringLiteral("300"));
  EXPECT_EQ(hex()->text(), "0x2C");
  EXPECT_EQ(boxes(), 44u);

  open("2005", 1);  // s16
  dec()->setText(QStringLiteral("-"));  // half a number changes nothing
  EXPECT_EQ(hex()->text(), "0x0000");
  dec()->setText(QStringLiteral("-1"));
  EXPECT_EQ(hex()->text(), "0xFFFF");
  EXPECT_EQ(boxes(), 0xFFFFu);
  hex()->setText(QStringLiteral("0x8000"));
  EXPECT_EQ(dec()->text(), "-32768");
  EXPECT_EQ(boxes(), 0x8000u);

  open("2003");  // s8: bit 7 alone is -128
  bit(7)->click();
  EXPECT_EQ(hex()->text(), "0x80");
  EXPECT_EQ(dec()->text(), "-128");

  open("2006");  // u32 uses the whole pattern
  dec()->setText(QStringLiteral("4294967295"));
  EXPECT_EQ(hex()->text(), "0xFFFFFFFF");
  EXPECT_EQ(boxes(), 0xFFFFFFFFu);
  bit(31)->click();
  EXPECT_EQ(dec()->text(), "2147483647");
  EXPECT_EQ(hex()->text(), "0x7FFFFFFF");

  open("2007");  // s32: negative decimals and full hex patterns agree
  dec()->setText(QStringLiteral("-2147483648"));
  EXPECT_EQ(hex()->text(), "0x80000000");
  hex()->setText(QStringLiteral("0xFFFFFFFE"));
  EXPECT_EQ(dec()->text(), "-2");
  EXPECT_EQ(boxes(), 0xFFFFFFFEu);
  // A pasted text that is no number leaves the other forms as they were.
  dec()->setText(QStringLiteral("abcdefghijk"));
  EXPECT_EQ(hex()->text(), "0xFFFFFFFE");
}

TEST_F(EditSdoTest, BoolBoxShowsAndSetsWhatIsSent) {
  open("2001");
  EXPECT_EQ(enabledBoxes(), 1);
  EXPECT_TRUE(bit(0)->isEnabled());
  EXPECT_EQ(hex()->text(), "");
  bit(0)->click();
  EXPECT_EQ(dec()->text(), "1");
  dec()->setText(QStringLiteral("2"));  // sent as 0
  EXPECT_FALSE(bit(0)->isChecked());
  dec()->setText(QStringLiteral("1"));
  EXPECT_TRUE(bit(0)->isChecked());
}

TEST_F(EditSdoTest, HexFieldKeepsItsPrefixAndTheTypesDigits) {
  open("2002");  // u8
  hex()->setText(QStringLiteral("0x5"));
  hex()->setFocus();
  hex()->setCursorPosition(3);
  QTest::keyClick(hex(), Qt::Key_Backspace);
  EXPECT_EQ(hex()->text(), "0x0");
  QTest::keyClick(hex(), Qt::Key_7);
  EXPECT_EQ(hex()->text(), "0x7");
  EXPECT_EQ(dec()->text(), "7");
  type(hex(), QStringLiteral("b"));  // lower case comes out upper case
  EXPECT_EQ(hex()->text(), "0x7B");
  EXPECT_EQ(dec()->text(), "123");
  type(hex(), QStringLiteral("1"));  // two digits fill a u8
  EXPECT_EQ(hex()->text(), "0x7B");
  QTest::keyClick(hex(), Qt::Key_Delete);
  EXPECT_EQ(hex()->text(), "0x7B");
  // The caret cannot go into the prefix: Backspace there removes the first digit.
  hex()->setCursorPosition(0);
  QTest::keyClick(hex(), Qt::Key_Backspace);
  EXPECT_EQ(hex()->text(), "0xB");
  type(hex(), QStringLiteral("g-x "));  // no hexadecimal digits
  EXPECT_EQ(hex()->text(), "0xB");

  // A missing prefix is put back before the next character.
  open("2004");  // u16: four digits
  hex()->setText(QStringLiteral("12"));
  hex()->setFocus();
  hex()->end(false);
  type(hex(), QStringLiteral("3"));
  EXPECT_EQ(hex()->text(), "0x123");
  type(hex(), QStringLiteral("45"));
  EXPECT_EQ(hex()->text(), "0x1234");
  EXPECT_EQ(dec()->text(), "4660");
}

TEST_F(EditSdoTest, DecimalFieldTakesDigitsAndMinusOnlyForSignedTypes) {
  open("2006");  // u32
  dec()->clear();
  type(dec(), QStringLiteral("12a-3"));
  EXPECT_EQ(dec()->text(), "123");
  open("2007");  // s32
  dec()->clear();
  type(dec(), QStringLiteral("-45"));
  EXPECT_EQ(dec()->text(), "-45");
  EXPECT_EQ(hex()->text(), "0xFFFFFFD3");

  // Beyond ten characters only Delete edits the text.
  dec()->setText(QStringLiteral("12345678901"));
  dec()->setFocus();
  dec()->end(false);
  type(dec(), QStringLiteral("2"));
  QTest::keyClick(dec(), Qt::Key_Backspace);
  EXPECT_EQ(dec()->text(), "12345678901");
  dec()->home(false);
  QTest::keyClick(dec(), Qt::Key_Delete);
  EXPECT_EQ(dec()->text(), "2345678901");
  dec()->end(false);
  QTest::keyClick(dec(), Qt::Key_Backspace);
  EXPECT_EQ(dec()->text(), "234567890");
}

TEST_F(EditSdoTest, OkWritesTheDecimalTextAndCancelNothing) {
  open("2002");
  dec()->setText(QStringLiteral("300"));
  child<QPushButton>("btnWriteToDevice")->click();
  ASSERT_EQ(connector->writes.size(), 1u);
  EXPECT_EQ(connector->writes[0].index, 0x2002);
  EXPECT_EQ(connector->writes[0].value, 44);
  EXPECT_EQ(dialog->result(), QDialog::Accepted);
  EXPECT_EQ(list->findEntry(QStringLiteral("2002"), 0)->message, "WRITE OK");

  open("2005", 1);  // an emptied field writes 0, to the row's subindex
  dec()->clear();
  child<QPushButton>("btnWriteToDevice")->click();
  ASSERT_EQ(connector->writes.size(), 2u);
  EXPECT_EQ(connector->writes[1].sub, 1);
  EXPECT_EQ(connector->writes[1].value, 0);
  EXPECT_EQ(dec()->text(), "0");

  open("2004");
  dec()->setText(QStringLiteral("1"));
  child<QPushButton>("btnCancel")->click();
  EXPECT_EQ(dialog->result(), QDialog::Rejected);
  EXPECT_EQ(connector->writes.size(), 2u);
  EXPECT_EQ(list->getValue(QStringLiteral("2004"), 0, false), "4660");
}

TEST_F(EditSdoTest, TextThatIsNoNumberIsReportedAndNotSent) {
  RecordingMessageBoxService boxes;
  open("2004");
  dec()->setText(QStringLiteral("12x"));  // pasted
  child<QPushButton>("btnWriteToDevice")->click();
  EXPECT_TRUE(connector->writes.empty());
  ASSERT_EQ(boxes.boxes().size(), 1u);
  EXPECT_EQ(boxes.boxes()[0].caption, "Value Error");
  EXPECT_EQ(boxes.boxes()[0].text, "12x is not a valid integer value!");
  EXPECT_EQ(list->getValue(QStringLiteral("2004"), 0, false), "4660");  // the row keeps its value
  EXPECT_TRUE(dialog->isVisible());  // open for a correction
}

}  // namespace
