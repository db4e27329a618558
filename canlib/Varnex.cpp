#include "Varnex.h"

#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <future>
#include <mutex>
#include <new>
#include <system_error>

#include "Boxes.h"
#include "DeviceDialog.h"
#include "ErrorFile.h"
#include "VarnexStatus.h"
#include "VendorApi.h"
#include "VendorLibrary.h"

using varnex::RxCursor;
using varnex::RxQueue;

namespace {

varnex::PeakApi peak;
varnex::VciApi vci;

// Guards the queue slot against a reader taking a cursor while terminate or
// createBuffer replaces it. The receive thread holds its own reference.
std::mutex queueLock;

// An object built on first use and never destroyed, without a heap block.
// The clean-up at unload (Exports.cpp) needs the queue slot and the thread
// whichever file's static destructors the linker lets run first, and a
// dlclose must leave no block behind that only the unmapped library knew.
template <typename T>
class Lasting {
 public:
  Lasting() { new (storage) T(); }
  T& get() { return *std::launder(reinterpret_cast<T*>(storage)); }

 private:
  alignas(T) unsigned char storage[sizeof(T)];
};

// The current receive queue (empty after terminate until createBuffer).
std::shared_ptr<RxQueue>& currentQueue() {
  static Lasting<std::shared_ptr<RxQueue>> slot;
  return slot.get();
}

std::thread& receiverThread() {
  static Lasting<std::thread> thread;
  return thread.get();
}

varnex::WakeSignal arrivals;

// Longest wait of the PEAK receive thread on the receive event, so that it
// notices a stop request even if the quit event could not be created.
constexpr int kPeakWaitMs = 100;

// Signalled by stopReceiveThread to end the PEAK receive thread's wait at
// once. Created once and never closed: a detached thread may still poll it.
int quitEvent() {
  static const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  return fd;
}

// The PEAK channel's receive event (a file descriptor readable while frames
// wait), or -1 when the library has none: then the thread polls.
int peakReceiveEvent() {
  int fd = -1;
  if (!peak.CAN_GetValue ||
      peak.CAN_GetValue(Varnex::hPeakCanChn, PCAN_RECEIVE_EVENT, &fd, sizeof fd) != PCAN_ERROR_OK)
    return -1;
  return fd;
}

// Waits until the receive event or the quit event fires, at most kPeakWaitMs;
// without a receive event sleeps 1 ms. A receive event that turns invalid is
// dropped (-1), falling back to polling.
void waitForPeakFrames(int& rxEvent) {
  if (rxEvent < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return;
  }
  pollfd fds[2] = {{rxEvent, POLLIN, 0}, {quitEvent(), POLLIN, 0}};
  if (::poll(fds, quitEvent() >= 0 ? 2 : 1, kPeakWaitMs) > 0 && (fds[0].revents & (POLLERR | POLLNVAL))) rxEvent = -1;
}

struct BitTiming {
  std::uint16_t kbit;
  int btr0, btr1;  // -1: IXXAT has no predefined timing for this rate
  int peakCode;    // -1: PCAN-Basic has no predefined code for this rate
};

constexpr BitTiming kBitTimings[] = {
    {5, -1, -1, 0x7F7F},        {10, 0x31, 0x1C, 0x672F},  {20, 0x18, 0x1C, 0x532F},
    {50, 0x09, 0x1C, 0x472F},   {100, 0x04, 0x1C, 0x432F}, {125, 0x03, 0x1C, 0x031C},
    {250, 0x01, 0x1C, 0x011C},  {500, 0x00, 0x1C, 0x001C}, {800, 0x00, 0x16, -1},
    {1000, 0x00, 0x14, 0x0014},
};

// Device ID of an IXXAT device: the sum of the characters of its hardware
// identifier's text, each as a signed 8-bit value, over at most 255 characters.
int deviceIdOf(const char* text) {
  int sum = 0;
  for (int i = 0; i < 255 && text[i]; ++i) sum += static_cast<std::int8_t>(text[i]);
  return sum;
}

bool hardwareIdText(const VCIDEVICEINFO& info, char (&text)[256]) {
  return vci.vciGuidToChar && vci.vciGuidToChar(info.UniqueHardwareId.AsGuid, text, sizeof text) == VCI_OK;
}

void closeIxxatChannel() {
  if (!Varnex::bIxxatLoaded) return;
  if (Varnex::hCanChn && vci.canChannelClose) vci.canChannelClose(Varnex::hCanChn);
  if (Varnex::hCanCtl && vci.canControlClose) vci.canControlClose(Varnex::hCanCtl);
  Varnex::hCanChn = nullptr;
  Varnex::hCanCtl = nullptr;
}

struct ThreadStart {
  std::shared_ptr<RxQueue> queue;
  std::promise<void> ready;
};

std::atomic<varnex::DeviceDialog> deviceDialog{nullptr};

}  // namespace

