// Reads the project's EDS XML rendering into a node's object dictionary.
#include <QDomDocument>
#include <QFile>

#include "ObjectDictionary.h"

namespace kestrum::sim {
namespace {

struct ObjectFields {
  std::string id;
  std::string name;
  std::string access = "rw";
  std::string defaultText;
  bool hasDefault = false;
  int dataType = kTypeU32;
  bool pdoMapping = false;
  std::optional<std::int64_t> low, high;
  QDomElement subnodes;
};

// Applies the child elements of an "SDO" element (or of one of its sub-objects)
// over `f`. The device, unlike a text display, does not depend on the order
// of the elements.
void readFields(const QDomElement& element, std::uint8_t nodeId, ObjectFields& f) {
  for (QDomElement c = element.firstChildElement(); !c.isNull(); c = c.nextSiblingElement()) {
    const QString tag = c.nodeName();
    const std::string text = c.text().toStdString();
    if (tag == "ID") f.id = c.text().trimmed().toStdString();
    else if (tag == "ParameterName") f.name = text;
    else if (tag == "AccessType") f.access = text;
    else if (tag == "DataType") f.dataType = int(parseEdsNumber(text, 0).value_or(kTypeU32));
    else if (tag == "PDOMapping") f.pdoMapping = parseEdsNumber(text, 0).value_or(0) != 0;
    else if (tag == "DefaultValue") f.defaultText = text, f.hasDefault = true;
    else if (tag == "LowLimit") f.low = parseEdsNumber(text, nodeId);
    else if (tag == "HighLimit") f.high = parseEdsNumber(text, nodeId);
    else if (tag == "subnodes") f.subnodes = c;
  }
}

OdEntry makeEntry(std::uint16_t index, std::uint8_t sub, const ObjectFields& f, std::uint8_t nodeId) {
  OdEntry e;
  e.index = index;
  e.subIndex = sub;
  e.name = f.name;
  e.dataType = f.dataType;
  e.access = parseAccess(f.access);
  e.pdoMappable = f.pdoMapping;
  e.lowLimit = f.low;
  e.highLimit = f.high;
  if (e.isString()) {
    e.defaultValue.assign(f.defaultText.begin(), f.defaultText.end());
    if (e.defaultValue.size() > kMaxStringBytes) e.defaultValue.resize(kMaxStringBytes);
  } else {
    // A default that is not a number leaves the value at 0, as a device's
    // zero-initialised memory would.
    e.defaultValue = encodeNumber(e.dataType, f.hasDefault ? parseEdsNumber(f.defaultText, nodeId).value_or(0) : 0);
    e.nodeIdRelative = f.hasDefault && f.defaultText.find("$NODEID") != std::string::npos;
  }
  e.value = e.defaultValue;
  return e;
}

}  // namespace

bool loadEds(const std::string& path, std::uint8_t nodeId, ObjectDictionary& od, std::string& error) {
  QFile file(QString::fromStdString(path));
  if (!file.open(QIODevice::ReadOnly)) {
    error = path + ": cannot open (" + file.errorString().toStdString() + ")";
    return false;
  }
  QDomDocument doc;
  QString message;
  int line = 0;
  int column = 0;
  if (!doc.setContent(&file, &message, &line, &column)) {
    error = path + ":" + std::to_string(line) + ":" + std::to_string(column) + ": " + message.toStdString();
    return false;
  }
  ObjectDictionary result;
  for (QDomElement sdo = doc.documentElement().firstChildElement(); !sdo.isNull();
       sdo = sdo.nextSiblingElement()) {
    if (sdo.localName() != "SDO" && sdo.nodeName() != "SDO") continue;
    ObjectFields object;
    readFields(sdo, nodeId, object);
    auto index = parseEdsNumber("0x" + object.id, 0);
    if (!index || *index < 0 || *index > 0xFFFF) continue;  // not an addressable object
    const auto idx = static_cast<std::uint16_t>(*index);
    if (object.subnodes.isNull() || object.subnodes.firstChildElement().isNull()) {
      result.insert(makeEntry(idx, 0, object, nodeId));
      continue;
    }
    for (QDomElement s = object.subnodes.firstChildElement(); !s.isNull(); s = s.nextSiblingElement()) {
      // Sub-objects are named by a three-character prefix and the hexadecimal sub-index ("sub1A").
      auto sub = parseEdsNumber("0x" + s.nodeName().mid(3).toStdString(), 0);
      if (!sub || *sub < 0 || *sub > 0xFF) continue;
      ObjectFields fields = object;  // a sub-object inherits what it does not state
      fields.name.clear();
      fields.hasDefault = false;
      fields.defaultText.clear();
      fields.low.reset();
      fields.high.reset();
      fields.subnodes = QDomElement();
      readFields(s, nodeId, fields);
      result.insert(makeEntry(idx, static_cast<std::uint8_t>(*sub), fields, nodeId));
    }
  }
  if (result.size() == 0) {
    error = path + ": no objects found";
    return false;
  }
  od = std::move(result);
  return true;
}

}  // namespace kestrum::sim
