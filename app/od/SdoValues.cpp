#include "SdoValues.h"

#include <QStringList>

#include "Util.h"
#include "canopen/Cia301.h"
#include "canopen/SdoClient.h"

namespace sdovalues {

namespace size = kestrum::canopen::sdo_size;

std::uint8_t transferSize(const QString& type) {
  if (type == QLatin1String("bool") || type == QLatin1String("u8") || type == QLatin1String("s8")) return size::kU8;
  if (type == QLatin1String("u16") || type == QLatin1String("s16")) return size::kU16;
  if (type == QLatin1String("u32") || type == QLatin1String("s32")) return size::kU32;
  return 0;
}

QString formatRead(const QString& type, std::int32_t value) {
  if (type == QLatin1String("s8")) return QString::number(std::int8_t(value & 0xFF));
  if (type == QLatin1String("u16")) return QString::number(std::uint16_t(value & 0xFFFF));
  if (type == QLatin1String("s16")) return QString::number(std::int16_t(value & 0xFFFF));
  if (type == QLatin1String("u32")) return QString::number(std::uint32_t(value));
  if (type == QLatin1String("s32")) return QString::number(value);
  return QString::number(std::uint8_t(value & 0xFF));  // "bool", "u8"
}

std::optional<Encoded> encodeWrite(const QString& type, const QString& text) {
  if (type == QLatin1String("u8") || type == QLatin1String("s8")) return Encoded{Util::ToInt(text) & 0xFF, size::kU8};
  if (type == QLatin1String("u16") || type == QLatin1String("s16"))
    return Encoded{Util::ToInt(text) & 0xFFFF, size::kU16};
  if (type == QLatin1String("u32") || type == QLatin1String("s32")) {
    // Short texts are checked strictly: a mistyped value must not go to the
    // node as 0. Long ones need the two-halves conversion, which is strict.
    const std::uint32_t v = text.size() < 10 ? std::uint32_t(Util::ToInt(text)) : Util::ToUInt32(text);
    return Encoded{std::int32_t(v), size::kU32};
  }
  if (type == QLatin1String("bool")) {
    // Anything but 0 or 1 is refused before sending, like any other text
    // that is not a value of the type.
    const std::int32_t v = Util::ToInt(text);
    if (v != 0 && v != 1) throw ConversionError(text);
    return Encoded{v, size::kU8};
  }
  return std::nullopt;
}

QString rangeProblem(const QString& type, const QString& text) {
  struct Range {
    const char* type;
    qint64 min;
    qint64 max;
    qint64 hexMax;  ///< a hexadecimal text may give the bit pattern of a negative value
  };
  static const Range kRanges[] = {
      {"bool", 0, 1, 1},
      {"u8", 0, 0xFF, 0xFF},
      {"s8", -0x80, 0x7F, 0xFF},
      {"u16", 0, 0xFFFF, 0xFFFF},
      {"s16", -0x8000, 0x7FFF, 0xFFFF},
      {"u32", 0, 0xFFFFFFFFLL, 0xFFFFFFFFLL},
      {"s32", -0x80000000LL, 0x7FFFFFFF, 0xFFFFFFFFLL},
  };
  for (const Range& r : kRanges) {
    if (type != QLatin1String(r.type)) continue;
    // The application's number rules (decimal, or "0x" with a lower-case x),
    // but without wrapping, so that 300 is not taken as the 44 it would send.
    bool ok = false;
    const bool hex = text.startsWith(QLatin1String("0x"));
    const qint64 v = hex ? text.mid(2).toLongLong(&ok, 16) : text.toLongLong(&ok, 10);
    if (!ok || (hex && text.size() == 2) || text.trimmed() != text || text.startsWith(QLatin1Char('+')) ||
        (hex && text.mid(2).startsWith(QLatin1Char('-'))))
      return ConversionError(text).text();
    if (v < (hex ? 0 : r.min) || v > (hex ? r.hexMax : r.max))
      return QStringLiteral("%1 is out of range for %2 (%3 to %4)").arg(text, type).arg(r.min).arg(r.max);
    return {};
  }
  return QStringLiteral("objects of type %1 cannot be written").arg(type);
}

SaveAllRule saveAllRule(std::int32_t index, const QString& value) {
  namespace od = kestrum::canopen::od;
  if (index >= 0x1400 && index <= 0x1A03) return SaveAllRule::SkipPdo;  // PDO configuration has its own page
  if (index == 0x1010 && value != QString::number(od::kSaveSignature)) return SaveAllRule::SkipSilent;
  if (index == 0x1011 && value != QString::number(od::kLoadSignature)) return SaveAllRule::SkipSilent;
  if (index == 0x6040) return SaveAllRule::SkipSilent;  // the controlword would move the drive
  return SaveAllRule::Write;
}

QByteArray listFileLine(const QString& id, const QString& subindex, const QString& value,
                        const QString& description) {
  return QStringLiteral("%1\t|%2\t|%3\t|%4\r\n").arg(id, subindex, value, description).toUtf8();
}

std::vector<ListFileEntry> parseListFile(const QByteArray& content) {
  QStringList lines = QString::fromUtf8(content).split(QLatin1Char('\n'));
  const bool titled = !lines.isEmpty() && lines.first().left(2).toUpper() == QLatin1String("ID");
  std::vector<ListFileEntry> out;
  for (int i = titled ? 1 : 0; i < lines.size(); ++i) {
    QString rest = lines[i];
    // Fields are split from the end, so a "|" inside the ID part cannot shift
    // them; every field is trimmed of the tab the writer puts before "|".
    auto cut = [&rest]() {
      const int bar = rest.lastIndexOf(QLatin1Char('|'));
      const QString field = rest.mid(bar + 1).trimmed();
      rest = bar < 0 ? QString() : rest.left(bar);
      return field;
    };
    cut();  // description
    const QString value = cut();
    if (titled) cut();  // type
    const QString sub = cut();
    QString id = rest.trimmed();
    const int prefix = id.indexOf(QLatin1String("0x"), 0, Qt::CaseInsensitive);
    if (prefix >= 0) id.remove(prefix, 2);
    if (!id.isEmpty() && !sub.isEmpty() && !value.isEmpty()) out.push_back({id, sub, value, i + 1});
  }
  return out;
}

}  // namespace sdovalues
