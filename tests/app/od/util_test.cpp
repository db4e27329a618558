#include <gtest/gtest.h>

#include <QLoggingCategory>

#include "Util.h"

namespace {

// The message a caller shows is part of the contract: it names the text.
std::string errorOf(const QString& text) {
  try {
    Util::ToInt(text);
  } catch (const ConversionError& e) {
    return e.what();
  }
  return "no error";
}

}  // namespace

TEST(Util, ToIntAcceptsDecimalAndLowerCaseHexOnly) {
  EXPECT_EQ(Util::ToInt("0x1f"), 31);
  EXPECT_EQ(Util::ToInt("0x1F"), 31);
  EXPECT_EQ(Util::ToInt("007"), 7);
  EXPECT_EQ(Util::ToInt("-1"), -1);
  EXPECT_EQ(Util::ToInt("4294967295"), -1);
  EXPECT_EQ(Util::ToInt("0x80000000"), INT32_MIN);
  // Digits beyond the eighth from the right wrap away instead of overflowing.
  EXPECT_EQ(Util::ToInt("0x180000000"), INT32_MIN);

  EXPECT_EQ(errorOf("0X1F"), "0X1F is not a valid integer value!");
  EXPECT_EQ(errorOf("-0x10"), "-0x10 is not a valid integer value!");
  EXPECT_EQ(errorOf(""), " is not a valid integer value!");
  EXPECT_EQ(errorOf(" 5"), " 5 is not a valid integer value!");
  EXPECT_EQ(errorOf("+5"), "+5 is not a valid integer value!");
  EXPECT_EQ(errorOf("-12a"), "12a is not a valid integer value!");
  EXPECT_EQ(errorOf("0x1g"), "1g is not a valid integer value!");
  // A sign or prefix without digits is not a number either.
  EXPECT_NE(errorOf("-"), "no error");
  EXPECT_NE(errorOf("0x"), "no error");
}

TEST(Util, ToIntDefTreatsZeroEmptyAndErrorsAsDefault) {
  EXPECT_EQ(Util::ToIntDef("0", 1000), 1000);
  EXPECT_EQ(Util::ToIntDef("", 7), 7);
  EXPECT_EQ(Util::ToIntDef("12", 7), 12);

  static QStringList messages;
  messages.clear();
  QLoggingCategory::setFilterRules("kestrum.util.debug=true");
  auto previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
    messages << m;
  });
  EXPECT_EQ(Util::ToIntDef("abc", 5), 5);
  qInstallMessageHandler(previous);
  ASSERT_EQ(messages.size(), 1);
  EXPECT_TRUE(messages.first().contains("Error in Util::ToIntDef use defaultValue!"));
}

TEST(Util, ToUInt32KeepsTheFullBitPattern) {
  EXPECT_EQ(Util::ToUInt32("0x80000000"), 0x80000000u);
  EXPECT_EQ(Util::ToUInt32("2147483648"), 0x80000000u);
  EXPECT_EQ(Util::ToUInt32("-2147483648"), 0x80000000u);
  EXPECT_EQ(Util::ToUInt32("4294967295"), 0xFFFFFFFFu);
  EXPECT_EQ(Util::ToUInt32("0xFFFFFFFF"), 0xFFFFFFFFu);
  EXPECT_EQ(Util::ToUInt32("123"), 123u);
  EXPECT_EQ(Util::ToUInt32("nonsense"), 0u);  // short texts fall back to 0
  EXPECT_THROW(Util::ToUInt32("abcdefghij"), ConversionError);
}

TEST(Util, ParseHexAfterXIsLenient) {
  EXPECT_EQ(Util::ParseHexAfterX("0x1A"), 26);
  EXPECT_EQ(Util::ParseHexAfterX("  0X1a  "), 26);
  EXPECT_EQ(Util::ParseHexAfterX("1A"), 26);
  EXPECT_EQ(Util::ParseHexAfterX("0x1G"), 1);
  EXPECT_EQ(Util::ParseHexAfterX("0"), 0);
  EXPECT_EQ(Util::ParseHexAfterX("zz"), 0);
  EXPECT_EQ(Util::HexDigitValue('X'), 0);
  EXPECT_EQ(Util::HexDigitValue('g'), -1);
}

TEST(Util, TimeOfDayTextIsZeroPadded) {
  EXPECT_EQ(Util::TimeOfDayText(QTime(9, 7, 5)), "09:07:05");
  EXPECT_EQ(Util::TimeOfDayText().size(), 8);
}
