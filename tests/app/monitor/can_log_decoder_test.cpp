// The CAN log's decoding of frames into lines: SDO objects with controlword
// and status word bits, emergencies, PDO contents, the time column, hints and
// the candump line.
#include <gtest/gtest.h>

#include "FrameSupport.h"
#include "QtTestSupport.h"

#include <QMap>
#include <QPair>

#include <initializer_list>

#include "CanLogDecoder.h"

namespace {

/// Object values and descriptions as the SDO list would hold them.
class MapLookup : public CanLogLookup {
 public:
  QMap<QPair<QString, int>, QPair<QString, QString>> objects;  // (id, sub) -> (description, value)

  void set(const QString& id, int sub, const QString& value, const QString& description = {}) {
    objects[{id, sub}] = {description, value};
  }
  QString description(const QString& id, std::int32_t sub) override {
    return objects.value({id, sub}).first;
  }
  std::optional<QString> value(const QString& id, std::int32_t sub) override {
    const auto it = objects.find({id, sub});
    if (it == objects.end()) return std::nullopt;
    return it->second;
  }
};

using kestrum::test::frame;

/// The interpretation: everything after the fourth tab.
QString interpretation(const QString& line) { return line.section(QLatin1Char('\t'), 4); }

class CanLogDecoderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    list.set("6040", 0, "0", "Controlword");
    list.set("6041", 0, "0", "Statusword");
    list.set("1014", 0, "129", "COB-ID EMCY");
  }
  MapLookup list;
  CanLogDecoder decoder{&list};
};

TEST_F(CanLogDecoderTest, SdoFramesNameTheObjectAndShowControlAndStatusBits) {
  // Status word answer 0x0637 on 0x581.
  const QString answer = decoder.decodeFrame(frame(0x581, {0x4B, 0x41, 0x60, 0x00, 0x37, 0x06, 0x00, 0x00}, 1234567));
  EXPECT_EQ(answer, " -> \t1234567   \t0x581\t  4B 41 60 00 37 06 00 00 \tSTATUSWORD RES:0 RES:0 MS1:0 MS2:0 "
                    "ILA:0 TGR:1 REM:1 PLL:0 WNG:0 SOD:0 QUS:1 VEN:1 FLT:0 OEN:1 SON:1 RTS:1");

  // Controlword write 0x021F (bits 9, 4, 3, 2, 1, 0) on 0x601.
  EXPECT_EQ(interpretation(decoder.decodeFrame(frame(0x601, {0x2B, 0x40, 0x60, 0x00, 0x1F, 0x02, 0, 0}, 0, true))),
            "CONTROLWORD RES:0 RES:0 RES:0 RES:0 RES:0 RES:0 MS5:1 HAT:0 FTR:0 MS3:0 MS2:0 MS1:1 ENO:1 QUS:1 "
            "ENV:1 SWO:1");

  // The bits belong to the direction: a request for 0x6041 and an answer
  // about 0x6040 only name the object.
  EXPECT_EQ(interpretation(decoder.decodeFrame(frame(0x601, {0x40, 0x41, 0x60, 0x00, 0xFF, 0xFF, 0, 0}))), "STATUSWORD");
  EXPECT_EQ(interpretation(decoder.decodeFrame(frame(0x581, {0x60, 0x40, 0x60, 0x00, 0xFF, 0xFF, 0, 0}))), "CONTROLWORD");
  // An object that is not in the list: no interpretation.
  EXPECT_EQ(interpretation(decoder.decodeFrame(frame(0x581, {0x43, 0x00, 0x20, 0x01, 1, 2, 3, 4}))), "");
}

TEST_F(CanLogDecoderTest, TimeColumnFollowsTheLastTimeStamp) {
  // A transmitted NMT frame without time stamp: the column stays 10 wide.
  EXPECT_EQ(decoder.decodeFrame(frame(0x000, {0x01, 0x01}, 0, true)),
            " <- \t          \t0x000\t  01 01 00 00 00 00 00 00 \t");
  EXPECT_EQ(decoder.timeWidth(), 10);

  decoder.decodeFrame(frame(0x181, {}, 4000000000u));  // ten digits widen it to 15
  EXPECT_EQ(decoder.timeWidth(), 15);
  const QString tx = decoder.decodeFrame(frame(0x000, {}, 0, true));
  EXPECT_EQ(tx.section(QLatin1Char('\t'), 1, 1), QString(15, QLatin1Char(' ')));
  EXPECT_EQ(decoder.decodeFrame(frame(0x181, {}, 1234567)).section(QLatin1Char('\t'), 1, 1), "1234567   ");
  EXPECT_EQ(decoder.timeWidth(), 10);  // seven digits narrow it again
  decoder.decodeFrame(frame(0x181, {}, 42));
  EXPECT_EQ(decoder.timeWidth(), 5);
  decoder.decodeFrame(frame(0x181, {}, 12345));
  EXPECT_EQ(decoder.timeWidth(), 10);
}

