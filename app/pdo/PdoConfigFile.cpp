#include "PdoConfigFile.h"

#include <QList>

#include <map>
#include <set>
#include <utility>

#include "Util.h"
#include "canopen/Cia301.h"

namespace pdofile {
namespace {

namespace pdo = kestrum::canopen::pdo;

constexpr int kMaxIndexDigits = 4;
constexpr std::int32_t kMaxSub = 255;

bool parseIndex(QString text, std::uint16_t& index) {
  if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive)) text = text.mid(2);
  if (text.isEmpty() || text.size() > kMaxIndexDigits) return false;
  for (QChar c : text)
    if (!Util::IsHexChar(c) || c == QLatin1Char('x') || c == QLatin1Char('X')) return false;
  bool ok = false;
  index = std::uint16_t(text.toUInt(&ok, 16));
  return ok;
}

bool parseSub(const QString& text, std::int32_t& sub) {
  if (text.size() > 3) return false;
  for (QChar c : text)
    if (!c.isDigit() || c.unicode() > '9') return false;
  sub = text.toInt();
  return sub <= kMaxSub;
}

bool isNumber(const QString& text) {
  try {
    Util::ToInt(text);
    return true;
  } catch (const ConversionError&) {
    return false;
  }
}

}  // namespace

bool isPdoParameter(std::uint16_t index) { return index >= pdo::kRpdoCommunication && index < 0x1C00; }

int cobIdSlot(std::uint16_t index, std::int32_t sub) {
  if (sub != pdo::kCobId) return -1;
  if (index >= pdo::rpdoCommunication(1) && index <= pdo::rpdoCommunication(4))
    return index - pdo::rpdoCommunication(1);
  if (index >= pdo::tpdoCommunication(1) && index <= pdo::tpdoCommunication(4))
    return 4 + index - pdo::tpdoCommunication(1);
  return -1;
}

int countSlot(std::uint16_t index, std::int32_t sub) {
  if (sub != 0) return -1;
  if (index >= pdo::rpdoMapping(1) && index <= pdo::rpdoMapping(4)) return index - pdo::rpdoMapping(1);
  if (index >= pdo::tpdoMapping(1) && index <= pdo::tpdoMapping(4)) return 4 + index - pdo::tpdoMapping(1);
  return -1;
}

Content read(const QByteArray& bytes) {
  Content content;
  const QList<QByteArray> rows = bytes.split('\n');
  // split() leaves one empty piece after a final line end; any other last
  // piece with text is a line whose end is missing.
  const QString last = QString::fromUtf8(rows.back()).trimmed();
  if (!last.isEmpty()) {
    content.errorLine = int(rows.size());
    content.error = QStringLiteral("the line has no line end: the file was cut short");
    return content;
  }
  // Mapping count per mapping object, with the line that gave it, and the
  // entries the file holds.
  std::map<std::uint16_t, std::pair<std::uint32_t, int>> counts;
  std::set<std::pair<std::uint16_t, std::int32_t>> entries;
  for (int i = 0; i + 1 < int(rows.size()); ++i) {
    const int lineNumber = i + 1;
    QString text = QString::fromUtf8(rows.at(i));
    if (text.endsWith(QLatin1Char('\r'))) text.chop(1);
    const int lastBar = int(text.lastIndexOf(QLatin1Char('|')));
    const int firstBar = lastBar > 0 ? int(text.lastIndexOf(QLatin1Char('|'), lastBar - 1)) : -1;
    if (firstBar < 0) continue;
    Line line;
    line.lineNumber = lineNumber;
    const QString indexField = text.left(firstBar).trimmed();
    const QString subText = text.mid(firstBar + 1, lastBar - firstBar - 1).trimmed();
    line.value = text.mid(lastBar + 1).trimmed();
    if (indexField.isEmpty() || subText.isEmpty() || line.value.isEmpty()) continue;
    auto fail = [&](const QString& why) {
      content.errorLine = lineNumber;
      content.error = why;
      content.lines.clear();
    };
    if (!parseIndex(indexField, line.indexValue)) {
      fail(QStringLiteral("the index \"%1\" is not a hexadecimal number of up to four digits").arg(indexField));
      return content;
    }
    if (!parseSub(subText, line.sub)) {
      fail(QStringLiteral("the subindex \"%1\" is not a number from 0 to 255").arg(subText));
      return content;
    }
    if (isPdoParameter(line.indexValue) && !isNumber(line.value)) {
      fail(QStringLiteral("the value \"%1\" is not a number").arg(line.value));
      return content;
    }
    line.index = indexText(line.indexValue);
    if (countSlot(line.indexValue, line.sub) >= 0) {
      const auto count = std::uint32_t(Util::ToInt(line.value));
      if (count > std::uint32_t(pdo::kMaxEntries)) {
        fail(QStringLiteral("the mapping count %1 is above 8").arg(line.value));
        return content;
      }
      counts[line.indexValue] = {count, lineNumber};
    } else if (line.sub > 0) {
      entries.insert({line.indexValue, line.sub});
    }
    content.lines.push_back(std::move(line));
  }
  for (const auto& [index, count] : counts) {
    for (std::int32_t s = 1; s <= std::int32_t(count.first); ++s) {
      if (entries.count({index, s})) continue;
      content.errorLine = count.second;
      content.error = QStringLiteral(
                          "the mapping count is %1, but the file holds no entry %2 of %3 "
                          "(was the file cut short?)")
                          .arg(count.first)
                          .arg(s)
                          .arg(indexText(index));
      content.lines.clear();
      return content;
    }
  }
  return content;
}

QString indexText(std::uint32_t index) {
  return QStringLiteral("%1").arg(index, kMaxIndexDigits, 16, QLatin1Char('0')).toUpper();
}

QByteArray formatLine(std::uint16_t index, std::int32_t sub, const QString& value) {
  const QString text = QStringLiteral("%1\t|%2\t|%3\r\n").arg(indexText(index)).arg(sub).arg(value);
  return text.toUtf8();
}

}  // namespace pdofile
