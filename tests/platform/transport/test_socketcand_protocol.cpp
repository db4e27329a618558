#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "transport/SocketcandProtocol.h"

using namespace kestrum::transport;

namespace {

std::vector<std::string> drain(SocketcandStream& s) {
  std::vector<std::string> out;
  std::string body;
  while (s.next(body)) out.push_back(body);
  return out;
}

void feed(SocketcandStream& s, const std::string& text) { s.feed(text.data(), text.size()); }

CanFrame frameOf(const std::string& body) {
  CanFrame f;
  EXPECT_TRUE(parseFrameMessage(body, f)) << body;
  return f;
}

}  // namespace

TEST(SocketcandStream, SplitsSeveralMessagesInOneFeedAndToleratesWhitespace) {
  SocketcandStream s;
  feed(s, "< hi >< ok >\r\n  < frame 123 1.000000 1122 >\n");
  EXPECT_EQ(drain(s), (std::vector<std::string>{"hi", "ok", "frame 123 1.000000 1122"}));
  std::string error;
  EXPECT_FALSE(s.takeError(error)) << error;
}

TEST(SocketcandStream, ReassemblesMessagesFedByteByByte) {
  SocketcandStream s;
  const std::string text = "< frame 123 1.000000  >< frame 7FF 2.000001 00 >";
  std::vector<std::string> got;
  for (char c : text) {
    s.feed(&c, 1);
    for (auto& m : drain(s)) got.push_back(m);
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], "frame 123 1.000000");
  EXPECT_EQ(got[1], "frame 7FF 2.000001 00");
}

TEST(SocketcandStream, ReportsGarbageOnceAndResyncsAtNextMessage) {
  SocketcandStream s;
  feed(s, "xyz!!");
  feed(s, "more< ok >");
  EXPECT_EQ(drain(s), std::vector<std::string>{"ok"});
  std::string error;
  ASSERT_TRUE(s.takeError(error));
  EXPECT_NE(error.find("garbage"), std::string::npos) << error;
  EXPECT_FALSE(s.takeError(error));  // one report for one run of garbage

  // A message cut off by the start of another is dropped, the new one kept.
  feed(s, "< frame 12< ok >");
  EXPECT_EQ(drain(s), std::vector<std::string>{"ok"});
  EXPECT_TRUE(s.takeError(error));
}

TEST(SocketcandStream, OverlongMessageIsDiscardedWithBoundedMemory) {
  SocketcandStream s(32);
  feed(s, "< ");
  const std::string junk(100000, 'A');  // a peer that never closes its message
  for (int i = 0; i < 10; ++i) feed(s, junk);
  feed(s, " >< frame 001 0.000001 AA >");
  EXPECT_EQ(drain(s), std::vector<std::string>{"frame 001 0.000001 AA"});
  std::string error;
  ASSERT_TRUE(s.takeError(error));
  EXPECT_NE(error.find("too long"), std::string::npos) << error;

  // A message exactly at the limit still passes.
  feed(s, "<" + std::string(32, 'b') + ">");
  EXPECT_EQ(drain(s), std::vector<std::string>{std::string(32, 'b')});
}

TEST(SocketcandMessages, ParsesDataRemoteAndExtendedFrames) {
  CanFrame f = frameOf("frame 123 1.000000 1122AABB");
  EXPECT_EQ(f.id, 0x123u);
  EXPECT_FALSE(f.extended);
  EXPECT_FALSE(f.remote);
  ASSERT_EQ(f.dlc, 4);
  EXPECT_EQ(f.data[0], 0x11);
  EXPECT_EQ(f.data[3], 0xBB);
  EXPECT_EQ(f.data[4], 0);
  EXPECT_EQ(f.timestampUs, 1000000u);

  f = frameOf("frame 705 12.000345");  // no data: the two blanks were trimmed by the splitter
  EXPECT_EQ(f.dlc, 0);
  EXPECT_EQ(f.timestampUs, 12000345u);

  f = frameOf("frame 00000123 0.5 ff");  // eight digits mean extended even for a small ID
  EXPECT_TRUE(f.extended);
  EXPECT_EQ(f.id, 0x123u);
  EXPECT_EQ(f.timestampUs, 500000u);
  EXPECT_EQ(f.data[0], 0xFF);

  f = frameOf("rtrframe 70A 3.000000 1");
  EXPECT_TRUE(f.remote);
  EXPECT_EQ(f.id, 0x70Au);
  EXPECT_EQ(f.dlc, 1);
  EXPECT_EQ(f.data[0], 0);
}

