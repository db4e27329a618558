#pragma once
// SDO abort codes of CiA 301 (bytes 4..7 of an abort frame, little-endian).
#include <cstdint>

namespace kestrum::canopen::sdo_abort {

constexpr std::uint32_t kToggle = 0x05030000;               ///< toggle bit not alternated
constexpr std::uint32_t kTimeout = 0x05040000;              ///< SDO protocol timed out
constexpr std::uint32_t kUnknownCommand = 0x05040001;       ///< command specifier not valid or unknown
constexpr std::uint32_t kBlockSize = 0x05040002;            ///< invalid block size
constexpr std::uint32_t kSequence = 0x05040003;             ///< invalid sequence number
constexpr std::uint32_t kCrc = 0x05040004;                  ///< CRC error
constexpr std::uint32_t kOutOfMemory = 0x05040005;
constexpr std::uint32_t kUnsupportedAccess = 0x06010000;
constexpr std::uint32_t kWriteOnly = 0x06010001;            ///< attempt to read a write-only object
constexpr std::uint32_t kReadOnly = 0x06010002;             ///< attempt to write a read-only object
constexpr std::uint32_t kNoObject = 0x06020000;             ///< object does not exist
constexpr std::uint32_t kNotMappable = 0x06040041;          ///< object cannot be mapped to the PDO
constexpr std::uint32_t kPdoLength = 0x06040042;            ///< mapping would exceed the PDO length
constexpr std::uint32_t kParameterIncompatible = 0x06040043;
constexpr std::uint32_t kInternalIncompatible = 0x06040047;
constexpr std::uint32_t kHardware = 0x06060000;             ///< access failed due to a hardware error
constexpr std::uint32_t kLength = 0x06070010;               ///< data type / length does not match
constexpr std::uint32_t kTooLong = 0x06070012;              ///< length of service parameter too high
constexpr std::uint32_t kTooShort = 0x06070013;             ///< length of service parameter too low
constexpr std::uint32_t kNoSubIndex = 0x06090011;
constexpr std::uint32_t kRange = 0x06090030;                ///< invalid value (download only)
constexpr std::uint32_t kTooHigh = 0x06090031;
constexpr std::uint32_t kTooLow = 0x06090032;
constexpr std::uint32_t kMaxBelowMin = 0x06090036;
constexpr std::uint32_t kNoConnection = 0x060A0023;         ///< resource not available: SDO connection
constexpr std::uint32_t kGeneral = 0x08000000;
constexpr std::uint32_t kStore = 0x08000020;                ///< data cannot be transferred or stored
constexpr std::uint32_t kLocalControl = 0x08000021;
constexpr std::uint32_t kDeviceState = 0x08000022;
constexpr std::uint32_t kNoDictionary = 0x08000023;
constexpr std::uint32_t kNoData = 0x08000024;

struct Entry {
  std::uint32_t code;
  const char* meaning;
  /// Added by CiA 301 4.2; the application's error texts predate these two.
  bool since42;
};
/// Every abort code of CiA 301, in the standard's order.
extern const Entry kTable[31];

/// The meaning of an abort code; nullptr when it is not a CiA 301 code, or
/// when `with42` is false and the code was added by 4.2.
const char* meaning(std::uint32_t code, bool with42 = true);

}  // namespace kestrum::canopen::sdo_abort
