// libvcinpl.so: the VCI 3 C interface over the project's transports.
//
// Devices are the bus inventory's IXXAT devices (SocketCAN interfaces of IXXAT
// drivers, then every KESTRUM_BUS entry) that answer now; each has one CAN
// line (a KESTRUM_BUS entry that cannot be parsed or does not answer is
// reported once, see transport/BusReport.h). IDs are derived from the bus's
// endpoint key, so a bus keeps them across runs. Every message channel has
// its own connection to the bus; the controller of a line (bit rate, started,
// acceptance filter) is shared by all handles opened on that line in this
// process.
//
// Handles are numbers, never addresses: a stale or foreign handle gives
// VCI_E_INVHANDLE instead of a crash, and an object stays alive while a call
// on another thread still uses it.
//
// Status codes, as a caller sees them:
//   VCI_E_INVHANDLE      unknown or closed handle; also a WaitEvent or
//                        ReadMessage whose handle is closed meanwhile
//   VCI_E_INVPOINTER     a required output pointer is null
//   VCI_E_INVALIDARG     line number other than 0, bit timing that is not a
//                        predefined pair, bad message (type, length > 8, ID),
//                        unknown device ID in vciDeviceOpen
//   VCI_E_TIMEOUT        nothing received / no device change within the time-out
//   VCI_E_NO_MORE_ITEMS  end of the device enumeration
//   VCI_E_INVALID_STATE  channel not initialised/activated, controller not
//                        initialised (start) or not started (send)
//   VCI_E_ACCESSDENIED   exclusive channel wanted on a line with channels, or
//                        a channel on a line held exclusively
//   VCI_E_DISCONNECTED   the device no longer answers (GetInfo, channel open),
//                        or the channel's bus connection is lost (read: after
//                        waiting out the time-out, so a read loop never spins)
//   VCI_E_FAIL           the bus refused the bit rate or the frame
//   VCI_E_BUFFER_OVERFLOW  vciGuidToChar buffer shorter than 39 characters

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

#include "VciCodes.h"
#include "transport/BusInventory.h"
#include "transport/Deadline.h"
#include "vcinpl.h"
#include "version/VersionRecord.h"

KESTRUM_VERSION_RECORD("3, 5, 0, 2");

namespace {

using kestrum::transport::BusEndpoint;
using kestrum::transport::CanFrame;
using kestrum::transport::CanTransport;
using kestrum::transport::ReadStatus;
using kestrum::vci::AcceptanceFilter;
using Clock = std::chrono::steady_clock;

constexpr UINT32 kVersionMajor = 3;
constexpr UINT32 kVersionMinor = 5;
constexpr int kAliveProbeMs = 150;                        // one device's answer to "are you there"
constexpr auto kWatchPeriod = std::chrono::milliseconds(200);  // device-change polling
constexpr int kReadSliceMs = 1000;                        // longest single transport wait

static_assert(sizeof(VCIDEVICEINFO) == 304 && sizeof(VCIDEVICECAPS) == 66, "vendor layout");
static_assert(sizeof(CANMSG) == 20 && sizeof(CANMSGINFO) == 4, "vendor layout");

// ------------------------------------------------------------------ devices

struct DeviceRecord {
  BusEndpoint endpoint;
  VCIDEVICEINFO info;
  INT64 id() const { return info.VciObjectId.AsInt64; }
};

std::vector<DeviceRecord> aliveDevices() {
  std::vector<DeviceRecord> devices;
  std::set<std::string> seen;  // a bus named twice is still one device
  for (const auto& device : kestrum::transport::discoverBuses().ixxatDevices) {
    const std::string key = device.endpoint.key();
    if (!seen.insert(key).second) continue;
    std::string why;
    if (!kestrum::transport::endpointAlive(device.endpoint, kAliveProbeMs, "/sys/class/net", &why)) {
      kestrum::transport::reportUnreachable(device.endpoint, why);
      continue;
    }
    devices.push_back({device.endpoint, kestrum::vci::deviceInfoFor(key, device.description)});
  }
  return devices;
}

std::set<INT64> idsOf(const std::vector<DeviceRecord>& devices) {
  std::set<INT64> ids;
  for (const auto& d : devices) ids.insert(d.id());
  return ids;
}

struct Channel;

// The controller of one CAN line, shared by every handle on it.
struct Line {
  std::mutex mutex;
  unsigned kbit = 0;  // 0 = controller not initialised
  UINT8 mode = CAN_OPMODE_UNDEFINED;
  bool started = false;
  AcceptanceFilter standard, extended;
  std::vector<std::weak_ptr<Channel>> channels;  // message channels open on the line
  bool exclusive = false;

