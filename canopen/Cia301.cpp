#include "canopen/Cia301.h"

namespace kestrum::canopen {

cob::Classified cob::classify(std::uint16_t id) {
  if (id > kId11Mask) return {};
  const auto node = std::uint8_t(id & 0x7F);
  const std::uint16_t base = id & 0x780;
  if (node == 0) {
    switch (id) {
      case kNmt: return {Function::Nmt, 0};
      case kSync: return {Function::Sync, 0};
      case kTime: return {Function::Time, 0};
      default: return {};  // node ID 0 addresses no node
    }
  }
  switch (base) {
    case kEmcy: return {Function::Emcy, node};
    case 0x180: return {Function::Tpdo1, node};
    case 0x200: return {Function::Rpdo1, node};
    case 0x280: return {Function::Tpdo2, node};
    case 0x300: return {Function::Rpdo2, node};
    case 0x380: return {Function::Tpdo3, node};
    case 0x400: return {Function::Rpdo3, node};
    case 0x480: return {Function::Tpdo4, node};
    case 0x500: return {Function::Rpdo4, node};
    case kSdoTx: return {Function::SdoTx, node};
    case kSdoRx: return {Function::SdoRx, node};
    case kErrorControl: return {Function::ErrorControl, node};
    default: return {};
  }
}

int cob::pdoNumber(Function f) {
  switch (f) {
    case Function::Tpdo1: case Function::Rpdo1: return 1;
    case Function::Tpdo2: case Function::Rpdo2: return 2;
    case Function::Tpdo3: case Function::Rpdo3: return 3;
    case Function::Tpdo4: case Function::Rpdo4: return 4;
    default: return 0;
  }
}

std::optional<emcy::Emergency> emcy::decode(const std::uint8_t* data, std::uint8_t dlc) {
  if (!data || dlc < 3) return std::nullopt;
  Emergency e;
  e.errorCode = le16(data);
  e.errorRegister = data[2];
  for (std::uint8_t i = 3; i < dlc && i < 8; ++i) e.maker[i - 3] = data[i];
  return e;
}

std::uint8_t emcy::registerBitOf(std::uint16_t errorCode) {
  switch (errorCode >> 12) {
    case 0x2: return kCurrentError;
    case 0x3: return kVoltageError;
    case 0x4: return kTemperatureError;
    case 0x8: return kCommunicationError;  // monitoring: communication and protocol errors
    case 0xF: return kManufacturerError;
    default: return 0;
  }
}

}  // namespace kestrum::canopen
