#pragma once
// The C interface of libVarnex.so. Applications load the library by file
// name and bind each function by its name; the PFN_ types below are the
// matching pointer types. Every function returns its documented result and
// never throws. Callbacks run on the library's receive thread (the all-frames
// callback also on the thread that transmits) and must return quickly.

#include <stdbool.h>
#include <stdint.h>

#include "Varnex.h"  // VarnexRecvCallback, VarnexGetAllCallback
#include "VarnexExport.h"

extern "C" {

/// Opens the adapter for `node` at `kbit` kbit/s. vendor 0 = IXXAT (device by
/// `deviceId`/`controller`, or the attached one when either is -1), otherwise
/// the PCAN-Basic channel handle. True in every orderly case, also when no
/// adapter could be opened; false only on an internal failure.
VARNEX_EXPORT bool init_can(int node, int kbit, int deviceId, int controller, bool skipDialog, int vendor,
                            void* window);
VARNEX_EXPORT void terminate_can(void);
VARNEX_EXPORT void select_node(int node);
VARNEX_EXPORT void set_timeout(double milliseconds);
VARNEX_EXPORT double get_timeout(void);
/// Expedited download of `length` (1, 2 or 4) bytes; true when acknowledged.
VARNEX_EXPORT bool send_SDO(uint16_t index, uint8_t subindex, uint8_t length, int32_t value);
/// Expedited upload; true when the node answered (not with an abort). Outputs
/// the answer's length code and the bytes of 4 to 7 the answer indicates (all
/// four without a size), zero-extended; untouched on failure.
VARNEX_EXPORT bool recv_SDO(uint16_t index, uint8_t subindex, uint8_t* length, int32_t* value);
/// Sends 8 data bytes on `cobId`; true when the adapter took the frame.
VARNEX_EXPORT bool send_PDO(int32_t cobId, uint8_t* data, bool remote);
VARNEX_EXPORT void send_nmt(uint8_t command);
VARNEX_EXPORT int32_t get_version(void);
VARNEX_EXPORT bool get_device_id(int* deviceId, int* controller);
VARNEX_EXPORT void setRecvCallback(VarnexRecvCallback callback);
VARNEX_EXPORT void setErrorCallback(VarnexRecvCallback callback);
VARNEX_EXPORT void setGetAllCallback(VarnexGetAllCallback callback);
/// Fills `channels` (room for 27) with the PCAN-Basic channels that open with
/// `code`; returns their number, -1 when the PEAK library is missing.
VARNEX_EXPORT int getPeakDevices(int* channels, int code);
VARNEX_EXPORT int getIXXATDevices(void);
VARNEX_EXPORT bool start_Bootloader(void);
VARNEX_EXPORT bool stop_Bootloader(void);
/// Downloads an Intel HEX file through the selected node's bootloader; runs
/// for tens of seconds on the caller's thread. The whole file is checked
/// before the bootloader is started: a file that cannot be read or is not
/// valid HEX (bad character or checksum, unknown record type, a record past
/// the 0x80000-byte image or cut short, no end-of-file record, no data for
/// the program memory) gives -5 with no bus traffic and the reason in the
/// error file. Results: 1 = done (the node runs the new firmware); -1 not
/// initialised; -2 the bootloader did not start; -3 the download failed (a
/// block refused 3 times, 15 failed attempts in all, or the node restarted
/// meanwhile); -4 leaving the bootloader failed; -5 bad file; -6 cancelled by
/// flash_cancel. After -3 and -6 the node stays in its bootloader: flash
/// again, or let it leave with 0x3000 sub 1 := 5. Failed blocks and the
/// cause of every failure are written to the error file.
VARNEX_EXPORT int flash_firmware(const char* path);
/// As flash_firmware, from `count` HEX lines (one record each); the node is
/// told to leave its bootloader without waiting for its restart.
VARNEX_EXPORT int flash_firmware_parsed(int count, const char** lines);
/// Asks the running download to stop before its next step; it then returns
/// -6 with the node in its bootloader. Callable from any thread; no effect
/// when no download runs.
VARNEX_EXPORT void flash_cancel(void);
/// Blocks the controller has taken in the running (or last) download, 0 to
/// 85, for a progress bar; 0 while the file is read and the bootloader
/// starts. Callable from any thread. getFirmwareUpdateProgress reports the same.
VARNEX_EXPORT int32_t flash_progress(void);
/// The state of the open bus, for a status display: 0 no bus is open; 1 the
/// adapter is read; 2 the adapter reports its reads failing (unplugged, its
/// network connection cut): nothing is received or sent until init_can opens
/// the bus again. Callable from any thread.
VARNEX_EXPORT int32_t bus_state(void);
VARNEX_EXPORT bool waitBootup(double milliseconds);
VARNEX_EXPORT int32_t getFirmwareUpdateProgress(void);
VARNEX_EXPORT int32_t getFirmwareUpdateCause(void);

}  // extern "C"

typedef bool (*PFN_init_can)(int, int, int, int, bool, int, void*);
typedef void (*PFN_terminate_can)(void);
typedef void (*PFN_select_node)(int);
typedef void (*PFN_set_timeout)(double);
typedef double (*PFN_get_timeout)(void);
typedef bool (*PFN_send_SDO)(uint16_t, uint8_t, uint8_t, int32_t);
typedef bool (*PFN_recv_SDO)(uint16_t, uint8_t, uint8_t*, int32_t*);
typedef bool (*PFN_send_PDO)(int32_t, uint8_t*, bool);
typedef void (*PFN_send_nmt)(uint8_t);
typedef int32_t (*PFN_get_version)(void);
typedef bool (*PFN_get_device_id)(int*, int*);
typedef void (*PFN_setRecvCallback)(VarnexRecvCallback);
typedef void (*PFN_setErrorCallback)(VarnexRecvCallback);
typedef void (*PFN_setGetAllCallback)(VarnexGetAllCallback);
typedef int (*PFN_getPeakDevices)(int*, int);
typedef int (*PFN_getIXXATDevices)(void);
typedef bool (*PFN_start_Bootloader)(void);
typedef bool (*PFN_stop_Bootloader)(void);
typedef int (*PFN_flash_firmware)(const char*);
typedef int (*PFN_flash_firmware_parsed)(int, const char**);
typedef void (*PFN_flash_cancel)(void);
typedef int32_t (*PFN_flash_progress)(void);
typedef int32_t (*PFN_bus_state)(void);
typedef bool (*PFN_waitBootup)(double);
typedef int32_t (*PFN_getFirmwareUpdateProgress)(void);
typedef int32_t (*PFN_getFirmwareUpdateCause)(void);
