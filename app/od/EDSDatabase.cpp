#include "EDSDatabase.h"

#include <QDir>
#include <QDomDocument>
#include <QFile>

#include "Util.h"

namespace {

// Normalises a default text to decimal, read through the width and sign of
// its data type. A node-relative default ("$NODEID+0x180") keeps only the
// offset: the node ID is applied where the value is used, not stored here.
QString normaliseDefault(QString text, std::int32_t dataType) {
  if (text.contains(QLatin1String("$NODEID+"))) text.remove(0, 8);
  const std::uint32_t pattern = Util::ToUInt32(text);
  switch (dataType) {
    case 2: return QString::number(std::int8_t(pattern & 0xFF));
    case 3: return QString::number(std::int16_t(pattern & 0xFFFF));
    case 5: return QString::number(pattern & 0xFF);
    case 6: return QString::number(pattern & 0xFFFF);
    case 7: return QString::number(pattern);
    default: return QString::number(std::int32_t(pattern));
  }
}

// Fills one definition from an "SDO" element or a sub-object element.
// Conversion errors are rethrown with the element's line.
void readDefinition(const QDomElement& element, sdoDataDefinition& def, const QString& path) {
  for (QDomElement child = element.firstChildElement(); !child.isNull();
       child = child.nextSiblingElement()) {
    const QString name = child.nodeName();
    const QString text = child.text();
    try {
      if (name == QLatin1String("ID")) {
        def.id = text;
      } else if (name == QLatin1String("ParameterName")) {
        def.parameterName = text;
      } else if (name == QLatin1String("AccessType")) {
        def.accessType = text;
      } else if (name == QLatin1String("DataType")) {
        def.dataType = Util::ToInt(text);
      } else if (name == QLatin1String("ObjectType")) {
        def.objectType = Util::ToInt(text);
      } else if (name == QLatin1String("PDOMapping")) {
        def.pdoMapping = Util::ToInt(text) != 0;
      } else if (name == QLatin1String("SubNumber")) {
        def.subNumber = Util::ToInt(text);
      } else if (name == QLatin1String("DefaultValue")) {
        def.defaultValue = normaliseDefault(text, def.dataType);
        def.value = def.defaultValue;
      } else if (name == QLatin1String("subnodes")) {
        for (QDomElement sub = child.firstChildElement(); !sub.isNull();
             sub = sub.nextSiblingElement()) {
          // "sub1A": the first three characters are a prefix, the rest hex.
          std::int32_t subIndex = 0;
          try {
            subIndex = Util::ToInt(QStringLiteral("0x") + sub.nodeName().mid(3));
          } catch (const ConversionError& e) {
            throw EdsLoadError(QStringLiteral("%1, line %2: sub-object name %3: %4")
                                   .arg(QDir::toNativeSeparators(path))
                                   .arg(sub.lineNumber())
                                   .arg(sub.nodeName(), e.text()));
          }
          auto subDef = std::make_unique<sdoDataDefinition>();
          readDefinition(sub, *subDef, path);
          def.subObjects[subIndex] = std::move(subDef);
        }
      }
    } catch (const ConversionError& e) {
      throw EdsLoadError(QStringLiteral("%1, line %2: %3")
                             .arg(QDir::toNativeSeparators(path))
                             .arg(child.lineNumber())
                             .arg(e.text()));
    }
  }
}

}  // namespace

const sdoDataDefinition* sdoDataDefinition::sub(std::int32_t subIndex) const {
  auto it = subObjects.find(subIndex);
  return it == subObjects.end() ? nullptr : it->second.get();
}

QString dataTypeName(std::int32_t dataType) {
  static const char* const names[] = {"bool", "s8", "s16", "s32", "u8", "u16", "u32", "array", "string"};
  if (dataType >= 1 && dataType <= 9) return QLatin1String(names[dataType - 1]);
  return QString::number(dataType);
}

void EDSDatabase::loadDefault(const QString& appFolder) {
  loadFile(appFolder + QStringLiteral("/XML/EDS_Default.xml"));
}

void EDSDatabase::loadForController(const QString& appFolder, const QString& controller) {
  loadFile(appFolder + QStringLiteral("/XML/EDS_") + controller + QStringLiteral(".xml"));
}

void EDSDatabase::loadFile(const QString& path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly))
    throw EdsLoadError(QStringLiteral("%1: %2").arg(QDir::toNativeSeparators(path), f.errorString()));
  QDomDocument doc;
  QString error;
  int line = 0, column = 0;
  if (!doc.setContent(&f, false, &error, &line, &column))
    throw EdsLoadError(QStringLiteral("%1, line %2: %3").arg(QDir::toNativeSeparators(path)).arg(line).arg(error));

  // Built aside and swapped in only when complete, so a bad file leaves the
  // dictionary the user was working with in place.
  auto loaded = std::make_unique<edsFile>();
  loaded->path = path;
  for (QDomElement e = doc.documentElement().firstChildElement(); !e.isNull(); e = e.nextSiblingElement()) {
    const QString local = e.localName().isEmpty() ? e.nodeName() : e.localName();
    if (local != QLatin1String("SDO")) continue;
    auto def = std::make_unique<sdoDataDefinition>();
    readDefinition(e, *def, path);
    loaded->list.entries[def->id] = std::move(def);
  }
  loaded->list.count = std::int32_t(loaded->list.entries.size());
  file_ = std::move(loaded);
}

const sdoDataDefinition* EDSDatabase::find(const QString& id) const {
  if (!file_) return nullptr;
  auto it = file_->list.entries.find(id);
  return it == file_->list.entries.end() ? nullptr : it->second.get();
}

sdoDataDefinition* EDSDatabase::find(const QString& id) {
  return const_cast<sdoDataDefinition*>(std::as_const(*this).find(id));
}

QStringList EDSDatabase::controllerItems(const QString& appFolder) {
  QStringList items;
  const QStringList names = QDir(appFolder + QStringLiteral("/XML")).entryList(QDir::Files, QDir::Name);
  for (const QString& name : names) {
    if (name.contains(QLatin1String(".xml")) && name.contains(QLatin1String("EDS_")))
      items << name.mid(4, name.size() - 8);
  }
  return items;
}

bool EDSDatabase::choiceUsesDefault(const QString& shownText) {
  return shownText.isEmpty() || shownText.compare(QLatin1String("Default"), Qt::CaseInsensitive) == 0 ||
         shownText.compare(QLatin1String("--OFFLINE--"), Qt::CaseInsensitive) == 0;
}