TEST_F(CanLogDecoderTest, EmptyDataFramesShowEightBytesAndAnEmptyCandumpPayload) {
  // A heartbeat request without data: all eight bytes are shown regardless.
  const ConnectorFrame empty = frame(0x701, {}, 99);
  EXPECT_EQ(decoder.decodeFrame(empty), " -> \t99   \t0x701\t  00 00 00 00 00 00 00 00 \t");
  EXPECT_EQ(CanLogDecoder::candumpLine(empty, false, 1500000), "(0000000001.500000) can0 701#");
  EXPECT_EQ(CanLogDecoder::candumpLine(empty, true, 7), "(0000000000.000007) can0 701#R");
  ConnectorFrame sdo = frame(0x601, {0x40, 0x41, 0x60, 0x00});
  EXPECT_EQ(CanLogDecoder::candumpLine(sdo, false, 0), "(0000000000.000000) can0 601#40416000");
  sdo.dlc = 15;  // a bad length never reads past the eight bytes
  EXPECT_EQ(CanLogDecoder::candumpLine(sdo, false, 0), "(0000000000.000000) can0 601#4041600000000000");
}

TEST_F(CanLogDecoderTest, ExtendedAndRemoteFramesShowAsTheyAreAndAreNotReadAsCanopen) {
  // 0x18FF0581 ends like node 1's SDO answer: shown whole, not decoded.
  ConnectorFrame extended = frame(0x581, {0x4B, 0x41, 0x60, 0x00, 0x37, 0x06, 0x00, 0x00}, 5);
  extended.kind = kFrameExtended;
  extended.wholeId = 0x18FF0581;
  EXPECT_EQ(decoder.decodeFrame(extended), " -> \t5    \t0x18FF0581\t  4B 41 60 00 37 06 00 00 \t");
  EXPECT_EQ(CanLogDecoder::candumpLine(extended, false, 0), "(0000000000.000000) can0 18FF0581#4B41600037060000");

  ConnectorFrame remote = frame(0x701, {}, 6);
  remote.kind = kFrameRemote;
  EXPECT_EQ(interpretation(decoder.decodeFrame(remote)), "REMOTE REQUEST");
  EXPECT_EQ(CanLogDecoder::candumpLine(remote, false, 0), "(0000000000.000000) can0 701#R");
}

TEST_F(CanLogDecoderTest, EmergencyShowsErrorCodeAndRegister) {
  EXPECT_EQ(interpretation(decoder.decodeFrame(frame(0x81, {0x00, 0x23, 0x02, 0, 0, 0, 0, 0}))),
            "EMERGENCY MESSAGE: \tCURRENT OUTPUT ERROR\tERROR REGISTER: Gen: 0 Cur: 1 Vol: 0 Tem: 0 Com: 0 "
            "Dev: 0 Rsv: 0 Man: 0");
  EXPECT_EQ(CanLogDecoder::describeEmergencyCode(0x2310), "UNKOWN ERROR CODE");  // exact match only
  EXPECT_EQ(CanLogDecoder::describeEmergencyCode(0x0000), "NO ERROR OR RESET");
  EXPECT_EQ(CanLogDecoder::describeEmergencyCode(0x8150), "MONITORING COM TX COLLISION ERROR");
  EXPECT_EQ(CanLogDecoder::describeEmergencyCode(0xFFFF), "DEVICE SPECIFIC UNKOWN ERROR");
  EXPECT_EQ(CanLogDecoder::errorRegisterBits(0x81), " Gen: 1 Cur: 0 Vol: 0 Tem: 0 Com: 0 Dev: 0 Rsv: 0 Man: 1");

  // Another node's emergency is not this node's; a garbled or missing EMCY
  // COB-ID marks no frame (and NMT frames on 0x000 stay NMT frames).
  EXPECT_EQ(interpretation(decoder.decodeFrame(frame(0x82, {0x00, 0x23, 0x02}))), "");
  list.set("1014", 0, "0x8G");
  EXPECT_EQ(interpretation(decoder.decodeFrame(frame(0x81, {0x00, 0x23, 0x02}))), "");
  list.objects.remove({"1014", 0});
  EXPECT_EQ(interpretation(decoder.decodeFrame(frame(0x000, {0x01, 0x00}, 0, true))), "");
}

