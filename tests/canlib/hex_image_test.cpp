// The HEX reader, packing and the download's block geometry, without a bus.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Firmware.h"
#include "HexImage.h"

namespace {

using varnex::hex::HexReader;
using varnex::hex::LineResult;
using Bytes = std::vector<std::uint8_t>;

/// A well-formed record with its checksum.
std::string rec(unsigned address, unsigned type, const Bytes& data) {
  unsigned sum = unsigned(data.size()) + (address >> 8) + (address & 0xFF) + type;
  char buf[16];
  std::snprintf(buf, sizeof buf, ":%02X%04X%02X", unsigned(data.size()), address, type);
  std::string line = buf;
  for (auto b : data) {
    std::snprintf(buf, sizeof buf, "%02X", b);
    line += buf;
    sum += b;
  }
  std::snprintf(buf, sizeof buf, "%02X", (0x100 - sum % 0x100) % 0x100);
  return line + buf;
}
const std::string kEnd = ":00000001FF";

struct Read {
  bool ok;
  std::string error;
  Bytes image;
};
Read readAll(const std::vector<std::string>& lines) {
  HexReader r;
  for (const auto& l : lines) r.addLine(l);
  const bool ok = r.finish();
  return {ok, r.error(), r.image()};
}

TEST(HexReader, RecordsLandAtTheirAddresses) {
  // The documented pair: an extended linear address of 0, then a data record.
  EXPECT_EQ(rec(0, 4, {0, 0}), ":020000040000FA");
  EXPECT_EQ(rec(0, 0, {0x12, 0x34, 0x56, 0x78}), ":0400000012345678E8");

  struct Case {
    const char* what;
    std::vector<std::string> lines;
    std::size_t offset;
    Bytes expected;
  } cases[] = {
      {"linear address 0", {":020000040000FA", ":0400000012345678E8", kEnd}, 0, {0x12, 0x34, 0x56, 0x78}},
      {"linear address 1", {rec(0, 0, {1}), rec(0, 4, {0, 1}), rec(0x10, 0, {0xAA}), kEnd}, 0x10010, {0xAA}},
      {"segment address (x16)", {rec(0, 0, {1}), rec(0, 2, {0x10, 0x00}), rec(4, 0, {0xBB}), kEnd}, 0x10004, {0xBB}},
      {"last bytes of the image", {rec(0, 0, {1}), rec(0, 4, {0, 7}), rec(0xFFFC, 0, {1, 2, 3, 4}), kEnd}, 0x7FFFC,
       {1, 2, 3, 4}},
      {"lower case, CR LF, blank lines, start records",
       {"\r\n", ":0400000012345678e8\r\n", "   ", rec(0, 3, {0, 0, 0, 0}), rec(0, 5, {0, 0, 1, 0}), kEnd + "\r\n", ""},
       0,
       {0x12, 0x34, 0x56, 0x78}},
  };
  for (const auto& c : cases) {
    const Read r = readAll(c.lines);
    ASSERT_TRUE(r.ok) << c.what << ": " << r.error;
    EXPECT_EQ(Bytes(r.image.begin() + long(c.offset), r.image.begin() + long(c.offset + c.expected.size())), c.expected)
        << c.what;
  }
}

TEST(HexReader, EveryReaderStartsAtAddressZero) {
  HexReader first;
  first.addLine(rec(0, 4, {0, 3}));
  const Read second = readAll({rec(0, 0, {0x5A}), kEnd});
  ASSERT_TRUE(second.ok);
  EXPECT_EQ(second.image[0], 0x5A);
  EXPECT_EQ(second.image[0x30000], 0xFF);
}

TEST(HexReader, RefusesMalformedInputAndSaysWhere) {
  const std::string data = rec(0, 0, {1, 2, 3, 4});
  struct Case {
    const char* what;
    std::vector<std::string> lines;
    const char* reason;  // part of the error text
  } cases[] = {
      {"bad checksum", {data, ":0400000012345678E9", kEnd}, "line 2: bad checksum"},
      {"non-hex character", {":04000000123456G8E8", kEnd}, "line 1: a character that is not"},
      {"unknown record type", {data, rec(0, 6, {}), kEnd}, "line 2: unknown record type"},
      {"record past the image", {rec(0, 4, {0, 7}), rec(0xFFFE, 0, {1, 2, 3, 4}), kEnd}, "line 2: data past the end"},
      {"address past the image", {rec(0, 4, {0, 8}), rec(0, 0, {1}), kEnd}, "line 2: data past the end"},
      {"line cut short", {data, ":04000000123456", kEnd}, "line 2: record cut short"},
      {"shorter than a record", {":0000", kEnd}, "line 1: record cut short"},
      {"characters after the checksum", {data + "00", kEnd}, "line 1: characters after the checksum"},
      {"no colon", {data.substr(1), kEnd}, "line 1: not a HEX record"},
      {"text file", {"Hello firmware", kEnd}, "line 1: not a HEX record"},
      {"end record with data", {data, rec(0, 1, {0})}, "line 2: wrong byte count"},
      {"address record of 3 bytes", {rec(0, 4, {0, 0, 0}), data, kEnd}, "line 1: wrong byte count"},
      {"record after the end", {data, kEnd, rec(4, 0, {5})}, "line 3: record after the end-of-file"},
      {"no end-of-file record", {data}, "no end-of-file record"},
      {"no lines at all", {}, "no end-of-file record"},
      {"only an end record", {kEnd}, "no data record"},
      {"data only above what is downloaded", {rec(0, 4, {0, 4}), rec(0, 0, {1, 2}), kEnd}, "no data record"},
  };
  for (const auto& c : cases) {
    const Read r = readAll(c.lines);
    EXPECT_FALSE(r.ok) << c.what;
    EXPECT_NE(r.error.find(c.reason), std::string::npos) << c.what << ": " << r.error;
  }
}

TEST(HexReader, StopsStoringAtTheFirstFault) {
  HexReader r;
  EXPECT_EQ(r.addLine(":0400000012345678E9"), LineResult::BadChecksum);
  EXPECT_EQ(r.addLine(rec(8, 0, {0x42})), LineResult::AfterEnd);
  EXPECT_EQ(r.image()[0], 0xFF) << "a record with a bad checksum stores nothing";
  EXPECT_EQ(r.image()[8], 0xFF) << "nor does anything after it";
  EXPECT_FALSE(r.finish());
}

TEST(HexPacking, WordsLoseTheirPhantomByteAndTurnMostSignificantFirst) {
  Bytes image(varnex::hex::kImageBytes, 0xFF);
  const Bytes words = {0x00, 0x01, 0x02, 0x00, 0x04, 0x05, 0x06, 0x00};
  std::copy(words.begin(), words.end(), image.begin());
  // The last packed word comes from HEX bytes 0x7FFF8..0x7FFFA.
  image[0x7FFF8] = 0x11, image[0x7FFF9] = 0x22, image[0x7FFFA] = 0x33, image[0x7FFFB] = 0x00;
  image[0x7FFFC] = 0x44;  // word 0x1FFFF is not packed

  const Bytes packed = varnex::hex::pack(image);
  ASSERT_EQ(packed.size(), varnex::hex::kImageBytes);
  EXPECT_EQ(Bytes(packed.begin(), packed.begin() + 6), (Bytes{0x02, 0x01, 0x00, 0x06, 0x05, 0x04}));
  EXPECT_EQ(Bytes(packed.begin() + 0x5FFFA, packed.begin() + 0x5FFFD), (Bytes{0x33, 0x22, 0x11}));
  for (std::size_t i = 0x5FFFD; i < packed.size(); ++i) ASSERT_EQ(packed[i], 0xFF) << i;
}

TEST(DownloadGeometry, FramesAndChecksumsCoverEveryByteOfEachBlock) {
  namespace fw = varnex::firmware;
  Bytes packed(varnex::hex::kImageBytes, 0xFF);
  for (std::size_t i = 0; i < varnex::hex::kDownloadBytes; ++i) packed[i] = std::uint8_t(i * 13 + i / 251);

  for (int b : {0, 1, 84}) {
    std::uint32_t expected = 0x400u * std::uint32_t(b);
    Bytes sent;
    std::uint8_t frame[8];
    for (int k = 0; k < fw::kFramesPerBlock; ++k) {
      fw::dataFrame(packed, b, k, frame);
      ASSERT_EQ(frame[0] | frame[1] << 8, k);
      ASSERT_EQ(frame[2] | frame[3], 0);
      sent.insert(sent.end(), frame + 4, frame + 8);
      expected += std::uint32_t(frame[4]) | std::uint32_t(frame[5]) << 8 | std::uint32_t(frame[6]) << 16 |
                  std::uint32_t(frame[7]) << 24;
    }
    EXPECT_EQ(fw::blockChecksum(packed, b), expected) << "block " << b;
    EXPECT_EQ(sent, Bytes(packed.begin() + long(0x600 * b), packed.begin() + long(0x600 * (b + 1)))) << "block " << b;
  }
  std::uint8_t last[8];
  fw::dataFrame(packed, 0, 383, last);
  EXPECT_EQ(last[0], 0x7F);
  EXPECT_EQ(last[1], 0x01);

  // Any single changed byte changes its block's checksum.
  const std::uint32_t before = fw::blockChecksum(packed, 3);
  packed[0x600 * 3 + 777] ^= 0x01;
  EXPECT_NE(fw::blockChecksum(packed, 3), before);
}

}  // namespace
