#include "CanLogDecoder.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "Util.h"
#include "canopen/Cia301.h"

namespace {

QString hex4(std::uint32_t value) {
  return QStringLiteral("%1").arg(value & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper();
}

QString bit(std::uint32_t value, int n) { return (value >> n) & 1u ? QStringLiteral("1") : QStringLiteral("0"); }

// `count` data bytes from `offset`, little-endian; bytes beyond the eight a
// frame carries read as 0.
std::uint32_t littleEndian(const std::uint8_t* data, int offset, int count) {
  std::uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) {
    const int at = offset + i;
    value = (value << 8) | (at < 8 ? data[at] : 0u);
  }
  return value;
}

struct Label {
  int bit;
  const char* text;
};

QString labelledBits(QString text, std::uint32_t value, const Label* labels, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) text += QLatin1String(labels[i].text) + bit(value, labels[i].bit);
  return text;
}

}  // namespace

bool CanLogDecoder::isSdoRange(std::uint16_t id) {
  const int range = id & 0xF00;
  return range == 0x500 || range == 0x600;
}

QString CanLogDecoder::describeEmergencyCode(std::uint16_t errorCode) {
  struct Entry {
    std::uint16_t code;
    const char* text;
  };
  static const Entry table[] = {
      {0x0000, "NO ERROR OR RESET"},
      {0x1000, "GENERIC ERROR"},
      {0x2000, "CURRENT ERROR"},
      {0x2100, "CURRENT INPUT ERROR"},
      {0x2200, "CURRENT INSIDE ERROR"},
      {0x2300, "CURRENT OUTPUT ERROR"},
      {0x3000, "VOLTAGE ERROR"},
      {0x3100, "VOLTAGE MAIN ERROR"},
      {0x3200, "VOLTAGE INTERNAL ERROR"},
      {0x3300, "VOLTAGE OUTPUT ERROR"},
      {0x4000, "TEMPERATURE ERROR"},
      {0x4100, "TEMPERATURE AMBIENT ERROR"},
      {0x4200, "TEMPERATURE DEVICE ERROR"},
      {0x5000, "DEVICE HARDWARE ERROR"},
      {0x6000, "DEVICE SOFTWARE ERROR"},
      {0x6100, "DEVICE SOFTWARE INTERNAL ERROR"},
      {0x6200, "DEVICE SOFTWARE USER ERROR"},
      {0x6300, "DEVICE SOFTWARE DATA ERROR"},
      {0x7000, "ADDITIONAL MODULES ERROR"},
      {0x8000, "MONITORING ERROR"},
      {0x8100, "MONITORING COM ERROR"},
      {0x8110, "MONITORING COM OVERRUN ERROR"},
      {0x8120, "MONITORING COM PASSIVE ERROR"},
      {0x8130, "MONITORING COM LIFEGUARD ERROR"},
      {0x8140, "MONITORING COM BUSRECOVERY ERROR"},
      {0x8150, "MONITORING COM TX COLLISION ERROR"},
      {0x8200, "MONITORING PROT ERROR"},
      {0x8210, "MONITORING PROT PDO NOPROCLENGTH ERROR"},
      {0x8220, "MONITORING PROT PDO LENGTH ERROR"},
      {0x9000, "EXTERNAL ERROR"},
      {0x9100, "EXTERNAL DOORACCESS ERROR"},
      {0xF000, "ADDITIONAL ERROR"},
      {0xFF00, "DEVICE SPECIFIC ERROR"},
      {0xFFFF, "DEVICE SPECIFIC UNKOWN ERROR"},
  };
  const auto it = std::find_if(std::begin(table), std::end(table),
                               [errorCode](const Entry& e) { return e.code == errorCode; });
  return QLatin1String(it == std::end(table) ? "UNKOWN ERROR CODE" : it->text);
}

QString CanLogDecoder::controlwordBits(std::uint32_t value) {
  static const Label labels[] = {{8, " HAT:"}, {7, " FTR:"}, {6, " MS3:"}, {5, " MS2:"}, {4, " MS1:"},
                                 {3, " ENO:"}, {2, " QUS:"}, {1, " ENV:"}, {0, " SWO:"}};
  return labelledBits(QStringLiteral(" RES:0 RES:0 RES:0 RES:0 RES:0 RES:0 MS5:") + bit(value, 9), value,
                      labels, std::size(labels));
}

