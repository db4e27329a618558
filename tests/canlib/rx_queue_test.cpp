// The receive queue: bounded memory under endless traffic, cursors that keep
// what they can still reach, and one writer against lock-free readers.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "RxQueue.h"
#include "Wait.h"
#include "WakeSignal.h"

namespace varnex {
namespace {

void push(RxQueue& q, std::uint16_t id) {
  const std::uint8_t data[8] = {static_cast<std::uint8_t>(id)};
  q.append(0, id, 1, data);
}

TEST(RxQueue, StaysSmallWithoutReadersAndKeepsWhatACursorCanReach) {
  auto q = std::make_shared<RxQueue>();
  for (int i = 0; i < 100000; ++i) push(*q, 1);
  EXPECT_LT(q->size(), 200u);

  {
    RxCursor cursor = q->cursor();
    for (int i = 0; i < 5000; ++i) push(*q, static_cast<std::uint16_t>(i & 0x7FF));
    EXPECT_GT(q->size(), 5000u);  // everything behind the cursor is still there
    for (int i = 0; i < 5000; ++i) {
      const can_data* e = cursor.next();
      ASSERT_NE(e, nullptr);
      ASSERT_EQ(e->id, i & 0x7FF);
    }
    EXPECT_EQ(cursor.next(), nullptr);
  }
  for (int i = 0; i < 200; ++i) push(*q, 2);
  EXPECT_LT(q->size(), 200u);  // freed once the cursor is gone
}

TEST(RxQueue, CursorOutlivesTheQueuesOwner) {
  auto q = std::make_shared<RxQueue>();
  RxCursor cursor = q->cursor();
  push(*q, 7);
  q.reset();  // as terminate drops the queue while a request still walks it
  const can_data* e = cursor.next();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(e->id, 7);
}

TEST(RxQueue, ReadersFollowTheWriterInOrderWhileElementsAreFreed) {
  auto q = std::make_shared<RxQueue>();
  WakeSignal signal;
  constexpr std::uint64_t kFrames = 200000;
  constexpr int kStretch = 50;
  std::atomic<bool> done{false};
  std::atomic<int> running{0};
  std::atomic<std::uint64_t> seen[2] = {0, 0};
  std::atomic<int> stretches[2] = {0, 0};
  auto reader = [&](int who) {
    // Readers come and go as requests do, each walking a short stretch. A
    // stretch that began before the end still walks to its end: what its
    // cursor can reach stays there.
    for (bool first = true;; first = false) {
      RxCursor cursor = q->cursor();
      if (first) ++running;
      ++stretches[who];
      std::uint64_t last = cursor.position()->seq;
      for (int step = 0; step < kStretch;) {
        const std::uint32_t before = signal.snapshot();
        if (const can_data* e = cursor.next()) {
          ASSERT_EQ(e->seq, last + 1);
          ASSERT_EQ(e->id, (e->seq - 1) & 0x7FF);
          last = e->seq;
          ++step;
          ++seen[who];
        } else if (done) {
          return;
        } else {
          signal.waitUntil(before, std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
        }
      }
      if (done) return;
    }
  };
  // Both readers hold a cursor before the first frame is written, so each
  // walks at least one full stretch while the writer runs.
  std::thread r1(reader, 0), r2(reader, 1);
  EXPECT_TRUE(kestrum::test::eventually([&] { return running == 2; }));
  std::thread writer([&] {
    for (std::uint64_t i = 0; i < kFrames; ++i) {
      push(*q, static_cast<std::uint16_t>(i & 0x7FF));
      signal.notifyAll();
    }
    done = true;
    signal.notifyAll();
  });
  writer.join();
  r1.join();
  r2.join();
  for (int who : {0, 1}) {
    SCOPED_TRACE(who);
    EXPECT_GE(seen[who].load(), std::uint64_t(kStretch));
    EXPECT_LE(seen[who].load(), std::uint64_t(stretches[who]) * kStretch);
  }
  for (int i = 0; i < 100; ++i) push(*q, 0);
  EXPECT_LT(q->size(), 200u);
}

}  // namespace
}  // namespace varnex