void varnex::setDeviceDialog(DeviceDialog dialog) { deviceDialog.store(dialog); }

long varnex::runDeviceDialog(void* owner, int kind, const VciApi& api, HANDLE* device, UINT32* line) {
  DeviceDialog dialog = deviceDialog.load();
  return dialog ? dialog(owner, kind, api, device, line) : VCI_E_ABORT;
}

std::int32_t Varnex::vendor = 0;
void* Varnex::hDevice = nullptr;
std::int32_t Varnex::lCtrlNo = 0;
void* Varnex::hCanCtl = nullptr;
void* Varnex::hCanChn = nullptr;
std::uint8_t Varnex::hPeakCanChn = 0;
std::atomic<std::int32_t> Varnex::lMustQuit{0};
std::atomic<std::int32_t> Varnex::lHasRcvd{0};
std::atomic<std::int32_t> Varnex::threadReady{0};
std::atomic<std::int32_t> Varnex::busState{0};
std::atomic<VarnexRecvCallback> Varnex::my_callback{nullptr};
std::atomic<VarnexRecvCallback> Varnex::error_callback{nullptr};
std::atomic<VarnexGetAllCallback> Varnex::get_all_callback{nullptr};
bool Varnex::bIxxatLoaded = false;
bool Varnex::bPeakLoaded = false;

Varnex::Varnex() { InitVarnex(); }

Varnex::Varnex(int family) {
  InitVarnex();
  setCard(family);
}

Varnex::~Varnex() {
  // Close the adapter while its driver is still loaded, then free the drivers.
  terminate();
  peak.unload();
  vci.unload();
  bPeakLoaded = bIxxatLoaded = false;
}

void Varnex::InitVarnex() {
  lMustQuit = 0;
  lHasRcvd = 0;
  wPeakBtr0Btr1 = 0x0014;
  bBtr0 = 0x00;
  bBtr1 = 0x14;
  {
    std::lock_guard<std::mutex> lock(queueLock);
    currentQueue() = std::make_shared<RxQueue>();
  }
  my_callback = nullptr;
  bTerminated = false;
  lSendTimeout = 1000;
  bIxxatLoaded = bPeakLoaded = false;
  vendor = 0;

  std::vector<std::string> missing;
  bPeakLoaded = peak.load(&missing);
  lDeviceCount = 0;
  if (!vci.load(&missing)) return;
  bIxxatLoaded = true;

  HANDLE enumerator = nullptr;
  if (vci.vciEnumDeviceOpen && vci.vciEnumDeviceOpen(&enumerator) == VCI_OK) {
    VCIDEVICEINFO info;
    while (vci.vciEnumDeviceNext(enumerator, &info) == VCI_OK) ++lDeviceCount;
    vci.vciEnumDeviceClose(enumerator);
  }
}

void Varnex::setCard(int family) { vendor = family; }

void Varnex::createBuffer() {
  std::lock_guard<std::mutex> lock(queueLock);
  if (currentQueue()) return;
  currentQueue() = std::make_shared<RxQueue>();
  // Back in the loaded state: the next terminate closes the adapter again.
  bTerminated = false;
}

bool Varnex::setBaudrate(std::uint16_t kbit) {
  const BitTiming* row = nullptr;
  for (const auto& t : kBitTimings)
    if (t.kbit == kbit) row = &t;
  if (!row) return false;
  if (vendor == 0) {
    if (row->btr0 < 0) return false;
    bBtr0 = static_cast<std::uint8_t>(row->btr0);
    bBtr1 = static_cast<std::uint8_t>(row->btr1);
    if (row->peakCode >= 0) wPeakBtr0Btr1 = static_cast<std::uint16_t>(row->peakCode);
    if (bIxxatLoaded && hCanCtl) {
      // Failures leave the controller as it was; the new timing still counts.
      vci.canControlInitialize(hCanCtl, CAN_OPMODE_STANDARD, bBtr0, bBtr1);
      vci.canControlSetAccFilter(hCanCtl, FALSE, CAN_ACC_CODE_ALL, CAN_ACC_MASK_ALL);
      vci.canControlStart(hCanCtl, TRUE);
    }
    return true;
  }
  if (row->peakCode < 0) return false;
  wPeakBtr0Btr1 = static_cast<std::uint16_t>(row->peakCode);
  if (row->btr0 >= 0) {
    bBtr0 = static_cast<std::uint8_t>(row->btr0);
    bBtr1 = static_cast<std::uint8_t>(row->btr1);
  }
  hPeakCanChn = static_cast<std::uint8_t>(vendor & 0xFF);
  return true;
}