QString CanLogDecoder::statuswordBits(const QString& lead, std::uint32_t value) {
  static const Label labels[] = {{12, " MS2:"}, {11, " ILA:"}, {10, " TGR:"}, {9, " REM:"}, {8, " PLL:"},
                                 {7, " WNG:"},  {6, " SOD:"},  {5, " QUS:"},  {4, " VEN:"}, {3, " FLT:"},
                                 {2, " OEN:"},  {1, " SON:"},  {0, " RTS:"}};
  return labelledBits(lead + bit(value, 13), value, labels, std::size(labels));
}

QString CanLogDecoder::digitalInputBits(std::uint32_t value) {
  static const Label labels[] = {{20, " IN5:"}, {19, " IN4:"}, {18, " IN3:"}, {17, " IN2:"}, {16, " IN1:"}};
  return labelledBits(QStringLiteral("DIGITAL INPUT: IN6:") + bit(value, 21), value, labels, std::size(labels));
}

QString CanLogDecoder::errorRegisterBits(std::uint8_t reg) {
  static const char* const names[] = {"Gen", "Cur", "Vol", "Tem", "Com", "Dev", "Rsv", "Man"};
  QString text;
  for (int i = 0; i < 8; ++i)
    text += QLatin1Char(' ') + QLatin1String(names[i]) + QStringLiteral(": ") + bit(reg, i);
  return text;
}

QString CanLogDecoder::decodeFrame(const ConnectorFrame& frame) {
  QString line = frame.isTx ? QStringLiteral(" <- ") : QStringLiteral(" -> ");
  line += QLatin1Char('\t');
  QString time;
  if (frame.time != 0) {
    time = QString::number(frame.time);
    timeWidth_ = int(time.size()) / 5 * 5 + 5;
  }
  line += time.leftJustified(timeWidth_, QLatin1Char(' '));
  const bool extended = frame.kind & kFrameExtended;
  line += QStringLiteral("\t0x") +
          QStringLiteral("%1").arg(extended ? frame.wholeId : frame.id, extended ? 8 : 3, 16, QLatin1Char('0')).toUpper();
  line += QStringLiteral("\t  ");
  for (std::uint8_t byte : frame.data)
    line += QStringLiteral("%1 ").arg(byte, 2, 16, QLatin1Char('0')).toUpper();
  // Only standard data frames are read as the node's CANopen traffic.
  if (frame.kind & kFrameRemote)
    line += QStringLiteral("\tREMOTE REQUEST");
  else
    line += QLatin1Char('\t') + (extended ? QString() : interpret(frame));
  return line;
}

QString CanLogDecoder::interpret(const ConnectorFrame& frame) {
  if (!lookup_) return {};
  const std::uint32_t payload = littleEndian(frame.data, 4, 4);

  if (isSdoRange(frame.id)) {
    const QString index = hex4(std::uint32_t(frame.data[1] | (frame.data[2] << 8)));
    QString text = lookup_->description(index, frame.data[3]).toUpper();
    const int range = frame.id & 0xF00;
    if (range == 0x600 && index == QLatin1String("6040")) text += controlwordBits(payload);
    if (range == 0x500 && index == QLatin1String("6041"))
      text += statuswordBits(QStringLiteral(" RES:0 RES:0 MS1:"), payload);
    return text;
  }

  if (const auto emcy = lookup_->value(QStringLiteral("1014"), 0)) {
    bool isEmergency = false;
    try {
      const std::int32_t cobId = Util::ToInt(*emcy);
      isEmergency = cobId > 0 && cobId == frame.id;  // 0 is NMT, never an emergency
    } catch (const ConversionError&) {
      // a garbled COB-ID in the list marks no frame as an emergency
    }
    if (isEmergency)
      return QStringLiteral("EMERGENCY MESSAGE: \t") +
             describeEmergencyCode(std::uint16_t(frame.data[0] | (frame.data[1] << 8))) +
             QStringLiteral("\tERROR REGISTER:") + errorRegisterBits(frame.data[2]);
  }

  return interpretPdo(frame);
}

