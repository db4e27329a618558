#include <gtest/gtest.h>

#include <thread>

#include "FrameRing.h"

namespace {

void push(FrameRing& ring, int i) {
  const std::uint8_t data[8] = {std::uint8_t(i), std::uint8_t(i >> 8)};
  ring.push(data, 1000u + i, 0x181, 2, false);
}
int payload(const ConnectorFrame& f) { return f.data[0] | f.data[1] << 8; }

TEST(FrameRing, FullRingDropsTheOldestAndCountsThem) {
  FrameRing ring(4);
  for (int i = 0; i < 6; ++i) push(ring, i);
  std::vector<ConnectorFrame> out;
  EXPECT_EQ(ring.take(out, 100), 2u);
  ASSERT_EQ(out.size(), 4u);
  for (int k = 0; k < 4; ++k) {
    EXPECT_EQ(payload(out[k]), k + 2);
    EXPECT_EQ(out[k].seq, std::uint32_t(k + 3));  // numbering counts the dropped ones too
    EXPECT_EQ(out[k].time, 1002u + k);
  }
  // The count is reported once; the ring is empty and reusable afterwards.
  EXPECT_EQ(ring.take(out, 100), 0u);
  EXPECT_TRUE(out.empty());
  push(ring, 7);
  ring.take(out, 100);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].seq, 7u);
}

TEST(FrameRing, TakeInPartsKeepsOrderAcrossTheWrap) {
  FrameRing ring(5);
  std::vector<ConnectorFrame> out;
  std::vector<int> seen;
  for (int i = 0; i < 23; ++i) {
    push(ring, i);
    if (i % 3 == 2) {  // three in, taken in two parts
      for (int part = 0; part < 2; ++part) {
        EXPECT_EQ(ring.take(out, 2), 0u);
        for (const auto& f : out) seen.push_back(payload(f));
      }
    }
  }
  while (ring.take(out, 2), !out.empty())
    for (const auto& f : out) seen.push_back(payload(f));
  ASSERT_EQ(seen.size(), 23u);
  for (int i = 0; i < 23; ++i) EXPECT_EQ(seen[i], i);
}

TEST(FrameRing, ConcurrentWriterAndReaderAccountForEveryFrame) {
  FrameRing ring(8192);
  constexpr int kFrames = 100000;
  std::thread writer([&] {
    for (int i = 0; i < kFrames; ++i) {
      const std::uint8_t data[8] = {std::uint8_t(i), std::uint8_t(i >> 8), std::uint8_t(i >> 16)};
      ring.push(data, 0, 0x181, 3, false);
    }
  });
  std::vector<ConnectorFrame> out;
  int next = 0, seen = 0;
  std::uint64_t dropped = 0;
  while (next < kFrames) {
    dropped += ring.take(out, 1000);
    for (const auto& f : out) {
      const int i = f.data[0] | f.data[1] << 8 | f.data[2] << 16;
      ASSERT_GE(i, next);
      next = i + 1;
      ++seen;
    }
    if (out.empty()) std::this_thread::yield();
  }
  writer.join();
  dropped += ring.take(out, 1000);
  EXPECT_EQ(seen + int(dropped), kFrames);
}

}  // namespace
