#include "RxQueue.h"

#include <algorithm>
#include <cstring>

namespace varnex {

namespace {
// The writer tries to free old elements every this many appends; memory stays
// below roughly this many elements plus whatever live cursors pin.
constexpr unsigned kReclaimEvery = 64;
}  // namespace

RxQueue::RxQueue() : rx_queue(new can_data), rx_queue_curr(rx_queue) {}

RxQueue::~RxQueue() {
  // Only reached when no cursor and no writer holds the queue any more.
  can_data* element = rx_queue;
  while (element) {
    can_data* next = element->next.load(std::memory_order_relaxed);
    delete element;
    element = next;
  }
}

void RxQueue::append(std::uint32_t time, std::uint16_t id, std::uint8_t dlc, const std::uint8_t* data) {
  can_data* tail = rx_queue_curr.load(std::memory_order_relaxed);
  auto* element = new can_data;
  element->prev = tail;
  element->time = time;
  element->id = id;
  element->dlc = dlc;
  std::memcpy(element->data, data, std::min<std::size_t>(dlc, 8));
  element->seq = tail->seq + 1;
  // Fill completely, link, then publish as the tail: a reader that sees the
  // new tail (acquire) or the link sees a complete element.
  tail->next.store(element, std::memory_order_release);
  rx_queue_curr.store(element, std::memory_order_release);
  held.fetch_add(1, std::memory_order_relaxed);
  if (++appendsSinceReclaim >= kReclaimEvery) reclaim();
}

void RxQueue::reclaim() {
  std::uint64_t keepFrom;
  {
    // try_lock: the receive path never waits for a reader. When a reader is
    // registering right now, the next round frees the elements instead.
    std::unique_lock<std::mutex> lock(pinLock, std::try_to_lock);
    if (!lock.owns_lock()) return;
    keepFrom = rx_queue_curr.load(std::memory_order_relaxed)->seq;
    for (std::uint64_t pin : pins) keepFrom = std::min(keepFrom, pin);
  }
  // A cursor registered after the unlock stands on the tail or newer, so the
  // elements older than keepFrom are unreachable.
  appendsSinceReclaim = 0;
  std::size_t freed = 0;
  while (rx_queue->seq < keepFrom) {
    can_data* next = rx_queue->next.load(std::memory_order_relaxed);
    delete rx_queue;
    rx_queue = next;
    ++freed;
  }
  rx_queue->prev = nullptr;
  held.fetch_sub(freed, std::memory_order_relaxed);
}

RxCursor RxQueue::cursor() {
  std::lock_guard<std::mutex> lock(pinLock);
  can_data* at = rx_queue_curr.load(std::memory_order_acquire);
  pins.push_back(at->seq);
  RxCursor c(shared_from_this(), at);
  c.pinnedSeq = at->seq;
  return c;
}

void RxQueue::unpin(std::uint64_t seq) {
  std::lock_guard<std::mutex> lock(pinLock);
  auto it = std::find(pins.begin(), pins.end(), seq);
  if (it != pins.end()) pins.erase(it);
}

RxCursor::RxCursor(RxCursor&& other) noexcept
    : queue(std::move(other.queue)), pos(other.pos), pinnedSeq(other.pinnedSeq) {
  other.pos = nullptr;
}

RxCursor& RxCursor::operator=(RxCursor&& other) noexcept {
  if (this != &other) {
    release();
    queue = std::move(other.queue);
    pos = other.pos;
    pinnedSeq = other.pinnedSeq;
    other.pos = nullptr;
  }
  return *this;
}

RxCursor::~RxCursor() { release(); }

void RxCursor::release() {
  if (queue) queue->unpin(pinnedSeq);
  queue.reset();
  pos = nullptr;
}

const can_data* RxCursor::next() {
  if (!pos) return nullptr;
  can_data* n = pos->next.load(std::memory_order_acquire);
  if (n) pos = n;
  return n;
}

}  // namespace varnex
