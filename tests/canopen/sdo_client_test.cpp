// The SDO client codec as byte traces: each case is the client's requests
// and the server's answers in order, with the result they must end in.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "canopen/SdoClient.h"

namespace co = kestrum::canopen;
using Step = co::SdoClient::Step;
using Bytes = std::vector<std::uint8_t>;
using namespace co::sdo_result;

namespace {

struct Expected {
  std::int32_t code;
  std::uint32_t abortCode;
  std::int32_t size;
  std::int32_t value;
};

void expectResult(const Step& s, Expected e, const std::string& what) {
  ASSERT_EQ(s.kind, Step::Done) << what;
  EXPECT_EQ(s.result.code, e.code) << what;
  EXPECT_EQ(s.result.abortCode, e.abortCode) << what;
  EXPECT_EQ(s.result.size, e.size) << what;
  EXPECT_EQ(s.result.value, e.value) << what;
}

Bytes request(const Step& s) { return Bytes(s.request.begin(), s.request.end()); }

Step answer(co::SdoClient& c, Bytes a) { return c.onAnswer(a.data(), std::uint8_t(a.size())); }

// Upload of 0x2000:01: answers to the initiate request.
struct UploadCase {
  const char* name;
  std::uint8_t size;
  Bytes answer;
  Expected expected;
};

const UploadCase kUploads[] = {
    {"u32", 4, {0x43, 0x00, 0x20, 0x01, 0x78, 0x56, 0x34, 0x12}, {kOk, 0, 4, 0x12345678}},
    {"u32 negative", 4, {0x43, 0x00, 0x20, 0x01, 0xFF, 0xFF, 0xFF, 0xFF}, {kOk, 0, 4, -1}},
    {"u16", 2, {0x4B, 0x00, 0x20, 0x01, 0x34, 0x12, 0, 0}, {kOk, 0, 2, 0x1234}},
    {"u8", 1, {0x4F, 0x00, 0x20, 0x01, 0xAB, 0, 0, 0}, {kOk, 0, 1, 0xAB}},
    {"one byte for u16", 2, {0x4F, 0x00, 0x20, 0x01, 0x01, 0, 0, 0}, {kWrongType8, 0, 1, 0}},
    {"two bytes for u32", 4, {0x4B, 0x00, 0x20, 0x01, 0x01, 0, 0, 0}, {kWrongType16, 0, 2, 0}},
    {"four bytes for u8", 1, {0x43, 0x00, 0x20, 0x01, 1, 2, 3, 4}, {kWrongType32, 0, 4, 0}},
    {"segmented for u32", 4, {0x41, 0x00, 0x20, 0x01, 10, 0, 0, 0}, {kWrongType16, 0, 6, 0}},
    {"u8 reserved bytes", 1, {0x4F, 0x00, 0x20, 0x01, 0x01, 0, 1, 0}, {kNonZero8, 0, 0, 0}},
    {"u16 reserved bytes", 2, {0x4B, 0x00, 0x20, 0x01, 0x01, 0, 0, 1}, {kNonZero16, 0, 0, 0}},
    {"segmented size above 255", 6, {0x41, 0x00, 0x20, 0x01, 10, 1, 0, 0}, {kNonZero8, 0, 0, 0}},
    {"abort", 4, {0x80, 0x00, 0x20, 0x01, 0x00, 0x00, 0x02, 0x06}, {kAborted, 0x06020000, 0, 0}},
    {"other index", 4, {0x43, 0x01, 0x20, 0x01, 1, 0, 0, 0}, {kWrongIndex, 0, 0, 0}},
    {"other sub-index", 4, {0x43, 0x00, 0x20, 0x02, 1, 0, 0, 0}, {kWrongSubIndex, 0, 0, 0}},
    {"abort for another object", 4, {0x80, 0x00, 0x21, 0x01, 0, 0, 2, 6}, {kWrongIndex, 0, 0, 0}},
    {"short frame", 4, {0x43, 0x00, 0x20, 0x01, 1, 0, 0}, {kWrongLength, 0, 0, 0}},
    {"expedited without size", 4, {0x42, 0x00, 0x20, 0x01, 1, 0, 0, 0}, {kUnknownHeader, 0, 0, 0}},
    {"three bytes", 4, {0x47, 0x00, 0x20, 0x01, 1, 0, 0, 0}, {kUnknownHeader, 0, 0, 0}},
    {"download acknowledge", 4, {0x60, 0x00, 0x20, 0x01, 0, 0, 0, 0}, {kUnknownHeader, 0, 0, 0}},
};

TEST(SdoClient, UploadAnswers) {
  for (const UploadCase& t : kUploads) {
    co::SdoClient c;
    const Step start = c.upload(0x2000, 1, t.size);
    ASSERT_EQ(start.kind, Step::Send) << t.name;
    EXPECT_EQ(request(start), (Bytes{0x40, 0x00, 0x20, 0x01, 0, 0, 0, 0})) << t.name;
    expectResult(answer(c, t.answer), t.expected, t.name);
    EXPECT_FALSE(c.busy()) << t.name;
  }
}

// A string upload: every step is the request the client must send next (or
// the end) for the answer before it.
struct Segment {
  Bytes answer;
  Bytes nextRequest;  // empty: the transfer ends here
};
struct StringCase {
  const char* name;
  std::vector<Segment> segments;  // the first answers the initiate request
  Expected expected;
  std::string text;
};

const Bytes kSeg0{0x60, 0, 0, 0, 0, 0, 0, 0};
const Bytes kSeg1{0x70, 0, 0, 0, 0, 0, 0, 0};

const StringCase kStrings[] = {
    {"ten characters",
     {{{0x41, 0x09, 0x10, 0x00, 10, 0, 0, 0}, kSeg0},
      {{0x00, 'M', 'i', 'r', 'e', 'l', 'o', ' '}, kSeg1},
      {{0x19, 'V', '1', '2', 0, 0, 0, 0}, {}}},
     {kOk, 0, 6, 10},
     "Mirelo V12"},
    {"seven characters end with a full segment",
     {{{0x41, 0x09, 0x10, 0x00, 7, 0, 0, 0}, kSeg0}, {{0x00, 'a', 'b', 'c', 'd', 'e', 'f', 'g'}, {}}},
     {kOk, 0, 6, 7},
     "abcdefg"},
    {"empty string", {{{0x41, 0x09, 0x10, 0x00, 0, 0, 0, 0}, {}}}, {kOk, 0, 6, 0}, ""},
    {"toggle not alternated",
     {{{0x41, 0x09, 0x10, 0x00, 20, 0, 0, 0}, kSeg0},
      {{0x00, 1, 2, 3, 4, 5, 6, 7}, kSeg1},
      {{0x00, 1, 2, 3, 4, 5, 6, 7}, {}}},
     {kAborted, 0, 6, 0},
     ""},
    {"abort between segments",
     {{{0x41, 0x09, 0x10, 0x00, 20, 0, 0, 0}, kSeg0},
      {{0x00, 1, 2, 3, 4, 5, 6, 7}, kSeg1},
      {{0x80, 0x09, 0x10, 0x00, 0x00, 0x00, 0x04, 0x05}, {}}},
     {kAborted, 0, 6, 0},
     ""},
    {"more data than announced",
     {{{0x41, 0x09, 0x10, 0x00, 5, 0, 0, 0}, kSeg0}, {{0x00, 1, 2, 3, 4, 5, 6, 7}, {}}},
     {kAborted, 0, 6, 0},
     ""},
    {"last segment before all data",
     {{{0x41, 0x09, 0x10, 0x00, 10, 0, 0, 0}, kSeg0},
      {{0x00, 1, 2, 3, 4, 5, 6, 7}, kSeg1},
      {{0x1D, 1, 0, 0, 0, 0, 0, 0}, {}}},
     {kAborted, 0, 6, 0},
     ""},
    // Late frames of earlier transfers that carry bit 0 must not end this one.
    {"late expedited answer where the last segment is due",
     {{{0x41, 0x09, 0x10, 0x00, 13, 0, 0, 0}, kSeg0},
      {{0x00, 1, 2, 3, 4, 5, 6, 7}, kSeg1},
      {{0x43, 0x18, 0x10, 0x04, 0x1E, 0xAB, 0xA1, 0x5E}, {}}},
     {kAborted, 0, 6, 0},
     ""},
    {"repeated last segment of the other toggle",
     {{{0x41, 0x09, 0x10, 0x00, 10, 0, 0, 0}, kSeg0},
      {{0x00, 1, 2, 3, 4, 5, 6, 7}, kSeg1},
      {{0x09, 'V', '1', '2', 0, 0, 0, 0}, {}}},
     {kAborted, 0, 6, 0},
     ""},
    {"short segment frame",
     {{{0x41, 0x09, 0x10, 0x00, 10, 0, 0, 0}, kSeg0}, {{0x00, 1, 2, 3}, {}}},
     {kWrongLength, 0, 6, 0},
     ""},
};

TEST(SdoClient, StringUploads) {
  for (const StringCase& t : kStrings) {
    co::SdoClient c;
    Step s = c.upload(0x1009, 0, co::sdo_size::kString);
    for (const Segment& seg : t.segments) {
      ASSERT_EQ(s.kind, Step::Send) << t.name;
      s = answer(c, seg.answer);
      if (!seg.nextRequest.empty()) {
        ASSERT_EQ(s.kind, Step::Send) << t.name;
        EXPECT_EQ(request(s), seg.nextRequest) << t.name;
      }
    }
    expectResult(s, t.expected, t.name);
    EXPECT_EQ(s.result.data, t.text) << t.name;
  }
}

TEST(SdoClient, SegmentTimeoutsAndSendFailuresKeepTheStringSize) {
  co::SdoClient c;
  c.upload(0x1009, 0, co::sdo_size::kString);
  ASSERT_EQ(answer(c, {0x41, 0x09, 0x10, 0x00, 10, 0, 0, 0}).kind, Step::Send);
  expectResult(c.onTimeout(), {kNoAnswer, 0, 6, 0}, "segment time-out");

  c.upload(0x1009, 0, co::sdo_size::kString);
  ASSERT_EQ(answer(c, {0x41, 0x09, 0x10, 0x00, 10, 0, 0, 0}).kind, Step::Send);
  expectResult(c.onSendFailed(), {kBusDead, 0, 6, 0}, "segment send failure");

  c.upload(0x1009, 0, co::sdo_size::kString);
  expectResult(c.onTimeout(), {kNoAnswer, 0, 0, 0}, "initiate time-out");
  c.upload(0x1009, 0, co::sdo_size::kString);
  expectResult(c.onSendFailed(), {kBusDead, 0, 0, 0}, "initiate send failure");
}

TEST(SdoClient, ClientWithoutClockTimesOutByElapsedTime) {
  co::SdoClient c;
  c.setTimeoutUs(100000);
  c.upload(0x1009, 0, co::sdo_size::kString);
  EXPECT_EQ(c.elapse(60000).kind, Step::Wait);
  ASSERT_EQ(answer(c, {0x41, 0x09, 0x10, 0x00, 10, 0, 0, 0}).kind, Step::Send);
  // Each request starts its own time-out.
  EXPECT_EQ(c.elapse(60000).kind, Step::Wait);
  expectResult(c.elapse(60000), {kNoAnswer, 0, 6, 0}, "elapsed");
  EXPECT_EQ(c.elapse(1000000).kind, Step::Wait) << "an idle client does not time out";
}

struct DownloadCase {
  const char* name;
  std::uint8_t size;
  std::int32_t value;
  Bytes request;
  Bytes answer;
  Expected expected;
};

const DownloadCase kDownloads[] = {
    {"u8", 1, -1, {0x2F, 0x40, 0x60, 0x00, 0xFF, 0, 0, 0}, {0x60, 0x40, 0x60, 0x00, 0, 0, 0, 0}, {kOk, 0, 0, 0}},
    {"u16", 2, 0x12345, {0x2B, 0x40, 0x60, 0x00, 0x45, 0x23, 0, 0}, {0x60, 0x40, 0x60, 0x00, 0, 0, 0, 0}, {kOk, 0, 0, 0}},
    {"u32", 4, -2, {0x23, 0x40, 0x60, 0x00, 0xFE, 0xFF, 0xFF, 0xFF}, {0x60, 0x40, 0x60, 0x00, 0, 0, 0, 0}, {kOk, 0, 0, 0}},
    {"abort", 2, 6, {0x2B, 0x40, 0x60, 0x00, 6, 0, 0, 0}, {0x80, 0x40, 0x60, 0x00, 0x02, 0x00, 0x01, 0x06}, {kAborted, 0x06010002, 0, 0}},
    {"u8 ack not zero", 1, 0, {0x2F, 0x40, 0x60, 0x00, 0, 0, 0, 0}, {0x60, 0x40, 0x60, 0x00, 0, 0, 0, 1}, {kNonZero8, 0, 0, 0}},
    {"u16 ack not zero", 2, 0, {0x2B, 0x40, 0x60, 0x00, 0, 0, 0, 0}, {0x60, 0x40, 0x60, 0x00, 0, 1, 0, 0}, {kNonZero16, 0, 0, 0}},
    {"u32 ack not zero", 4, 0, {0x23, 0x40, 0x60, 0x00, 0, 0, 0, 0}, {0x60, 0x40, 0x60, 0x00, 1, 0, 0, 0}, {kNonZero32, 0, 0, 0}},
    {"upload answer", 4, 0, {0x23, 0x40, 0x60, 0x00, 0, 0, 0, 0}, {0x43, 0x40, 0x60, 0x00, 0, 0, 0, 0}, {kUnknownHeader, 0, 0, 0}},
    {"other index", 4, 0, {0x23, 0x40, 0x60, 0x00, 0, 0, 0, 0}, {0x60, 0x41, 0x60, 0x00, 0, 0, 0, 0}, {kWrongIndex, 0, 0, 0}},
    {"other sub-index", 4, 0, {0x23, 0x40, 0x60, 0x00, 0, 0, 0, 0}, {0x60, 0x40, 0x60, 0x01, 0, 0, 0, 0}, {kWrongSubIndex, 0, 0, 0}},
    {"short frame", 4, 0, {0x23, 0x40, 0x60, 0x00, 0, 0, 0, 0}, {0x60, 0x40, 0x60, 0x00}, {kWrongLength, 0, 0, 0}},
};

TEST(SdoClient, Downloads) {
  for (const DownloadCase& t : kDownloads) {
    co::SdoClient c;
    const Step start = c.download(0x6040, 0, t.size, t.value);
    ASSERT_EQ(start.kind, Step::Send) << t.name;
    EXPECT_EQ(request(start), t.request) << t.name;
    expectResult(answer(c, t.answer), t.expected, t.name);
  }
}

TEST(SdoClient, RefusesSizesItCannotTransfer) {
  co::SdoClient c;
  for (std::uint8_t size : {0, 3, 5, 7})
    expectResult(c.upload(0x1000, 0, size), {kUnknownType, 0, 0, 0}, "upload " + std::to_string(size));
  for (std::uint8_t size : {0, 3, 6})
    expectResult(c.download(0x1000, 0, size, 0), {kUnknownType, 0, 0, 0}, "download " + std::to_string(size));
  EXPECT_FALSE(c.busy());
  EXPECT_EQ(c.onAnswer(kSeg0.data(), 8).kind, Step::Wait) << "an answer without a transfer is ignored";
}

}  // namespace
