#pragma once
#include <QString>
#include <QTime>

#include <cstdint>
#include <stdexcept>

/// Raised when a text is not a number by the application's rules; the
/// message is the offending text followed by " is not a valid integer value!".
class ConversionError : public std::runtime_error {
 public:
  explicit ConversionError(const QString& text);
  QString text() const { return QString::fromStdString(what()); }
};

/// The one set of rules by which every text of the application (EDS files,
/// fields, list files) becomes a 32-bit number: decimal or "0x" hexadecimal
/// (lower-case x), an optional leading "-" for decimal, nothing trimmed.
class Util {
 public:
  /// Decimal or "0x" hexadecimal; wraps to 32 bits. Throws ConversionError.
  static std::int32_t ToInt(const QString& text);
  /// ToInt, but `def` for "", for "0" and on a conversion error (logged).
  static std::int32_t ToIntDef(const QString& text, std::int32_t def);
  /// As ToIntDef(text, 0) for short texts; texts of ten or more characters
  /// are converted in two halves so that values above 0x7FFFFFFF and
  /// "-2147483648" keep their bit pattern. Throws for bad long texts.
  static std::uint32_t ToUInt32(const QString& text);
  /// Hexadecimal digits after the first "x" (lenient: stops at the first
  /// non-digit, never throws).
  static std::int32_t ParseHexAfterX(const QString& text);
  static bool IsHexChar(QChar c);
  /// 0..15; "x"/"X" count as 0; -1 for other characters.
  static std::int32_t HexDigitValue(QChar c);
  /// Local time "HH:MM:SS".
  static QString TimeOfDayText();
  static QString TimeOfDayText(const QTime& time);
};
