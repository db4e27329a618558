#include "Util.h"

#include <QLoggingCategory>
#include <QTime>

// Debug lines are off unless QT_LOGGING_RULES turns them on ("kestrum.*.debug=true").
Q_LOGGING_CATEGORY(lcUtil, "kestrum.util", QtInfoMsg)

ConversionError::ConversionError(const QString& text)
    : std::runtime_error((text + QStringLiteral(" is not a valid integer value!")).toStdString()) {}

std::int32_t Util::ToInt(const QString& text) {
  if (text.isEmpty()) throw ConversionError(text);
  QString rest = text;
  const bool negative = rest.startsWith(QLatin1Char('-'));
  if (negative) rest.remove(0, 1);
  const bool hex = rest.startsWith(QLatin1String("0x"));
  if (hex) rest.remove(0, 2);
  if (negative && hex) throw ConversionError(text);

  // Both bases accumulate modulo 2^32, so over-long inputs wrap instead of
  // overflowing: "0x180000000" keeps the pattern 0x80000000.
  std::uint32_t value = 0;
  if (hex) {
    const QString upper = rest.toUpper();
    if (upper.isEmpty()) throw ConversionError(rest);
    for (QChar c : upper) {
      const char ch = c.toLatin1();
      std::uint32_t digit;
      if (ch >= '0' && ch <= '9')
        digit = std::uint32_t(ch - '0');
      else if (ch >= 'A' && ch <= 'F')
        digit = std::uint32_t(ch - 'A' + 10);
      else
        throw ConversionError(rest);
      value = value * 16u + digit;
    }
    return static_cast<std::int32_t>(value);
  }
  if (rest.isEmpty()) throw ConversionError(rest);
  for (QChar c : rest) {
    const char ch = c.toLatin1();
    if (ch < '0' || ch > '9') throw ConversionError(rest);
    value = value * 10u + std::uint32_t(ch - '0');
  }
  if (negative) value = 0u - value;
  return static_cast<std::int32_t>(value);
}

std::int32_t Util::ToIntDef(const QString& text, std::int32_t def) {
  if (text.isEmpty() || text == QLatin1String("0")) return def;
  try {
    return ToInt(text);
  } catch (const ConversionError&) {
    qCDebug(lcUtil) << "Error in Util::ToIntDef use defaultValue!";
    return def;
  }
}

std::uint32_t Util::ToUInt32(const QString& text) {
  if (text.size() < 10) return static_cast<std::uint32_t>(ToIntDef(text, 0));

  QString rest = text;
  const bool hex = text.at(1) == QLatin1Char('x');
  if (hex) rest.remove(0, 2);
  const int n = int(rest.size());
  const int h = n / 2;
  const QString high = rest.left(h);
  const QString low = rest.mid(h);

  // Unsigned 64-bit arithmetic wraps where signed would overflow (very long
  // texts); the low 32 bits, the only ones kept, are the same.
  std::uint64_t value;
  if (hex) {
    const std::uint64_t hi = std::uint32_t(ToInt(QStringLiteral("0x") + high));
    const std::uint64_t lo = std::uint32_t(ToInt(QStringLiteral("0x") + low));
    const int shift = 4 * (n - h);
    value = (shift < 64 ? hi << shift : 0) + lo;
  } else {
    std::uint64_t scale = 1;
    for (int i = 0; i < n - h; ++i) scale *= 10;
    const std::uint64_t hi = std::uint64_t(std::int64_t(ToInt(high))) * scale;
    const std::uint64_t lo = std::uint64_t(std::int64_t(ToInt(low)));
    value = text.startsWith(QLatin1Char('-')) ? hi - lo : hi + lo;
  }
  return static_cast<std::uint32_t>(value);
}

bool Util::IsHexChar(QChar c) { return HexDigitValue(c) >= 0; }

std::int32_t Util::HexDigitValue(QChar c) {
  const char ch = c.toLatin1();
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  if (ch == 'x' || ch == 'X') return 0;
  return -1;
}

std::int32_t Util::ParseHexAfterX(const QString& text) {
  if (text == QLatin1String("0")) return 0;
  QString t = text.trimmed().toLower();
  const auto x = t.indexOf(QLatin1Char('x'));
  if (x >= 0) t = t.mid(x + 1);
  std::uint32_t value = 0;
  for (QChar c : t) {
    if (!IsHexChar(c)) break;
    value = value * 16u + std::uint32_t(HexDigitValue(c));
  }
  return static_cast<std::int32_t>(value);
}

QString Util::TimeOfDayText() { return TimeOfDayText(QTime::currentTime()); }

QString Util::TimeOfDayText(const QTime& time) {
  return QString::asprintf("%02d:%02d:%02d", time.hour(), time.minute(), time.second());
}