QString CanLogDecoder::interpretPdo(const ConnectorFrame& frame) {
  // Our own frames are the node's receive PDOs, received ones its transmit PDOs.
  namespace co = kestrum::canopen;
  const std::uint32_t commBase = frame.isTx ? co::pdo::kRpdoCommunication : co::pdo::kTpdoCommunication;
  const std::uint32_t mapBase = frame.isTx ? co::pdo::kRpdoMapping : co::pdo::kTpdoMapping;
  int pdo = -1;
  for (int n = 0; n < 4 && pdo < 0; ++n) {
    const auto cobId = lookup_->value(hex4(commBase + n), 1);
    if (!cobId) continue;
    try {
      const std::uint32_t v = Util::ToUInt32(*cobId);
      // Bit 31 marks the PDO unused; bit 30 (no remote request) is a flag,
      // not part of the identifier.
      if ((v & co::cob::kInvalid) == 0 && (v & ~co::cob::kNoRtr) == frame.id) pdo = n;
    } catch (const ConversionError&) {
      // a garbled COB-ID matches no frame
    }
  }
  if (pdo < 0) return {};

  const QString mapping = hex4(mapBase + pdo);
  if (Util::ToIntDef(lookup_->value(mapping, 0).value_or(QString()), 0) <= 0) return {};
  QString collected;
  int offset = 0;
  // All eight slots are looked at, whatever the count says, as the message
  // filter does.
  for (int sub = 1; sub <= 8; ++sub) {
    std::uint32_t entry = 0;
    try {
      entry = Util::ToUInt32(lookup_->value(mapping, sub).value_or(QString()));
    } catch (const ConversionError&) {
      continue;  // a garbled entry maps nothing
    }
    const std::uint32_t index = entry >> 16;
    const int length = int(entry & 0xFF) / 8;
    if (index == 0 || length >= 5) continue;
    const std::uint32_t value = littleEndian(frame.data, offset, length);
    offset += length;
    QString text;
    if (index == 0x6041)
      text = statuswordBits(QStringLiteral("STATUSWORD: RES:0 RES:0 MS1:"), value);
    else if (index == 0x60FD)
      text = digitalInputBits(value);
    if (!collected.isEmpty())
      collected += QStringLiteral("\n\t\t\t\t") + text;
    else
      collected = text;
  }
  return collected;
}

QString CanLogDecoder::columnHint(const QString& line, int column) {
  if (column < 0 || column >= line.size()) return {};
  if (!line.startsWith(QLatin1String(" <- ")) && !line.startsWith(QLatin1String(" -> "))) return {};
  // Fields are separated by tabs: direction, time, COB-ID, data, text.
  int field = 0;
  int fieldStart = 0;
  for (int i = 0; i < column; ++i)
    if (line[i] == QLatin1Char('\t')) {
      ++field;
      fieldStart = i + 1;
    }
  if (line[column] == QLatin1Char('\t')) return {};
  if (field == 1) return QStringLiteral("Microseconds since the start of the application.");
  if (field == 2) return QStringLiteral("CobID");
  if (field != 3) return {};
  const int offset = column - fieldStart - 2;  // the data start after two blanks
  if (offset < 0) return {};
  const int byte = offset / 3;
  const bool onDigit = offset % 3 < 2;
  switch (byte) {
    case 0: return onDigit ? QStringLiteral("Request Type") : QString();
    case 1: return onDigit ? QStringLiteral("CAN-ID 2") : QString();
    case 2: return onDigit ? QStringLiteral("CAN-ID 1") : QString();
    case 3: return onDigit ? QStringLiteral("SubID") : QString();
    case 4: case 5: case 6: return QStringLiteral("CAN Payload 1 to 4 Bytes");
    case 7: return onDigit ? QStringLiteral("CAN Payload 1 to 4 Bytes") : QString();
    default: return {};
  }
}

QByteArray CanLogDecoder::candumpLine(const ConnectorFrame& frame, bool remote, std::uint64_t timeUs,
                                      const char* channel) {
  // candump writes a 29-bit identifier with eight digits, which is how
  // readers tell it from an 11-bit one.
  const bool extended = frame.kind & kFrameExtended;
  char head[64];
  std::snprintf(head, sizeof head, extended ? "(%010llu.%06llu) %s %08X#" : "(%010llu.%06llu) %s %03X#",
                static_cast<unsigned long long>(timeUs / 1000000u),
                static_cast<unsigned long long>(timeUs % 1000000u), channel,
                extended ? unsigned(frame.wholeId & 0x1FFFFFFF) : unsigned(frame.id & 0x7FF));
  QByteArray line(head);
  if (remote || (frame.kind & kFrameRemote)) return line + 'R';
  const int length = std::min<int>(frame.dlc, 8);
  return line + QByteArray(reinterpret_cast<const char*>(frame.data), length).toHex().toUpper();
}
