#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "RawClient.h"
#include "bus/SocketcandServer.h"
#include "transport/SocketcandProtocol.h"

using kestrum::sim::SocketcandServer;
using kestrum::sim::VirtualBus;

namespace {

// A bus and its server on a free port, torn down in the right order.
struct Served {
  explicit Served(unsigned kbit = 0) : bus(kbit), server(bus, "can0") {
    std::string error;
    EXPECT_TRUE(server.start("127.0.0.1", 0, error)) << error;
  }
  // A client that has opened the bus in raw mode, plus `setup` commands,
  // with every reply consumed.
  std::unique_ptr<RawClient> join(const std::string& setup = "", const std::string& replies = "") {
    auto c = std::make_unique<RawClient>(server.port());
    c->send("< open can0 >< rawmode >" + setup);
    const std::string expected = "< hi >< ok >< ok >" + replies;
    EXPECT_TRUE(c->waitUntil([&](const std::string& s) { return s.size() >= expected.size(); }));
    EXPECT_EQ(c->take(), expected);
    return c;
  }
  VirtualBus bus;
  SocketcandServer server;
};

}  // namespace

TEST(SocketcandServer, SessionCommandsAndRefusals) {
  Served s;
  RawClient c(s.server.port());
  ASSERT_TRUE(c.connected());
  // Frames before open/rawmode are refused; unknown buses and commands are errors.
  c.send("< send 123 0 >< open can9 >< rawmode >< open can0 >< send 123 0 >< rawmode >< echo >"
         "< bitrate 125 >< bitrate 2000 >< rtrmode >< frobnicate >< >");
  const std::string expected =
      "< hi >< error frame refused: open the bus and enter raw mode first >< error could not open bus >"
      "< error no bus opened >< ok >< error frame refused: open the bus and enter raw mode first >< ok >"
      "< echo >< ok >< error malformed bitrate >< ok >< error unknown command >< error unknown command >";
  ASSERT_TRUE(c.waitUntil([&](const std::string& r) { return r.size() >= expected.size(); }));
  EXPECT_EQ(c.take(), expected);
  EXPECT_EQ(s.bus.framesOnWire(), 0u);
}

TEST(SocketcandServer, ClientsSeeEachOthersFramesButNotTheirOwn) {
  Served s;
  auto a = s.join();
  auto b = s.join();
  // Newlines and blanks between messages are tolerated; a message may be split.
  a->send("< send 123 2 1a FF >\n  < send 1ABCDEF0 0 >< se");
  a->send("nd 7FF 8 00 01 02 03 04 05 06 07 >< echo >");
  const std::string expected = "< frame 123 T 1AFF >< frame 1ABCDEF0 T  >< frame 7FF T 0001020304050607 >";
  ASSERT_TRUE(b->waitUntil([&](const std::string& r) { return countOf(r, "frame") == 3; }));
  EXPECT_EQ(b->take(), expected);
  // Frames reach the other clients before the sender's next reply is queued,
  // so an own frame would show up ahead of the echo.
  ASSERT_TRUE(a->waitFor("< echo >"));
  EXPECT_EQ(a->take(), "< echo >");

  b->send("< send 001 1 55 >");
  ASSERT_TRUE(a->waitFor(">"));
  EXPECT_EQ(a->take(), "< frame 001 T 55 >");
}

TEST(SocketcandServer, RemoteFramesOnlyForClientsThatAskedForThem) {
  Served s;
  auto plain = s.join();
  auto guarded = s.join("< rtrmode >", "< ok >");
  auto sender = s.join();
  sender->send("< sendrtr 701 1 >");
  ASSERT_TRUE(guarded->waitFor(">"));
  EXPECT_EQ(guarded->take(), "< rtrframe 701 T 1 >");
  plain->send("< echo >");
  ASSERT_TRUE(plain->waitFor("< echo >"));
  EXPECT_EQ(plain->take(), "< echo >");
  // Sending a remote frame switches the sender to rtrmode as well.
  guarded->send("< sendrtr 1FFFFFFF 0 >");
  ASSERT_TRUE(sender->waitFor(">"));
  EXPECT_EQ(sender->take(), "< rtrframe 1FFFFFFF T 0 >");
}

