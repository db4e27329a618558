#pragma once
// The receive queue: a linked list of received frames with one writer (the
// receive thread) and lock-free readers that walk it from a cursor.
//
// Readers never remove elements. Each reader takes a cursor (RxCursor) before
// it sends its request; the cursor pins its element, and everything newer,
// until the cursor is destroyed. The writer frees the elements older than the
// oldest pinned one (and older than the newest element), so the queue stays
// small under endless traffic while no element a cursor can reach disappears.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "VarnexExport.h"

/// One received standard (11-bit) data frame: the element of the receive
/// queue. Extended and remote frames never enter the queue.
struct can_data {
  std::atomic<can_data*> next{nullptr};  ///< newer neighbour, null at the tail
  can_data* prev = nullptr;  ///< the tail when this element was appended; informative, never follow it
  std::uint32_t time = 0;    ///< driver time stamp (microseconds)
  std::uint16_t id = 0;      ///< 11-bit identifier
  std::uint8_t dlc = 0;      ///< data length code as received (0 to 8)
  std::uint8_t data[8] = {}; ///< bytes beyond dlc are zero
  std::uint64_t seq = 0;     ///< position in the queue, the head element is 0
};

namespace varnex {

class RxCursor;

/// Queue storage from createBuffer to terminate. Shared by the adapter, the
/// receive thread and every live cursor, so the elements a cursor can reach
/// outlive a terminate that happens while a request still walks them.
class RxQueue : public std::enable_shared_from_this<RxQueue> {
 public:
  RxQueue();
  ~RxQueue();
  RxQueue(const RxQueue&) = delete;
  RxQueue& operator=(const RxQueue&) = delete;

  /// Newest element (the tail, `rx_queue_curr`); never null.
  can_data* newest() const { return rx_queue_curr.load(std::memory_order_acquire); }

  /// Writer only: copies the frame into a new element, links it behind the
  /// tail and makes it the tail; frees unreachable elements now and then.
  void append(std::uint32_t time, std::uint16_t id, std::uint8_t dlc, const std::uint8_t* data);

  /// Pins the current tail and returns a cursor standing on it.
  RxCursor cursor();

  /// Elements currently held (the head element included). Writer side or quiescent.
  std::size_t size() const { return held.load(std::memory_order_relaxed); }

 private:
  friend class RxCursor;
  void reclaim();
  void unpin(std::uint64_t seq);

  can_data* rx_queue;                      ///< oldest element still held (writer-owned)
  std::atomic<can_data*> rx_queue_curr;    ///< newest element
  std::atomic<std::size_t> held{1};
  unsigned appendsSinceReclaim = 0;
  std::mutex pinLock;                      ///< guards pins; the writer only ever try_locks it
  std::vector<std::uint64_t> pins;         ///< seq of every live cursor's start element
};

/// A reader's position in the queue. Walks forward with next(); the element it
/// started on, and all newer ones, stay alive while the cursor exists.
/// An empty cursor (no queue) finds nothing.
class VARNEX_EXPORT RxCursor {
 public:
  RxCursor() = default;
  RxCursor(RxCursor&& other) noexcept;
  RxCursor& operator=(RxCursor&& other) noexcept;
  ~RxCursor();

  /// The next newer element, or null when there is none yet. Each element is
  /// returned once.
  const can_data* next();
  /// Element the cursor stands on (null for an empty cursor).
  can_data* position() const { return pos; }

 private:
  friend class RxQueue;
  RxCursor(std::shared_ptr<RxQueue> q, can_data* at) : queue(std::move(q)), pos(at) {}
  void release();

  std::shared_ptr<RxQueue> queue;
  can_data* pos = nullptr;
  std::uint64_t pinnedSeq = 0;
};

}  // namespace varnex