  // Call with `mutex` held.
  std::size_t channelCount() {
    channels.erase(std::remove_if(channels.begin(), channels.end(), [](auto& c) { return c.expired(); }),
                   channels.end());
    return channels.size();
  }
  std::vector<std::shared_ptr<Channel>> openChannels() {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<std::shared_ptr<Channel>> result;
    for (auto& weak : channels)
      if (auto channel = weak.lock()) result.push_back(std::move(channel));
    return result;
  }

  bool passes(const CanFrame& frame) {
    std::lock_guard<std::mutex> lock(mutex);
    if (!started) return false;
    if (frame.error) return true;  // bus errors reach every channel
    if (!(mode & (frame.extended ? CAN_OPMODE_EXTENDED : CAN_OPMODE_STANDARD))) return false;
    return (frame.extended ? extended : standard).accepts(frame);
  }
};

std::shared_ptr<Line> lineFor(const std::string& key) {
  static std::mutex mutex;
  static std::map<std::string, std::weak_ptr<Line>> lines;
  std::lock_guard<std::mutex> lock(mutex);
  auto& slot = lines[key];
  auto line = slot.lock();
  if (!line) slot = line = std::make_shared<Line>();
  return line;
}

struct Device {
  DeviceRecord record;
};

struct Control {
  std::shared_ptr<Device> device;
  std::shared_ptr<Line> line;
};

struct Channel {
  std::shared_ptr<Device> device;
  std::shared_ptr<Line> line;
  std::unique_ptr<CanTransport> transport;
  bool exclusive = false;
  std::atomic<bool> initialised{false};
  std::atomic<bool> active{false};
  std::atomic<bool> closed{false};
  std::mutex readMutex;  // one reader at a time, as the transport requires
  // Wakes reads that wait without a transport to wait on (inactive or broken).
  std::mutex waitMutex;
  std::condition_variable closedSignal;

  ~Channel() {
    if (!exclusive) return;
    std::lock_guard<std::mutex> lock(line->mutex);
    line->exclusive = false;
  }

  // Sleeps until the deadline or until the channel is closed.
  void idleUntil(Clock::time_point deadline, bool unlimited) {
    std::unique_lock<std::mutex> lock(waitMutex);
    auto done = [this] { return closed.load(); };
    if (unlimited) closedSignal.wait(lock, done);
    else closedSignal.wait_until(lock, deadline, done);
  }
};

struct Enumerator {
  std::mutex mutex;
  std::condition_variable closedSignal;
  bool closed = false;
  std::vector<DeviceRecord> devices;  // the current pass
  std::size_t next = 0;
  std::set<INT64> known;  // the device set last reported to the caller

