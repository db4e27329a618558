#pragma once
// The one way a test waits for something another thread or the event loop
// brings about: poll the condition until it holds or the time-out passes.
// Tests wait on what they expect, never for a fixed time, so a loaded machine
// or a sanitizer build only makes them slower, not red.

#include <chrono>
#include <thread>

namespace kestrum::test {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define KESTRUM_TEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define KESTRUM_TEST_SANITIZED 1
#endif
#endif

/// Sanitizer builds run several times slower; every time-out stretches with them.
#ifdef KESTRUM_TEST_SANITIZED
inline constexpr int kTimeScale = 3;
#else
inline constexpr int kTimeScale = 1;
#endif

/// A time-out as the build stretches it.
constexpr std::chrono::milliseconds scaled(std::chrono::milliseconds limit) { return limit * kTimeScale; }

/// How long a test waits for anything unless it has a reason to wait longer.
inline constexpr std::chrono::milliseconds kWaitLimit = scaled(std::chrono::milliseconds(5000));

/// Checks `condition` until it holds or `limit` passes, calling `step`
/// between checks (a short sleep, or a turn of the event loop). The result
/// says whether the condition came true: a test must assert it.
template <class Condition, class Step>
[[nodiscard]] bool waitUntil(Condition condition, std::chrono::milliseconds limit, Step step) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return condition();
    step();
  }
  return true;
}

/// Waits for a condition another thread brings about, polling every 5 ms.
template <class Condition>
[[nodiscard]] bool eventually(Condition condition, std::chrono::milliseconds limit = kWaitLimit) {
  return waitUntil(condition, limit, [] { std::this_thread::sleep_for(std::chrono::milliseconds(5)); });
}

}  // namespace kestrum::test
