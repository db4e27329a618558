// The protocol core's tables checked once against the values CiA 301 and the
// maker publish, written out here independently, so a typo cannot hide
// behind both ends of the bus using the same constant.
#include <gtest/gtest.h>

#include <set>

#include "canopen/Cia301.h"
#include "canopen/Orvane.h"
#include "canopen/SdoAbort.h"

namespace co = kestrum::canopen;

namespace {

TEST(Cia301Tables, AbortCodesAreTheStandardsAndDescribed) {
  const std::uint32_t published[] = {
      0x05030000, 0x05040000, 0x05040001, 0x05040002, 0x05040003, 0x05040004, 0x05040005, 0x06010000,
      0x06010001, 0x06010002, 0x06020000, 0x06040041, 0x06040042, 0x06040043, 0x06040047, 0x06060000,
      0x06070010, 0x06070012, 0x06070013, 0x06090011, 0x06090030, 0x06090031, 0x06090032, 0x06090036,
      0x060A0023, 0x08000000, 0x08000020, 0x08000021, 0x08000022, 0x08000023, 0x08000024};
  ASSERT_EQ(std::size(published), std::size(co::sdo_abort::kTable));
  for (std::size_t i = 0; i < std::size(published); ++i) {
    EXPECT_EQ(co::sdo_abort::kTable[i].code, published[i]) << i;
    EXPECT_NE(co::sdo_abort::meaning(published[i]), nullptr) << std::hex << published[i];
  }
  EXPECT_EQ(co::sdo_abort::kNoObject, 0x06020000u);
  EXPECT_EQ(co::sdo_abort::kToggle, 0x05030000u);
  EXPECT_EQ(co::sdo_abort::kStore, 0x08000020u);
  EXPECT_STREQ(co::sdo_abort::meaning(0x06020000), "Object does not exist in the object dictionary.");
  EXPECT_EQ(co::sdo_abort::meaning(0x06040048), nullptr);
  // The two codes CiA 301 4.2 added are known, and left out on request.
  EXPECT_NE(co::sdo_abort::meaning(0x08000024), nullptr);
  EXPECT_EQ(co::sdo_abort::meaning(0x08000024, false), nullptr);
  EXPECT_EQ(co::sdo_abort::meaning(0x060A0023, false), nullptr);
}

TEST(Cia301Tables, PredefinedConnectionSet) {
  using co::cob::Function;
  struct Case {
    std::uint16_t id;
    Function function;
    std::uint8_t node;
  };
  const Case cases[] = {
      {0x000, Function::Nmt, 0},    {0x080, Function::Sync, 0},          {0x081, Function::Emcy, 1},
      {0x0FF, Function::Emcy, 127}, {0x100, Function::Time, 0},          {0x185, Function::Tpdo1, 5},
      {0x205, Function::Rpdo1, 5},  {0x285, Function::Tpdo2, 5},         {0x305, Function::Rpdo2, 5},
      {0x385, Function::Tpdo3, 5},  {0x405, Function::Rpdo3, 5},         {0x485, Function::Tpdo4, 5},
      {0x505, Function::Rpdo4, 5},  {0x585, Function::SdoTx, 5},         {0x605, Function::SdoRx, 5},
      {0x705, Function::ErrorControl, 5}, {0x001, Function::Other, 0},   {0x180, Function::Other, 0},
      {0x685, Function::Other, 0},  {0x800, Function::Other, 0},
  };
  for (const Case& c : cases) {
    const auto got = co::cob::classify(c.id);
    EXPECT_EQ(got.function, c.function) << std::hex << c.id;
    EXPECT_EQ(got.node, c.node) << std::hex << c.id;
  }
  EXPECT_EQ(co::cob::sdoRequest(5), 0x605);
  EXPECT_EQ(co::cob::sdoAnswer(5), 0x585);
  EXPECT_EQ(co::cob::emcy(127), 0xFF);
  EXPECT_EQ(co::cob::errorControl(1), 0x701);
  for (int n = 1; n <= 4; ++n) {
    EXPECT_EQ(co::cob::classify(co::cob::tpdo(n, 9)).function, Function(int(Function::Tpdo1) + 2 * (n - 1)));
    EXPECT_EQ(co::cob::pdoNumber(co::cob::classify(co::cob::rpdo(n, 9)).function), n);
  }
  EXPECT_EQ(co::cob::kInvalid, 0x80000000u);
  EXPECT_EQ(co::cob::kNoRtr, 0x40000000u);
  EXPECT_EQ(co::cob::kExtended, 0x20000000u);
}

TEST(Cia301Tables, NmtCommandsAndErrorControlBytes) {
  EXPECT_EQ(co::nmt::kStart, 0x01);
  EXPECT_EQ(co::nmt::kStop, 0x02);
  EXPECT_EQ(co::nmt::kEnterPreOperational, 0x80);
  EXPECT_EQ(co::nmt::kResetNode, 0x81);
  EXPECT_EQ(co::nmt::kResetCommunication, 0x82);
  struct Case {
    std::uint8_t byte;
    std::uint8_t state;
    bool toggle;
    bool known;
  };
  const Case cases[] = {{0x00, 0x00, false, true},  {0x04, 0x04, false, true}, {0x05, 0x05, false, true},
                        {0x7F, 0x7F, false, true},  {0x84, 0x04, true, true},  {0xFF, 0x7F, true, true},
                        {0x85, 0x05, true, true},   {0x01, 0x01, false, false}, {0x86, 0x06, true, false}};
  for (const Case& c : cases) {
    const auto d = co::nmt::decodeErrorControl(c.byte);
    EXPECT_EQ(d.state, c.state) << int(c.byte);
    EXPECT_EQ(d.toggle, c.toggle) << int(c.byte);
    EXPECT_EQ(d.known, c.known) << int(c.byte);
    if (c.known) {
      EXPECT_EQ(co::nmt::encodeErrorControl(d.state, d.toggle), c.byte);
    }
  }
}

TEST(Cia301Tables, EmergencyFrames) {
  const std::uint8_t full[8] = {0x10, 0x31, 0x05, 1, 2, 3, 4, 5};
  const auto e = co::emcy::decode(full, 8);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->errorCode, 0x3110);
  EXPECT_EQ(e->errorRegister, 0x05);
  EXPECT_EQ(e->maker, (std::array<std::uint8_t, 5>{1, 2, 3, 4, 5}));
  const auto shortFrame = co::emcy::decode(full, 4);
  ASSERT_TRUE(shortFrame);
  EXPECT_EQ(shortFrame->maker, (std::array<std::uint8_t, 5>{1, 0, 0, 0, 0}));
  EXPECT_FALSE(co::emcy::decode(full, 2));
  EXPECT_FALSE(co::emcy::decode(nullptr, 8));

