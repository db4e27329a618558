// Transmit and receive PDOs and the rules for changing their configuration.
#include "NodeFixture.h"

namespace kestrum::sim::test {
namespace {

class PdoTest : public NodeFixture {
 protected:
  void setStatusword(std::uint16_t v) {
    ASSERT_EQ(node->writeObject(0x6041, 0, encodeNumber(kTypeU16, v)), 0u);
    node->poll(now);
  }
  // The reconfiguration sequence a master follows: invalidate, change, validate.
  void configureTpdo1(std::uint16_t inhibit100us, std::uint16_t eventMs) {
    ASSERT_EQ(download(0x1800, 1, 0x80000185u), 0u);
    ASSERT_EQ(download(0x1800, 3, inhibit100us, 2), 0u);
    ASSERT_EQ(download(0x1800, 5, eventMs, 2), 0u);
    ASSERT_EQ(download(0x1800, 1, 0x185), 0u);
  }
};

TEST_F(PdoTest, EventDrivenTpdoSendsOnEntryOnChangeAndOnItsTimer) {
  out.clear();
  setStatusword(0x0237);
  EXPECT_TRUE(framesWithId(0x185).empty()) << "no PDOs before operational";
  nmt(0x01);
  ASSERT_EQ(framesWithId(0x185).size(), 1u);
  EXPECT_EQ(framesWithId(0x185)[0].dlc, 2);
  EXPECT_EQ(framesWithId(0x185)[0].data[0], 0x37);
  setStatusword(0x0237);  // unchanged: nothing
  setStatusword(0x1237);
  ASSERT_EQ(framesWithId(0x185).size(), 2u);
  EXPECT_EQ(framesWithId(0x185)[1].data[1], 0x12);

  nmt(0x80);  // the parameters change in pre-operational
  configureTpdo1(100, 50);  // inhibit 10 ms, event timer 50 ms
  nmt(0x01);
  out.clear();
  advanceMs(500);
  EXPECT_EQ(framesWithId(0x185).size(), 10u);

  // Changes 1 ms apart: the later ones wait for the end of the inhibit time,
  // and then the latest value goes out.
  advanceMs(25);
  out.clear();
  setStatusword(0x0001);
  advanceMs(1);
  setStatusword(0x0002);
  advanceMs(4);
  setStatusword(0x0003);
  ASSERT_EQ(framesWithId(0x185).size(), 1u);
  advanceMs(4);
  EXPECT_EQ(framesWithId(0x185).size(), 1u);
  advanceMs(1);
  ASSERT_EQ(framesWithId(0x185).size(), 2u);
  EXPECT_EQ(framesWithId(0x185)[1].data[0], 0x03);
}

TEST_F(PdoTest, SynchronousTpdoFollowsEveryNthSync) {
  ASSERT_EQ(download(0x1A01, 1, 0x60640020), 0u);
  ASSERT_EQ(download(0x1A01, 2, 0x60410010), 0u);
  ASSERT_EQ(download(0x1A01, 0, 2, 1), 0u);
  ASSERT_EQ(download(0x1801, 2, 2, 1), 0u);
  ASSERT_EQ(download(0x1801, 1, 0x285), 0u);
  ASSERT_EQ(node->writeObject(0x6064, 0, encodeNumber(kTypeS32, -2)), 0u);
  nmt(0x01);
  out.clear();
  for (int i = 0; i < 6; ++i) send(0x80, {});
  auto frames = framesWithId(0x285);
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0].dlc, 6);
  EXPECT_EQ(std::vector<int>(frames[0].data, frames[0].data + 6), (std::vector<int>{0xFE, 0xFF, 0xFF, 0xFF, 0x50, 0x02}));
  // A remote request gets the current values at once.
  out.clear();
  remote(0x285);
  EXPECT_EQ(framesWithId(0x285).size(), 1u);
}

