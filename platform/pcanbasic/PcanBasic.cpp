// libpcanbasic.so: the PCAN-Basic functions over the project's transports.
//
// Channel handles are those of the bus inventory's PEAK channels (SocketCAN
// interfaces of PEAK drivers, then every KESTRUM_BUS entry as the next USB
// channel). The inventory is read afresh by each CAN_Initialize, so a bus
// added to the environment or plugged in later is found without reloading.
// KESTRUM_BUS entries that cannot be parsed or reached are reported once
// (transport/BusReport.h).
//
// Each open channel has a receive thread that blocks on the transport and
// fills the channel's receive queue (as the vendor's driver does), so that
// the receive event (CAN_GetValue, PCAN_RECEIVE_EVENT) is an eventfd kept
// readable exactly while the queue holds a message or the bus is lost: level
// semantics, a waiter never misses a message that arrived before it waited.
// The queue holds kReceiveQueueCapacity messages; more are dropped and
// CAN_GetStatus reports PCAN_ERROR_QOVERRUN until CAN_Reset.
//
// Status codes, as a caller sees them:
//   CAN_Initialize   PCAN_ERROR_INITIALIZE  channel already initialised
//                    PCAN_ERROR_ILLPARAMVAL bit-rate code is not a predefined one
//                    PCAN_ERROR_ILLHW       no such channel, or its bus does not answer
//                    PCAN_ERROR_RESOURCE    no event or thread for the channel
//   CAN_Read/Write/Uninitialize/Reset/GetStatus/GetValue on a channel not
//   initialised:     PCAN_ERROR_INITIALIZE
//   CAN_Read         PCAN_ERROR_QRCVEMPTY   nothing received (never waits)
//                    PCAN_ERROR_ILLHW       the bus connection is lost (after the
//                                           messages received before the loss)
//   CAN_Write        PCAN_ERROR_ILLDATA     LEN > 8
//                    PCAN_ERROR_ILLPARAMVAL identifier out of range, FD/status type
//                    PCAN_ERROR_ILLOPERATION remote frame the bus cannot carry
//                    PCAN_ERROR_QXMTFULL    the bus takes no data (stalled)
//                    PCAN_ERROR_ILLHW       the bus connection is lost
//   CAN_GetValue     PCAN_ERROR_ILLPARAMTYPE parameter other than PCAN_RECEIVE_EVENT
//                    PCAN_ERROR_ILLPARAMVAL buffer null or smaller than an int
//   CAN_SetValue     PCAN_ERROR_ILLPARAMTYPE always (nothing here is settable)
// Null message pointers give PCAN_ERROR_ILLPARAMVAL.

#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "PCANBasic.h"
#include "PcanCodes.h"
#include "transport/BusInventory.h"
#include "version/VersionRecord.h"

KESTRUM_VERSION_RECORD("4, 2, 0, 1");

namespace {

using kestrum::transport::CanFrame;
using kestrum::transport::CanTransport;
using kestrum::transport::ReadStatus;

// Messages a channel keeps for a reader that is behind, as the vendor's driver.
constexpr std::size_t kReceiveQueueCapacity = 32768;

struct Received {
  TPCANMsg msg;
  TPCANTimestamp stamp;
};

struct Channel {
  ~Channel() {
    // Only at unload or exit with the channel still open: CAN_Uninitialize
    // has otherwise stopped the thread already.
    if (receiver.joinable()) {
      transport->close();
      receiver.join();
    }
    if (eventFd >= 0) ::close(eventFd);
  }

  // Keeps the receive event readable exactly while CAN_Read has something
  // other than "queue empty" to return. Caller holds `mutex`.
  void updateEvent() {
    const bool pending = !queue.empty() || ended;
    if (pending == signalled) return;
    eventfd_t value = 1;
    if (pending)
      eventfd_write(eventFd, value);
    else
      eventfd_read(eventFd, &value);  // non-blocking; resets the counter
    signalled = pending;
  }

