#include "AdapterChannels.h"

#include <array>
#include <utility>

#include "PCANBasic.h"

namespace {

// Bus types of PCAN-Basic: name prefix, handle of channel 1, channel count.
struct BusType {
  const char* prefix;
  int first;
  int count;
};
constexpr std::array<BusType, 5> kBusTypes{{
    {"PCAN_ISABUS", 0x21, 8},
    {"PCAN_DNGBUS", 0x31, 1},
    {"PCAN_PCIBUS", 0x41, 8},
    {"PCAN_USBBUS", 0x51, 8},
    {"PCAN_PCCBUS", 0x61, 2},
}};
const QString kUnlisted = QStringLiteral("PCAN_0x");

}  // namespace

int channelCodeForEntry(const QString& entry) {
  for (const BusType& type : kBusTypes) {
    const QString prefix = QLatin1String(type.prefix);
    if (!entry.startsWith(prefix)) continue;
    bool ok = false;
    const int channel = entry.mid(prefix.size()).toInt(&ok);
    if (ok && channel >= 1 && channel <= type.count && entry.mid(prefix.size()) == QString::number(channel))
      return type.first + channel - 1;
  }
  if (entry.startsWith(kUnlisted)) {
    bool ok = false;
    const int handle = entry.mid(kUnlisted.size()).toInt(&ok, 16);
    if (ok) return handle;
  }
  return 0;  // "IXXAT", "offline" and anything else
}

QString entryForChannelHandle(int handle) {
  if (handle == 0) return QStringLiteral("PCAN_NONEBUS");
  for (const BusType& type : kBusTypes)
    if (handle >= type.first && handle < type.first + type.count)
      return QLatin1String(type.prefix) + QString::number(handle - type.first + 1);
  return kUnlisted + QString::number(handle, 16).toUpper();
}

int pcanBaudCode(int kbit) {
  switch (kbit) {
    case 500: return PCAN_BAUD_500K;
    case 250: return PCAN_BAUD_250K;
    case 125: return PCAN_BAUD_125K;
    case 50: return PCAN_BAUD_50K;
    case 20: return PCAN_BAUD_20K;
    default: return PCAN_BAUD_1M;
  }
}
