// SDO server of the simulated node, driven with byte-exact request frames.
#include <random>

#include "NodeFixture.h"

namespace kestrum::sim::test {
namespace {

using Answer = std::array<std::uint8_t, 8>;
using SdoServerTest = NodeFixture;

TEST_F(SdoServerTest, ExpeditedTransfersUseTheObjectsWidth) {
  EXPECT_EQ(sdo({0x40, 0x41, 0x60, 0x00, 0, 0, 0, 0}), (Answer{0x4B, 0x41, 0x60, 0x00, 0x50, 0x02, 0, 0}));
  EXPECT_EQ(sdo({0x40, 0x60, 0x60, 0x00}), (Answer{0x4F, 0x60, 0x60, 0x00, 0x01, 0, 0, 0}));  // 4-byte request
  EXPECT_EQ(sdo({0x40, 0x00, 0x10, 0x00}), (Answer{0x43, 0x00, 0x10, 0x00, 0x92, 0x01, 0x02, 0x00}));
  // A download as a library sends it: only the value's bytes, frame shorter than 8.
  EXPECT_EQ(sdo({0x2B, 0x00, 0x20, 0x00, 0xC8, 0x00}), (Answer{0x60, 0x00, 0x20, 0x00, 0, 0, 0, 0}));
  EXPECT_EQ(value(0x2000, 0), 200);
  // Size not indicated: the object's own width is taken.
  EXPECT_EQ(sdo({0x22, 0x00, 0x20, 0x00, 0x2C, 0x01, 0xFF, 0xFF}), (Answer{0x60, 0x00, 0x20, 0x00, 0, 0, 0, 0}));
  EXPECT_EQ(value(0x2000, 0), 300);
  EXPECT_EQ(download(0x2001, 0, std::uint32_t(-100)), 0u);
  EXPECT_EQ(value(0x2001, 0), -100);
}

TEST_F(SdoServerTest, EachRefusalHasItsAbortCode) {
  bool aborted = false;
  EXPECT_EQ(upload(0x7777, 0, &aborted), sdo_abort::kNoObject);
  EXPECT_TRUE(aborted);
  EXPECT_EQ(upload(0x1018, 9), sdo_abort::kNoSubIndex);
  EXPECT_EQ(upload(0x2003, 0), sdo_abort::kWriteOnly);
  EXPECT_EQ(download(0x6041, 0, 1, 2), sdo_abort::kReadOnly);
  EXPECT_EQ(download(0x2005, 0, 1, 1), sdo_abort::kReadOnly);  // const
  EXPECT_EQ(download(0x7777, 0, 1), sdo_abort::kNoObject);
  EXPECT_EQ(download(0x2000, 7, 1, 2), sdo_abort::kNoSubIndex);
  EXPECT_EQ(download(0x2000, 0, 200, 4), sdo_abort::kTooLong);
  EXPECT_EQ(download(0x2000, 0, 200, 1), sdo_abort::kTooShort);
  EXPECT_EQ(download(0x2000, 0, 9, 2), sdo_abort::kRange);     // below LowLimit 10
  EXPECT_EQ(download(0x2001, 0, 101), sdo_abort::kRange);      // above HighLimit 100
  EXPECT_EQ(value(0x2000, 0), 100);                            // refused writes change nothing
  EXPECT_EQ(download(0x2003, 0, 42), 0u);                      // write-only accepts writes
  // Block transfers and undefined specifiers.
  for (std::uint8_t command : {0xA0, 0xC0, 0xE0}) {
    EXPECT_EQ(sdo({command, 0x00, 0x10, 0x00, 0, 0, 0, 0}), (Answer{0x80, 0x00, 0x10, 0x00, 0x01, 0x00, 0x04, 0x05}));
  }
  // Segments without a transfer in progress.
  EXPECT_EQ(le32(sdo({0x60, 0, 0, 0, 0, 0, 0, 0})), sdo_abort::kUnknownCommand);
  EXPECT_EQ(le32(sdo({0x00, 0, 0, 0, 0, 0, 0, 0})), sdo_abort::kUnknownCommand);
}

TEST_F(SdoServerTest, SegmentedUploadAlternatesTheToggle) {
  // "Test Controller": 15 characters = 7 + 7 + 1.
  EXPECT_EQ(sdo({0x40, 0x08, 0x10, 0x00, 0, 0, 0, 0}), (Answer{0x41, 0x08, 0x10, 0x00, 15, 0, 0, 0}));
  EXPECT_EQ(sdo({0x60, 0, 0, 0, 0, 0, 0, 0}), (Answer{0x00, 'T', 'e', 's', 't', ' ', 'C', 'o'}));
  EXPECT_EQ(sdo({0x70, 0, 0, 0, 0, 0, 0, 0}), (Answer{0x10, 'n', 't', 'r', 'o', 'l', 'l', 'e'}));
  EXPECT_EQ(sdo({0x60, 0, 0, 0, 0, 0, 0, 0}), (Answer{0x0D, 'r', 0, 0, 0, 0, 0, 0}));
  // Short strings are still sent segmented: the client reads them that way.
  EXPECT_EQ(sdo({0x40, 0x0A, 0x10, 0x00}), (Answer{0x41, 0x0A, 0x10, 0x00, 5, 0, 0, 0}));
  EXPECT_EQ(sdo({0x60}), (Answer{0x05, 'V', '1', '.', '2', '3', 0, 0}));
  // A repeated toggle breaks the transfer.
  sdo({0x40, 0x08, 0x10, 0x00});
  sdo({0x60});
  EXPECT_EQ(sdo({0x60}), (Answer{0x80, 0x08, 0x10, 0x00, 0x00, 0x00, 0x03, 0x05}));
  EXPECT_EQ(le32(sdo({0x70})), sdo_abort::kUnknownCommand);  // and it is over
}

TEST_F(SdoServerTest, SegmentedDownloadChecksToggleAndSize) {
  // "segmented text!" (15 bytes) in 7 + 7 + 1.
  EXPECT_EQ(sdo({0x21, 0x02, 0x20, 0x00, 15, 0, 0, 0}), (Answer{0x60, 0x02, 0x20, 0x00, 0, 0, 0, 0}));
  EXPECT_EQ(sdo({0x00, 's', 'e', 'g', 'm', 'e', 'n', 't'})[0], 0x20);
  EXPECT_EQ(sdo({0x10, 'e', 'd', ' ', 't', 'e', 'x', 't'})[0], 0x30);
  EXPECT_EQ(sdo({0x0D, '!', 0, 0, 0, 0, 0, 0})[0], 0x20);
  const Bytes stored = node->dictionary().find(0x2002, 0)->value;
  EXPECT_EQ(std::string(stored.begin(), stored.end()), "segmented text!");

  sdo({0x21, 0x02, 0x20, 0x00, 15, 0, 0, 0});
  EXPECT_EQ(le32(sdo({0x10, 'x', 'x', 'x', 'x', 'x', 'x', 'x'})), sdo_abort::kToggle);
  // More data than announced, and an announced size that does not match the object.
  sdo({0x21, 0x02, 0x20, 0x00, 3, 0, 0, 0});
  EXPECT_EQ(le32(sdo({0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g'})), sdo_abort::kTooLong);
  EXPECT_EQ(le32(sdo({0x21, 0x00, 0x20, 0x00, 3, 0, 0, 0})), sdo_abort::kTooLong);
  // Announced 5, delivered 3.
  sdo({0x21, 0x02, 0x20, 0x00, 5, 0, 0, 0});
  EXPECT_EQ(le32(sdo({0x09, 'a', 'b', 'c', 0, 0, 0, 0})), sdo_abort::kLength);
  EXPECT_EQ(std::string(stored.begin(), stored.end()), "segmented text!");
  // A numeric object may be written segmented too, with its exact size.
  sdo({0x21, 0x00, 0x20, 0x00, 2, 0, 0, 0});
  EXPECT_EQ(sdo({0x0B, 0xF4, 0x01, 0, 0, 0, 0, 0})[0], 0x20);
  EXPECT_EQ(value(0x2000, 0), 500);
}

TEST_F(SdoServerTest, StalledTransferIsAbortedByTimeOut) {
  sdo({0x40, 0x08, 0x10, 0x00});
  out.clear();
  advanceMs(900);
  EXPECT_TRUE(out.empty());
  advanceMs(200);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].data[0], 0x80);
  EXPECT_EQ(le32(out[0]), sdo_abort::kTimeout);
  EXPECT_EQ(le32(sdo({0x60})), sdo_abort::kUnknownCommand);
}

TEST_F(SdoServerTest, MalformedRequestsNeverBreakTheServer) {
  out.clear();
  send(0x605, {});                  // no data
  send(0x605, {0x40, 0x41, 0x60});  // request without sub-index
  send(0x605, {0x80, 0, 0, 0});     // client abort: no answer
  EXPECT_TRUE(out.empty());
  // Four bytes announced, two carried.
  EXPECT_EQ(le32(sdo({0x23, 0x81, 0x60, 0x00, 0x01, 0x02})), sdo_abort::kLength);
  EXPECT_EQ(value(0x6081, 0), 1000);

  std::mt19937 rng(7);
  for (int i = 0; i < 20000; ++i) {
    CanFrame f;
    f.id = 0x605;
    f.dlc = std::uint8_t(rng() % 9);
    for (auto& b : f.data) b = std::uint8_t(rng());
    if (i % 3 == 0) f.data[1] = 0x20, f.data[2] = 0x00, f.data[3] = 0x02;  // aim at a real object
    out.clear();
    node->receive(f, now);
    for (const CanFrame& a : out) {
      ASSERT_EQ(a.id, 0x585u);
      ASSERT_EQ(a.dlc, 8);
    }
  }
  // Still serving afterwards.
  EXPECT_EQ(upload(0x6041, 0), 0x0250u);
}

}  // namespace
}  // namespace kestrum::sim::test