  // Body of the receive thread: until the transport fails or is closed.
  void receive() {
    pthread_setname_np(pthread_self(), "pcan-rx");
    for (;;) {
      CanFrame frame;
      const ReadStatus status = transport->read(frame, -1);
      if (status == ReadStatus::Timeout) continue;
      std::lock_guard<std::mutex> lock(mutex);
      if (status == ReadStatus::Failed) {
        ended = true;
        updateEvent();
        return;
      }
      Received item{};
      if (!frame.error) {
        kestrum::pcan::toPcanMessage(frame, item.msg, &item.stamp);
      } else {
        // Error frames surface only as a change of the bus state, as status messages.
        const TPCANStatus state = kestrum::pcan::busStateAfter(frame, busState);
        if (state == busState) continue;
        busState = state;
        kestrum::pcan::statusMessage(state, item.msg);
        TPCANMsg unused;
        kestrum::pcan::toPcanMessage(frame, unused, &item.stamp);
      }
      if (queue.size() >= kReceiveQueueCapacity) {
        overrun = true;
        continue;
      }
      queue.push_back(item);
      updateEvent();
    }
  }

  std::unique_ptr<CanTransport> transport;  // set before the thread starts, then only used
  int eventFd = -1;
  std::thread receiver;

  std::mutex mutex;  // guards the members below
  std::deque<Received> queue;
  TPCANStatus busState = PCAN_ERROR_OK;
  bool overrun = false;
  bool ended = false;  // the transport failed or was closed
  bool signalled = false;
};

class Channels {
 public:
  static Channels& instance() {
    static Channels channels;
    return channels;
  }

  std::shared_ptr<Channel> find(TPCANHandle handle) {
    std::lock_guard<std::mutex> lock(mapMutex_);
    auto it = open_.find(handle);
    return it == open_.end() ? nullptr : it->second;
  }

  TPCANStatus initialize(TPCANHandle handle, TPCANBaudrate code) {
    // One initialisation at a time, so a channel cannot be opened twice; the
    // map lock stays free for readers and writers of other channels meanwhile.
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    if (find(handle)) return PCAN_ERROR_INITIALIZE;
    auto kbit = kestrum::pcan::baudCodeToKbit(code);
    if (!kbit) return PCAN_ERROR_ILLPARAMVAL;
    const auto inventory = kestrum::transport::discoverBuses();
    const kestrum::transport::PeakChannel* peak = nullptr;
    for (const auto& candidate : inventory.peakChannels)
      if (candidate.handle == handle) peak = &candidate;
    if (!peak) return PCAN_ERROR_ILLHW;

    auto channel = std::make_shared<Channel>();
    channel->transport = kestrum::transport::makeTransport(peak->endpoint);
    std::string error;
    if (!channel->transport || !channel->transport->setBitrate(*kbit, error)) return PCAN_ERROR_ILLPARAMVAL;
    channel->eventFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (channel->eventFd < 0) return PCAN_ERROR_RESOURCE;
    if (!channel->transport->open(error)) {
      kestrum::transport::reportUnreachable(peak->endpoint, error);
      return PCAN_ERROR_ILLHW;
    }
    try {
      channel->receiver = std::thread(&Channel::receive, channel.get());
    } catch (const std::system_error&) {
      channel->transport->close();
      return PCAN_ERROR_RESOURCE;
    }
    std::lock_guard<std::mutex> lock(mapMutex_);
    open_[handle] = std::move(channel);
    return PCAN_ERROR_OK;
  }

  TPCANStatus uninitialize(TPCANHandle handle) {
    std::lock_guard<std::mutex> lifecycle(lifecycleMutex_);
    std::map<TPCANHandle, std::shared_ptr<Channel>> closing;
    {
      std::lock_guard<std::mutex> lock(mapMutex_);
      if (handle == PCAN_NONEBUS) {
        closing.swap(open_);
      } else {
        auto it = open_.find(handle);
        if (it == open_.end()) return PCAN_ERROR_INITIALIZE;
        closing.emplace(*it);
        open_.erase(it);
      }
    }
    // Closing wakes the receive thread; a thread waiting on the receive event
    // or in CAN_Read still holds its reference, so the channel outlives the call.
    for (auto& entry : closing) {
      entry.second->transport->close();
      entry.second->receiver.join();
    }
    return PCAN_ERROR_OK;
  }

 private:
  std::mutex lifecycleMutex_;
  std::mutex mapMutex_;
  std::map<TPCANHandle, std::shared_ptr<Channel>> open_;
};

}  // namespace

