// The online connector against the real libVarnex.so, reaching a scripted
// node on the virtual bus through the PCAN-Basic stand-in.
#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTimer>

#include <algorithm>

#include "BusTestSupport.h"
#include "DLLConnector.h"
#include "Logging.h"

using namespace bustest;
using kestrum::test::scaled;

inline bool operator==(const SDOResult& a, const SDOResult& b) {
  return a.code == b.code && a.abortCode == b.abortCode && a.size == b.size && a.value == b.value;
}
inline std::ostream& operator<<(std::ostream& os, const SDOResult& r) {
  return os << "{" << r.code << ", 0x" << std::hex << r.abortCode << std::dec << ", " << r.size << ", "
            << r.value << "}";
}

namespace {

constexpr std::uint8_t kNode = 5;

using kestrum::sim::test::bytesOf;

class ConnectorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // Each test builds and destroys connectors; against the in-process bus
    // the library settles at once.
    DLLConnector::setShutdownPause(10ms);
    world_ = &BusWorld::get();
    connect(FrameRing::defaultCapacity);
  }
  void connect(std::size_t ringCapacity) {
    connector.reset();
    connector = std::make_unique<DLLConnector>(world_->loader, ringCapacity);
    ASSERT_TRUE(connector->isOnline());
    ASSERT_TRUE(connector->init_canW(kNode, 1000, -1, -1, true, getenv("XV") ? 0 : firstBusChannel, nullptr));
    EXPECT_TRUE(filter.isEnabled());
  }
  void TearDown() override { connector.reset(); }

  std::vector<CanFrame> requests() const { return node.requests(); }

  BusWorld* world_ = nullptr;
  ScriptedNode node{BusWorld::get().bus, kNode};
  RecordingFilter filter;
  std::unique_ptr<DLLConnector> connector;
};