  void restart() {
    auto fresh = aliveDevices();
    std::lock_guard<std::mutex> lock(mutex);
    known = idsOf(fresh);
    devices = std::move(fresh);
    next = 0;
  }
};

// ------------------------------------------------------------------ handles

std::atomic<std::uintptr_t> nextHandle{0x1000};

template <class T>
class HandleTable {
 public:
  HANDLE add(std::shared_ptr<T> object) {
    const std::uintptr_t handle = nextHandle++;
    std::lock_guard<std::mutex> lock(mutex_);
    objects_[handle] = std::move(object);
    return reinterpret_cast<HANDLE>(handle);
  }
  std::shared_ptr<T> get(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    return it == objects_.end() ? nullptr : it->second;
  }
  std::shared_ptr<T> take(HANDLE handle) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = objects_.find(reinterpret_cast<std::uintptr_t>(handle));
    if (it == objects_.end()) return nullptr;
    auto object = std::move(it->second);
    objects_.erase(it);
    return object;
  }

 private:
  std::mutex mutex_;
  std::unordered_map<std::uintptr_t, std::shared_ptr<T>> objects_;
};

// One place for all tables, so their order of destruction at unload is fixed.
struct Handles {
  HandleTable<Enumerator> enumerators;
  HandleTable<Device> devices;
  HandleTable<Control> controls;
  HandleTable<Channel> channels;
};

Handles& handles() {
  static Handles h;
  return h;
}

}  // namespace

extern "C" {

// ------------------------------------------------------------------ general

HRESULT vciInitialize(void) { return VCI_OK; }

HRESULT vciGetVersion(PUINT32 pdwMajorVersion, PUINT32 pdwMinorVersion) {
  if (!pdwMajorVersion || !pdwMinorVersion) return VCI_E_INVPOINTER;
  *pdwMajorVersion = kVersionMajor;
  *pdwMinorVersion = kVersionMinor;
  return VCI_OK;
}

void vciFormatError(HRESULT hrError, PCHAR pszText, UINT32 dwSize) {
  if (!pszText || dwSize == 0) return;
  std::snprintf(pszText, dwSize, "%s", kestrum::vci::errorText(hrError).c_str());
}

HRESULT vciGuidToChar(REFGUID rGuid, PCHAR pszString, UINT32 dwSize) {
  if (!pszString) return VCI_E_INVPOINTER;
  const std::string text = kestrum::vci::guidText(rGuid);
  if (dwSize < text.size() + 1) return VCI_E_BUFFER_OVERFLOW;
  std::memcpy(pszString, text.c_str(), text.size() + 1);
  return VCI_OK;
}

// ------------------------------------------------------------ enumeration

HRESULT vciEnumDeviceOpen(PHANDLE phEnum) {
  if (!phEnum) return VCI_E_INVPOINTER;
  auto enumerator = std::make_shared<Enumerator>();
  enumerator->restart();
  *phEnum = handles().enumerators.add(std::move(enumerator));
  return VCI_OK;
}

HRESULT vciEnumDeviceClose(HANDLE hEnum) {
  auto enumerator = handles().enumerators.take(hEnum);
  if (!enumerator) return VCI_E_INVHANDLE;
  {
    std::lock_guard<std::mutex> lock(enumerator->mutex);
    enumerator->closed = true;
  }
  enumerator->closedSignal.notify_all();
  return VCI_OK;
}

HRESULT vciEnumDeviceNext(HANDLE hEnum, PVCIDEVICEINFO pInfo) {
  if (!pInfo) return VCI_E_INVPOINTER;
  auto enumerator = handles().enumerators.get(hEnum);
  if (!enumerator) return VCI_E_INVHANDLE;
  std::lock_guard<std::mutex> lock(enumerator->mutex);
  if (enumerator->next >= enumerator->devices.size()) return VCI_E_NO_MORE_ITEMS;
  *pInfo = enumerator->devices[enumerator->next++].info;
  return VCI_OK;
}

HRESULT vciEnumDeviceReset(HANDLE hEnum) {
  auto enumerator = handles().enumerators.get(hEnum);
  if (!enumerator) return VCI_E_INVHANDLE;
  enumerator->restart();
  return VCI_OK;
}

HRESULT vciEnumDeviceWaitEvent(HANDLE hEnum, UINT32 dwMsTimeout) {
  auto enumerator = handles().enumerators.get(hEnum);
  if (!enumerator) return VCI_E_INVHANDLE;
  const bool unlimited = dwMsTimeout == INFINITE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : dwMsTimeout);
  for (;;) {
    // Probe outside the lock: it takes a while, and Close must not wait for it.
    const std::set<INT64> now = idsOf(aliveDevices());
    std::unique_lock<std::mutex> lock(enumerator->mutex);
    if (enumerator->closed) return VCI_E_INVHANDLE;
    if (now != enumerator->known) {
      enumerator->known = now;  // each change is reported once
      return VCI_OK;
    }
    auto wakeAt = Clock::now() + kWatchPeriod;
    if (!unlimited) {
      if (Clock::now() >= deadline) return VCI_E_TIMEOUT;
      wakeAt = std::min(wakeAt, deadline);
    }
    enumerator->closedSignal.wait_until(lock, wakeAt, [&] { return enumerator->closed; });
    if (enumerator->closed) return VCI_E_INVHANDLE;
  }
}