long Varnex::SetDevice(int id, int controller) {
  if (!bIxxatLoaded) return VCI_E_FAIL;
  VCIDEVICEINFO chosen{};
  bool haveDevice = false;
  HANDLE enumerator = nullptr;
  if (vci.vciEnumDeviceOpen && vci.vciEnumDeviceOpen(&enumerator) == VCI_OK) {
    VCIDEVICEINFO info;
    char text[256];
    while (vci.vciEnumDeviceNext(enumerator, &info) == VCI_OK) {
      if (!hardwareIdText(info, text)) continue;
      chosen = info;
      haveDevice = true;
      if (deviceIdOf(text) == id) break;
    }
    vci.vciEnumDeviceClose(enumerator);
  }
  long status = 0;
  if (haveDevice) {
    HANDLE device = nullptr;
    status = vci.vciDeviceOpen(chosen.VciObjectId, &device);
    if (status == VCI_OK) adoptDevice(device);
  }
  lCtrlNo = controller > 0 ? controller : 0;
  return status;
}

void Varnex::adoptDevice(void* device) {
  if (hDevice) {
    // A device is replaced: nothing may keep using the old one.
    stopReceiveThread();
    closeIxxatChannel();
    vci.vciDeviceClose(hDevice);
  }
  hDevice = device;
}

void Varnex::SelectDevice(void* window, bool skip) {
  if (vendor == 0) {
    long status = VCI_E_ABORT;
    if (!skip && bIxxatLoaded) {
      HANDLE device = nullptr;
      UINT32 line = 0;
      status = varnex::runDeviceDialog(window, varnex::kBusKindCan, vci, &device, &line);
      if (status == VCI_OK) {
        adoptDevice(device);
        lCtrlNo = static_cast<std::int32_t>(line);
      }
    }
    // Skipped, cancelled, or no dialog in this process: the attached device.
    if (status == VCI_E_ABORT) status = SetDevice(0, 0);
    DisplayError(status);
    return;
  }
  if (!bPeakLoaded) return;
  const auto found = peak.probeChannels(wPeakBtr0Btr1);
  if (!found.empty()) hPeakCanChn = static_cast<std::uint8_t>(found.front());
}

bool Varnex::GetDeviceId(int& id, int& controller) {
  if (!bIxxatLoaded || !hDevice) return false;
  VCIDEVICEINFO info;
  char text[256];
  const HRESULT status = vci.vciDeviceGetInfo(hDevice, &info);
  if (status != VCI_OK || !hardwareIdText(info, text)) {
    DisplayError(status != VCI_OK ? status : VCI_E_FAIL);
    return false;
  }
  id = deviceIdOf(text);
  controller = lCtrlNo;
  return true;
}

int Varnex::getDeviceCount(int family) { return family == 0 ? lDeviceCount : 0; }

bool Varnex::openIxxatController() {
  // Message channel first (shared, 1024 frames in, 128 out), then the
  // controller at the chosen timing, accepting every standard identifier.
  if (vci.canChannelOpen(hDevice, static_cast<UINT32>(lCtrlNo), FALSE, &hCanChn) != VCI_OK) {
    hCanChn = nullptr;
    return false;
  }
  if (vci.canChannelInitialize(hCanChn, 1024, 1, 128, 1) != VCI_OK) return false;
  if (vci.canChannelActivate(hCanChn, TRUE) != VCI_OK) return false;
  if (vci.canControlOpen(hDevice, static_cast<UINT32>(lCtrlNo), &hCanCtl) != VCI_OK) {
    hCanCtl = nullptr;
    return false;
  }
  return vci.canControlInitialize(hCanCtl, CAN_OPMODE_STANDARD, bBtr0, bBtr1) == VCI_OK &&
         vci.canControlSetAccFilter(hCanCtl, FALSE, CAN_ACC_CODE_ALL, CAN_ACC_MASK_ALL) == VCI_OK &&
         vci.canControlStart(hCanCtl, TRUE) == VCI_OK;
}

