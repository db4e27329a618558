#pragma once
// The scope's data, free of widgets: per-channel sample history, the
// single-shot trigger, min/max decimation for drawing and the CSV table.
// A unit test hands it samples and times; the window only shows it.

#include <QByteArray>
#include <QPointF>
#include <QString>
#include <QStringList>
#include <QVector>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace scope {

/// One value of a channel at a time (seconds on the scope's clock).
struct Sample {
  double t = 0;
  double v = 0;
};

/// The history of one channel: the samples of the last `keepSeconds`, oldest
/// first, in a circular buffer that grows with the rate actually received
/// (doubling, up to `maxSamples`) instead of being sized for the highest rate
/// in advance. Times never go backwards: a sample older than the newest is
/// stored at the newest's time.
class SampleHistory {
 public:
  explicit SampleHistory(double keepSeconds = 60.0, std::size_t maxSamples = std::size_t(1) << 20);

  void push(double t, double v);
  void clear();
  std::size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  /// Sample `i`, 0 the oldest.
  const Sample& at(std::size_t i) const { return buffer_[(head_ + i) & (buffer_.size() - 1)]; }
  const Sample& newest() const { return at(size_ - 1); }
  /// Index of the first sample at or after `t` (size() when none).
  std::size_t lowerBound(double t) const;
  /// The value in force at `t`: the last sample at or before it.
  std::optional<double> valueAt(double t) const;
  /// Bytes the buffer holds (allocated, not only used).
  std::size_t capacityBytes() const { return buffer_.capacity() * sizeof(Sample); }

 private:
  void grow();
  std::vector<Sample> buffer_;  ///< power-of-two size
  std::size_t head_ = 0;
  std::size_t size_ = 0;
  double keepSeconds_;
  std::size_t maxSamples_;
};

/// Appends the points that draw `history` between `t0` and `t1` on
/// `columns` pixel columns: per column its first, lowest, highest and last
/// sample in time order (so a 60 s trace at 1 kHz costs a few points per
/// pixel, and no spike between two points is lost), plus the sample before
/// `t0` and the one after `t1` so that lines run to the edges. `map` turns a
/// sample value into the plotted y. Data with fewer samples than about two
/// per column are drawn as they are.
template <typename Map>
void decimate(const SampleHistory& history, double t0, double t1, int columns, Map map, QVector<QPointF>& out);

/// The single-shot trigger. Armed, it watches the samples of one channel:
/// a rising edge fires when a value reaches `level` from below, a falling
/// edge when it drops to it from above (a digital trace's bit is 0 or 1, its
/// level 0.5). Once fired, the capture ends `postSeconds` after the trigger
/// time; the window then freezes what the capture shows.
class Trigger {
 public:
  enum class Edge { Rising, Falling };
  enum class State { Idle, Armed, Fired, Done };

  void arm(int channel, Edge edge, double level, double armedAt, double postSeconds);
  void disarm() { state_ = State::Idle; }
  /// A new sample of `channel` (value as plotted before scaling) after
  /// `previous`; returns true when this sample fired the trigger.
  bool feed(int channel, double t, double value, std::optional<double> previous);
  /// Moves Fired to Done once the clock has passed the capture's end.
  bool complete(double now);

  State state() const { return state_; }
  double triggerTime() const { return fireTime_; }
  double captureEnd() const { return fireTime_ + postSeconds_; }
  int channel() const { return channel_; }

 private:
  State state_ = State::Idle;
  int channel_ = -1;
  Edge edge_ = Edge::Rising;
  double level_ = 0;
  double armedAt_ = 0;
  double postSeconds_ = 0;
  double fireTime_ = 0;
};

/// Turns the adapter's 32-bit microsecond time stamps into the scope's clock
/// (seconds, steady): the first stamp is tied to the clock's reading, later
/// ones keep their spacing (across the counter's wrap). A stamp that lands
/// more than `tolerance` away from the clock (another adapter, a reset
/// counter) ties again; a missing stamp (0) takes the clock's reading.
class StampClock {
 public:
  explicit StampClock(double tolerance = 0.5) : tolerance_(tolerance) {}
  double toSeconds(std::uint32_t stampUs, double now);
  void reset() { anchored_ = false; }

 private:
  double tolerance_;
  bool anchored_ = false;
  std::uint32_t last_ = 0;
  std::uint64_t wraps_ = 0;
  double offset_ = 0;
};

/// One column of the CSV table.
struct CsvColumn {
  QString name;
  const SampleHistory* history = nullptr;
  /// Turns a stored value into the exported one (the scale, or the bit).
  double scale = 1.0;
  int bit = -1;  ///< >= 0: the column holds this bit of the value, 0 or 1
};

/// The value a channel shows for a stored value: the bit (0/1) for a
/// digital trace, else the value times the scale.
double shownValue(double stored, double scale, int bit);

/// The samples between `t0` and `t1` as CSV: the header "time_s,<name>,..."
/// then one line per distinct sample time in ascending order (seconds from
/// `origin`, as the time axis shows them, six decimals); a channel without a sample at that time has an empty cell.
/// Samples of one PDO frame share a time, so they share a line. Names with a
/// comma or a quote are quoted.
QByteArray toCsv(const std::vector<CsvColumn>& columns, double t0, double t1, double origin = 0);

/// A CSV table read back: column names, then rows of time and cells
/// (nullopt for an empty cell). For tests and for a user's own check.
struct CsvTable {
  QStringList names;
  std::vector<double> times;
  std::vector<std::vector<std::optional<double>>> cells;
};
/// Parses what toCsv writes; nullopt for text that is not such a table.
std::optional<CsvTable> parseCsv(const QByteArray& text);

// ---------------------------------------------------------------------------

template <typename Map>
void decimate(const SampleHistory& history, double t0, double t1, int columns, Map map, QVector<QPointF>& out) {
  if (history.empty() || t1 <= t0 || columns <= 0) return;
  std::size_t first = history.lowerBound(t0);
  if (first > 0) --first;  // the line enters from the left edge
  std::size_t last = history.lowerBound(t1);
  if (last >= history.size()) last = history.size() - 1;  // the line leaves at the right edge
  if (first > last) return;
  const std::size_t count = last - first + 1;
  if (count <= std::size_t(columns) * 4) {
    for (std::size_t i = first; i <= last; ++i) out.append(QPointF(history.at(i).t, map(history.at(i).v)));
    return;
  }
  const double perSecond = columns / (t1 - t0);
  std::size_t i = first;
  while (i <= last) {
    // The samples of this column: first, lowest, highest, last. The column's
    // end is compared as a time, so only its first sample costs a division.
    const double columnEnd = t0 + (std::floor((history.at(i).t - t0) * perSecond) + 1) / perSecond;
    std::size_t lo = i, hi = i, end = i;
    double low = history.at(i).v, high = low;
    while (end < last) {
      const Sample& next = history.at(end + 1);
      if (next.t >= columnEnd) break;
      ++end;
      if (next.v < low) {
        low = next.v;
        lo = end;
      }
      if (next.v > high) {
        high = next.v;
        hi = end;
      }
    }
    const std::size_t picks[4] = {i, lo < hi ? lo : hi, lo < hi ? hi : lo, end};
    std::size_t previous = std::size_t(-1);
    for (std::size_t p : picks) {
      if (p == previous) continue;
      out.append(QPointF(history.at(p).t, map(history.at(p).v)));
      previous = p;
    }
    i = end + 1;
  }
}

}  // namespace scope
