#pragma once
#include <QByteArray>
#include <QString>

#include <cstdint>
#include <optional>

#include "ConnectorFrame.h"

/// Where the CAN log takes object descriptions and values from (the SDO
/// list). Only values already in the list are used; decoding never causes
/// bus traffic.
class CanLogLookup {
 public:
  virtual ~CanLogLookup() = default;
  /// The object's description; empty when the object is not in the list.
  virtual QString description(const QString& id, std::int32_t subIndex) = 0;
  /// The object's value text; nothing when the object is not in the list.
  virtual std::optional<QString> value(const QString& id, std::int32_t subIndex) = 0;
};

/// Turns one frame into the CAN log's line:
///   direction, tab, time (padded to the time column), "\t0x" COB-ID,
///   "\t  " all eight data bytes, tab, interpretation.
/// The interpretation names SDO objects (with the bits of controlword writes
/// and status word answers), emergency messages (error code and register)
/// and the status word and digital inputs inside transmit or receive PDOs,
/// all from the lookup's current values.
///
/// The time column's width follows the last non-zero time stamp decoded, so
/// the decoder is stateful: lines decoded in a different order may differ in
/// their padding, as the log itself shows them.
class CanLogDecoder {
 public:
  explicit CanLogDecoder(CanLogLookup* lookup = nullptr) : lookup_(lookup) {}

  void setLookup(CanLogLookup* lookup) { lookup_ = lookup; }
  QString decodeFrame(const ConnectorFrame& frame);

  /// Width of the time column in characters (initially 10).
  int timeWidth() const { return timeWidth_; }

  static QString describeEmergencyCode(std::uint16_t errorCode);
  /// Whether an identifier is decoded and coloured as SDO traffic: every
  /// identifier of 0x500 to 0x6FF (the receive PDO 4 range included).
  static bool isSdoRange(std::uint16_t id);
  /// " RES:0 ... SWO:x" for a controlword value.
  static QString controlwordBits(std::uint32_t value);
  /// `lead` followed by the status word bits from MS1 (bit 13) down to RTS.
  static QString statuswordBits(const QString& lead, std::uint32_t value);
  /// "DIGITAL INPUT: IN6:x ... IN1:x" from bits 21 to 16.
  static QString digitalInputBits(std::uint32_t value);
  /// " Gen: x Cur: x ... Man: x" for an error register byte.
  static QString errorRegisterBits(std::uint8_t reg);

  /// The hint for the character at `column` of a log line: the time column,
  /// the COB-ID, and the SDO bytes of the data column (request type, the two
  /// index bytes, subindex, payload). Empty elsewhere.
  static QString columnHint(const QString& line, int column);

  /// One line of the candump log format, without line break:
  /// "(SECONDS.MICROSECONDS) CHANNEL ID#DATA", "ID#R" for remote frames.
  static QByteArray candumpLine(const ConnectorFrame& frame, bool remote, std::uint64_t timeUs,
                                const char* channel = "can0");

 private:
  QString interpret(const ConnectorFrame& frame);
  QString interpretPdo(const ConnectorFrame& frame);

  CanLogLookup* lookup_;
  int timeWidth_ = 10;
};
