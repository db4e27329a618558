#pragma once
// Time-outs for poll() and friends, which count whole milliseconds.

#include <chrono>
#include <climits>

namespace kestrum::transport {

using Clock = std::chrono::steady_clock;

/// Milliseconds left until `deadline`, rounded up, or -1 for "no deadline".
/// Rounding down would end a wait up to a millisecond early, and a caller
/// that loops until its deadline would then spin through zero time-outs; so
/// 0 comes back only once the deadline has passed.
inline int msLeft(Clock::time_point deadline, bool unlimited, Clock::time_point now = Clock::now()) {
  if (unlimited) return -1;
  if (deadline <= now) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
  return left < INT_MAX ? static_cast<int>(left) : INT_MAX;
}

}  // namespace kestrum::transport