TEST_F(CanLogDecoderTest, TransmitPdoShowsStatusWordAndInputsByItsMapping) {
  list.set("1800", 1, "0x181");
  list.set("1A00", 0, "2");
  list.set("1A00", 1, "0x60410010");  // status word, 16 bits
  list.set("1A00", 2, "0x60FD0020");  // digital inputs, 32 bits
  const QString text =
      interpretation(decoder.decodeFrame(frame(0x181, {0x37, 0x06, 0x00, 0x00, 0x2A, 0x00, 0xEE, 0xEE}, 5)));
  EXPECT_EQ(text,
            "STATUSWORD: RES:0 RES:0 MS1:0 MS2:0 ILA:0 TGR:1 REM:1 PLL:0 WNG:0 SOD:0 QUS:1 VEN:1 FLT:0 OEN:1 "
            "SON:1 RTS:1\n\t\t\t\tDIGITAL INPUT: IN6:1 IN5:0 IN4:1 IN3:0 IN2:1 IN1:0");

  // An entry of five bytes or more is skipped without moving the offset;
  // entries past the count in subindex 0 are still read.
  list.set("1A00", 0, "1");
  list.set("1A00", 1, "0x20000040");
  list.set("1A00", 2, "0x60410010");
  EXPECT_EQ(interpretation(decoder.decodeFrame(frame(0x181, {0x08, 0x00}, 5))),
            "STATUSWORD: RES:0 RES:0 MS1:0 MS2:0 ILA:0 TGR:0 REM:0 PLL:0 WNG:0 SOD:0 QUS:0 VEN:0 FLT:1 OEN:0 "
            "SON:0 RTS:0");

  // A mapping count of 0 shows nothing; an unused PDO (bit 31) matches no frame.
  list.set("1A00", 0, "0");
  EXPECT_EQ(interpretation(decoder.decodeFrame(frame(0x181, {0x08, 0x00}, 5))), "");
  list.set("1A00", 0, "1");
  list.set("1800", 1, "0x80000181");
  EXPECT_EQ(interpretation(decoder.decodeFrame(frame(0x181, {0x08, 0x00}, 5))), "");
  // The no-remote-request flag (bit 30) is not part of the identifier.
  list.set("1800", 1, "0x40000181");
  EXPECT_NE(interpretation(decoder.decodeFrame(frame(0x181, {0x08, 0x00}, 5))), "");
}

TEST_F(CanLogDecoderTest, OwnFramesAreLookedUpAmongTheReceivePdos) {
  list.set("1401", 1, "0x301");
  list.set("1601", 0, "1");
  list.set("1601", 1, "0x60410010");
  list.set("1801", 1, "0x301");  // a transmit PDO on the same identifier for received frames
  list.set("1A01", 0, "1");
  list.set("1A01", 1, "0x60FD0020");
  EXPECT_TRUE(interpretation(decoder.decodeFrame(frame(0x301, {0x01, 0x00}, 0, true))).startsWith("STATUSWORD:"));
  EXPECT_TRUE(interpretation(decoder.decodeFrame(frame(0x301, {0x01, 0x00}, 9))).startsWith("DIGITAL INPUT:"));
}

TEST_F(CanLogDecoderTest, WithoutAListNothingIsInterpreted) {
  CanLogDecoder bare;
  EXPECT_EQ(bare.decodeFrame(frame(0x581, {0x4B, 0x41, 0x60, 0x00, 0x37, 0x06}, 1)),
            " -> \t1    \t0x581\t  4B 41 60 00 37 06 00 00 \t");
}

TEST(CanLogHints, HintsFollowTheColumnsOfALine) {
  CanLogDecoder decoder;
  const QString line = decoder.decodeFrame(frame(0x601, {0x2B, 0x40, 0x60, 0x00, 0x0F, 0x00, 0x00, 0x00}, 1234567));
  const auto hintAt = [&](const QString& part, int extra = 0) {
    return CanLogDecoder::columnHint(line, int(line.indexOf(part)) + extra);
  };
  EXPECT_EQ(hintAt("1234567"), "Microseconds since the start of the application.");
  EXPECT_EQ(hintAt("0x601", 3), "CobID");
  EXPECT_EQ(hintAt("2B"), "Request Type");
  EXPECT_EQ(hintAt("40 60", 1), "CAN-ID 2");
  EXPECT_EQ(hintAt("60 00"), "CAN-ID 1");
  EXPECT_EQ(hintAt("00 0F"), "SubID");
  EXPECT_EQ(hintAt("0F"), "CAN Payload 1 to 4 Bytes");
  EXPECT_EQ(hintAt("2B", 2), "");  // the blank between two bytes
  EXPECT_EQ(hintAt(" -> "), "");
  EXPECT_EQ(CanLogDecoder::columnHint(line, int(line.size()) + 3), "");
  EXPECT_EQ(CanLogDecoder::columnHint("\t\t\t\tDIGITAL INPUT: IN6:0", 1), "");  // continuation line
}

}  // namespace
