#include "WakeSignal.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>
#include <ctime>

namespace varnex {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
                  std::atomic<std::uint32_t>::is_always_lock_free,
              "the futex word must be a plain 32-bit integer");

namespace {
long futex(std::atomic<std::uint32_t>* word, int op, std::uint32_t value, const timespec* timeout) {
  return syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(word), op, value, timeout, nullptr, 0);
}
}  // namespace

void WakeSignal::waitUntil(std::uint32_t seen, std::chrono::steady_clock::time_point deadline) {
  auto remaining = deadline - std::chrono::steady_clock::now();
  if (remaining <= std::chrono::steady_clock::duration::zero()) return;
  auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining).count();
  timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  // Registering as a sleeper before the kernel compares the word closes the
  // gap: a writer that bumps the counter after our snapshot either changed the
  // word already (the wait returns at once) or sees us and wakes us.
  sleepers.fetch_add(1, std::memory_order_seq_cst);
  if (counter.load(std::memory_order_seq_cst) == seen)
    futex(&counter, FUTEX_WAIT_PRIVATE, seen, &timeout);
  sleepers.fetch_sub(1, std::memory_order_seq_cst);
}

void WakeSignal::notifyAll() {
  counter.fetch_add(1, std::memory_order_seq_cst);
  if (sleepers.load(std::memory_order_seq_cst) != 0) futex(&counter, FUTEX_WAKE_PRIVATE, INT_MAX, nullptr);
}

}  // namespace varnex
