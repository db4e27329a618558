// The value rules shared by the SDO list and kestrum-cli: the range check a
// value must pass before the command line writes it (the list itself cuts
// numbers to the type's width), and the "Save All" write rules.

#include <gtest/gtest.h>

#include "QtTestSupport.h"
#include "SdoValues.h"

namespace {

TEST(SdoValues, RangeCheckRefusesWhatTheTypeCannotHoldAndTextsThatAreNoNumbers) {
  struct Case {
    const char* type;
    const char* text;
    const char* problem;  ///< empty: accepted
  };
  const Case cases[] = {
      {"u8", "255", ""},
      {"u8", "256", "256 is out of range for u8 (0 to 255)"},
      {"u8", "-1", "-1 is out of range for u8 (0 to 255)"},
      {"s8", "-128", ""},
      {"s8", "0xFF", ""},  // a hexadecimal text gives the bit pattern
      {"s8", "0x100", "0x100 is out of range for s8 (-128 to 127)"},
      {"s16", "-32769", "-32769 is out of range for s16 (-32768 to 32767)"},
      {"u32", "4294967295", ""},
      {"u32", "4294967296", "4294967296 is out of range for u32 (0 to 4294967295)"},
      {"s32", "-2147483648", ""},
      {"s32", "0xFFFFFFFF", ""},
      {"bool", "2", "2 is out of range for bool (0 to 1)"},
      {"u16", "0x", "0x is not a valid integer value!"},
      {"u16", "0X10", "0X10 is not a valid integer value!"},  // the application's rules: a lower-case x
      {"u16", " 5", " 5 is not a valid integer value!"},
      {"u16", "+5", "+5 is not a valid integer value!"},
      {"u16", "0x-5", "0x-5 is not a valid integer value!"},
      {"string", "abc", "objects of type string cannot be written"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(sdovalues::rangeProblem(QLatin1String(c.type), QLatin1String(c.text)), QLatin1String(c.problem))
        << c.type << " " << c.text;
}

TEST(SdoValues, SaveAllRulesSkipPdoObjectsTheControlwordAndUnsignedStoreRestore) {
  using sdovalues::SaveAllRule;
  struct Case {
    std::int32_t index;
    const char* value;
    SaveAllRule rule;
  };
  const Case cases[] = {
      {0x13FF, "0", SaveAllRule::Write},         {0x1400, "0", SaveAllRule::SkipPdo},
      {0x1A03, "0", SaveAllRule::SkipPdo},       {0x1A04, "0", SaveAllRule::Write},
      {0x6040, "6", SaveAllRule::SkipSilent},    {0x1010, "1", SaveAllRule::SkipSilent},
      {0x1010, "1702257011", SaveAllRule::Write}, {0x1011, "1702257011", SaveAllRule::SkipSilent},
      {0x1011, "1684107116", SaveAllRule::Write},
  };
  for (const Case& c : cases)
    EXPECT_EQ(sdovalues::saveAllRule(c.index, QLatin1String(c.value)), c.rule) << std::hex << c.index << " " << c.value;
}

}  // namespace
