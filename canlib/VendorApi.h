#pragma once
// One table of function pointers per adapter vendor, filled by name from the
// vendor library at run time. A library that lacks a function called without
// a check is not used at all; an optional function it lacks stays null and is
// checked before each call.

#include <cstddef>
#include <string>
#include <vector>

#include "PCANBasic.h"
#include "vcinpl.h"

namespace varnex {

inline constexpr const char* kPeakLibraryFile = "libpcanbasic.so";
inline constexpr const char* kIxxatLibraryFile = "libvcinpl.so";

/// PCAN-Basic channel handles probed for attached PEAK hardware, in order.
inline constexpr TPCANHandle kPeakChannels[] = {
    0x21, 0x22, 0x23, 0x24, 0x25, 0x26, 0x27, 0x28,  // ISA 1-8
    0x31,                                            // dongle
    0x41, 0x42, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48,  // PCI 1-8
    0x51, 0x52, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,  // USB 1-8
    0x61, 0x62,                                      // PC card 1-2
};
inline constexpr std::size_t kPeakChannelCount = sizeof(kPeakChannels) / sizeof(kPeakChannels[0]);

struct PeakApi {
  void* library = nullptr;
  PFN_CAN_Initialize CAN_Initialize = nullptr;
  PFN_CAN_Uninitialize CAN_Uninitialize = nullptr;
  PFN_CAN_Read CAN_Read = nullptr;
  PFN_CAN_Write CAN_Write = nullptr;
  /// Optional (older libraries lack it): gives the receive event to wait on;
  /// without it the receive thread polls. Never listed as missing.
  PFN_CAN_GetValue CAN_GetValue = nullptr;

  /// Loads the library by file name and binds every function; false when the
  /// library cannot be loaded or lacks a required function (a line in the
  /// error file names it; nothing stays loaded). `missing` lists the functions it lacks.
  bool load(std::vector<std::string>* missing = nullptr);
  void unload();
  /// Channels of kPeakChannels that initialise with `code` (each is released again).
  std::vector<TPCANHandle> probeChannels(TPCANBaudrate code) const;
};

struct VciApi {
  void* library = nullptr;
  // Required unless marked optional.
  // general
  PF_vciInitialize vciInitialize = nullptr;
  PF_vciGetVersion vciGetVersion = nullptr;
  PF_vciFormatError vciFormatError = nullptr;  ///< optional
  PF_vciGuidToChar vciGuidToChar = nullptr;
  // device enumeration
  PF_vciEnumDeviceOpen vciEnumDeviceOpen = nullptr;
  PF_vciEnumDeviceClose vciEnumDeviceClose = nullptr;
  PF_vciEnumDeviceNext vciEnumDeviceNext = nullptr;
  PF_vciEnumDeviceReset vciEnumDeviceReset = nullptr;            ///< optional
  PF_vciEnumDeviceWaitEvent vciEnumDeviceWaitEvent = nullptr;    ///< optional
  // device
  PF_vciDeviceOpen vciDeviceOpen = nullptr;
  PF_vciDeviceClose vciDeviceClose = nullptr;
  PF_vciDeviceGetInfo vciDeviceGetInfo = nullptr;
  PF_vciDeviceGetCaps vciDeviceGetCaps = nullptr;  ///< optional
  // controller
  PF_canControlOpen canControlOpen = nullptr;
  PF_canControlClose canControlClose = nullptr;
  PF_canControlInitialize canControlInitialize = nullptr;
  PF_canControlReset canControlReset = nullptr;  ///< optional
  PF_canControlStart canControlStart = nullptr;
  PF_canControlSetAccFilter canControlSetAccFilter = nullptr;
  // channel
  PF_canChannelOpen canChannelOpen = nullptr;
  PF_canChannelClose canChannelClose = nullptr;
  PF_canChannelInitialize canChannelInitialize = nullptr;
  PF_canChannelActivate canChannelActivate = nullptr;
  PF_canChannelReadMessage canChannelReadMessage = nullptr;
  PF_canChannelSendMessage canChannelSendMessage = nullptr;
  /// The rest of the VCI 3 C interface (events, device search, the vendor's
  /// dialogs, status queries, filter lists, peeking/posting, the cyclic
  /// scheduler): looked up so the report of missing functions is complete,
  /// never called. A fixed array keeps the table free of dynamic
  /// initialisation, so it is ready before any static constructor uses it.
  static constexpr std::size_t kUnusedCount = 33;
  void* unused[kUnusedCount] = {};

  /// Loads the library, initialises the interface and checks for major
  /// version 3 (a library of another version counts as missing and is freed
  /// again), then binds every function. A required function it lacks refuses
  /// the library as above. `missing` lists the functions it lacks.
  bool load(std::vector<std::string>* missing = nullptr);
  void unload();
};

}  // namespace varnex
