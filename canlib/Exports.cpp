// The library's C interface and its state: one adapter, one CANopen client
// and the initialised flag, created when the library is loaded.

#include <atomic>
#include <exception>

#include "Boxes.h"
#include "CANopen.h"
#include "Firmware.h"
#include "Varnex.h"
#include "VarnexApi.h"
#include "VarnexStatus.h"
#include "VendorApi.h"
#include "version/VersionRecord.h"

KESTRUM_VERSION_RECORD("1, 0, 0, 2");

namespace {

Varnex adapter;
CANopen client;
std::atomic<bool> initialised{false};

constexpr int kIxxatRates[] = {10, 20, 50, 100, 125, 250, 500, 800, 1000};
constexpr int kPeakRates[] = {10, 20, 50, 100, 125, 250, 500, 1000};

template <std::size_t N>
bool contains(const int (&rates)[N], int kbit) {
  for (int r : rates)
    if (r == kbit) return true;
  return false;
}

// The guard of every bus function: true (after the box) when init_can has not run.
bool notInitialised() {
  if (initialised) return false;
  varnex::showBox("Fehler", "Varnex nicht initialisiert", varnex::BoxIcon::None);
  return true;
}

SDO recordFor(std::uint16_t index, std::uint8_t subindex, std::uint8_t length, std::int32_t value) {
  SDO record;
  record.index = index;
  if (subindex == 0) {
    record.slot[0] = {length, value};
  } else {
    record.slot[0] = {255, subindex};
    record.slot[subindex] = {length, value};
  }
  return record;
}

// Runs before the adapter's own destructor when the library is unloaded (at
// exit or by dlclose), also when the program never called terminate_can: the
// receive thread must be gone before the library's code and data are. The
// state it touches in the other files is never destroyed (see Varnex.cpp).
struct UnloadCleanup {
  ~UnloadCleanup() {
    Varnex::set_RecvCallback(nullptr);
    Varnex::set_ErrorCallback(nullptr);
    Varnex::set_GetAllCallback(nullptr);
    try {
      adapter.terminate();
    } catch (...) {
      // Nothing may leave a static destructor; the process is ending anyway.
    }
    initialised = false;
  }
} unloadCleanup;

}  // namespace

extern "C" {

bool init_can(int node, int kbit, int deviceId, int controller, bool skipDialog, int vendor, void* window) {
  try {
    if (initialised) {
      adapter.terminate();
      adapter.createBuffer();
      initialised = false;
    }
    VarnexStatus::firmwareUpdateProgress = 0;
    VarnexStatus::firmwareUpdateCause = 0;
    Varnex::setCard(vendor);
    CANopen::setCanId(static_cast<std::uint8_t>(node & 0xFF));

    if (vendor == 0) {
      if (contains(kIxxatRates, kbit)) adapter.setBaudrate(static_cast<std::uint16_t>(kbit));
      if (deviceId != -1 && controller != -1)
        adapter.SetDevice(deviceId, controller);
      else
        adapter.SelectDevice(window, skipDialog);
      adapter.initializeController();
      CANopen::setVarnex(&adapter);
      initialised = true;
      return true;
    }
    if (!contains(kPeakRates, kbit)) return true;
    adapter.setBaudrate(static_cast<std::uint16_t>(kbit));
    if (adapter.initializeController()) {
      CANopen::setVarnex(&adapter);
      initialised = true;
    } else {
      initialised = false;
    }
    return true;
  } catch (const std::exception&) {
    return false;
  }
}

void terminate_can(void) {
  if (initialised) adapter.terminate();
}

void select_node(int node) { CANopen::setCanId(static_cast<std::uint8_t>(node & 0xFF)); }
void set_timeout(double milliseconds) { CANopen::setTimeout(milliseconds); }
double get_timeout(void) { return CANopen::getTimeout(); }

bool send_SDO(uint16_t index, uint8_t subindex, uint8_t length, int32_t value) {
  if (notInitialised()) return false;
  return CANopen::sendSDO(recordFor(index, subindex, length, value), subindex);
}

bool recv_SDO(uint16_t index, uint8_t subindex, uint8_t* length, int32_t* value) {
  if (notInitialised()) return false;
  SDO record = recordFor(index, subindex, 0, 0);
  if (!CANopen::readSDO(record, subindex)) return false;
  if (length) *length = record.slot[subindex].type;
  if (value) *value = record.slot[subindex].value;
  return true;
}

bool send_PDO(int32_t cobId, uint8_t* data, bool remote) {
  if (notInitialised()) return false;
  const std::uint8_t zeros[8] = {};
  return adapter.TransmitData(static_cast<std::uint32_t>(cobId), 8, data ? data : zeros, remote) == 0;
}

void send_nmt(uint8_t command) {
  if (notInitialised()) return;
  CANopen::sendNMT(command);
}

int32_t get_version(void) { return 16; }

bool get_device_id(int* deviceId, int* controller) {
  int id = 0, ctrl = 0;
  if (!adapter.GetDeviceId(id, ctrl)) return false;
  if (deviceId) *deviceId = id;
  if (controller) *controller = ctrl;
  return true;
}

void setRecvCallback(VarnexRecvCallback callback) { Varnex::set_RecvCallback(callback); }
void setErrorCallback(VarnexRecvCallback callback) { Varnex::set_ErrorCallback(callback); }
void setGetAllCallback(VarnexGetAllCallback callback) { Varnex::set_GetAllCallback(callback); }

int getPeakDevices(int* channels, int code) {
  // A private load, independent of the adapter and of init_can.
  varnex::PeakApi api;
  if (!api.load()) return -1;
  const auto found = api.probeChannels(static_cast<TPCANBaudrate>(code));
  api.unload();
  if (channels)
    for (std::size_t i = 0; i < found.size(); ++i) channels[i] = found[i];
  return static_cast<int>(found.size());
}

int getIXXATDevices(void) {
  if (!initialised) init_can(1, 1000, 0, 0, true, 0, nullptr);
  return adapter.getDeviceCount(0);
}

bool start_Bootloader(void) { return initialised && CANopen::startBootloader(); }
bool stop_Bootloader(void) { return initialised && CANopen::stopBootloader(); }

int flash_firmware(const char* path) {
  VarnexStatus::firmwareUpdateProgress = 0;
  VarnexStatus::firmwareUpdateCause = 0;
  if (notInitialised()) return varnex::firmware::kNotInitialised;
  try {
    return varnex::firmware::flashFile(path);
  } catch (const std::exception&) {  // out of memory for the image: nothing was sent
    return varnex::firmware::kDownloadFailed;
  }
}

int flash_firmware_parsed(int count, const char** lines) {
  if (notInitialised()) return varnex::firmware::kNotInitialised;
  try {
    return varnex::firmware::flashLines(count, lines);
  } catch (const std::exception&) {
    return varnex::firmware::kDownloadFailed;
  }
}

void flash_cancel(void) { varnex::firmware::cancel(); }
int32_t flash_progress(void) { return varnex::firmware::progress(); }
int32_t bus_state(void) { return Varnex::busState.load(); }

bool waitBootup(double milliseconds) {
  if (!CANopen::pmyInterface) return false;
  varnex::RxCursor cursor = Varnex::takeCursor();
  return CANopen::_waitBootup(cursor.position(), milliseconds);
}

int32_t getFirmwareUpdateProgress(void) { return VarnexStatus::getFirmwareUpdateProgress(); }
int32_t getFirmwareUpdateCause(void) { return VarnexStatus::getFirmwareUpdateCause(); }

}  // extern "C"
