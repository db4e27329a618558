// The receive queue: bounded memory under endless traffic, cursors that keep
// what they can still reach, and one writer against lock-free readers.

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "RxQueue.h"
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
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (std::uint64_t i = 0; i < kFrames; ++i) {
      push(*q, static_cast<std::uint16_t>(i & 0x7FF));
      signal.notifyAll();
    }
    done = true;
    signal.notifyAll();
  });
  auto reader = [&] {
    // Readers come and go as requests do, each walking a short stretch.
    while (!done) {
      RxCursor cursor = q->cursor();
      std::uint64_t last = cursor.position()->seq;
      for (int step = 0; step < 50 && !done;) {
        const std::uint32_t seen = signal.snapshot();
        if (const can_data* e = cursor.next()) {
          ASSERT_EQ(e->seq, last + 1);
          ASSERT_EQ(e->id, (e->seq - 1) & 0x7FF);
          last = e->seq;
          ++step;
        } else {
          signal.waitUntil(seen, std::chrono::steady_clock::now() + std::chrono::milliseconds(20));
        }
      }
    }
  };
  std::thread r1(reader), r2(reader);
  writer.join();
  r1.join();
  r2.join();
  for (int i = 0; i < 100; ++i) push(*q, 0);
  EXPECT_LT(q->size(), 200u);
}

}  // namespace
}  // namespace varnex
