#include "CANopen.h"

#include <chrono>
#include <thread>

#include "Varnex.h"
#include "canopen/Cia301.h"
#include "canopen/Orvane.h"

using Clock = std::chrono::steady_clock;

std::uint8_t CANopen::node_id = 0;
double CANopen::timeout = 100.0;
double CANopen::pcFreq = 0.0;
std::int64_t CANopen::counterStart = 0;
Varnex* CANopen::pmyInterface = nullptr;

namespace {

namespace co = kestrum::canopen;
namespace boot = co::orvane::bootloader;
constexpr int kAttempts = 3;

void transmit(std::uint32_t id, std::uint8_t length, const std::uint8_t* data) {
  // The status is not looked at: a frame that did not go out simply goes unanswered.
  CANopen::pmyInterface->TransmitData(id, length, data, false);
}

/// Walks forward with `next` until an element satisfies `matches` or
/// `limitMs` since the last startTimer have passed; sleeps between arrivals.
template <typename Next, typename Match>
const can_data* awaitFrame(Next next, Match matches, double limitMs) {
  const auto deadline = Clock::time_point(Clock::duration(CANopen::counterStart)) +
                        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(limitMs));
  varnex::WakeSignal& arrivals = Varnex::frameArrived();
  while (CANopen::getTime() < limitMs) {
    const std::uint32_t seen = arrivals.snapshot();
    while (const can_data* element = next())
      if (matches(*element)) return element;
    arrivals.waitUntil(seen, deadline);
  }
  return nullptr;
}

// An answer of the selected node to a request for index/subindex: an abort,
// or the server command `scs` that answers this kind of request. A late or
// repeated answer of the other kind for the same object (a download's
// acknowledge arriving while an upload of that object waits, as a repeated
// request produces) is not the answer: taking it read 0 as the value.
auto sdoAnswerTo(std::uint16_t index, std::uint8_t subindex, std::uint8_t scs) {
  const std::uint16_t answerId = co::cob::sdoAnswer(CANopen::node_id);
  return [=](const can_data& e) {
    return e.id == answerId && e.dlc == 8 && e.data[1] == (index & 0xFF) && e.data[2] == (index >> 8) &&
           e.data[3] == subindex && (e.data[0] == co::sdo::kAbort || co::sdo::specifier(e.data[0]) == scs);
  };
}

// The value of an upload answer: bytes 4 to 7, little-endian. An expedited
// answer that indicates its size leaves the unused bytes to the node, which
// may fill them with anything, so only the counted bytes are taken.
std::uint32_t expeditedValue(const std::uint8_t* data) {
  const std::uint8_t flags = co::sdo::kExpedited | co::sdo::kSizeIndicated;
  const int count = (data[0] & flags) == flags ? 4 - co::sdo::expeditedUnused(data[0]) : 4;
  std::uint32_t value = 0;
  for (int i = count - 1; i >= 0; --i) value = value << 8 | data[4 + i];
  return value;
}

SDO marked(std::uint16_t index, std::uint8_t subindex, std::uint8_t type, std::int32_t value) {
  SDO record;
  record.index = index;
  record.slot[0] = {255, subindex};
  record.slot[subindex] = {type, value};
  return record;
}

}  // namespace

CANopen::CANopen() {
  timeout = 100.0;
  pmyInterface = nullptr;
}

void CANopen::setVarnex(Varnex* adapter) { pmyInterface = adapter; }
void CANopen::setCanId(std::uint8_t node) { node_id = node; }
double CANopen::getTimeout() { return timeout; }
void CANopen::setTimeout(double milliseconds) { timeout = milliseconds; }

bool CANopen::startTimer() {
  pcFreq = static_cast<double>(Clock::period::den) / Clock::period::num / 1000.0;
  counterStart = Clock::now().time_since_epoch().count();
  return true;
}

double CANopen::getTime() {
  return static_cast<double>(Clock::now().time_since_epoch().count() - counterStart) / pcFreq;
}

void CANopen::sendNMT(std::uint8_t command) {
  if (!pmyInterface) return;
  const std::uint8_t frame[2] = {command, node_id};
  transmit(co::cob::kNmt, 2, frame);
}

bool CANopen::sendSDO(SDO record, std::uint8_t subindex) {
  const unsigned n = record.slot[subindex].type;
  if (!pmyInterface || n < 1 || n > 4) return false;
  const auto value = static_cast<std::uint32_t>(record.slot[subindex].value);
  const auto index = static_cast<std::uint16_t>(record.index);
  const std::uint8_t frame[8] = {co::sdo::expeditedDownload(int(n)),
                                 static_cast<std::uint8_t>(index & 0xFF),
                                 static_cast<std::uint8_t>(index >> 8),
                                 subindex,
                                 static_cast<std::uint8_t>(value),
                                 static_cast<std::uint8_t>(value >> 8),
                                 static_cast<std::uint8_t>(value >> 16),
                                 static_cast<std::uint8_t>(value >> 24)};
  // Taken once, before the first transmission: an answer to an earlier
  // attempt still counts, an answer from before the request never does.
  varnex::RxCursor cursor = Varnex::takeCursor();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    Varnex::lHasRcvd = 0;
    transmit(co::cob::sdoRequest(node_id), static_cast<std::uint8_t>(n + 4), frame);
    startTimer();
    const can_data* answer = awaitFrame([&] { return cursor.next(); }, sdoAnswerTo(index, subindex, co::sdo::kScsInitiateDownload), timeout);
    if (answer && answer->data[0] != co::sdo::kAbort) return true;
  }
  return false;
}