TEST(SocketcandMessages, RejectsMalformedFrames) {
  CanFrame f;
  f.id = 0x42;
  const char* bad[] = {
      "frame 123 1.000000 11G2",                 // bad hex
      "frame 123 1.000000 112",                  // odd number of digits
      "frame 123 1.000000 112233445566778899",   // nine bytes
      "frame 123 1.000000 11 22",                // bytes must not be separated
      "frame 123456789 1.000000 11",             // nine-digit identifier
      "frame 3FFFFFFF 1.000000 11",              // beyond 29 bits
      "frame XYZ 1.000000 11",
      "frame 123 1.x 11",
      "frame 123 . 11",
      "frame 123",
      "rtrframe 123 1.000000 9",
      "rtrframe 123 1.000000",
      "send 123 1 11",
      "",
  };
  for (const char* body : bad) EXPECT_FALSE(parseFrameMessage(body, f)) << body;
  EXPECT_EQ(f.id, 0x42u);  // a rejected message leaves the output alone
}

TEST(SocketcandMessages, FormatsFramesByteExact) {
  CanFrame f;
  f.id = 0x123;
  f.dlc = 2;
  f.data[0] = 0xAB;
  f.data[1] = 0x01;
  f.timestampUs = 1000001;
  EXPECT_EQ(formatFrameMessage(f), "< frame 123 1.000001 AB01 >");
  EXPECT_EQ(formatSendMessage(f), "< send 123 2 AB 01 >");
  f.dlc = 0;
  f.id = 0x5;
  EXPECT_EQ(formatFrameMessage(f), "< frame 005 1.000001  >");
  EXPECT_EQ(formatSendMessage(f), "< send 005 0 >");
  f.extended = true;
  f.id = 0x1ABCDEF;
  f.remote = true;
  f.dlc = 8;
  EXPECT_EQ(formatFrameMessage(f), "< rtrframe 01ABCDEF 1.000001 8 >");
  EXPECT_EQ(formatSendMessage(f), "< sendrtr 01ABCDEF 8 >");
  f.dlc = 9;
  EXPECT_EQ(formatSendMessage(f), "");
  EXPECT_EQ(formatFrameMessage(f), "");
}

TEST(SocketcandMessages, SendMessagesRoundTripAndRejectMismatches) {
  CanFrame f;
  f.id = 0x1FFFFFFF;
  f.extended = true;
  f.dlc = 8;
  for (int i = 0; i < 8; ++i) f.data[i] = static_cast<std::uint8_t>(0x10 * i + 0xF);
  const std::string msg = formatSendMessage(f);
  CanFrame back;
  ASSERT_TRUE(parseSendMessage(msg.substr(2, msg.size() - 4), back)) << msg;
  EXPECT_EQ(back.id, f.id);
  EXPECT_TRUE(back.extended);
  EXPECT_EQ(0, std::memcmp(back.data, f.data, 8));

  ASSERT_TRUE(parseSendMessage("send 7ff 2 a b", back));  // lower case, one-digit bytes
  EXPECT_EQ(back.id, 0x7FFu);
  EXPECT_EQ(back.data[0], 0x0A);
  EXPECT_EQ(back.data[1], 0x0B);
  ASSERT_TRUE(parseSendMessage("sendrtr 701 0", back));
  EXPECT_TRUE(back.remote);

  for (const char* body : {"send 123 2 11", "send 123 1 11 22", "send 123 9 1 2 3 4 5 6 7 8 9", "send 123 1 123",
                           "send 123 x", "sendrtr 123 1 00", "frame 123 1.0 11"})
    EXPECT_FALSE(parseSendMessage(body, back)) << body;
}