// ------------------------------------------------------------------ devices

HRESULT vciDeviceOpen(REFVCIID rVciid, PHANDLE phDevice) {
  if (!phDevice) return VCI_E_INVPOINTER;
  for (auto& record : aliveDevices()) {
    if (record.id() != rVciid.AsInt64) continue;
    *phDevice = handles().devices.add(std::make_shared<Device>(Device{std::move(record)}));
    return VCI_OK;
  }
  return VCI_E_INVALIDARG;
}

HRESULT vciDeviceClose(HANDLE hDevice) { return handles().devices.take(hDevice) ? VCI_OK : VCI_E_INVHANDLE; }

HRESULT vciDeviceGetInfo(HANDLE hDevice, PVCIDEVICEINFO pInfo) {
  if (!pInfo) return VCI_E_INVPOINTER;
  auto device = handles().devices.get(hDevice);
  if (!device) return VCI_E_INVHANDLE;
  // A device whose bus went away is gone, as an unplugged adapter would be.
  if (!kestrum::transport::endpointAlive(device->record.endpoint, kAliveProbeMs)) return VCI_E_DISCONNECTED;
  *pInfo = device->record.info;
  return VCI_OK;
}

HRESULT vciDeviceGetCaps(HANDLE hDevice, PVCIDEVICECAPS pCaps) {
  if (!pCaps) return VCI_E_INVPOINTER;
  if (!handles().devices.get(hDevice)) return VCI_E_INVHANDLE;
  std::memset(pCaps, 0, sizeof *pCaps);
  pCaps->BusCtrlCount = 1;
  pCaps->BusCtrlTypes[0] = VCI_BUS_CTRL(VCI_BUS_CAN, 0);
  return VCI_OK;
}

// --------------------------------------------------------------- controller

HRESULT canControlOpen(HANDLE hDevice, UINT32 dwCanNo, PHANDLE phCanCtl) {
  if (!phCanCtl) return VCI_E_INVPOINTER;
  auto device = handles().devices.get(hDevice);
  if (!device) return VCI_E_INVHANDLE;
  if (dwCanNo != 0) return VCI_E_INVALIDARG;
  auto line = lineFor(device->record.endpoint.key());
  *phCanCtl = handles().controls.add(std::make_shared<Control>(Control{device, line}));
  return VCI_OK;
}

HRESULT canControlClose(HANDLE hCanCtl) { return handles().controls.take(hCanCtl) ? VCI_OK : VCI_E_INVHANDLE; }