bool CANopen::sendSDO(SDO record) {
  if (record.slot[0].type != 255) return sendSDO(record, 0);
  bool result = false;
  for (int s = 1; s < record.slot[0].value && s <= 255; ++s) result = sendSDO(record, static_cast<std::uint8_t>(s));
  return result;
}

bool CANopen::sendSDO(SDO record, int first, int last) {
  if (record.slot[0].type != 255) return sendSDO(record, 0);
  bool result = false;
  for (int s = first < 0 ? 0 : first; s <= last && s <= 255; ++s) result = sendSDO(record, static_cast<std::uint8_t>(s));
  return result;
}

bool CANopen::readSDO(SDO& record, std::uint8_t subindex) {
  if (!pmyInterface) return false;
  const auto index = static_cast<std::uint16_t>(record.index);
  const std::uint8_t frame[4] = {co::sdo::kUploadRequest, static_cast<std::uint8_t>(index & 0xFF), static_cast<std::uint8_t>(index >> 8),
                                 subindex};
  varnex::RxCursor cursor = Varnex::takeCursor();
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    transmit(co::cob::sdoRequest(node_id), 4, frame);
    startTimer();
    const can_data* answer =
        awaitFrame([&] { return cursor.next(); }, sdoAnswerTo(index, subindex, co::sdo::kScsInitiateUpload), timeout);
    if (!answer) continue;
    if (answer->data[0] == co::sdo::kAbort) return false;  // the node refused: asking again changes nothing
    record.slot[subindex].type = answer->dlc;
    record.slot[subindex].value = static_cast<std::int32_t>(expeditedValue(answer->data));
    return true;
  }
  return false;
}

bool CANopen::_waitBootup(can_data* cursor, double milliseconds) {
  if (!cursor || !pmyInterface) return false;
  Varnex::lHasRcvd = 0;
  startTimer();
  const std::uint16_t bootupId = co::cob::errorControl(node_id);
  can_data* pos = cursor;
  auto next = [&]() -> const can_data* {
    can_data* n = pos->next.load(std::memory_order_acquire);
    if (n) pos = n;
    return n;
  };
  // A heartbeat carries the node's state in byte 0; only 0x00 is a boot-up.
  auto isBootup = [&](const can_data& e) { return e.dlc >= 1 && e.id == bootupId && e.data[0] == co::nmt::kBootUp; };
  return awaitFrame(next, isBootup, milliseconds) != nullptr;
}

bool CANopen::enableHartbeat() {
  if (!pmyInterface) return false;
  const std::uint8_t frame[8] = {co::sdo::expeditedDownload(2), 0x17, 0x10, 0x00, 0x00, 0x01, 0x00, 0x00};  // 0x1017 := 256 ms
  transmit(co::cob::sdoRequest(node_id), 8, frame);
  return true;
}

bool CANopen::disableHartbeat() {
  if (!pmyInterface) return false;
  // Producer heartbeat time (0x1017) := 0, with the byte layout the
  // controllers have always been sent: the 16-bit value in bytes 4 and 5
  // and a 1 in byte 6 that they ignore.
  const std::uint8_t frame[8] = {co::sdo::expeditedDownload(2), 0x17, 0x10, 0x00, 0x00, 0x00, 0x01, 0x00};
  transmit(co::cob::sdoRequest(node_id), 8, frame);
  return true;
}

bool CANopen::startBootloader() {
  if (!pmyInterface) return false;
  for (int pass = 0; pass < kAttempts; ++pass) {
    sendNMT(co::nmt::kResetNode);
    // The bootloader listens only briefly after the reset; the write must land then.
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    if (sendSDO(marked(boot::kObject, boot::kSubCommand, 1, boot::kStay), boot::kSubCommand)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  return false;
}

bool CANopen::stopBootloader() {
  if (!pmyInterface) return false;
  varnex::RxCursor beforeLeave = Varnex::takeCursor();
  std::uint8_t leave[8] = {co::sdo::expeditedDownload(1)};
  co::sdo::putMultiplexer(leave, boot::kObject, boot::kSubCommand);
  leave[4] = boot::kLeave;
  transmit(co::cob::sdoRequest(node_id), 8, leave);
  if (!_waitBootup(beforeLeave.position(), 10000)) return false;
  varnex::RxCursor beforeReset = Varnex::takeCursor();
  sendNMT(co::nmt::kResetNode);
  return _waitBootup(beforeReset.position(), 2000);
}

bool CANopen::stopBootloader_noreset() {
  const double saved = timeout;
  timeout = 10;
  const bool ok = sendSDO(marked(boot::kObject, boot::kSubCommand, 1, boot::kLeave), boot::kSubCommand);
  timeout = saved;
  return ok;
}
