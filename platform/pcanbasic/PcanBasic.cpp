// libpcanbasic.so: the PCAN-Basic functions over the project's transports.
//
// Channel handles are those of the bus inventory's PEAK channels (SocketCAN
// interfaces of PEAK drivers, then every KESTRUM_BUS entry as the next USB
// channel). The inventory is read afresh by each CAN_Initialize, so a bus
// added to the environment or plugged in later is found without reloading.
//
// Status codes, as a caller sees them:
//   CAN_Initialize   PCAN_ERROR_INITIALIZE  channel already initialised
//                    PCAN_ERROR_ILLPARAMVAL bit-rate code is not a predefined one
//                    PCAN_ERROR_ILLHW       no such channel, or its bus does not answer
//   CAN_Read/Write/Uninitialize/Reset/GetStatus on a channel not initialised:
//                    PCAN_ERROR_INITIALIZE
//   CAN_Read         PCAN_ERROR_QRCVEMPTY   nothing received (never waits)
//                    PCAN_ERROR_ILLHW       the bus connection is lost
//   CAN_Write        PCAN_ERROR_ILLDATA     LEN > 8
//                    PCAN_ERROR_ILLPARAMVAL identifier out of range, FD/status type
//                    PCAN_ERROR_ILLOPERATION remote frame the bus cannot carry
//                    PCAN_ERROR_QXMTFULL    the bus takes no data (stalled)
//                    PCAN_ERROR_ILLHW       the bus connection is lost
// Null message pointers give PCAN_ERROR_ILLPARAMVAL.

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>

#include "PCANBasic.h"
#include "PcanCodes.h"
#include "transport/BusInventory.h"
#include "version/VersionRecord.h"

KESTRUM_VERSION_RECORD("4, 2, 0, 1");

namespace {

using kestrum::transport::CanFrame;
using kestrum::transport::CanTransport;
using kestrum::transport::ReadStatus;

struct Channel {
  std::unique_ptr<CanTransport> transport;
  std::mutex readMutex;  // the transport allows one reader; CAN_Read may come from several threads
  TPCANStatus busState = PCAN_ERROR_OK;  // guarded by readMutex
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
    if (!channel->transport->open(error)) return PCAN_ERROR_ILLHW;
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
    // Closing wakes a CAN_Read in progress on another thread; that thread
    // still holds its reference, so the channel outlives the call.
    for (auto& entry : closing) entry.second->transport->close();
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
  std::lock_guard<std::mutex> lock(channel->readMutex);
  // Bounded: a busy bus must not keep the caller here for ever.
  CanFrame discarded;
  for (int i = 0; i < 65536 && channel->transport->read(discarded, 0) == ReadStatus::Frame; ++i) {
  }
  channel->busState = PCAN_ERROR_OK;
  return PCAN_ERROR_OK;
}

TPCANStatus CAN_GetStatus(TPCANHandle Channel) {
  auto channel = Channels::instance().find(Channel);
  if (!channel) return PCAN_ERROR_INITIALIZE;
  if (!channel->transport->isOpen()) return PCAN_ERROR_ILLHW;
  std::lock_guard<std::mutex> lock(channel->readMutex);
  return channel->busState;
}

TPCANStatus CAN_Read(TPCANHandle Channel, TPCANMsg* MessageBuffer, TPCANTimestamp* TimestampBuffer) {
  if (!MessageBuffer) return PCAN_ERROR_ILLPARAMVAL;
  auto channel = Channels::instance().find(Channel);
  if (!channel) return PCAN_ERROR_INITIALIZE;
  std::lock_guard<std::mutex> lock(channel->readMutex);
  for (;;) {
    CanFrame frame;
    switch (channel->transport->read(frame, 0)) {
      case ReadStatus::Timeout: return PCAN_ERROR_QRCVEMPTY;
      case ReadStatus::Failed:
        // Uninitialised meanwhile by another thread, or the bus is gone.
        return Channels::instance().find(Channel) == channel ? PCAN_ERROR_ILLHW : PCAN_ERROR_INITIALIZE;
      case ReadStatus::Frame: break;
    }
    if (!frame.error) {
      kestrum::pcan::toPcanMessage(frame, *MessageBuffer, TimestampBuffer);
      return PCAN_ERROR_OK;
    }
    // Error frames surface only as a change of the bus state, as status messages.
    const TPCANStatus state = kestrum::pcan::busStateAfter(frame, channel->busState);
    if (state == channel->busState) continue;
    channel->busState = state;
    kestrum::pcan::statusMessage(state, *MessageBuffer);
    if (TimestampBuffer) {
      TPCANMsg unused;
      kestrum::pcan::toPcanMessage(frame, unused, TimestampBuffer);
    }
    return PCAN_ERROR_OK;
  }
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
