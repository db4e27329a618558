#pragma once
// A scripted CANopen node on an in-process virtual bus, for the tests of the
// library, the connector and their benchmark. It records every frame it
// hears and answers as the test says: with a rule that sees every frame
// (runs on the bus thread and may send at once), or, for the SDO requests of
// its node ID, with queued answers or a responder, optionally delayed. A
// delayed answer leaves from the node's own thread so the bus thread never
// waits.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "SimFrames.h"
#include "Wait.h"
#include "bus/VirtualBus.h"

namespace kestrum::sim::test {

class ScriptedNode : public BusPort {
 public:
  /// Sees every frame; `send` may be called from inside.
  using Rule = std::function<void(const CanFrame&, ScriptedNode&)>;
  /// Computes the answer to an SDO request; none leaves it unanswered.
  using Responder = std::function<std::optional<CanFrame>(const CanFrame& request)>;

  /// A node that answers by `rule` only.
  explicit ScriptedNode(VirtualBus& bus, Rule rule = {}) : ScriptedNode(bus, 0, std::move(rule)) {}
  /// A node with an ID: its SDO requests (0x600 + node) take the scripted
  /// answers on 0x580 + node.
  ScriptedNode(VirtualBus& bus, std::uint8_t node, Rule rule = {}) : bus_(bus), node_(node), rule_(std::move(rule)) {
    worker_ = std::thread([this] { run(); });
    bus_.attach(this);
  }
  ~ScriptedNode() override {
    bus_.detach(this);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    changed_.notify_all();
    worker_.join();
  }
  ScriptedNode(const ScriptedNode&) = delete;
  ScriptedNode& operator=(const ScriptedNode&) = delete;

  void setRule(Rule rule) {
    std::lock_guard<std::mutex> lock(mutex_);
    rule_ = std::move(rule);
  }
  /// Next SDO answer: these bytes, after `delay`.
  void answer(std::initializer_list<std::uint8_t> bytes, std::chrono::milliseconds delay = {}) {
    answer(std::vector<std::uint8_t>(bytes), delay);
  }
  void answer(const std::vector<std::uint8_t>& bytes, std::chrono::milliseconds delay = {}) {
    CanFrame f;
    f.id = 0x580u + node_;
    f.dlc = static_cast<std::uint8_t>(bytes.size());
    std::copy(bytes.begin(), bytes.end(), f.data);
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back({f, delay, false});
  }
  /// Next SDO request goes unanswered.
  void silence() {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back({CanFrame{}, {}, true});
  }
  /// Answers the SDO requests the script does not cover, each after `delay`.
  void setResponder(Responder r, std::chrono::milliseconds delay = {}) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(r);
    responderDelay_ = delay;
  }

  /// Puts frames on the bus as this node.
  void send(const CanFrame& f) { bus_.submit(this, f); }
  void send(std::uint32_t id, std::initializer_list<std::uint8_t> bytes) { send(frame(id, bytes)); }

  std::vector<CanFrame> frames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  /// Frames heard with identifier `id`.
  std::vector<CanFrame> framesOn(std::uint32_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<CanFrame> out;
    for (const auto& f : seen_)
      if (f.id == id) out.push_back(f);
    return out;
  }
  /// The SDO requests to this node.
  std::vector<CanFrame> requests() const { return framesOn(0x600u + node_); }
  /// Forgets every frame heard so far.
  void clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    seen_.clear();
  }
  /// Waits until `count` frames have been heard.
  [[nodiscard]] bool waitForCount(std::size_t count, std::chrono::milliseconds limit = kestrum::test::kWaitLimit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] { return seen_.size() >= count; });
  }
  /// Waits until `count` frames with identifier `id` have been heard.
  [[nodiscard]] bool waitFor(std::uint32_t id, std::size_t count,
                             std::chrono::milliseconds limit = kestrum::test::kWaitLimit) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, limit, [&] {
      return std::size_t(std::count_if(seen_.begin(), seen_.end(), [id](const CanFrame& f) { return f.id == id; })) >=
             count;
    });
  }

  void deliver(const CanFrame& f) override {
    Rule rule;
    std::optional<CanFrame> reply;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      seen_.push_back(f);
      rule = rule_;
      if (node_ != 0 && f.id == 0x600u + node_) {
        std::chrono::milliseconds delay{0};
        if (!script_.empty()) {
          const Step s = script_.front();
          script_.pop_front();
          if (!s.silent) reply = s.reply;
          delay = s.delay;
        } else if (responder_) {
          reply = responder_(f);
          delay = responderDelay_;
        }
        if (reply && delay > std::chrono::milliseconds(0)) {
          delayed_.push_back({std::chrono::steady_clock::now() + delay, *reply});
          reply.reset();
        }
      }
    }
    changed_.notify_all();
    if (rule) rule(f, *this);
    if (reply) send(*reply);
  }

 private:
  struct Step {
    CanFrame reply;
    std::chrono::milliseconds delay;
    bool silent;
  };
  struct Due {
    std::chrono::steady_clock::time_point at;
    CanFrame reply;
  };

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!quit_) {
      if (delayed_.empty()) {
        changed_.wait(lock);
      } else if (std::chrono::steady_clock::now() < delayed_.front().at) {
        changed_.wait_until(lock, delayed_.front().at);
      } else {
        const CanFrame f = delayed_.front().reply;
        delayed_.pop_front();
        lock.unlock();
        send(f);
        lock.lock();
      }
    }
  }

  VirtualBus& bus_;
  const std::uint8_t node_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<CanFrame> seen_;
  Rule rule_;
  std::deque<Step> script_;
  std::deque<Due> delayed_;
  Responder responder_;
  std::chrono::milliseconds responderDelay_{0};
  bool quit_ = false;
  std::thread worker_;
};

/// The identifiers of the frames a node heard, in order.
inline std::vector<std::uint32_t> ids(const ScriptedNode& node) {
  std::vector<std::uint32_t> out;
  for (const CanFrame& f : node.frames()) out.push_back(f.id);
  return out;
}

}  // namespace kestrum::sim::test
