#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "ScriptedNode.h"
#include "bus/VirtualBus.h"

using kestrum::sim::BusPort;
using kestrum::sim::CanFrame;
using kestrum::sim::test::frame;
using kestrum::sim::FaultConfig;
using kestrum::sim::VirtualBus;
using Clock = std::chrono::steady_clock;

namespace {

using Probe = kestrum::sim::test::ScriptedNode;

}  // namespace

TEST(VirtualBus, FramesSubmittedDuringADeliveryFollowIt) {
  VirtualBus bus;
  // Answers each frame below 0x105 with the next identifier, from inside
  // deliver(), as the bus itself so that it also hears its own answers.
  struct Responder : BusPort {
    VirtualBus* bus;
    void deliver(const CanFrame& f) override {
      if (f.id < 0x105) bus->submit(nullptr, frame(f.id + 1));
    }
  } responder;
  responder.bus = &bus;
  bus.attach(&responder);  // called before the probe for every frame
  Probe probe(bus);
  bus.submit(nullptr, frame(0x100));
  ASSERT_TRUE(probe.waitForCount(6));
  EXPECT_EQ(ids(probe), (std::vector<std::uint32_t>{0x100, 0x101, 0x102, 0x103, 0x104, 0x105}));
  EXPECT_EQ(bus.framesOnWire(), 6u);
}

TEST(VirtualBus, NoCallsAfterDetachReturns) {
  VirtualBus bus;
  std::atomic<bool> running{true};
  std::thread flood([&] {
    while (running) bus.submit(nullptr, frame(0x123, {1}));
  });
  struct Watched : BusPort {
    std::atomic<bool> detached{false};
    std::atomic<int> calls{0}, late{0};
    void deliver(const CanFrame&) override {
      ++calls;
      std::this_thread::sleep_for(std::chrono::microseconds(50));  // widen the window
      if (detached) ++late;
    }
  };
  int totalCalls = 0;
  for (int round = 0; round < 30; ++round) {
    Watched w;
    bus.attach(&w);
    while (w.calls < 3) std::this_thread::yield();
    bus.detach(&w);
    w.detached = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    EXPECT_EQ(w.late, 0);
    totalCalls += w.calls;
  }
  // A port may also detach itself from inside deliver().
  struct SelfDetaching : BusPort {
    VirtualBus* bus;
    std::atomic<int> calls{0};
    void deliver(const CanFrame&) override {
      ++calls;
      bus->detach(this);
    }
  } self;
  self.bus = &bus;
  bus.attach(&self);
  while (self.calls == 0) std::this_thread::yield();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  running = false;
  flood.join();
  EXPECT_EQ(self.calls, 1);
  EXPECT_GE(totalCalls, 90);
}

TEST(VirtualBus, FrameBitsCountStuffingAndNoDataOfRemoteFrames) {
  // Bit counts include stuffing: never below the unstuffed size, never above
  // the worst case of one stuff bit per four bits after the first.
  for (const CanFrame& f : {frame(0x000, {0, 0, 0, 0, 0, 0, 0, 0}), frame(0x555, {0x55}), frame(0x7FF)}) {
    const unsigned base = 47 + 8 * f.dlc;
    EXPECT_GE(VirtualBus::frameBits(f), base);
    EXPECT_LE(VirtualBus::frameBits(f), base + (34 + 8 * f.dlc - 1) / 4);
  }
  // Identifier 0, no data: 34 zero bits up to the end of the CRC need a stuff
  // bit after every five.
  EXPECT_EQ(VirtualBus::frameBits(frame(0x000)), 47u + 6u);
  CanFrame remote = frame(0x700, {1, 2, 3, 4});
  remote.remote = true;
  EXPECT_LT(VirtualBus::frameBits(remote), 47u + 32u);  // no data bits on the wire
  EXPECT_GE(VirtualBus::frameBits(frame(0x100, {}, true)), 67u);

}

namespace {

// Sends `count` distinct frames through a faulty bus and returns what arrived,
// sorted so that delayed frames do not make the comparison depend on timing.
std::vector<std::string> faultyRun(std::uint64_t seed) {
  VirtualBus bus;
  FaultConfig faults;
  faults.drop = 0.1;
  faults.duplicate = 0.1;
  faults.corrupt = 0.1;
  faults.delay = 0.1;
  faults.delayMs = 20;
  faults.seed = seed;
  bus.setFaults(faults);
  Probe probe(bus);
  constexpr int kSent = 400;
  for (int i = 0; i < kSent; ++i) bus.submit(nullptr, frame(i, {std::uint8_t(i), std::uint8_t(i >> 8)}));
  // Every frame sent is accounted for once it was delivered (its identifier
  // stays intact) or lost on the wire (counted there, heard by nobody). A
  // frame the bus counted but is still handing out would look like a loss
  // for a moment; the marker sent after the faults are off follows it.
  EXPECT_TRUE(kestrum::test::eventually([&] {
    const std::uint64_t wire = bus.framesOnWire();
    const auto heard = probe.frames();
    std::vector<bool> seen(kSent);
    for (const auto& f : heard) seen.at(f.id) = true;
    return std::count(seen.begin(), seen.end(), true) + std::int64_t(wire - heard.size()) >= kSent;
  })) << "not every frame was delivered or lost";
  bus.setFaults({});
  bus.submit(nullptr, frame(0x7FF));
  EXPECT_TRUE(probe.waitFor(0x7FF, 1));
  std::vector<std::string> out;
  for (auto& f : probe.frames()) {
    if (f.id == 0x7FF) continue;
    char text[32];
    std::snprintf(text, sizeof text, "%03X#%02X%02X", unsigned(f.id), f.data[0], f.data[1]);
    out.push_back(text);
  }
  std::sort(out.begin(), out.end());
  return out;
}

}  // namespace