  EXPECT_EQ(co::emcy::registerBitOf(0x2310), 0x02);  // current
  EXPECT_EQ(co::emcy::registerBitOf(0x3110), 0x04);  // voltage
  EXPECT_EQ(co::emcy::registerBitOf(0x4210), 0x08);  // temperature
  EXPECT_EQ(co::emcy::registerBitOf(0x8130), 0x10);  // communication
  EXPECT_EQ(co::emcy::registerBitOf(0xFF00), 0x80);  // manufacturer
  EXPECT_EQ(co::emcy::registerBitOf(0x6100), 0x00);  // software: generic only
}

TEST(Cia301Tables, StoreSignaturesSpellSaveAndLoad) {
  auto ascii = [](std::uint32_t v) {
    return std::string{char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
  };
  EXPECT_EQ(ascii(co::od::kSaveSignature), "save");
  EXPECT_EQ(ascii(co::od::kLoadSignature), "load");
}

TEST(Cia301Tables, PdoMappingEntries) {
  using co::pdo::MappingEntry;
  const struct {
    MappingEntry entry;
    std::uint32_t packed;
  } cases[] = {{{0x6041, 0, 16}, 0x60410010}, {{0x6064, 0, 32}, 0x60640020},
               {{0x2000, 0xFF, 8}, 0x2000FF08}, {{0x0005, 0, 8}, 0x00050008}};
  for (const auto& c : cases) {
    EXPECT_EQ(co::pdo::pack(c.entry), c.packed);
    EXPECT_TRUE(co::pdo::unpack(c.packed) == c.entry) << std::hex << c.packed;
  }
  EXPECT_EQ(co::pdo::rpdoCommunication(1), 0x1400);
  EXPECT_EQ(co::pdo::rpdoMapping(4), 0x1603);
  EXPECT_EQ(co::pdo::tpdoCommunication(2), 0x1801);
  EXPECT_EQ(co::pdo::tpdoMapping(4), 0x1A03);
  EXPECT_EQ(co::pdo::tpdoCommunication(1) + co::pdo::kMappingOffset, co::pdo::tpdoMapping(1));
}

TEST(MakerTables, BitRateCodesAndBootloader) {
  const struct {
    unsigned kbit;
    std::uint8_t code;
  } published[] = {{1000, 135}, {500, 134}, {250, 133}, {125, 132}, {50, 131}, {20, 130}};
  for (const auto& p : published) {
    EXPECT_EQ(co::orvane::bitRateCode(p.kbit), p.code) << p.kbit;
    EXPECT_EQ(co::orvane::bitRateOfCode(p.code), p.kbit) << p.kbit;
  }
  EXPECT_EQ(co::orvane::bitRateCode(800), 0);
  EXPECT_EQ(co::orvane::bitRateOfCode(0x88), 0u);
  EXPECT_EQ(co::orvane::bootloader::kObject, 0x3000);
  EXPECT_EQ(co::orvane::bootloader::kDataCobId, 0x325);
  std::set<std::uint32_t> accepted;
  for (std::uint32_t s = 0; s < 256; ++s)
    if (co::orvane::bootloader::statusAccepted(s)) accepted.insert(s);
  EXPECT_EQ(accepted, (std::set<std::uint32_t>{1, 5, 6, 7, 8, 201}));
}

}  // namespace