TEST_F(PdoTest, RpdoWritesItsObjectsOnlyWhenOperational) {
  send(0x205, {0x0F, 0x00});
  EXPECT_EQ(value(0x6040, 0), 0);
  nmt(0x01);
  send(0x205, {0x0F, 0x00, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA, 0xAA});  // longer than mapped: first bytes count
  EXPECT_EQ(value(0x6040, 0), 0x0F);
  out.clear();
  send(0x205, {0x06});  // shorter than mapped: ignored, with an EMCY
  EXPECT_EQ(value(0x6040, 0), 0x0F);
  ASSERT_EQ(framesWithId(0x85).size(), 1u);
  EXPECT_EQ(framesWithId(0x85)[0].data[1], 0x82);

  // A synchronous RPDO takes effect at the next SYNC.
  nmt(0x80);
  ASSERT_EQ(download(0x1400, 2, 0, 1), 0u);
  nmt(0x01);
  send(0x205, {0x07, 0x00});
  EXPECT_EQ(value(0x6040, 0), 0x0F);
  send(0x80, {});
  EXPECT_EQ(value(0x6040, 0), 0x07);
}

TEST_F(PdoTest, ConfigurationChangesFollowTheCiA301Rules) {
  // Identifier of a valid PDO, reserved identifiers, 29-bit identifiers.
  EXPECT_EQ(download(0x1800, 1, 0x195), sdo_abort::kRange);
  EXPECT_EQ(download(0x1800, 1, 0x185), 0u) << "rewriting the same identifier is fine";
  EXPECT_EQ(download(0x1800, 1, 0x40000185), 0u) << "so is the RTR bit";
  EXPECT_EQ(download(0x1800, 3, 10, 2), sdo_abort::kGeneral) << "inhibit time of a valid PDO";
  EXPECT_EQ(download(0x1800, 2, 245, 1), sdo_abort::kRange);
  EXPECT_EQ(download(0x1400, 2, 252, 1), sdo_abort::kRange) << "no RTR types for receive PDOs";
  // Mapping entries change only while the mapping is switched off, and it only while the PDO is invalid.
  EXPECT_EQ(download(0x1A00, 1, 0x60640020), sdo_abort::kGeneral);
  EXPECT_EQ(download(0x1A00, 0, 0, 1), sdo_abort::kGeneral);
  ASSERT_EQ(download(0x1800, 1, 0x80000185u), 0u);
  EXPECT_EQ(download(0x1800, 1, 0x80000705u), 0u) << "any identifier while invalid";
  EXPECT_EQ(download(0x1800, 1, 0x705), sdo_abort::kRange) << "reserved for guarding";
  EXPECT_EQ(download(0x1800, 1, 0x20000185), sdo_abort::kRange);
  ASSERT_EQ(download(0x1A00, 0, 0, 1), 0u);

  EXPECT_EQ(download(0x1A00, 1, 0x77770010), sdo_abort::kNoObject);
  EXPECT_EQ(download(0x1A00, 1, 0x20000010), sdo_abort::kNotMappable);  // not mappable
  EXPECT_EQ(download(0x1A00, 1, 0x60410020), sdo_abort::kNotMappable);  // wrong length
  EXPECT_EQ(download(0x1600, 1, 0x60410010), sdo_abort::kGeneral);      // RPDO mapping is still on
  EXPECT_EQ(download(0x1A00, 1, 0x00050008), 0u);                        // dummy entry
  for (std::uint8_t sub = 1; sub <= 3; ++sub) ASSERT_EQ(download(0x1A00, sub, 0x60640020), 0u);
  EXPECT_EQ(download(0x1A00, 0, 3, 1), sdo_abort::kPdoLength);  // 96 bits
  EXPECT_EQ(download(0x1A00, 0, 9, 1), sdo_abort::kRange);
  EXPECT_EQ(download(0x1A00, 0, 4, 1), sdo_abort::kNotMappable) << "entry 4 is empty";
  ASSERT_EQ(download(0x1A00, 0, 2, 1), 0u);
  ASSERT_EQ(download(0x1800, 1, 0x385), 0u);
  ASSERT_EQ(node->writeObject(0x6064, 0, encodeNumber(kTypeS32, 0x01020304)), 0u);
  nmt(0x01);
  auto frames = framesWithId(0x385);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].dlc, 8);
  EXPECT_EQ(frames[0].data[0], 0x04);
  EXPECT_EQ(frames[0].data[4], 0x04);
}

}  // namespace
}  // namespace kestrum::sim::test