TEST(VirtualBus, SeededFaultsRepeat) {
  const auto first = faultyRun(7);
  EXPECT_EQ(faultyRun(7), first);
  EXPECT_NE(faultyRun(8), first);
  // Every fault kind actually happened: fewer distinct frames (drops), repeats
  // (duplicates), payloads that no longer match their identifier (corruption).
  std::size_t repeats = 0, corrupted = 0;
  for (std::size_t i = 0; i < first.size(); ++i) {
    if (i > 0 && first[i] == first[i - 1]) ++repeats;
    unsigned id, b0, b1;
    std::sscanf(first[i].c_str(), "%3X#%2X%2X", &id, &b0, &b1);
    if (b0 != (id & 0xFF) || b1 != (id >> 8)) ++corrupted;
  }
  EXPECT_GT(repeats, 10u);
  EXPECT_GT(corrupted, 10u);
  EXPECT_LT(first.size() - repeats, 380u);

  // Foreign frames arrive at about the configured rate.
  VirtualBus bus;
  FaultConfig foreign;
  foreign.foreignPerSecond = 200;
  bus.setFaults(foreign);
  Probe probe(bus);
  // Measured on the bus's own clock: the frames' time stamps.
  constexpr std::size_t kFrames = 50;
  ASSERT_TRUE(probe.waitForCount(kFrames));
  const auto got = probe.frames();
  const double seconds = (got[kFrames - 1].timestampUs - got[0].timestampUs) / 1e6;
  ASSERT_GT(seconds, 0);
  const double perSecond = (kFrames - 1) / seconds;
  EXPECT_GT(perSecond, 100);
  EXPECT_LT(perSecond, 400);
}

// A range of hold times: every held frame arrives, within the range, and
// later frames overtake earlier ones as they do behind a busy gateway.
TEST(VirtualBus, DelaysInARangeReorderFrames) {
  VirtualBus bus;
  FaultConfig faults;
  faults.delay = 1.0;
  faults.delayMs = 5;
  faults.delayMaxMs = 40;
  faults.seed = 3;
  bus.setFaults(faults);
  Probe probe(bus);
  constexpr std::size_t kSent = 60;
  const auto sent = std::chrono::steady_clock::now();
  for (std::size_t i = 0; i < kSent; ++i) bus.submit(nullptr, frame(std::uint32_t(i), {}));
  EXPECT_TRUE(probe.frames().empty());  // none before the shortest hold
  ASSERT_TRUE(probe.waitForCount(kSent));
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(5));
  std::vector<std::uint32_t> order;
  for (const auto& f : probe.frames()) order.push_back(f.id);
  EXPECT_FALSE(std::is_sorted(order.begin(), order.end()));
  std::sort(order.begin(), order.end());
  EXPECT_EQ(std::adjacent_find(order.begin(), order.end()), order.end());
}

TEST(VirtualBus, TraceWritesCandumpLog) {
  const std::string path = ::testing::TempDir() + "/simbus_trace_" + std::to_string(::getpid()) + ".log";
  {
    VirtualBus bus;
    std::string error;
    ASSERT_TRUE(bus.setTrace(path, "can0", error)) << error;
    EXPECT_FALSE(bus.setTrace("/nonexistent/dir/trace.log", "can0", error));
    EXPECT_FALSE(error.empty());
    Probe probe(bus);
    bus.submit(nullptr, frame(0x181, {0xDE, 0xAD, 0x0F}));
    bus.submit(nullptr, frame(0x12345, {}, true));
    CanFrame remote = frame(0x701);
    remote.remote = true;
    remote.dlc = 1;
    bus.submit(nullptr, remote);
    ASSERT_TRUE(probe.waitForCount(3));
  }
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  std::remove(path.c_str());
  const std::string stamp = R"(\(\d{10}\.\d{6}\) can0 )";
  EXPECT_TRUE(std::regex_match(text.str(), std::regex(stamp + "181#DEAD0F\n" + stamp + "00012345#\n" + stamp +
                                                      "701#R\n")))
      << text.str();
}
