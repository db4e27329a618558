#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "FakeSocketcandServer.h"
#include "transport/SocketcandTransport.h"

using namespace kestrum::transport;
using Clock = std::chrono::steady_clock;

namespace {

CanFrame dataFrame(std::uint32_t id, std::initializer_list<std::uint8_t> bytes) {
  CanFrame f;
  f.id = id;
  for (std::uint8_t b : bytes) f.data[f.dlc++] = b;
  return f;
}

struct Connected {
  FakeSocketcandServer server;
  SocketcandTransport client;
  explicit Connected(FakeSocketcandServer::Script script = {})
      : server(std::move(script)), client("127.0.0.1", server.port(), "can0", 2000) {}
  void open() {
    std::string error;
    ASSERT_TRUE(client.open(error)) << error;
  }
};

long long msSince(Clock::time_point t) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

}  // namespace

TEST(SocketcandTransport, HandshakeThenSendsByteExactMessages) {
  Connected c;
  std::string error;
  ASSERT_TRUE(c.client.setBitrate(500, error)) << error;  // before open: announced by open
  c.open();
  EXPECT_TRUE(c.client.isOpen());
  EXPECT_TRUE(c.client.remoteFramesSupported());
  EXPECT_EQ(c.client.description(), "127.0.0.1:" + std::to_string(c.server.port()) + "/can0");

  ASSERT_TRUE(c.client.send(dataFrame(0x123, {0x11, 0x22}), error)) << error;
  ASSERT_TRUE(c.client.send(dataFrame(0x7FF, {}), error)) << error;
  CanFrame remote;
  remote.id = 0x705;
  remote.remote = true;
  remote.dlc = 1;
  ASSERT_TRUE(c.client.send(remote, error)) << error;
  CanFrame ext = dataFrame(0x1234567, {0xAB});
  ext.extended = true;
  ASSERT_TRUE(c.client.send(ext, error)) << error;
  ASSERT_TRUE(c.client.setBitrate(250, error)) << error;

  const std::string expected =
      "< open can0 >< rawmode >< rtrmode >< bitrate 500 >"
      "< send 123 2 11 22 >< send 7FF 0 >< sendrtr 705 1 >< send 01234567 1 AB >< bitrate 250 >";
  ASSERT_TRUE(c.server.waitReceived("< bitrate 250 >")) << c.server.received();
  EXPECT_EQ(c.server.received(), expected);
}

