#include <gtest/gtest.h>

#include "QtTestSupport.h"

#include <QApplication>
#include <QLineEdit>
#include <QTest>

#include "InputFilters.h"

namespace {

QApplication& app() { return kestrum::test::application(); }

struct Field {
  QApplication& application = app();
  QLineEdit edit;
  explicit Field(KeyFilter::Kind kind, const QString& text = {}) {
    KeyFilter::install(&edit, kind);
    edit.setText(text);
  }
  QString type(const QString& keys) {
    QTest::keyClicks(&edit, keys);
    return edit.text();
  }
};

}  // namespace

TEST(KeyFilter, UnsignedAndCobIdFieldsTakeOnlyTheirCharacters) {
  Field node(KeyFilter::Unsigned);
  EXPECT_EQ(node.type("1a-2 3x"), "123");
  Field cobId(KeyFilter::CobId);
  EXPECT_EQ(cobId.type("0x1Fg8"), "0x18");
}

TEST(KeyFilter, HexFieldTurnsLowerCaseDigitsUpper) {
  Field hex(KeyFilter::Hex);
  EXPECT_EQ(hex.type("1a-Fgx0"), "1AF0");
}

TEST(KeyFilter, SignedFieldTakesOneLeadingMinusAndNeverBecomesEmpty) {
  Field value(KeyFilter::Signed);
  EXPECT_EQ(value.type("5-"), "5");  // a minus after a digit
  value.edit.setCursorPosition(0);
  EXPECT_EQ(value.type("-"), "-5");
  value.edit.setCursorPosition(0);
  EXPECT_EQ(value.type("-"), "-5");  // only one

  Field single(KeyFilter::Signed, "7");
  QTest::keyClick(&single.edit, Qt::Key_Backspace);
  EXPECT_EQ(single.edit.text(), "0");
  EXPECT_EQ(single.edit.selectedText(), "0");

  Field minus(KeyFilter::Signed, "-");
  minus.edit.setCursorPosition(1);
  QTest::keyClick(&minus.edit, Qt::Key_Backspace);
  EXPECT_EQ(minus.edit.text(), "0");

  Field longer(KeyFilter::Signed, "-12");
  QTest::keyClick(&longer.edit, Qt::Key_Backspace);
  EXPECT_EQ(longer.edit.text(), "-1");
}
