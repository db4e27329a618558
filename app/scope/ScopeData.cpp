#include "ScopeData.h"

#include <algorithm>
#include <limits>

namespace scope {

namespace {
constexpr std::size_t kInitialSamples = 1024;
}

SampleHistory::SampleHistory(double keepSeconds, std::size_t maxSamples)
    : buffer_(kInitialSamples), keepSeconds_(keepSeconds), maxSamples_(std::max(maxSamples, kInitialSamples)) {}

void SampleHistory::push(double t, double v) {
  if (size_ > 0 && t < newest().t) t = newest().t;
  if (size_ == buffer_.size()) {
    // Full: samples older than the kept time make room first; the buffer
    // grows only while everything in it is still wanted.
    if (at(0).t < t - keepSeconds_ || buffer_.size() * 2 > maxSamples_) {
      head_ = (head_ + 1) & (buffer_.size() - 1);
      --size_;
    } else {
      grow();
    }
  }
  buffer_[(head_ + size_) & (buffer_.size() - 1)] = Sample{t, v};
  ++size_;
}

void SampleHistory::grow() {
  std::vector<Sample> bigger(buffer_.size() * 2);
  for (std::size_t i = 0; i < size_; ++i) bigger[i] = at(i);
  buffer_.swap(bigger);
  head_ = 0;
}

void SampleHistory::clear() {
  head_ = 0;
  size_ = 0;
}

std::size_t SampleHistory::lowerBound(double t) const {
  std::size_t lo = 0, hi = size_;
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (at(mid).t < t)
      lo = mid + 1;
    else
      hi = mid;
  }
  return lo;
}

std::optional<double> SampleHistory::valueAt(double t) const {
  std::size_t lo = 0, hi = size_;  // first sample after t
  while (lo < hi) {
    const std::size_t mid = lo + (hi - lo) / 2;
    if (at(mid).t <= t)
      lo = mid + 1;
    else
      hi = mid;
  }
  if (lo == 0) return std::nullopt;
  return at(lo - 1).v;
}

// ---------------------------------------------------------------------------

void Trigger::arm(int channel, Edge edge, double level, double armedAt, double postSeconds) {
  state_ = State::Armed;
  channel_ = channel;
  edge_ = edge;
  level_ = level;
  armedAt_ = armedAt;
  postSeconds_ = std::max(0.0, postSeconds);
  fireTime_ = 0;
}

bool Trigger::feed(int channel, double t, double value, std::optional<double> previous) {
  if (state_ != State::Armed || channel != channel_ || t < armedAt_ || !previous) return false;
  const bool crossed = edge_ == Edge::Rising ? *previous < level_ && value >= level_
                                             : *previous > level_ && value <= level_;
  if (!crossed) return false;
  state_ = State::Fired;
  fireTime_ = t;
  return true;
}

bool Trigger::complete(double now) {
  if (state_ != State::Fired || now < captureEnd()) return false;
  state_ = State::Done;
  return true;
}

// ---------------------------------------------------------------------------

double StampClock::toSeconds(std::uint32_t stampUs, double now) {
  if (stampUs == 0) return now;
  if (anchored_) {
    // Only a jump back by more than half the counter's range is its wrap;
    // a frame a little out of order is not.
    if (stampUs < last_ && last_ - stampUs > 0x80000000u) ++wraps_;
    last_ = stampUs;
    const double t = offset_ + double((wraps_ << 32) + stampUs) / 1e6;
    if (std::abs(t - now) <= tolerance_) return t;
  }
  anchored_ = true;
  last_ = stampUs;
  wraps_ = 0;
  offset_ = now - double(stampUs) / 1e6;
  return now;
}

// ---------------------------------------------------------------------------

double shownValue(double stored, double scale, int bit) {
  if (bit >= 0) return double((std::int64_t(stored) >> bit) & 1);
  return stored * scale;
}

namespace {

QByteArray csvField(const QString& text) {
  QByteArray bytes = text.toUtf8();
  if (!bytes.contains(',') && !bytes.contains('"') && !bytes.contains('\n')) return bytes;
  bytes.replace("\"", "\"\"");
  return '"' + bytes + '"';
}

/// Splits one CSV line into fields, honouring quotes; nullopt for an open quote.
std::optional<QStringList> splitLine(const QByteArray& line) {
  QStringList fields;
  QByteArray field;
  bool quoted = false;
  for (int i = 0; i < line.size(); ++i) {
    const char c = line.at(i);
    if (quoted) {
      if (c == '"' && i + 1 < line.size() && line.at(i + 1) == '"') {
        field += '"';
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        field += c;
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      fields << QString::fromUtf8(field);
      field.clear();
    } else {
      field += c;
    }
  }
  if (quoted) return std::nullopt;
  fields << QString::fromUtf8(field);
  return fields;
}

}  // namespace

QByteArray toCsv(const std::vector<CsvColumn>& columns, double t0, double t1, double origin) {
  QByteArray out = "time_s";
  for (const CsvColumn& c : columns) out += ',' + csvField(c.name);
  out += '\n';
  // A merge of the columns' samples by time.
  std::vector<std::size_t> next(columns.size()), end(columns.size());
  for (std::size_t c = 0; c < columns.size(); ++c) {
    next[c] = columns[c].history ? columns[c].history->lowerBound(t0) : 0;
    end[c] = columns[c].history ? columns[c].history->lowerBound(std::nextafter(t1, std::numeric_limits<double>::max())) : 0;
  }
  for (;;) {
    double t = std::numeric_limits<double>::infinity();
    for (std::size_t c = 0; c < columns.size(); ++c)
      if (next[c] < end[c]) t = std::min(t, columns[c].history->at(next[c]).t);
    if (t == std::numeric_limits<double>::infinity()) break;
    QByteArray line = QByteArray::number(t - origin, 'f', 6);
    for (std::size_t c = 0; c < columns.size(); ++c) {
      line += ',';
      // Equal times can repeat within a column (a clamped late sample): each
      // takes a line of its own.
      if (next[c] < end[c] && columns[c].history->at(next[c]).t == t) {
        const CsvColumn& col = columns[c];
        line += QByteArray::number(shownValue(col.history->at(next[c]).v, col.scale, col.bit), 'g', 12);
        ++next[c];
      }
    }
    out += line + '\n';
  }
  return out;
}

std::optional<CsvTable> parseCsv(const QByteArray& text) {
  QList<QByteArray> lines = text.split('\n');
  if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
  if (lines.isEmpty()) return std::nullopt;
  const auto header = splitLine(lines.first());
  if (!header || header->isEmpty() || header->first() != QLatin1String("time_s")) return std::nullopt;
  CsvTable table;
  table.names = header->mid(1);
  for (int i = 1; i < lines.size(); ++i) {
    const auto fields = splitLine(lines.at(i));
    if (!fields || fields->size() != header->size()) return std::nullopt;
    bool ok = false;
    table.times.push_back(fields->first().toDouble(&ok));
    if (!ok) return std::nullopt;
    std::vector<std::optional<double>> row;
    for (int f = 1; f < fields->size(); ++f) {
      if (fields->at(f).isEmpty()) {
        row.push_back(std::nullopt);
        continue;
      }
      row.push_back(fields->at(f).toDouble(&ok));
      if (!ok) return std::nullopt;
    }
    table.cells.push_back(std::move(row));
  }
  return table;
}

}  // namespace scope
