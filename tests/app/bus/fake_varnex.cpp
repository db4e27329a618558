// Small stand-ins for libVarnex.so that only exist to be bound: every
// function of the interface as a stub, minus the ones a variant leaves out,
// with or without a version record.
#include <cstdint>

#include "version/VersionRecord.h"

#if defined(FAKE_VERSION_1001)
KESTRUM_VERSION_RECORD("1, 0, 0, 1")
#elif defined(FAKE_VERSION_1010)
KESTRUM_VERSION_RECORD("1, 0, 1, 0")
#elif !defined(FAKE_NO_VERSION)
KESTRUM_VERSION_RECORD("1, 0, 0, 2")
#endif

#define FAKE_EXPORT extern "C" __attribute__((visibility("default")))

using AllFrames = void (*)(std::uint8_t*, std::uint32_t&, std::uint16_t&, std::uint8_t&, bool&);

FAKE_EXPORT std::int32_t get_version() { return 16; }
FAKE_EXPORT void set_timeout(double) {}
FAKE_EXPORT double get_timeout() { return 100; }
FAKE_EXPORT bool init_can(int, int, int, int, bool, int, void*) { return true; }
FAKE_EXPORT void terminate_can() {}
FAKE_EXPORT bool send_SDO(std::uint16_t, std::uint8_t, std::uint8_t, std::int32_t) { return false; }
FAKE_EXPORT bool recv_SDO(std::uint16_t, std::uint8_t, std::uint8_t*, std::int32_t*) { return false; }
FAKE_EXPORT void send_nmt(std::uint8_t) {}
FAKE_EXPORT int flash_firmware(const char*) { return -3; }
FAKE_EXPORT bool start_Bootloader() { return false; }
FAKE_EXPORT bool stop_Bootloader() { return false; }
FAKE_EXPORT bool get_device_id(int*, int*) { return false; }
FAKE_EXPORT void select_node(int) {}
#ifndef FAKE_OMIT_SEND_PDO
FAKE_EXPORT bool send_PDO(std::int32_t, std::uint8_t*, bool) { return false; }
#endif
FAKE_EXPORT void setGetAllCallback(AllFrames) {}
#ifndef FAKE_OMIT_PEAK
FAKE_EXPORT int getPeakDevices(int*, int) { return 0; }
#endif
#ifndef FAKE_OMIT_IXXAT
FAKE_EXPORT int getIXXATDevices() { return 0; }
#endif
