// The text-to-number conversions take every number text of the application
// (EDS files, fields, list files): none may crash, hang or break its own
// guarantees on any input.
#include <QLoggingCategory>
#include <QString>

#include <cstdint>
#include <cstdlib>

#include "Util.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  QLoggingCategory::setFilterRules(QStringLiteral("kestrum.*=false"));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), int(size));

  bool toIntOk = true;
  std::int32_t toInt = 0;
  try {
    toInt = Util::ToInt(text);
  } catch (const ConversionError& e) {
    toIntOk = false;
    // The message ends with the fixed suffix. (A text with a NUL character
    // cuts the message short at the NUL: known, harmless for real inputs.)
    if (!text.contains(QChar(0)) && !e.text().endsWith(QStringLiteral(" is not a valid integer value!")))
      std::abort();
  }

  // ToIntDef never throws and agrees with ToInt where ToInt succeeds.
  const std::int32_t def = Util::ToIntDef(text, 12345);
  if (text.isEmpty() || text == QStringLiteral("0") || !toIntOk) {
    if (def != 12345) std::abort();
  } else if (def != toInt) {
    std::abort();
  }

  try {
    const std::uint32_t u = Util::ToUInt32(text);
    // Short texts are ToIntDef with default 0.
    if (text.size() < 10 && u != std::uint32_t(Util::ToIntDef(text, 0))) std::abort();
  } catch (const ConversionError&) {
    if (text.size() < 10) std::abort();  // only long texts may throw
  }

  (void)Util::ParseHexAfterX(text);
  for (const QChar c : text)
    if (Util::IsHexChar(c) != (Util::HexDigitValue(c) >= 0)) std::abort();
  return 0;
}