HRESULT canControlInitialize(HANDLE hCanCtl, UINT8 bMode, UINT8 bBtr0, UINT8 bBtr1) {
  auto control = handles().controls.get(hCanCtl);
  if (!control) return VCI_E_INVHANDLE;
  auto kbit = kestrum::vci::bitTimingToKbit(bBtr0, bBtr1);
  if (!kbit || !(bMode & (CAN_OPMODE_STANDARD | CAN_OPMODE_EXTENDED))) return VCI_E_INVALIDARG;
  Line& line = *control->line;
  // Open channels of the line change rate now (outside the line lock: the
  // bus may take a moment); channels opened later take it from the line.
  for (auto& channel : line.openChannels()) {
    std::string error;
    if (!channel->transport->setBitrate(*kbit, error)) return VCI_E_FAIL;
  }
  std::lock_guard<std::mutex> lock(line.mutex);
  line.kbit = *kbit;
  line.mode = bMode;
  line.started = false;  // initialising stops the controller
  line.standard = AcceptanceFilter{};
  line.extended = AcceptanceFilter{};
  return VCI_OK;
}

HRESULT canControlReset(HANDLE hCanCtl) {
  auto control = handles().controls.get(hCanCtl);
  if (!control) return VCI_E_INVHANDLE;
  std::lock_guard<std::mutex> lock(control->line->mutex);
  control->line->started = false;
  control->line->standard = AcceptanceFilter{};
  control->line->extended = AcceptanceFilter{};
  return VCI_OK;
}

HRESULT canControlStart(HANDLE hCanCtl, BOOL fStart) {
  auto control = handles().controls.get(hCanCtl);
  if (!control) return VCI_E_INVHANDLE;
  std::lock_guard<std::mutex> lock(control->line->mutex);
  if (fStart && control->line->kbit == 0) return VCI_E_INVALID_STATE;
  control->line->started = fStart != FALSE;
  return VCI_OK;
}

HRESULT canControlSetAccFilter(HANDLE hCanCtl, BOOL fExtend, UINT32 dwCode, UINT32 dwMask) {
  auto control = handles().controls.get(hCanCtl);
  if (!control) return VCI_E_INVHANDLE;
  std::lock_guard<std::mutex> lock(control->line->mutex);
  (fExtend ? control->line->extended : control->line->standard) = AcceptanceFilter{dwCode, dwMask};
  return VCI_OK;
}

// ------------------------------------------------------------------ channel

HRESULT canChannelOpen(HANDLE hDevice, UINT32 dwCanNo, BOOL fExclusive, PHANDLE phCanChn) {
  if (!phCanChn) return VCI_E_INVPOINTER;
  auto device = handles().devices.get(hDevice);
  if (!device) return VCI_E_INVHANDLE;
  if (dwCanNo != 0) return VCI_E_INVALIDARG;
  auto line = lineFor(device->record.endpoint.key());
  unsigned kbit = 0;
  {
    std::lock_guard<std::mutex> lock(line->mutex);
    if (line->exclusive || (fExclusive && line->channelCount() > 0)) return VCI_E_ACCESSDENIED;
    kbit = line->kbit;
  }
  auto transport = kestrum::transport::makeTransport(device->record.endpoint);
  std::string error;
  if (!transport) return VCI_E_FAIL;
  if (kbit != 0 && !transport->setBitrate(kbit, error)) return VCI_E_FAIL;
  if (!transport->open(error)) {
    kestrum::transport::reportUnreachable(device->record.endpoint, error);
    return VCI_E_DISCONNECTED;
  }

  auto channel = std::make_shared<Channel>();
  channel->device = device;
  channel->line = line;
  channel->transport = std::move(transport);
  std::lock_guard<std::mutex> lock(line->mutex);
  // Checked again: another thread may have opened a channel meanwhile.
  if (line->exclusive || (fExclusive && line->channelCount() > 0)) return VCI_E_ACCESSDENIED;
  channel->exclusive = fExclusive != FALSE;
  line->channels.push_back(channel);
  line->exclusive = channel->exclusive;
  *phCanChn = handles().channels.add(std::move(channel));
  return VCI_OK;
}

