#include "DLLConnectorEmpty.h"

#include "EDSDatabase.h"
#include "MessageFilter.h"
#include "Util.h"

MessageFilter* DLLConnectorEmpty::getMessageFilter() { return MessageFilter::instance(); }

SDOResult DLLConnectorEmpty::readObject(std::uint8_t, std::uint16_t index, std::uint8_t subIndex,
                                        std::uint8_t, std::uint32_t) {
  const SDOResult unknown{513, 0, 0, 0};
  if (!database_) return unknown;
  const sdoDataDefinition* object = database_->find(QString::number(index, 16).toUpper());
  if (!object) return unknown;

  SDOResult r{0, 0, object->dataType, 0};
  QString text;
  if (!object->subObjects.empty()) {
    const sdoDataDefinition* sub = object->sub(subIndex);
    if (!sub) return unknown;
    r.size = sub->dataType;
    text = sub->value;
  } else {
    text = object->defaultValue;
  }
  if (text.isEmpty()) text = QStringLiteral("0");

  std::uint32_t v;
  try {
    v = std::uint32_t(Util::ToInt(text));
  } catch (const ConversionError&) {
    return unknown;  // a value text edited into something that is no number
  }
  switch (r.size) {
    case 1: case 2: case 5: r.value = std::int32_t(v & 0xFF); break;
    case 3: case 6: r.value = std::int32_t(v & 0xFFFF); break;
    case 4: case 7: r.value = std::int32_t(v); break;
    default: return unknown;
  }
  return r;
}