TEST_F(ConnectorTest, ReadEvaluatesEveryKindOfAnswer) {
  struct Case {
    const char* what;
    std::vector<std::uint8_t> answer;
    std::uint8_t type;
    SDOResult expected;
  } cases[] = {
      {"one byte", {0x4F, 0x00, 0x20, 0x01, 0xFE, 0, 0, 0}, TYPE_U8, {0, 0, 1, 0xFE}},
      {"two bytes", {0x4B, 0x00, 0x20, 0x01, 0x34, 0x92, 0, 0}, TYPE_U16, {0, 0, 2, 0x9234}},
      {"four bytes", {0x43, 0x00, 0x20, 0x01, 0x78, 0x56, 0x34, 0x82}, TYPE_U32, {0, 0, 4, std::int32_t(0x82345678)}},
      {"one byte read as u16", {0x4F, 0x00, 0x20, 0x01, 7, 0, 0, 0}, TYPE_U16, {289, 0, 1, 0}},
      {"two bytes read as u32", {0x4B, 0x00, 0x20, 0x01, 7, 0, 0, 0}, TYPE_U32, {290, 0, 2, 0}},
      {"segmented read as u8", {0x41, 0x00, 0x20, 0x01, 7, 0, 0, 0}, TYPE_U8, {290, 0, 6, 0}},
      {"four bytes read as u8", {0x43, 0x00, 0x20, 0x01, 7, 0, 0, 0}, TYPE_U8, {291, 0, 4, 0}},
      {"one byte with junk", {0x4F, 0x00, 0x20, 0x01, 7, 0, 1, 0}, TYPE_U8, {273, 0, 0, 0}},
      {"two bytes with junk", {0x4B, 0x00, 0x20, 0x01, 7, 0, 0, 1}, TYPE_U16, {274, 0, 0, 0}},
      {"known abort", {0x80, 0x00, 0x20, 0x01, 0x00, 0x00, 0x02, 0x06}, TYPE_U8, {3, 0x06020000, 0, 0}},
      {"unknown abort", {0x80, 0x00, 0x20, 0x01, 0x48, 0x00, 0x04, 0x06}, TYPE_U8, {3, 0x06040048, 0, 0}},
      {"short answer", {0x4F, 0x00, 0x20, 0x01, 7, 0}, TYPE_U8, {257, 0, 0, 0}},
      {"other index", {0x4F, 0x01, 0x20, 0x01, 7, 0, 0, 0}, TYPE_U8, {258, 0, 0, 0}},
      {"other subindex", {0x4F, 0x00, 0x20, 0x02, 7, 0, 0, 0}, TYPE_U8, {259, 0, 0, 0}},
      {"expedited without size", {0x42, 0x00, 0x20, 0x01, 7, 0, 0, 0}, TYPE_U32, {260, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    node.answer(c.answer);
    EXPECT_EQ(connector->readObject(kNode, 0x2000, 1, c.type, 1000), c.expected);
    EXPECT_FALSE(connector->isQueryPending());
  }
  EXPECT_EQ(connector->getErrorText({3, 0x06020000, 0, 0}),
            "slave reported error: Object does not exist in the object dictionary.");
  EXPECT_EQ(connector->getErrorText({3, 0x06040048, 0, 0}), "slave reported error: 100925512");

  // Every request was one upload request with 8 data bytes.
  const auto sent = requests();
  ASSERT_EQ(sent.size(), std::size(cases));
  EXPECT_EQ(bytesOf(sent[0]), (std::vector<std::uint8_t>{0x40, 0x00, 0x20, 0x01, 0, 0, 0, 0}));

  // The filter saw each request as transmitted (time 0) and each answer as
  // received, numbered in arrival order. (An answer may overtake the report
  // of its own request: the library reports a frame after sending it.)
  ASSERT_TRUE(processUntil([&] { return filter.frames.size() >= 2 * std::size(cases); }));
  for (const ConnectorFrame& f : filter.frames) {
    ASSERT_TRUE(f.id == 0x605 || f.id == 0x585) << f.id;
    EXPECT_EQ(f.isTx, f.id == 0x605 ? 1 : 0);
    if (f.isTx) {
      EXPECT_EQ(f.time, 0u);
    }
  }
  for (std::size_t i = 1; i < filter.frames.size(); ++i) EXPECT_LT(filter.frames[i - 1].seq, filter.frames[i].seq);
}

TEST_F(ConnectorTest, ReadWithoutAnswerTimesOut) {
  node.silence();
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(connector->readObject(kNode, 0x2000, 1, TYPE_U8, 100), (SDOResult{2, 0, 0, 0}));
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, 90ms);
  EXPECT_LT(elapsed, 1500ms);
  // The query is over: the next request is not refused as still pending.
  EXPECT_FALSE(connector->isQueryPending());
  node.answer({0x4F, 0x00, 0x20, 0x01, 9, 0, 0, 0});
  EXPECT_EQ(connector->readObject(kNode, 0x2000, 1, TYPE_U8, 1000).value, 9);
}

TEST_F(ConnectorTest, WriteSendsEachSizeAndChecksTheAcknowledgement) {
  struct Case {
    const char* what;
    std::uint8_t type;
    std::vector<std::uint8_t> ack;
    std::int32_t code;
    std::vector<std::uint8_t> request;
  } cases[] = {
      {"u8", TYPE_U8, {0x60, 0x40, 0x60, 0x00, 0, 0, 0, 0}, 0, {0x2F, 0x40, 0x60, 0x00, 0x21, 0, 0, 0}},
      {"u16", TYPE_U16, {0x60, 0x40, 0x60, 0x00, 0, 0, 0, 0}, 0, {0x2B, 0x40, 0x60, 0x00, 0x21, 0x43, 0, 0}},
      {"u32", TYPE_U32, {0x60, 0x40, 0x60, 0x00, 0, 0, 0, 0}, 0, {0x23, 0x40, 0x60, 0x00, 0x21, 0x43, 0x65, 0x87}},
      {"u8 ack with junk", TYPE_U8, {0x60, 0x40, 0x60, 0x00, 0, 0, 0, 1}, 273, {}},
      {"u16 ack with junk", TYPE_U16, {0x60, 0x40, 0x60, 0x00, 0, 1, 0, 0}, 274, {}},
      {"u32 ack with junk", TYPE_U32, {0x60, 0x40, 0x60, 0x00, 1, 0, 0, 0}, 275, {}},
      {"abort", TYPE_U16, {0x80, 0x40, 0x60, 0x00, 0x02, 0x00, 0x01, 0x06}, 3, {}},
      {"short", TYPE_U16, {0x60, 0x40, 0x60, 0x00}, 257, {}},
      {"other index", TYPE_U16, {0x60, 0x41, 0x60, 0x00, 0, 0, 0, 0}, 258, {}},
      {"other subindex", TYPE_U16, {0x60, 0x40, 0x60, 0x01, 0, 0, 0, 0}, 259, {}},
      {"not an acknowledgement", TYPE_U16, {0x4B, 0x40, 0x60, 0x00, 0, 0, 0, 0}, 260, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    node.clearRequests();
    node.answer(c.ack);
    const SDOResult r = connector->writeObject(kNode, 0x6040, 0, c.type, 1000, std::int32_t(0x87654321));
    EXPECT_EQ(r.code, c.code);
    EXPECT_EQ(r.abortCode, c.code == 3 ? 0x06010002 : 0);
    EXPECT_EQ(r.size, 0);
    ASSERT_EQ(requests().size(), 1u);
    if (!c.request.empty()) {
      EXPECT_EQ(bytesOf(requests()[0]), c.request);
    }
  }
  node.silence();
  EXPECT_EQ(connector->writeObject(kNode, 0x6040, 0, TYPE_U16, 50, 1).code, 2);
}

TEST_F(ConnectorTest, SegmentedStringUpload) {
  node.answer({0x41, 0x0A, 0x10, 0x00, 10, 0, 0, 0});
  node.answer({0x00, 'K', 'S', '-', '4', '2', '0', '0'});
  node.answer({0x19, '-', 'B', 'X', 0, 0, 0, 0});
  EXPECT_EQ(connector->readObject(kNode, 0x100A, 0, TYPE_STRING, 1000), (SDOResult{0, 0, 6, 10}));
  EXPECT_EQ(DLLConnector::lastSdoString, "KS-4200-BX");
  const auto sent = requests();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(bytesOf(sent[1]), (std::vector<std::uint8_t>{0x60, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(bytesOf(sent[2]), (std::vector<std::uint8_t>{0x70, 0, 0, 0, 0, 0, 0, 0}));

  // A segment with the wrong toggle ends the transfer as a protocol error.
  node.answer({0x41, 0x0A, 0x10, 0x00, 10, 0, 0, 0});
  node.answer({0x10, 'K', 'S', '-', '4', '2', '0', '0'});
  EXPECT_EQ(connector->readObject(kNode, 0x100A, 0, TYPE_STRING, 1000), (SDOResult{3, 0, 6, 0}));
  // So does a last segment that leaves the announced length short, without
  // asking for more segments.
  node.clearRequests();
  node.answer({0x41, 0x0A, 0x10, 0x00, 10, 0, 0, 0});
  node.answer({0x0B, 'K', 'S', '-', '4', 0, 0, 0});
  EXPECT_EQ(connector->readObject(kNode, 0x100A, 0, TYPE_STRING, 1000).code, 3);
  EXPECT_EQ(requests().size(), 2u);
  EXPECT_EQ(DLLConnector::lastSdoString, "KS-4200-BX");
}

TEST_F(ConnectorTest, RequestStartedWhileWaitingGets516) {
  // The node answers only after the requests started during the wait were
  // refused, however late the timer fires.
  node.silence();
  SDOResult nestedRead{-1, 0, 0, 0}, nestedWrite{-1, 0, 0, 0};
  bool pendingDuringWait = false;
  QTimer::singleShot(30, [&] {
    pendingDuringWait = connector->isQueryPending();
    nestedRead = connector->readObject(kNode, 0x2001, 0, TYPE_U8, 500);
    nestedWrite = connector->writeObject(kNode, 0x2001, 0, TYPE_U8, 500, 1);
    EXPECT_TRUE(node.waitFor(0x600 + kNode, 1));
    node.send(frame(0x580 + kNode, {0x4F, 0x00, 0x20, 0x01, 3, 0, 0, 0}));
  });
  EXPECT_EQ(connector->readObject(kNode, 0x2000, 1, TYPE_U8, 5000), (SDOResult{0, 0, 1, 3}));
  EXPECT_TRUE(pendingDuringWait);
  EXPECT_EQ(nestedRead.code, 516);
  EXPECT_EQ(nestedWrite.code, 516);
  EXPECT_EQ(requests().size(), 1u);
}

TEST_F(ConnectorTest, RequestsRefusedBeforeAnythingIsSent) {
  EXPECT_EQ(connector->readObject(kNode, 0x2000, 0, 3, 100).code, 513);
  EXPECT_EQ(connector->writeObject(kNode, 0x2000, 0, TYPE_STRING, 100, 0).code, 513);
  EXPECT_EQ(connector->readObject(0, 0x2000, 0, TYPE_U8, 100).code, 514);
  EXPECT_EQ(connector->writeObject(128, 0x2000, 0, TYPE_U8, 100, 0).code, 514);
  EXPECT_EQ(connector->readObject(kNode, 0x2000, 0, TYPE_U8, 10001).code, 515);
  EXPECT_EQ(connector->writeObject(kNode, 0x2000, 0, TYPE_U8, 10001, 0).code, 515);

  DLLConnector::appClosing = true;
  // A read refused for closing fails: a code of 0 would pass 0 for the node's value.
  EXPECT_EQ(connector->readObject(kNode, 0x2000, 0, TYPE_U8, 100), (SDOResult{518, 0, 0, 0}));
  EXPECT_EQ(connector->getErrorText({518, 0, 0, 0}), "internal: application closing");
  DLLConnector::appClosing = false;

  connector->stopTimers();
  EXPECT_EQ(connector->readObject(kNode, 0x2000, 0, TYPE_U8, 100).code, 517);
  EXPECT_EQ(connector->writeObject(kNode, 0x2000, 0, TYPE_U8, 100, 0).code, 517);
  EXPECT_TRUE(requests().empty());
}

TEST_F(ConnectorTest, ExtendedAndRemoteFramesAreNoAnswerButReachTheFilterAsTheyAre) {
  // A peer answers node 5's request only with frames whose identifier ends
  // like the answer's: a 29-bit one and a remote one.
  node.setRule([](const CanFrame& f, ScriptedNode& n) {
    if (f.id != 0x600u + kNode) return;
    CanFrame extended;
    extended.id = 0x18FF0585;
    extended.extended = true;
    extended.dlc = 8;
    const std::uint8_t answer[8] = {0x4F, 0x00, 0x20, 0x01, 0x2A, 0, 0, 0};
    std::copy(std::begin(answer), std::end(answer), extended.data);
    n.send(extended);
    CanFrame remote;
    remote.id = 0x585;
    remote.remote = true;
    n.send(remote);
  });
  EXPECT_EQ(connector->readObject(kNode, 0x2000, 1, TYPE_U8, 200).code, 2);
  ASSERT_TRUE(kestrum::test::processUntil([this] { return filter.frames.size() >= 3; }));
  // The request's own echo and the peer's frames come on different threads
  // of the library: their order in the filter is not fixed.
  auto find = [this](auto match) -> const ConnectorFrame* {
    for (const auto& f : filter.frames)
      if (match(f)) return &f;
    return nullptr;
  };
  const ConnectorFrame* ext = find([](const ConnectorFrame& f) { return f.kind == kFrameExtended; });
  ASSERT_TRUE(ext);
  EXPECT_EQ(ext->wholeId, 0x18FF0585u);
  const ConnectorFrame* remote = find([](const ConnectorFrame& f) { return f.kind == kFrameRemote; });
  ASSERT_TRUE(remote);
  EXPECT_EQ(remote->id, 0x585);
  const ConnectorFrame* request = find([](const ConnectorFrame& f) { return f.id == 0x600 + kNode; });
  ASSERT_TRUE(request);
  EXPECT_EQ(request->kind, 0) << "the request itself is a standard data frame";
}

TEST_F(ConnectorTest, ClosingTheApplicationEndsAWaitingRead) {
  node.silence();
  QTimer::singleShot(30, [] { DLLConnector::appClosing = true; });
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(connector->readObject(kNode, 0x2000, 1, TYPE_U8, 5000), (SDOResult{518, 0, 0, 0}));
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2000ms);
  EXPECT_FALSE(connector->isQueryPending());
  DLLConnector::appClosing = false;
}

TEST_F(ConnectorTest, RingKeepsEveryFrameOfABurstDuringAStall) {
  QObject context;
  QStringList lines;
  QObject::connect(&Logging::instance(), &Logging::lineWritten, &context,
                   [&](const QString& line) { lines << line; });
  constexpr int kFrames = 2000;
  std::thread sender([&] {
    for (int i = 0; i < kFrames; ++i) node.send(frame(0x181, {std::uint8_t(i), std::uint8_t(i >> 8)}));
  });
  std::this_thread::sleep_for(200ms);  // the user-interface thread is busy
  sender.join();
  auto burst = [&] {
    std::vector<ConnectorFrame> out;
    for (const auto& f : filter.frames)
      if (f.id == 0x181) out.push_back(f);
    return out;
  };
  ASSERT_TRUE(processUntil([&] { return burst().size() >= std::size_t(kFrames); }, scaled(10s)))
      << burst().size() << " of " << kFrames << " frames arrived";
  const auto got = burst();
  ASSERT_EQ(got.size(), std::size_t(kFrames));
  for (int i = 0; i < kFrames; ++i) {
    ASSERT_EQ(got[i].data[0] | got[i].data[1] << 8, i);
    if (i) {
      ASSERT_EQ(got[i].seq, got[i - 1].seq + 1);
    }
  }
  EXPECT_TRUE(lines.filter(QStringLiteral("overflow")).isEmpty());
}

TEST_F(ConnectorTest, OverflowDropsTheOldestAndLogsTheLoss) {
  connect(64);
  QObject context;
  QStringList lost;
  QObject::connect(&Logging::instance(), &Logging::lineWritten, &context, [&](const QString& line) {
    if (line.contains(QStringLiteral("overflow"))) lost << line;
  });
  constexpr int kFrames = 1000;
  for (int i = 0; i < kFrames; ++i) node.send(frame(0x181, {std::uint8_t(i), std::uint8_t(i >> 8)}));
  std::this_thread::sleep_for(1000ms);  // far longer than 64 frames take to arrive

  auto count = [](const QStringList& lines) {
    int n = 0;
    static const QRegularExpression re(QStringLiteral("overflow: (\\d+) frame"));
    for (const QString& l : lines) n += re.match(l).captured(1).toInt();
    return n;
  };
  auto burst = [&] {
    std::vector<int> out;
    for (const auto& f : filter.frames)
      if (f.id == 0x181) out.push_back(f.data[0] | f.data[1] << 8);
    return out;
  };
  ASSERT_TRUE(processUntil([&] { return int(burst().size()) + count(lost) >= kFrames; }, scaled(10s)))
      << burst().size() << " frames arrived, " << count(lost) << " reported lost";
  const auto got = burst();
  EXPECT_EQ(int(got.size()) + count(lost), kFrames);
  EXPECT_GT(count(lost), 0);
  EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
  EXPECT_EQ(got.back(), kFrames - 1);  // the oldest were dropped, the newest kept
}

TEST(ConnectorOffline, FailedSendReports1AndLeavesNothingPending) {
  BusWorld::application();
  DLLLoader missing(QStringLiteral("/nonexistent/libVarnex.so"));
  DLLConnector connector(&missing);
  EXPECT_FALSE(connector.isOnline());
  EXPECT_EQ(connector.readObject(kNode, 0x2000, 0, TYPE_U8, 100), (SDOResult{1, 0, 0, 0}));
  EXPECT_FALSE(connector.isQueryPending());
  EXPECT_EQ(connector.writeObject(kNode, 0x2000, 0, TYPE_U8, 100, 1).code, 1);
  EXPECT_EQ(connector.getErrorText({1, 0, 0, 0}), "bus dead");
  EXPECT_EQ(connector.getErrorText({1024, 0, 0, 0}), "unknown error: 1024");
}

}  // namespace