bool Varnex::initializeController() {
  lMustQuit = 0;
  if (vendor == 0) {
    if (!bIxxatLoaded || !hDevice) return true;
    stopReceiveThread();
    closeIxxatChannel();
    // An opening error is silent: no thread, requests simply time out.
    if (!openIxxatController()) return true;
  } else {
    if (!bPeakLoaded || hPeakCanChn == 0) return true;
    stopReceiveThread();
    peak.CAN_Uninitialize(hPeakCanChn);
    const TPCANStatus status = peak.CAN_Initialize(hPeakCanChn, wPeakBtr0Btr1, 0, 0, 0);
    lMustQuit = 0;
    if (status != PCAN_ERROR_OK) return false;
  }

  lMustQuit = 0;  // stopping an earlier thread above raised it
  auto* start = new ThreadStart;
  {
    std::lock_guard<std::mutex> lock(queueLock);
    start->queue = currentQueue();
  }
  auto ready = start->ready.get_future();
  threadReady = 0;
  receiverThread() = std::thread(&Varnex::ReceiveThread, start);
  ready.wait();
  return true;
}

long Varnex::sendOnce(std::uint32_t id, std::uint8_t length, const std::uint8_t* data, bool remote) {
  if (vendor == 0) {
    CANMSG msg{};
    msg.dwTime = 0;
    msg.dwMsgId = id;
    msg.uMsgInfo.Bytes.bType = CAN_MSGTYPE_DATA;
    msg.uMsgInfo.Bytes.bFlags = static_cast<UINT8>((length & CAN_MSGFLAGS_DLC) | (remote ? CAN_MSGFLAGS_RTR : 0));
    if (data) std::memcpy(msg.abData, data, length);
    return vci.canChannelSendMessage(hCanChn, static_cast<UINT32>(lSendTimeout), &msg);
  }
  TPCANMsg msg{};
  msg.ID = id;
  msg.MSGTYPE = remote ? PCAN_MESSAGE_RTR : PCAN_MESSAGE_STANDARD;
  msg.LEN = length;
  if (data) std::memcpy(msg.DATA, data, length);
  return static_cast<long>(peak.CAN_Write(hPeakCanChn, &msg));
}

long Varnex::TransmitData(std::uint32_t id, std::uint8_t length, const std::uint8_t* data, bool remote) {
  if (vendor == 0 ? !bIxxatLoaded : !bPeakLoaded) return -1;
  // A longer frame would read past the caller's buffer and is no CAN frame.
  if (length > 8) return vendor == 0 ? static_cast<long>(VCI_E_INVALIDARG) : static_cast<long>(PCAN_ERROR_ILLPARAMVAL);
  long status = sendOnce(id, length, data, remote);
  if (status != 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    status = sendOnce(id, length, data, remote);
    varnex::logTransmitError(id, status);
  }
  if (VarnexGetAllCallback callback = get_all_callback.load()) {
    // The callee reads 8 bytes; the caller's buffer may hold only `length`.
    std::uint8_t copy[8] = {};
    if (data) std::memcpy(copy, data, length);
    std::uint32_t time = 0;
    auto id16 = static_cast<std::uint16_t>(id);
    std::uint8_t dlc = length;
    bool transmitted = true;
    const varnex::CurrentFrame frame(id, remote ? VarnexStatus::kFrameRemote : 0);
    callback(copy, time, id16, dlc, transmitted);
  }
  return status;
}

void Varnex::set_RecvCallback(VarnexRecvCallback callback) { my_callback = callback; }
void Varnex::set_ErrorCallback(VarnexRecvCallback callback) { error_callback = callback; }
void Varnex::set_GetAllCallback(VarnexGetAllCallback callback) { get_all_callback = callback; }

void Varnex::DisplayError(long status) {
  if (!bIxxatLoaded || status == 0) return;
  char text[VCI_MAX_ERRSTRLEN] = {};
  if (status == -1)
    std::snprintf(text, sizeof text, "%s", std::strerror(errno));
  else if (vci.vciFormatError)
    vci.vciFormatError(static_cast<HRESULT>(status), text, sizeof text);
  else
    std::snprintf(text, sizeof text, "error 0x%08lX", static_cast<unsigned long>(status) & 0xFFFFFFFFUL);
  varnex::showBox("Orvane CanOpen dll", text, varnex::BoxIcon::Error);
}

