// Clients that misbehave on purpose, all at once, while two well-behaved
// clients exchange numbered frames: the frames must all arrive, in order, and
// what the server holds for the hostile ones must stay within its limits.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "RawClient.h"
#include "Wait.h"
#include "bus/SocketcandServer.h"

using kestrum::sim::SocketcandServer;
using kestrum::sim::VirtualBus;

namespace {

constexpr std::size_t kOutputLimit = 256 * 1024;
constexpr std::size_t kClientLimit = 48;

std::unique_ptr<RawClient> joined(std::uint16_t port, int receiveBuffer = 0) {
  auto c = std::make_unique<RawClient>(port, receiveBuffer);
  c->send("< open can0 >< rawmode >");
  EXPECT_TRUE(c->waitFor("< hi >< ok >< ok >"));
  c->take();
  return c;
}

std::string numbered(unsigned n) {
  char text[48];
  std::snprintf(text, sizeof text, "< send 100 2 %02X %02X >", (n >> 8) & 0xFF, n & 0xFF);
  return text;
}

}  // namespace

TEST(HostilePeers, OthersGetEveryFrameInOrderAndServerMemoryStaysBounded) {
  VirtualBus bus;
  SocketcandServer server(bus, "can0");
  server.setOutputLimit(kOutputLimit);
  server.setClientLimit(kClientLimit);
  std::string error;
  ASSERT_TRUE(server.start("127.0.0.1", 0, error)) << error;
  const std::uint16_t port = server.port();

  auto sender = joined(port);
  auto reader = joined(port);
  // Opened the bus and then never reads: its queue fills up until it is cut off.
  auto neverReads = joined(port, 4096);
  auto garbage = joined(port);
  auto slowClient = joined(port);

  std::atomic<bool> stop{false};
  std::vector<std::thread> hostile;
  struct JoinAll {
    std::atomic<bool>& stop;
    std::vector<std::thread>& threads;
    ~JoinAll() {
      stop = true;
      for (auto& t : threads)
        if (t.joinable()) t.join();
    }
  } joinAll{stop, hostile};
  // Both well-behaved clients read all the time, as a client should.
  hostile.emplace_back([&] {
    while (!stop.load()) {
      (void)sender->waitUntil([](const std::string&) { return false; }, 20);
    }
  });
  std::atomic<std::size_t> numberedSeen{0};
  std::atomic<bool> readerClosed{false};
  hostile.emplace_back([&] {
    std::size_t counted = 0;  // bytes already looked at
    while (!stop.load() && !readerClosed.load()) {
      (void)reader->waitUntil([](const std::string&) { return false; }, 20);
      const std::string& in = reader->raw();
      for (std::size_t at; (at = in.find("< frame 100 ", counted)) != std::string::npos; counted = at + 1)
        ++numberedSeen;
      counted = std::max(counted, in.size() > 12 ? in.size() - 12 : 0);
      readerClosed = reader->waitClosed(0);
    }
  });
  // Random bytes, broken and over-long messages, without pause.
  hostile.emplace_back([&, c = garbage.get()] {
    std::mt19937 rng(7);
    while (!stop.load()) {
      std::string junk(512, '\0');
      for (char& ch : junk) ch = char(rng());
      junk += "< send 1" + std::string(300, '0') + " >< send 123 9 >< open can0 >< <<>> < send 12";
      if (!c->send(junk)) break;
    }
  });
  // Whole frames, but one byte per write.
  std::atomic<int> slowFrames{0};
  hostile.emplace_back([&, c = slowClient.get()] {
    const std::string frame = "< send 200 1 AA >";
    while (!stop.load()) {
      for (char ch : frame) c->send(std::string(1, ch));
      ++slowFrames;
      // Slow, not a flood: the readers must keep up under a sanitizer too.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  // Hundreds of connections, most of them beyond the limit.
  std::vector<std::unique_ptr<RawClient>> crowd;
  for (int i = 0; i < 300; ++i) {
    crowd.push_back(std::make_unique<RawClient>(port));
    if (i % 3 == 0) crowd.back()->send("< open can0 >< rawmode >");
  }

  constexpr unsigned kFrames = 3000;
  std::string batch;
  for (unsigned n = 0; n < kFrames; ++n) {
    batch += numbered(n);
    if (batch.size() > 4000 || n + 1 == kFrames) {
      ASSERT_TRUE(sender->send(batch));
      batch.clear();
    }
  }
  EXPECT_TRUE(kestrum::test::eventually([&] { return numberedSeen == kFrames || readerClosed; },
                                        std::chrono::seconds(30)));
  EXPECT_FALSE(readerClosed);
  stop = true;
  for (auto& t : hostile) t.join();

  // Numbered frames in order, none lost or doubled; the slow client's frames whole.
  const std::string got = reader->take();
  const std::regex frame(R"(< frame (\w+) T (\w*) >)");
  unsigned expected = 0;
  int slow = 0;
  for (auto it = std::sregex_iterator(got.begin(), got.end(), frame); it != std::sregex_iterator(); ++it) {
    if ((*it)[1] == "100") {
      ASSERT_EQ(std::stoul((*it)[2], nullptr, 16), expected) << "frame out of order";
      ++expected;
    } else {
      EXPECT_EQ((*it)[1], "200");
      EXPECT_EQ((*it)[2], "AA");
      ++slow;
    }
  }
  EXPECT_EQ(expected, kFrames);
  EXPECT_GT(slow, 0);
  EXPECT_LE(slow, slowFrames.load());

  // Connections over the limit are told why and closed.
  // (Admitted clients that never read are cut off, which frees their places.)
  EXPECT_GE(server.refusedClients(), 200u);
  EXPECT_TRUE(crowd.back()->waitFor("< error too many clients >"));
  EXPECT_TRUE(crowd.back()->waitClosed(3000));
  // Never more output held than every admitted client's full share.
  EXPECT_LE(server.peakQueuedBytes(), kClientLimit * (kOutputLimit + 64));

  crowd.clear();
  neverReads.reset();
  garbage.reset();
  slowClient.reset();
  EXPECT_TRUE(kestrum::test::eventually([&] { return server.clientCount() == 2; })) << server.clientCount();
  EXPECT_TRUE(kestrum::test::eventually([&] { return server.queuedBytes() == 0; })) << server.queuedBytes();
  EXPECT_TRUE(sender->send("< send 001 0 >< echo >"));
  EXPECT_TRUE(sender->waitFor("< echo >")) << sender->raw().size() << " closed " << sender->waitClosed(0);
  EXPECT_TRUE(reader->waitFor("< frame 001")) << reader->raw().size() << " closed " << reader->waitClosed(0) << " "
                                              << server.clientCount();
}

TEST(HostilePeers, ServesOnlyLoopbackUnlessAllowed) {
  struct Case {
    const char* host;
    bool allowRemote;
    bool starts;
  };
  for (const Case& c : {Case{"127.0.0.1", false, true}, Case{"localhost", false, true}, Case{"127.0.0.2", false, true},
                        Case{"0.0.0.0", false, false}, Case{"", false, false}, Case{"0.0.0.0", true, true}}) {
    VirtualBus bus;
    SocketcandServer server(bus, "can0");
    server.setAllowRemote(c.allowRemote);
    std::string error;
    EXPECT_EQ(server.start(c.host, 0, error), c.starts) << c.host << ": " << error;
    if (!c.starts) {
      EXPECT_NE(error.find("not a loopback address"), std::string::npos) << error;
      EXPECT_EQ(server.port(), 0);
    }
  }
}
