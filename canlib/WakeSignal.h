#pragma once
// A wake-up between the receive thread and waiting readers without a lock on
// the receive path: the writer bumps a counter and wakes sleepers only when
// there are any; a reader takes the counter before it looks at the queue and
// sleeps until the counter moves or its deadline passes (futex on Linux).

#include <atomic>
#include <chrono>
#include <cstdint>

#include "VarnexExport.h"

namespace varnex {

class VARNEX_EXPORT WakeSignal {
 public:
  /// Value to pass to waitUntil; take it before checking the condition.
  std::uint32_t snapshot() const { return counter.load(std::memory_order_seq_cst); }

  /// Sleeps while the counter still equals `seen`, at most until `deadline`.
  /// May return early; callers re-check their condition.
  void waitUntil(std::uint32_t seen, std::chrono::steady_clock::time_point deadline);

  /// Wakes every sleeper.
  void notifyAll();

 private:
  std::atomic<std::uint32_t> counter{0};
  std::atomic<std::uint32_t> sleepers{0};
};

}  // namespace varnex
