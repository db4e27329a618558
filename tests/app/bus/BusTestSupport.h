#pragma once
// Shared by the connector tests and the connector benchmark: one virtual bus
// per process served over socketcand on a free port, a scripted CANopen node
// on it, and the real libVarnex.so from the application folder (the working
// directory), loaded after KESTRUM_BUS points at the bus.

#include "QtTestSupport.h"
#include <QApplication>
#include <QDir>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <functional>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "DLLLoader.h"
#include "MessageFilter.h"
#include "bus/SocketcandServer.h"
#include "bus/VirtualBus.h"

namespace bustest {

using kestrum::sim::BusPort;
using kestrum::sim::CanFrame;
using kestrum::sim::SocketcandServer;
using kestrum::sim::VirtualBus;
using namespace std::chrono_literals;

/// PCAN-Basic handle of the first USB channel: the first KESTRUM_BUS entry.
constexpr int firstBusChannel = 0x51;

inline CanFrame frame(std::uint32_t id, std::initializer_list<std::uint8_t> bytes) {
  CanFrame f;
  f.id = id;
  f.dlc = std::uint8_t(bytes.size());
  std::copy(bytes.begin(), bytes.end(), f.data);
  return f;
}

/// A node that answers each SDO request (0x600 + node) with the next
/// scripted answer on 0x580 + node, optionally after a delay, or, with a
/// responder function, computes its answer. Requests without an answer go
/// unanswered. Delayed answers are sent from the node's own thread so the
/// bus thread never waits.
class ScriptedNode : public BusPort {
 public:
  using Responder = std::function<std::optional<CanFrame>(const CanFrame& request)>;

  ScriptedNode(VirtualBus& bus, std::uint8_t node) : bus_(bus), node_(node) {
    worker_ = std::thread([this] { run(); });
    bus_.attach(this);
  }
  ~ScriptedNode() override {
    bus_.detach(this);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
    }
    wake_.notify_all();
    worker_.join();
  }

  /// Next answer: these bytes (their count is the data length).
  void answer(const std::vector<std::uint8_t>& bytes, std::chrono::milliseconds delay = 0ms) {
    CanFrame f;
    f.id = 0x580u + node_;
    f.dlc = std::uint8_t(bytes.size());
    std::copy(bytes.begin(), bytes.end(), f.data);
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back({f, delay, false});
  }
  /// Next request goes unanswered.
  void silence() {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back({CanFrame{}, 0ms, true});
  }
  /// Computes answers for requests the script does not cover, each sent
  /// after `delay`.
  void setResponder(Responder r, std::chrono::milliseconds delay = 0ms) {
    std::lock_guard<std::mutex> lock(mutex_);
    responder_ = std::move(r);
    responderDelay_ = delay;
  }
  std::vector<CanFrame> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  void clearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
  }
  /// Puts frames on the bus as this node.
  void send(const CanFrame& f) { bus_.submit(this, f); }

  void deliver(const CanFrame& f) override {
    if (f.id != 0x600u + node_) return;
    std::optional<CanFrame> reply;
    std::chrono::milliseconds delay{0};
    {
      std::lock_guard<std::mutex> lock(mutex_);
      requests_.push_back(f);
      if (!script_.empty()) {
        Step s = script_.front();
        script_.pop_front();
        if (!s.silent) reply = s.reply;
        delay = s.delay;
      } else if (responder_) {
        reply = responder_(f);
        delay = responderDelay_;
      }
      if (reply && delay > 0ms) {
        delayed_.push_back({std::chrono::steady_clock::now() + delay, *reply});
        wake_.notify_all();
        return;
      }
    }
    if (reply) bus_.submit(this, *reply);
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
        wake_.wait(lock);
      } else if (std::chrono::steady_clock::now() < delayed_.front().at) {
        wake_.wait_until(lock, delayed_.front().at);
      } else {
        const CanFrame f = delayed_.front().reply;
        delayed_.pop_front();
        lock.unlock();
        bus_.submit(this, f);
        lock.lock();
      }
    }
  }

  VirtualBus& bus_;
  const std::uint8_t node_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Step> script_;
  std::deque<Due> delayed_;
  std::vector<CanFrame> requests_;
  Responder responder_;
  std::chrono::milliseconds responderDelay_{0};
  bool quit_ = false;
  std::thread worker_;
};

/// The process's application object (offscreen), bus, server and library.
/// Built once: the library reads KESTRUM_BUS when it is loaded.
struct BusWorld {
  VirtualBus bus;
  SocketcandServer server{bus};
  DLLLoader* loader = nullptr;

  static BusWorld& get() {
    static BusWorld* world = new BusWorld;  // lives as long as the library's threads
    return *world;
  }

 private:
  BusWorld() {
    application();
    std::string error;
    if (!server.start("127.0.0.1", 0, error)) throw std::runtime_error("bus server: " + error);
    setenv("KESTRUM_BUS", server.entry().c_str(), 1);
    loader = new DLLLoader(QDir::currentPath() + QStringLiteral("/libVarnex.so"));
  }

 public:
  /// A QApplication on the offscreen platform, created on first use.
  static QApplication& application() { return kestrum::test::application(); }
};

/// Records every frame the connector hands on.
class RecordingFilter : public MessageFilter {
 public:
  RecordingFilter() : previous_(install(this)) {}
  ~RecordingFilter() override { install(previous_); }
  void onFrame(const ConnectorFrame& f) override { frames.push_back(f); }
  std::vector<ConnectorFrame> frames;

 private:
  MessageFilter* previous_;
};

/// Runs the event loop until `done` holds or `limit` passes.
template <typename Pred>
bool processUntil(Pred done, std::chrono::milliseconds limit = 3000ms) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
  }
  return true;
}

}  // namespace bustest