void Varnex::printCanMsg(const can_data* frame) {
  if (!frame) return;
  std::printf("\nTime: %10u  ID: %3X  DLC: %1u  Data:", frame->time, frame->id, frame->dlc);
  for (unsigned i = 0; i < frame->dlc && i < 8; ++i) std::printf(" %.2X", frame->data[i]);
}

void Varnex::terminate() {
  VarnexRecvCallback recv = my_callback.exchange(nullptr);
  VarnexRecvCallback error = error_callback.exchange(nullptr);
  VarnexGetAllCallback all = get_all_callback.exchange(nullptr);
  if (!bTerminated) {
    bTerminated = true;
    // Wait for the receive thread (at most one read time-out) so that nothing
    // reads the adapter or appends to the queue after it is closed.
    stopReceiveThread();
    closeIxxatChannel();
    if (bIxxatLoaded && hDevice) vci.vciDeviceClose(hDevice);
    hDevice = nullptr;
    if (bPeakLoaded && hPeakCanChn) peak.CAN_Uninitialize(hPeakCanChn);
  }
  {
    // Cursors still walking the old queue keep it alive until they finish.
    std::lock_guard<std::mutex> lock(queueLock);
    currentQueue().reset();
  }
  my_callback = recv;
  error_callback = error;
  get_all_callback = all;
}

void Varnex::stopReceiveThread() {
  lMustQuit = 1;
  if (quitEvent() >= 0) eventfd_write(quitEvent(), 1);
  std::thread& thread = receiverThread();
  if (!thread.joinable()) return;
  // Also runs from static destructors at unload, where an exception ends the process.
  try {
    if (thread.get_id() == std::this_thread::get_id())
      thread.detach();  // called from a callback on the receive thread itself
    else
      thread.join();
  } catch (const std::system_error&) {
    varnex::debugLog("receive thread could not be joined");
  }
}

std::shared_ptr<RxQueue> Varnex::queue() {
  std::lock_guard<std::mutex> lock(queueLock);
  return currentQueue();
}

RxCursor Varnex::takeCursor() {
  auto q = queue();
  return q ? q->cursor() : RxCursor();
}

varnex::WakeSignal& Varnex::frameArrived() { return arrivals; }