extern "C" {

TPCANStatus CAN_Initialize(TPCANHandle Channel, TPCANBaudrate Btr0Btr1, TPCANType, DWORD, WORD) {
  return Channels::instance().initialize(Channel, Btr0Btr1);
}

TPCANStatus CAN_Uninitialize(TPCANHandle Channel) { return Channels::instance().uninitialize(Channel); }

TPCANStatus CAN_Reset(TPCANHandle Channel) {
  auto channel = Channels::instance().find(Channel);
  if (!channel) return PCAN_ERROR_INITIALIZE;
  std::lock_guard<std::mutex> lock(channel->mutex);
  channel->queue.clear();
  channel->busState = PCAN_ERROR_OK;
  channel->overrun = false;
  channel->updateEvent();
  return PCAN_ERROR_OK;
}

TPCANStatus CAN_GetStatus(TPCANHandle Channel) {
  auto channel = Channels::instance().find(Channel);
  if (!channel) return PCAN_ERROR_INITIALIZE;
  if (!channel->transport->isOpen()) return PCAN_ERROR_ILLHW;
  std::lock_guard<std::mutex> lock(channel->mutex);
  return channel->busState | (channel->overrun ? PCAN_ERROR_QOVERRUN : PCAN_ERROR_OK);
}

TPCANStatus CAN_Read(TPCANHandle Channel, TPCANMsg* MessageBuffer, TPCANTimestamp* TimestampBuffer) {
  if (!MessageBuffer) return PCAN_ERROR_ILLPARAMVAL;
  auto channel = Channels::instance().find(Channel);
  if (!channel) return PCAN_ERROR_INITIALIZE;
  std::lock_guard<std::mutex> lock(channel->mutex);
  if (channel->queue.empty()) {
    if (!channel->ended) return PCAN_ERROR_QRCVEMPTY;
    // Uninitialised meanwhile by another thread, or the bus is gone.
    return Channels::instance().find(Channel) == channel ? PCAN_ERROR_ILLHW : PCAN_ERROR_INITIALIZE;
  }
  *MessageBuffer = channel->queue.front().msg;
  if (TimestampBuffer) *TimestampBuffer = channel->queue.front().stamp;
  channel->queue.pop_front();
  channel->updateEvent();
  return PCAN_ERROR_OK;
}

TPCANStatus CAN_Write(TPCANHandle Channel, TPCANMsg* MessageBuffer) {
  if (!MessageBuffer) return PCAN_ERROR_ILLPARAMVAL;
  auto channel = Channels::instance().find(Channel);
  if (!channel) return PCAN_ERROR_INITIALIZE;
  CanFrame frame;
  if (TPCANStatus status = kestrum::pcan::fromPcanMessage(*MessageBuffer, frame); status != PCAN_ERROR_OK)
    return status;
  std::string error;
  if (channel->transport->send(frame, error)) return PCAN_ERROR_OK;
  if (!channel->transport->isOpen()) return PCAN_ERROR_ILLHW;
  return frame.remote ? PCAN_ERROR_ILLOPERATION : PCAN_ERROR_QXMTFULL;
}

TPCANStatus CAN_GetValue(TPCANHandle Channel, TPCANParameter Parameter, void* Buffer, DWORD BufferLength) {
  if (Parameter != PCAN_RECEIVE_EVENT) return PCAN_ERROR_ILLPARAMTYPE;
  if (!Buffer || BufferLength < sizeof(int)) return PCAN_ERROR_ILLPARAMVAL;
  auto channel = Channels::instance().find(Channel);
  if (!channel) return PCAN_ERROR_INITIALIZE;
  const int fd = channel->eventFd;
  std::memcpy(Buffer, &fd, sizeof fd);
  return PCAN_ERROR_OK;
}

TPCANStatus CAN_SetValue(TPCANHandle, TPCANParameter, void*, DWORD) { return PCAN_ERROR_ILLPARAMTYPE; }

TPCANStatus CAN_GetErrorText(TPCANStatus Error, WORD, LPSTR Buffer) {
  if (!Buffer) return PCAN_ERROR_ILLPARAMVAL;
  const char* text = kestrum::pcan::statusText(Error);
  if (!text) {
    std::snprintf(Buffer, 256, "Undefined error code 0x%X", static_cast<unsigned>(Error));
    return PCAN_ERROR_ILLPARAMVAL;
  }
  std::snprintf(Buffer, 256, "%s", text);
  return PCAN_ERROR_OK;
}

}  // extern "C"
