#include "RefreshReader.h"

#include "Logging.h"
#include "StringGridSDODataSource.h"
#include "Util.h"

std::optional<QString> RefreshReader::text(const QString& id, int subIndex, bool read) {
  if (failed_ || StringGridSDODataSource::applicationClosing) {
    failed_ = true;
    return std::nullopt;
  }
  // A node's refusal keeps the list's value and is no failure of the link;
  // the list counts only transfers that got no answer.
  const std::int32_t failuresBefore = StringGridSDODataSource::getSdoFailureCount();
  QString value = list_.getValue(id, subIndex, read);
  if (read && StringGridSDODataSource::getSdoFailureCount() > failuresBefore) failed_ = true;
  if (StringGridSDODataSource::applicationClosing) failed_ = true;
  if (failed_) return std::nullopt;
  return value;
}

std::optional<std::int32_t> RefreshReader::number(const QString& id, int subIndex, bool read) {
  const auto value = text(id, subIndex, read);
  if (!value) return std::nullopt;
  try {
    return Util::ToInt(*value);
  } catch (const ConversionError&) {
    rejectText(id, subIndex, *value);
    return std::nullopt;
  }
}

std::optional<std::int32_t> RefreshReader::numberOr(const QString& id, int subIndex, std::int32_t def, bool read) {
  const auto value = text(id, subIndex, read);
  if (!value) return std::nullopt;
  return Util::ToIntDef(*value, def);
}

std::optional<std::uint32_t> RefreshReader::unsigned32(const QString& id, int subIndex, bool read) {
  const auto value = text(id, subIndex, read);
  if (!value) return std::nullopt;
  try {
    return Util::ToUInt32(*value);
  } catch (const ConversionError&) {
    rejectText(id, subIndex, *value);
    return std::nullopt;
  }
}

void RefreshReader::rejectText(const QString& id, int subIndex, const QString& value) {
  failed_ = true;
  Logging::instance().log(
      QStringLiteral("Refresh stopped: 0x%1:%2 holds \"%3\", which is not a number").arg(id).arg(subIndex).arg(value));
}