TEST(SocketcandServer, ClientAtWrongBitRateNeitherSendsNorReceives) {
  Served s(500);  // paced bus
  auto wrong = s.join("< bitrate 250 >", "< ok >");
  auto right = s.join("< bitrate 500 >", "< ok >");
  auto follower = s.join();

  // The mismatched client's lower identifier would win arbitration if it
  // reached the wire, so it would arrive first.
  wrong->send("< send 100 1 AA >");
  right->send("< send 200 1 BB >");
  ASSERT_TRUE(follower->waitFor(">"));
  EXPECT_EQ(follower->take(), "< frame 200 T BB >");

  follower->send("< send 300 0 >");
  ASSERT_TRUE(right->waitFor(">"));
  EXPECT_EQ(right->take(), "< frame 300 T  >");
  wrong->send("< echo >");
  ASSERT_TRUE(wrong->waitFor("< echo >"));
  EXPECT_EQ(wrong->take(), "< echo >");
}

TEST(SocketcandServer, HostileClientsDoNotDisturbOthers) {
  Served s;
  auto a = s.join();
  auto b = s.join();
  {
    auto hostile = s.join();
    std::string junk("\x00\xff\x01 binary \x7f", 13);
    hostile->send(junk + "<" + std::string(20000, 'x') + "> < send 123 9 00 00 00 00 00 00 00 00 00 >"
                  "< send XYZ 1 00 >< send 123 2 00 >< sendrtr 123 >< open >< bitrate -5 >>>>< echo >");
    ASSERT_TRUE(hostile->waitFor("< echo >"));
    // Every reply is a well-formed message a client's parser accepts.
    kestrum::transport::SocketcandStream stream;
    stream.feed(hostile->raw().data(), hostile->raw().size());
    std::string body, problem;
    int errors = 0;
    while (stream.next(body)) {
      if (body.rfind("error ", 0) == 0) ++errors;
      else EXPECT_EQ(body, "echo");
    }
    EXPECT_FALSE(stream.takeError(problem)) << problem;
    EXPECT_GE(errors, 7);
    hostile->send("< send 12");  // vanishes in the middle of a message
  }
  {
    auto resetter = s.join();
    resetter->send("< send 321 4 01 02");
    resetter->abort();
  }
  RawClient neverOpened(s.server.port());
  neverOpened.send("< send 555 0 >");
  neverOpened.abort();

  a->send("< send 042 1 42 >");
  ASSERT_TRUE(b->waitFor(">"));
  EXPECT_EQ(b->take(), "< frame 042 T 42 >");
  EXPECT_EQ(s.bus.framesOnWire(), 1u);
  // The server notices every departure and keeps serving new clients.
  auto later = s.join();
  EXPECT_TRUE(kestrum::test::eventually([&] { return s.server.clientCount() == 3; }));
  EXPECT_EQ(s.server.clientCount(), 3u);
}

TEST(SocketcandServer, ClientThatStopsReadingIsCutOffWithoutStallingOthers) {
  Served s;
  s.server.setOutputLimit(64 * 1024);
  auto sender = s.join();
  auto reader = s.join();
  auto stalled = std::make_unique<RawClient>(s.server.port(), 4096);
  stalled->send("< open can0 >< rawmode >");
  ASSERT_TRUE(stalled->waitFor("< ok >< ok >"));

  const std::string batch = [] {
    std::string text;
    for (int i = 0; i < 500; ++i) text += "< send 181 8 01 02 03 04 05 06 07 08 >";
    return text;
  }();
  std::size_t sent = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (s.server.clientCount() == 3 && std::chrono::steady_clock::now() < deadline) {
    ASSERT_TRUE(sender->send(batch));
    sent += 500;
    ASSERT_TRUE(reader->waitUntil([&](const std::string& r) { return countOf(r, "< frame") == sent; }))
        << "reader stalled after " << countOf(reader->raw(), "< frame") << " of " << sent;
  }
  EXPECT_EQ(s.server.clientCount(), 2u) << sent;
  EXPECT_TRUE(stalled->waitClosed(3000)) << stalled->raw().size() << " bytes, sent " << sent;
  sender->send("< send 001 0 >");
  ASSERT_TRUE(reader->waitFor("< frame 001"));
}