// A new rate counts once the server has answered: the answer reaches the
// waiting caller through a thread blocked in read(), or the caller reads it
// itself when nobody reads. A refusal is reported, frames meanwhile are kept.
TEST(SocketcandTransport, RateChangeWaitsForTheServersAnswer) {
  Connected c;
  c.open();
  std::string error;
  auto reader = std::async(std::launch::async, [&] {
    CanFrame f;
    return c.client.read(f, 2000) == ReadStatus::Frame ? f.id : 0u;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the reader waits in read()
  auto started = Clock::now();
  EXPECT_TRUE(c.client.setBitrate(250, error)) << error;
  EXPECT_LT(msSince(started), 1000);
  ASSERT_TRUE(c.server.push("< frame 181 1.000000 01 >"));
  EXPECT_EQ(reader.get(), 0x181u);

  ASSERT_TRUE(c.server.push("< frame 182 1.000000 02 >"));
  started = Clock::now();
  EXPECT_TRUE(c.client.setBitrate(125, error)) << error;  // nobody reads: it reads itself
  EXPECT_LT(msSince(started), 1000);
  CanFrame kept;
  ASSERT_EQ(c.client.read(kept, 100), ReadStatus::Frame);
  EXPECT_EQ(kept.id, 0x182u);

  FakeSocketcandServer::Script refusing;
  refusing.acceptBitrate = false;
  Connected r(refusing);
  r.open();
  EXPECT_FALSE(r.client.setBitrate(500, error));
  EXPECT_NE(error.find("refused"), std::string::npos) << error;
}

TEST(SocketcandTransport, RejectsInvalidFramesAndRatesWithoutSending) {
  Connected c;
  c.open();
  std::string error;
  CanFrame f = dataFrame(0x123, {});
  f.dlc = 9;
  EXPECT_FALSE(c.client.send(f, error));
  EXPECT_NE(error.find("data length"), std::string::npos) << error;
  f = dataFrame(0x800, {1});  // needs 29 bits but is not marked extended
  EXPECT_FALSE(c.client.send(f, error));
  EXPECT_NE(error.find("identifier"), std::string::npos) << error;
  EXPECT_FALSE(c.client.setBitrate(0, error));
  EXPECT_FALSE(c.client.setBitrate(2000, error));
  ASSERT_TRUE(c.client.send(dataFrame(0x1, {1}), error));
  ASSERT_TRUE(c.server.waitReceived("< send 001 1 01 >"));
  EXPECT_EQ(c.server.received(), "< open can0 >< rawmode >< rtrmode >< send 001 1 01 >");
}

TEST(SocketcandTransport, ReceivesSplitJoinedAndEmptyFramesWithTimestamps) {
  Connected c;
  c.open();
  ASSERT_TRUE(c.server.push("< frame 181 12.345678 0102 >< echo >< ok >< frame 7"));
  ASSERT_TRUE(c.server.push("05 13.000000  >\n< rtrframe 0000070A 14.000001 8 >"));

  CanFrame f;
  ASSERT_EQ(c.client.read(f, 1000), ReadStatus::Frame);
  EXPECT_EQ(f.id, 0x181u);
  EXPECT_EQ(f.dlc, 2);
  EXPECT_EQ(f.data[1], 0x02);
  EXPECT_EQ(f.timestampUs, 12345678u);
  ASSERT_EQ(c.client.read(f, 1000), ReadStatus::Frame);
  EXPECT_EQ(f.id, 0x705u);
  EXPECT_EQ(f.dlc, 0);
  EXPECT_EQ(f.timestampUs, 13000000u);
  ASSERT_EQ(c.client.read(f, 1000), ReadStatus::Frame);
  EXPECT_TRUE(f.remote);
  EXPECT_TRUE(f.extended);
  EXPECT_EQ(f.dlc, 8);
  EXPECT_EQ(c.client.read(f, 0), ReadStatus::Timeout);
  const auto t0 = Clock::now();
  EXPECT_EQ(c.client.read(f, 100), ReadStatus::Timeout);
  EXPECT_GE(msSince(t0), 90);
}

TEST(SocketcandTransport, SurvivesGarbageAndOverlongInput) {
  Connected c;
  c.open();
  ASSERT_TRUE(c.server.push("junk< " + std::string(5000, 'Z') + " >< frame 123 1.0 GG >< frame 321 1.000000 AA >"));
  CanFrame f;
  ASSERT_EQ(c.client.read(f, 1000), ReadStatus::Frame);
  EXPECT_EQ(f.id, 0x321u);
  EXPECT_TRUE(c.client.isOpen());
  EXPECT_FALSE(c.client.lastError().empty());
  // A server's complaint about something we sent is recorded, not fatal.
  ASSERT_TRUE(c.server.push("< error bad frame >< frame 322 1.000000 BB >"));
  ASSERT_EQ(c.client.read(f, 1000), ReadStatus::Frame);
  EXPECT_EQ(f.id, 0x322u);
  EXPECT_NE(c.client.lastError().find("bad frame"), std::string::npos) << c.client.lastError();
}

TEST(SocketcandTransport, KeepsFramesThatArriveDuringTheHandshake) {
  FakeSocketcandServer::Script script;
  script.afterRawmode = "< frame 701 1.000000 05 >";
  Connected c(script);
  c.open();
  CanFrame f;
  ASSERT_EQ(c.client.read(f, 1000), ReadStatus::Frame);
  EXPECT_EQ(f.id, 0x701u);
  EXPECT_EQ(f.data[0], 0x05);
}

TEST(SocketcandTransport, ServerWithoutRemoteFramesStillCarriesDataFrames) {
  FakeSocketcandServer::Script script;
  script.acceptRtrMode = false;
  Connected c(script);
  c.open();
  EXPECT_FALSE(c.client.remoteFramesSupported());
  CanFrame remote;
  remote.id = 0x701;
  remote.remote = true;
  std::string error;
  EXPECT_FALSE(c.client.send(remote, error));
  EXPECT_NE(error.find("remote frames are not supported"), std::string::npos) << error;
  EXPECT_TRUE(c.client.send(dataFrame(0x601, {0x40}), error)) << error;
}

TEST(SocketcandTransport, OpenFailsClearlyAndInBoundedTime) {
  {  // unknown bus
    FakeSocketcandServer server;
    SocketcandTransport client("127.0.0.1", server.port(), "can9", 2000);
    std::string error;
    EXPECT_FALSE(client.open(error));
    EXPECT_NE(error.find("refused bus can9"), std::string::npos) << error;
    EXPECT_FALSE(client.isOpen());
    CanFrame f;
    EXPECT_EQ(client.read(f, 0), ReadStatus::Failed);
  }
  {  // a server that accepts but never greets
    FakeSocketcandServer::Script script;
    script.greet = false;
    FakeSocketcandServer server(script);
    SocketcandTransport client("127.0.0.1", server.port(), "can0", 200);
    std::string error;
    const auto t0 = Clock::now();
    EXPECT_FALSE(client.open(error));
    EXPECT_LT(msSince(t0), 1500);
    EXPECT_NE(error.find("no greeting"), std::string::npos) << error;
  }
  {  // nobody listening: take a free port and release it
    std::uint16_t port;
    { FakeSocketcandServer gone; port = gone.port(); }
    SocketcandTransport client("127.0.0.1", port, "can0", 500);
    std::string error;
    EXPECT_FALSE(client.open(error));
    EXPECT_NE(error.find("cannot connect to 127.0.0.1:" + std::to_string(port)), std::string::npos) << error;
    EXPECT_FALSE(client.send(dataFrame(1, {}), error));
  }
}

TEST(SocketcandTransport, LostConnectionFailsReadAndSendWithMessage) {
  Connected c;
  c.open();
  auto reader = std::async(std::launch::async, [&] {
    CanFrame f;
    return c.client.read(f, 5000);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto t0 = Clock::now();
  c.server.dropClient();
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_EQ(reader.get(), ReadStatus::Failed);
  EXPECT_LT(msSince(t0), 2000);
  const std::string lost = "connection to " + c.client.description() + " lost";
  EXPECT_EQ(c.client.lastError(), lost);
  EXPECT_FALSE(c.client.isOpen());
  CanFrame f;
  EXPECT_EQ(c.client.read(f, 1000), ReadStatus::Failed);  // at once, no wait
  std::string error;
  EXPECT_FALSE(c.client.send(dataFrame(0x100, {1}), error));
  EXPECT_EQ(error, lost);
}

TEST(SocketcandTransport, CloseFromAnotherThreadWakesBlockedRead) {
  Connected c;
  c.open();
  auto reader = std::async(std::launch::async, [&] {
    CanFrame f;
    return c.client.read(f, -1);  // no time-out: only close() can end it
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  c.client.close();
  ASSERT_EQ(reader.wait_for(std::chrono::seconds(3)), std::future_status::ready);
  EXPECT_EQ(reader.get(), ReadStatus::Failed);
  EXPECT_FALSE(c.client.isOpen());
  c.client.close();  // idempotent
  std::string error;
  EXPECT_FALSE(c.client.send(dataFrame(0x100, {1}), error));
  // The same transport connects again afterwards: a new connection with the
  // whole handshake, and frames flow both ways.
  ASSERT_TRUE(c.client.open(error)) << error;
  EXPECT_TRUE(c.client.isOpen());
  EXPECT_EQ(c.client.lastError(), "");
  ASSERT_TRUE(c.client.send(dataFrame(0x100, {1}), error)) << error;
  ASSERT_TRUE(c.server.waitReceived("< send 100 1 01 >")) << c.server.received();
  const std::string handshake = "< open can0 >< rawmode >< rtrmode >";
  EXPECT_EQ(c.server.received(), handshake + handshake + "< send 100 1 01 >");
  ASSERT_TRUE(c.server.push("< frame 181 1.000000 02 >"));
  CanFrame f;
  ASSERT_EQ(c.client.read(f, 2000), ReadStatus::Frame);
  EXPECT_EQ(f.id, 0x181u);
}

TEST(SocketcandTransport, ConcurrentSendersNeverInterleaveMessages) {
  Connected c;
  c.open();
  constexpr int kThreads = 4, kFrames = 200;
  std::vector<std::thread> senders;
  for (int t = 0; t < kThreads; ++t)
    senders.emplace_back([&, t] {
      std::string error;
      for (int i = 0; i < kFrames; ++i)
        EXPECT_TRUE(c.client.send(dataFrame(0x100 + t, {1, 2, 3, 4, 5, 6, 7, static_cast<std::uint8_t>(i)}), error))
            << error;
    });
  // Reading at the same time is allowed and must not disturb the senders.
  CanFrame f;
  EXPECT_EQ(c.client.read(f, 50), ReadStatus::Timeout);
  for (auto& s : senders) s.join();
  // TCP keeps order: once every sender's last message is in, all of them are.
  for (int t = 0; t < kThreads; ++t)
    ASSERT_TRUE(c.server.waitReceived("< send 10" + std::to_string(t) + " 8 01 02 03 04 05 06 07 C7 >"));
  SocketcandStream stream;
  const std::string all = c.server.received();
  stream.feed(all.data(), all.size());
  std::string body, problem;
  int sends = 0;
  while (stream.next(body)) {
    CanFrame parsed;
    if (body.rfind("send", 0) == 0) {
      EXPECT_TRUE(parseSendMessage(body, parsed)) << body;
      ++sends;
    }
  }
  EXPECT_FALSE(stream.takeError(problem)) << problem;
  EXPECT_EQ(sends, kThreads * kFrames);
}

TEST(SocketcandTransport, ProbeSeesGreetingOnly) {
  FakeSocketcandServer server;
  std::string error;
  EXPECT_TRUE(SocketcandTransport::probe("127.0.0.1", server.port(), 1000, error)) << error;
  FakeSocketcandServer::Script script;
  script.greet = false;
  FakeSocketcandServer silent(script);
  const auto t0 = Clock::now();
  EXPECT_FALSE(SocketcandTransport::probe("127.0.0.1", silent.port(), 150, error));
  EXPECT_LT(msSince(t0), 1500);
}