void* Varnex::ReceiveThread(void* arg) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(arg));
  pthread_setname_np(pthread_self(), "varnex-rx");
  std::shared_ptr<RxQueue> rx = std::move(start->queue);
  const bool ixxat = vendor == 0;
  if (ixxat ? !bIxxatLoaded : !bPeakLoaded) {
    start->ready.set_value();
    return nullptr;
  }

  // Frames that waited in the adapter before we opened belong to nobody.
  for (int i = 0; i < 50; ++i) {
    if (ixxat) {
      CANMSG msg;
      if (vci.canChannelReadMessage(hCanChn, 1, &msg) != VCI_OK) break;
    } else {
      TPCANMsg msg;
      if (peak.CAN_Read(hPeakCanChn, &msg, nullptr) != PCAN_ERROR_OK) break;
    }
  }
  int rxEvent = -1;
  if (!ixxat) {
    eventfd_t stale;
    if (quitEvent() >= 0) eventfd_read(quitEvent(), &stale);  // a stop request of an earlier thread
    rxEvent = peakReceiveEvent();
    varnex::debugLog("PEAK channel 0x%02X: %s", static_cast<unsigned>(hPeakCanChn),
                     rxEvent >= 0 ? "waiting on the receive event" : "no receive event, polling every millisecond");
  }
  threadReady = 1;
  busState = 1;
  start->ready.set_value();

  bool backlog = false;  // PEAK: the last read delivered a frame, read on at once
  while (!lMustQuit.load()) {
    bool received = false;
    bool dataFrame = false, errorFrame = false;
    bool standardData = false;  // an 11-bit data frame: the only kind an answer can be
    std::uint32_t wholeId = 0;  // 29 bits for an extended frame
    std::uint8_t kind = 0;      // VarnexStatus::kFrame* bits
    std::uint32_t time = 0;
    std::uint16_t id = 0;
    std::uint8_t dlc = 0;
    std::uint8_t data[8] = {};
    if (ixxat) {
      CANMSG msg;
      const HRESULT status = vci.canChannelReadMessage(hCanChn, 100, &msg);
      if (status == VCI_OK) {
        received = true;
        time = msg.dwTime;
        id = static_cast<std::uint16_t>(msg.dwMsgId & 0x7FF);
        dlc = msg.uMsgInfo.Bytes.bFlags & CAN_MSGFLAGS_DLC;
        dataFrame = msg.uMsgInfo.Bytes.bType == CAN_MSGTYPE_DATA;
        errorFrame = msg.uMsgInfo.Bytes.bType == CAN_MSGTYPE_ERROR;
        standardData = dataFrame && !(msg.uMsgInfo.Bytes.bFlags & (CAN_MSGFLAGS_RTR | CAN_MSGFLAGS_EXT));
        wholeId = msg.dwMsgId;
        kind = static_cast<std::uint8_t>(((msg.uMsgInfo.Bytes.bFlags & CAN_MSGFLAGS_EXT) ? VarnexStatus::kFrameExtended : 0) |
                                         ((msg.uMsgInfo.Bytes.bFlags & CAN_MSGFLAGS_RTR) ? VarnexStatus::kFrameRemote : 0));
        std::memcpy(data, msg.abData, 8);
      } else if (status != VCI_E_TIMEOUT && status != VCI_E_RXQUEUE_EMPTY) {
        busState = 2;
        // A broken channel answers at once; don't turn that into a spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    } else {
      // PCAN-Basic has no blocking read. Read back to back while frames are
      // waiting; only once the queue is empty wait for the receive event, so
      // an event that fires once per burst (not while frames wait) loses nothing.
      if (!backlog) {
        waitForPeakFrames(rxEvent);
        if (lMustQuit.load()) break;
      }
      TPCANMsg msg;
      TPCANTimestamp stamp{};
      const TPCANStatus status = peak.CAN_Read(hPeakCanChn, &msg, &stamp);
      backlog = status == PCAN_ERROR_OK && vendor > 0;
      if (status != PCAN_ERROR_OK && status != PCAN_ERROR_QRCVEMPTY) {
        busState = 2;
        // A lost bus keeps the event readable and answers at once; don't turn that into a spin.
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (backlog) {
        received = true;
        time = stamp.millis * 1000u + stamp.micros;
        id = static_cast<std::uint16_t>(msg.ID & 0x7FF);
        dlc = msg.LEN;
        dataFrame = msg.MSGTYPE == PCAN_MESSAGE_STANDARD;
        errorFrame = !dataFrame;
        standardData = dataFrame;
        wholeId = msg.ID;
        kind = static_cast<std::uint8_t>(((msg.MSGTYPE & PCAN_MESSAGE_EXTENDED) ? VarnexStatus::kFrameExtended : 0) |
                                         ((msg.MSGTYPE & PCAN_MESSAGE_RTR) ? VarnexStatus::kFrameRemote : 0));
        std::memcpy(data, msg.DATA, 8);
      }
    }
    if (dlc > 8) dlc = 8;
    if (received) busState = 1;
    if (received && !rx) continue;  // queue dropped by terminate: the frame goes nowhere
    if (received) {
      // Bytes beyond the length are zero, as the queue promises.
      std::memset(data + dlc, 0, 8 - dlc);
      // The queue serves the SDO and boot-up waits only. A 29-bit or remote
      // frame would match there once its identifier is cut to 11 bits, and
      // can_data has no room to say what it was, so such frames stay out.
      if (standardData) {
        rx->append(time, id, dlc, data);
        arrivals.notifyAll();
      }
      // Each callee gets its own copy: a callback may not spoil the next one's data.
      const varnex::CurrentFrame frame(wholeId, kind);
      std::uint8_t copy[8];
      if (VarnexGetAllCallback all = get_all_callback.load()) {
        std::memcpy(copy, data, 8);
        bool transmitted = false;
        all(copy, time, id, dlc, transmitted);
      }
      VarnexRecvCallback callback = dataFrame ? my_callback.load() : errorFrame ? error_callback.load() : nullptr;
      if (callback) {
        std::memcpy(copy, data, 8);
        callback(copy, time, id, dlc);
      }
    }
    lHasRcvd = 1;
  }
  busState = 0;
  // Wake waiters so they notice the end of reception without their deadline.
  arrivals.notifyAll();
  return nullptr;
}
