// The scope's data core: what a trace keeps, how it is thinned for drawing,
// when the trigger fires, how adapter time stamps become scope time, and the
// CSV table read back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "ScopeData.h"

namespace {

using scope::SampleHistory;
using scope::Trigger;

TEST(SampleHistory, KeepsTheLastMinuteAtTheRateReceived) {
  SampleHistory h(60.0);
  for (int i = 0; i < 70000; ++i) h.push(i / 1000.0, i);  // 70 s at 1 kHz
  // The buffer grew to hold a minute, then dropped the oldest samples.
  EXPECT_GE(h.size(), 60000u);
  EXPECT_LE(h.at(0).t, 70.0 - 60.0 + 0.001);
  EXPECT_EQ(h.newest().v, 69999);
  for (std::size_t i = 1; i < h.size(); ++i) ASSERT_EQ(h.at(i).v, h.at(i - 1).v + 1) << i;
  EXPECT_LE(h.capacityBytes(), 65536u * sizeof(scope::Sample));
  EXPECT_EQ(*h.valueAt(65.0005), 65000);
  EXPECT_FALSE(h.valueAt(1.0));

  // A cap on the samples bounds memory whatever the rate.
  SampleHistory capped(60.0, 4096);
  for (int i = 0; i < 100000; ++i) capped.push(i / 1e5, i);
  EXPECT_EQ(capped.size(), 4096u);
  EXPECT_EQ(capped.newest().v, 99999);

  // A late sample never puts time backwards.
  SampleHistory late;
  late.push(2.0, 1);
  late.push(1.5, 2);
  EXPECT_EQ(late.newest().t, 2.0);
  EXPECT_EQ(late.lowerBound(2.0), 0u);
}

TEST(Decimation, ThinsLongTracesWithoutLosingSpikes) {
  SampleHistory h;
  for (int i = 0; i < 60000; ++i) h.push(i / 1000.0, 0);
  // Single-sample spikes, up and down, in the middle of columns.
  SampleHistory spiky;
  for (int i = 0; i < 60000; ++i) spiky.push(i / 1000.0, i == 31234 ? 1000 : i == 45678 ? -500 : std::sin(i / 100.0));
  QVector<QPointF> points;
  scope::decimate(spiky, 0, 60, 1000, [](double v) { return v; }, points);
  EXPECT_LE(points.size(), 4 * 1000 + 2);
  EXPECT_GE(points.size(), 1000);
  const auto [lo, hi] = std::minmax_element(points.begin(), points.end(),
                                            [](const QPointF& a, const QPointF& b) { return a.y() < b.y(); });
  EXPECT_EQ(hi->y(), 1000);
  EXPECT_DOUBLE_EQ(hi->x(), 31.234);
  EXPECT_EQ(lo->y(), -500);
  EXPECT_TRUE(std::is_sorted(points.begin(), points.end(), [](const QPointF& a, const QPointF& b) { return a.x() < b.x(); }));

  // A short view draws every sample, plus one beyond each edge.
  points.clear();
  scope::decimate(h, 10.0005, 10.1005, 1000, [](double v) { return v + 1; }, points);
  ASSERT_EQ(points.size(), 100 + 2);
  EXPECT_LT(points.first().x(), 10.0005);
  EXPECT_GT(points.last().x(), 10.1005);
  EXPECT_EQ(points.first().y(), 1);
}

TEST(Trigger, FiresOnTheEdgeAskedForOnly) {
  struct Case {
    const char* what;
    Trigger::Edge edge;
    double level;
    std::vector<double> values;  // channel 0, one per ms from t = 1.000 (armed at 1.000)
    int firesAt;                 // index of the sample that fires, -1 none
  };
  const Case cases[] = {
      {"rising bit", Trigger::Edge::Rising, 0.5, {0, 0, 1, 1, 0, 1}, 2},
      {"falling bit", Trigger::Edge::Falling, 0.5, {0, 1, 1, 0, 1}, 3},
      {"rising level reached exactly", Trigger::Edge::Rising, 100, {50, 99, 100, 150}, 2},
      {"falling level", Trigger::Edge::Falling, -10, {0, -5, -9, -11}, 3},
      {"above from the start is no edge", Trigger::Edge::Rising, 10, {20, 30, 40}, -1},
      {"rising asked, only falling seen", Trigger::Edge::Rising, 0.5, {1, 0, 0}, -1},
  };
  for (const Case& c : cases) {
    Trigger trigger;
    trigger.arm(0, c.edge, c.level, 1.0, 0.5);
    std::optional<double> previous;
    int fired = -1;
    for (std::size_t i = 0; i < c.values.size(); ++i) {
      if (trigger.feed(0, 1.0 + i / 1000.0, c.values[i], previous) && fired < 0) fired = int(i);
      previous = c.values[i];
    }
    EXPECT_EQ(fired, c.firesAt) << c.what;
    if (fired >= 0) {
      EXPECT_DOUBLE_EQ(trigger.triggerTime(), 1.0 + fired / 1000.0) << c.what;
    }
  }

  // Samples of another channel, or older than the arming, do not fire it.
  Trigger trigger;
  trigger.arm(1, Trigger::Edge::Rising, 0.5, 2.0, 0.5);
  EXPECT_FALSE(trigger.feed(0, 2.1, 1, 0.0));
  EXPECT_FALSE(trigger.feed(1, 1.9, 1, 0.0));
  EXPECT_TRUE(trigger.feed(1, 2.2, 1, 0.0));
  // The capture ends the post-trigger time after the trigger.
  EXPECT_FALSE(trigger.complete(2.69));
  EXPECT_EQ(trigger.state(), Trigger::State::Fired);
  EXPECT_TRUE(trigger.complete(2.7));
  EXPECT_EQ(trigger.state(), Trigger::State::Done);
}

TEST(StampClock, KeepsTheAdaptersSpacingAcrossItsWrap) {
  scope::StampClock clock;
  EXPECT_DOUBLE_EQ(clock.toSeconds(0, 3.0), 3.0);  // no stamp: the clock's reading
  const std::uint32_t first = 0xFFFFFF00u;
  EXPECT_DOUBLE_EQ(clock.toSeconds(first, 10.0), 10.0);
  // 0x200 us later, past the counter's wrap, read a little late.
  EXPECT_NEAR(clock.toSeconds(0x100u, 10.02), 10.0 + 0x200 / 1e6, 1e-9);
  // A frame slightly out of order is not a wrap.
  EXPECT_NEAR(clock.toSeconds(0x80u, 10.02), 10.0 + 0x180 / 1e6, 1e-9);
  // A counter that restarted far away ties to the clock again.
  EXPECT_DOUBLE_EQ(clock.toSeconds(5000000u, 11.0), 11.0);
  EXPECT_NEAR(clock.toSeconds(5001000u, 11.3), 11.001, 1e-9);
}

TEST(Csv, ReadsBackWhatWasShown) {
  SampleHistory status, position, polled;
  for (int i = 0; i < 10; ++i) {
    status.push(1.0 + i * 0.001, i >= 4 ? 0x1237 : 0x0237);  // bit 12 rises at the 5th frame
    position.push(1.0 + i * 0.001, -100 + 25 * i);            // same frames as the statusword
  }
  polled.push(1.0025, 7);
  polled.push(1.0125, 8);  // after the span exported
  const std::vector<scope::CsvColumn> columns = {
      {QStringLiteral("Statusword bit 12"), &status, 1.0, 12},
      {QStringLiteral("Position, \"actual\""), &position, 0.5, -1},
      {QStringLiteral("Velocity"), &polled, 1.0, -1},
  };
  const QByteArray csv = scope::toCsv(columns, 1.002, 1.008);
  EXPECT_TRUE(csv.startsWith("time_s,Statusword bit 12,\"Position, \"\"actual\"\"\",Velocity\n")) << csv.constData();
  const auto table = scope::parseCsv(csv);
  ASSERT_TRUE(table);
  EXPECT_EQ(table->names, QStringList({"Statusword bit 12", "Position, \"actual\"", "Velocity"}));
  // The frames from 1.002 to 1.008 inclusive and the poll between them, in time order.
  ASSERT_EQ(table->times.size(), 8u);
  EXPECT_TRUE(std::is_sorted(table->times.begin(), table->times.end()));
  EXPECT_DOUBLE_EQ(table->times.front(), 1.002);
  EXPECT_DOUBLE_EQ(table->times.back(), 1.008);
  const auto& pollRow = table->cells[1];
  EXPECT_DOUBLE_EQ(table->times[1], 1.0025);
  EXPECT_FALSE(pollRow[0]);
  EXPECT_FALSE(pollRow[1]);
  EXPECT_EQ(pollRow[2], 7);
  EXPECT_EQ(table->cells[0][0], 0);      // bit 12 at 1.002
  EXPECT_EQ(table->cells[0][1], -25);    // (-100 + 50) * 0.5
  EXPECT_EQ(table->cells[3][0], 1);      // 1.004: the bit rose
  EXPECT_FALSE(table->cells[3][2]);

  EXPECT_FALSE(scope::parseCsv("position\n1,2\n"));
  EXPECT_FALSE(scope::parseCsv("time_s,a\n1,2,3\n"));
  EXPECT_FALSE(scope::parseCsv("time_s,a\nx,2\n"));
}

}  // namespace