HRESULT canChannelClose(HANDLE hCanChn) {
  auto channel = handles().channels.take(hCanChn);
  if (!channel) return VCI_E_INVHANDLE;
  {
    std::lock_guard<std::mutex> lock(channel->waitMutex);
    channel->closed = true;
  }
  channel->closedSignal.notify_all();
  channel->transport->close();  // wakes a reader blocked in the transport
  return VCI_OK;
}

HRESULT canChannelInitialize(HANDLE hCanChn, UINT16 wRxFifoSize, UINT16, UINT16 wTxFifoSize, UINT16) {
  auto channel = handles().channels.get(hCanChn);
  if (!channel) return VCI_E_INVHANDLE;
  if (wRxFifoSize == 0 || wTxFifoSize == 0) return VCI_E_INVALIDARG;
  channel->active = false;
  channel->initialised = true;
  return VCI_OK;
}

HRESULT canChannelActivate(HANDLE hCanChn, BOOL fEnable) {
  auto channel = handles().channels.get(hCanChn);
  if (!channel) return VCI_E_INVHANDLE;
  if (!channel->initialised) return VCI_E_INVALID_STATE;
  channel->active = fEnable != FALSE;
  return VCI_OK;
}

HRESULT canChannelReadMessage(HANDLE hCanChn, UINT32 dwMsTimeout, PCANMSG pCanMsg) {
  if (!pCanMsg) return VCI_E_INVPOINTER;
  auto channel = handles().channels.get(hCanChn);
  if (!channel) return VCI_E_INVHANDLE;
  if (!channel->initialised) return VCI_E_INVALID_STATE;
  const bool unlimited = dwMsTimeout == INFINITE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(unlimited ? 0 : dwMsTimeout);
  std::lock_guard<std::mutex> lock(channel->readMutex);
  for (;;) {
    if (channel->closed) return VCI_E_INVHANDLE;
    if (!channel->transport->isOpen()) {
      // Nothing will arrive any more; wait out the time-out so that a caller
      // reading in a loop does not spin, then report the loss.
      channel->idleUntil(deadline, unlimited);
      return channel->closed ? VCI_E_INVHANDLE : VCI_E_DISCONNECTED;
    }
    // Rounded up: a transport wait that ended just short of the deadline
    // would leave a sub-millisecond rest to be polled with zero time-outs.
    const int left = kestrum::transport::msLeft(deadline, unlimited);
    const int slice = unlimited ? kReadSliceMs : std::min(left, kReadSliceMs);
    CanFrame frame;
    const ReadStatus status = channel->transport->read(frame, slice);
    if (status == ReadStatus::Frame) {
      // An inactive channel or a stopped controller receives nothing: such
      // frames are dropped, as they would never reach the receive FIFO.
      if (!channel->active || !channel->line->passes(frame)) continue;
      if (frame.error) kestrum::vci::errorToCanMessage(frame, *pCanMsg);
      else kestrum::vci::toCanMessage(frame, *pCanMsg);
      return VCI_OK;
    }
    if (status == ReadStatus::Timeout && !unlimited && Clock::now() >= deadline) return VCI_E_TIMEOUT;
    // Failed: closed (checked above) or lost (handled above) on the next pass.
  }
}

HRESULT canChannelSendMessage(HANDLE hCanChn, UINT32, PCANMSG pCanMsg) {
  if (!pCanMsg) return VCI_E_INVPOINTER;
  auto channel = handles().channels.get(hCanChn);
  if (!channel) return VCI_E_INVHANDLE;
  if (!channel->active) return VCI_E_INVALID_STATE;
  {
    std::lock_guard<std::mutex> lock(channel->line->mutex);
    if (!channel->line->started) return VCI_E_INVALID_STATE;
  }
  CanFrame frame;
  if (HRESULT status = kestrum::vci::fromCanMessage(*pCanMsg, frame); status != VCI_OK) return status;
  std::string error;
  if (channel->transport->send(frame, error)) return VCI_OK;
  return channel->transport->isOpen() ? VCI_E_FAIL : VCI_E_DISCONNECTED;
}

}  // extern "C"
