#pragma once
// The maker's own constants that the application, the library and the
// simulated controllers all use: identity, the node settings objects and
// their bit-rate codes, and the bootloader's object and data frames.
#include <cstdint>

namespace kestrum::canopen::orvane {

/// CiA vendor ID of the maker (object 0x1018 sub-index 1).
constexpr std::uint32_t kVendorId = 0x00000329u;

// Node settings, taken by the node when it restarts after they were stored.
constexpr std::uint16_t kBitRateObject = 0x2005;
constexpr std::uint16_t kNodeIdObject = 0x2009;

struct BitRateCode {
  unsigned kbit;
  std::uint8_t code;
};
/// The bit-rate codes of object 0x2005.
constexpr BitRateCode kBitRateCodes[] = {{1000, 0x87}, {500, 0x86}, {250, 0x85},
                                         {125, 0x84},  {50, 0x83},  {20, 0x82}};
/// The code of a rate in kbit/s; 0 for a rate the nodes do not have.
constexpr std::uint8_t bitRateCode(unsigned kbit) {
  for (const BitRateCode& c : kBitRateCodes)
    if (c.kbit == kbit) return c.code;
  return 0;
}
/// The rate in kbit/s of a code; 0 for an unknown code.
constexpr unsigned bitRateOfCode(std::int64_t code) {
  for (const BitRateCode& c : kBitRateCodes)
    if (c.code == code) return c.kbit;
  return 0;
}

// The bootloader, reached through object 0x3000 of the node and data frames
// on their own COB-ID.
namespace bootloader {
constexpr std::uint16_t kObject = 0x3000;
constexpr std::uint8_t kSubProbe = 0;     ///< answered only while the bootloader runs
constexpr std::uint8_t kSubCommand = 1;
constexpr std::uint8_t kSubStatus = 2;    ///< status of the last block
constexpr std::uint8_t kSubAddress = 3;   ///< target address of the block
constexpr std::uint8_t kSubChunk = 4;     ///< number of the chunk that follows
constexpr std::uint8_t kSubChecksum = 5;  ///< checksum of the block
constexpr std::uint8_t kSubDataCobId = 31;
// Values of the command sub-index.
constexpr std::uint8_t kProgramBlock = 1;
constexpr std::uint8_t kStay = 3;     ///< stay in the bootloader after a reset
constexpr std::uint8_t kLeave = 4;    ///< leave it and start the firmware
constexpr std::uint8_t kRecover = 5;  ///< leave a bootloader that was left waiting
/// COB-ID of the data frames: frame number (16 bits), two zero bytes, four image bytes.
constexpr std::uint16_t kDataCobId = 0x325;
/// Block status values that mean the block was taken.
constexpr std::uint8_t kAcceptedStatus[] = {1, 5, 6, 7, 8, 201};
constexpr bool statusAccepted(std::uint32_t status) {
  for (std::uint8_t s : kAcceptedStatus)
    if (s == status) return true;
  return false;
}
}  // namespace bootloader

}  // namespace kestrum::canopen::orvane
