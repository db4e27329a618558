#include "DLLConnector.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>

#include "DLLLoader.h"
#include "Logging.h"
#include "MessageFilter.h"

// Debug lines are off unless QT_LOGGING_RULES turns them on ("kestrum.*.debug=true").
Q_LOGGING_CATEGORY(lcBus, "kestrum.bus", QtInfoMsg)

bool DLLConnector::appClosing = false;
QString DLLConnector::lastSdoString;

namespace {

constexpr int countdownIntervalMs = 5;
constexpr int drainIntervalMs = 10;
constexpr std::uint32_t maxTimeoutMs = 10000;

std::int32_t le32(const std::uint8_t* b) {
  return std::int32_t(std::uint32_t(b[0]) | std::uint32_t(b[1]) << 8 | std::uint32_t(b[2]) << 16 |
                      std::uint32_t(b[3]) << 24);
}

struct AbortEntry {
  std::uint32_t code;
  const char* text;
};

// CiA 301 abort codes with the application's texts.
const AbortEntry abortTable[] = {
    {0x05030000, "Toggle bit not alternated."},
    {0x05040000, "SDO protocol timed out."},
    {0x05040001, "Client/server command specifier not valid or unknown."},
    {0x05040002, "Invalid block size (block mode only)."},
    {0x05040003, "Invalid sequence number (block mode only)."},
    {0x05040004, "CRC error (block mode only)."},
    {0x05040005, "Out of memory."},
    {0x06010000, "Unsupported access to an object."},
    {0x06010001, "Attempt to read a write only object."},
    {0x06010002, "Attempt to write a read only object."},
    {0x06020000, "Object does not exist in the object dictionary."},
    {0x06040041, "Object cannot be mapped to the PDO."},
    {0x06040042, "The number and length of the objects to be mapped would exceed PDO length."},
    {0x06040043, "General parameter incompatibility reason."},
    {0x06040047, "General internal incompatibility in the device."},
    {0x06060000, "Access failed due to an hardware error."},
    {0x06070010, "Data type does not match, length of service parameter does not match"},
    {0x06070012, "Data type does not match, length of service parameter too high"},
    {0x06070013, "Data type does not match, length of service parameter too low"},
    {0x06090011, "Sub-index does not exist."},
    {0x06090030, "Value range of parameter exceeded (only for write access)."},
    {0x06090031, "Value of parameter written too high."},
    {0x06090032, "Value of parameter written too low."},
    {0x06090036, "Maximum value is less than minimum value."},
    {0x08000000, "general error"},
    {0x08000020, "Data cannot be transferred or stored to the application."},
    {0x08000021, "Data cannot be transferred or stored to the application because of local control."},
    {0x08000022,
     "Data cannot be transferred or stored to the application because of the present device state."},
    {0x08000023,
     "Object dictionary dynamic generation fails or no object dictionary is present (e.g. object "
     "dictionary is generated from file and generation fails because of an file error)."},
};

}  // namespace

DLLConnector::DLLConnector(DLLLoader* loader, std::size_t ringCapacity)
    : loader_(loader ? loader : &DLLLoader::getLoader()),
      context_(std::make_unique<QObject>()),
      ring_(ringCapacity) {
  appClosing = false;
  loader_->registerForwarder();
  online_ = loader_->available;

  timeoutTimer_ = new QTimer(context_.get());
  timeoutTimer_->setTimerType(Qt::PreciseTimer);
  timeoutTimer_->setInterval(countdownIntervalMs);
  timeoutTimer_->callOnTimeout(context_.get(), [this] { countdown(); });
  receiveTimer_ = new QTimer(context_.get());
  receiveTimer_->setTimerType(Qt::PreciseTimer);
  receiveTimer_->setInterval(drainIntervalMs);
  receiveTimer_->callOnTimeout(context_.get(), [this] { drain(); });
  timeoutTimer_->start();
  receiveTimer_->start();

  // The intake wakes this thread through an eventfd when the expected answer
  // arrives, so a round trip does not wait for the next drain tick.
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (wakeFd_ >= 0) {
    auto* notifier = new QSocketNotifier(wakeFd_, QSocketNotifier::Read, context_.get());
    QObject::connect(notifier, &QSocketNotifier::activated, context_.get(), [this] {
      std::uint64_t count;
      [[maybe_unused]] const ssize_t n = ::read(wakeFd_, &count, sizeof count);
      wakePosted_.store(false);
      drain();
    });
  }

  filter_ = MessageFilter::instance();
  batch_.reserve(ring_.capacity());
  // Last: from here on the library's thread may call frameIntake.
  if (online_)
    loader_->setFrameHandler(&DLLConnector::frameIntake, this);
  else
    loader_->setFrameHandler(nullptr, nullptr);
}

DLLConnector::~DLLConnector() {
  stopTimers();
  loader_->clearFrameHandler(this);
  if (online_) {
    // The library settles its threads between detaching the callback and
    // closing the adapter, and again before it may be opened anew.
    setGetAllCallbackW(nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    terminate_canW();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
  }
  context_.reset();  // the notifier goes before its descriptor
  if (wakeFd_ >= 0) ::close(wakeFd_);
}

void DLLConnector::stopTimers() {
  timeoutTimer_->stop();
  receiveTimer_->stop();
}

// ---- frames -------------------------------------------------------------

void DLLConnector::frameIntake(void* self, const std::uint8_t* data, std::uint32_t time,
                               std::uint16_t id, std::uint8_t dlc, bool transmitted) {
  auto* c = static_cast<DLLConnector*>(self);
  c->ring_.push(data, time, id, dlc, transmitted);
  // The expected answer wakes the user-interface thread at once; at most one
  // wake-up is outstanding.
  if (!transmitted && c->queryPending_.load() && id == c->expectedId_.load() && c->wakeFd_ >= 0 &&
      !c->wakePosted_.exchange(true)) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(c->wakeFd_, &one, sizeof one);
  }
}

void DLLConnector::drain() {
  // Frames are taken out of the ring in batches so the receive thread never
  // waits for the message filter. The batch is a member: a filter that
  // starts an SDO exchange re-enters here while waiting and goes on with the
  // same batch, which keeps the frames in order and lets its answer through.
  std::uint64_t dropped = 0;
  for (std::size_t handled = 0; handled < ring_.capacity(); ++handled) {
    if (batchPos_ >= batch_.size()) {
      batchPos_ = 0;
      dropped += ring_.take(batch_, ring_.capacity() - handled);
      if (batch_.empty()) break;
    }
    const ConnectorFrame frame = batch_[batchPos_++];
    dispatch(frame);
  }
  if (dropped)
    Logging::instance().log(
        QStringLiteral("CAN receive buffer overflow: %1 frame(s) lost").arg(dropped), Qt::red);
}

void DLLConnector::dispatch(const ConnectorFrame& frame) {
  if (queryPending_.load() && !frame.isTx && frame.id == expectedId_.load()) {
    const std::size_t n = frame.dlc < 8 ? frame.dlc : 8;
    std::fill(std::begin(answer_), std::end(answer_), std::uint8_t(0));
    std::copy(frame.data, frame.data + n, answer_);
    answerLength_ = frame.dlc;
    queryDone_ = true;
    queryPending_.store(false);
  }
  if (filter_) filter_->onFrame(frame);
}

// ---- the SDO client ------------------------------------------------------

void DLLConnector::countdown() {
  if (ticksLeft_ < 0) {
    queryDone_ = true;
    queryPending_.store(false);
  } else {
    --ticksLeft_;
  }
}

std::int32_t DLLConnector::queryRefusal(std::uint8_t node, std::uint32_t timeoutMs) const {
  if (node == 0 || node > 127) return 514;
  if (timeoutMs > maxTimeoutMs) return 515;
  if (queryPending_.load()) return 516;
  if (!timeoutTimer_->isActive()) return 517;
  return 0;
}

void DLLConnector::armQuery(std::uint8_t node, std::uint32_t timeoutMs) {
  ticksLeft_ = int(timeoutMs / countdownIntervalMs);
  queryDone_ = false;
  expectedId_.store(std::uint16_t(0x580 + node));
  queryPending_.store(true);
}

void DLLConnector::cancelQuery() {
  // A wait ended this way got no answer: without this mark it would check
  // the previous exchange's answer and could report it as its own success.
  ticksLeft_ = -1;
  queryDone_ = true;
  queryPending_.store(false);
}

bool DLLConnector::isQueryPending() { return queryPending_.load(); }

bool DLLConnector::sendRequest(std::uint8_t node, const std::uint8_t (&request)[8]) {
  std::uint8_t data[8];
  std::copy(std::begin(request), std::end(request), data);
  if (send_PDOW(0x600 + node, data, false)) return true;
  // Nothing will answer a request that never left; keeping the query armed
  // would only turn the next requests into "last query not finished".
  cancelQuery();
  return false;
}

bool DLLConnector::waitForAnswer(Wait mode, std::uint32_t timeoutMs, bool honourAppClosing) {
  const auto start = std::chrono::steady_clock::now();
  const auto limit = std::chrono::milliseconds(timeoutMs);
  while (!queryDone_) {
    if (honourAppClosing && appClosing) {
      cancelQuery();
      return false;
    }
    // Without the countdown (timers stopped while waiting) nothing would end
    // the wait; count it as a time-out instead of hanging.
    const bool expired = mode == Wait::WallClock && std::chrono::steady_clock::now() - start > limit;
    if (expired || !timeoutTimer_->isActive()) {
      ticksLeft_ = -1;
      cancelQuery();
      break;
    }
    // Sleeps until an event arrives: the answer's wake-up, the 5 ms
    // countdown or the 10 ms drain; no core is spun.
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  return true;
}

std::int32_t DLLConnector::checkHeader(std::uint16_t index, std::uint8_t subIndex,
                                       const char* tag) const {
  if (ticksLeft_ < 0) return 2;
  if (answerLength_ != 8) return 257;
  if (answer_[1] != (index & 0xFF) || answer_[2] != (index >> 8)) {
    qCDebug(lcBus) << tag;
    return 258;
  }
  if (answer_[3] != subIndex) return 259;
  return 0;
}

SDOResult DLLConnector::readObject(std::uint8_t node, std::uint16_t index, std::uint8_t subIndex,
                                   std::uint8_t type, std::uint32_t timeoutMs) {
  SDOResult r;
  if (appClosing) return r;
  const bool knownType = type == TYPE_U8 || type == TYPE_U16 || type == TYPE_U32 || type == TYPE_STRING;
  if ((r.code = knownType ? queryRefusal(node, timeoutMs) : 513)) return r;

  armQuery(node, timeoutMs);
  const std::uint8_t request[8] = {0x40, std::uint8_t(index), std::uint8_t(index >> 8), subIndex,
                                   0, 0, 0, 0};
  if (!sendRequest(node, request)) return {1, 0, 0, 0};
  // The controller name (0x1009) is exempt from the wall-clock limit and
  // times out by the countdown alone.
  const Wait mode = index == 0x1009 ? Wait::TicksOnly : Wait::WallClock;
  if (!waitForAnswer(mode, timeoutMs, true)) return SDOResult{};

  if ((r.code = checkHeader(index, subIndex, "wrong SDO >1<"))) return r;
  const std::uint8_t* a = answer_;
  switch (a[0]) {
    case 0x80:
      r.code = 3;
      r.abortCode = le32(a + 4);
      break;
    case 0x43:
      r.size = 4;
      if (type == TYPE_U32)
        r.value = le32(a + 4);
      else
        r.code = 291;
      break;
    case 0x4B:
      if (a[6] || a[7]) return {274, 0, 0, 0};
      r.size = 2;
      if (type == TYPE_U16)
        r.value = a[4] | a[5] << 8;
      else
        r.code = 290;
      break;
    case 0x4F:
      if (a[5] || a[6] || a[7]) return {273, 0, 0, 0};
      r.size = 1;
      if (type == TYPE_U8)
        r.value = a[4];
      else
        r.code = 289;
      break;
    case 0x41:
      if (a[5] || a[6] || a[7]) return {273, 0, 0, 0};
      r.size = 6;
      if (type != TYPE_STRING) {
        r.code = 290;
        break;
      }
      return uploadSegments(timeoutMs, mode);
    default:
      r.code = 260;
  }
  return r;
}

SDOResult DLLConnector::uploadSegments(std::uint32_t timeoutMs, Wait mode) {
  const std::uint8_t node = std::uint8_t(expectedId_.load() - 0x580);
  const int n = answer_[4];  // strings up to 255 bytes
  QByteArray text;
  int toggle = 0;
  while (text.size() != n) {
    armQuery(node, timeoutMs);
    const std::uint8_t request[8] = {std::uint8_t(toggle ? 0x70 : 0x60), 0, 0, 0, 0, 0, 0, 0};
    if (!sendRequest(node, request)) return {1, 0, 6, 0};
    if (!waitForAnswer(mode, timeoutMs, true)) return SDOResult{};
    if (ticksLeft_ < 0) return {2, 0, 6, 0};
    if (answerLength_ != 8) return {257, 0, 6, 0};

    int bytes = 0;
    bool last = false;
    if (answer_[0] == (toggle ? 0x10 : 0x00)) {
      bytes = 7;
      toggle ^= 1;
    } else if (answer_[0] & 1) {
      bytes = 7 - ((answer_[0] >> 1) & 7);
      last = true;
    } else {
      return {3, 0, 6, 0};  // wrong toggle, or an abort during the transfer
    }
    text.append(reinterpret_cast<const char*>(answer_ + 1), bytes);
    // More data than announced, or the end before all of it: the transfer
    // cannot be completed (instead of requesting segments without end).
    if (text.size() > n || (last && text.size() != n)) return {3, 0, 6, 0};
  }
  lastSdoString = QString::fromLatin1(text);
  return {0, 0, 6, n};
}

SDOResult DLLConnector::writeObject(std::uint8_t node, std::uint16_t index, std::uint8_t subIndex,
                                    std::uint8_t type, std::uint32_t timeoutMs,
                                    std::int32_t value) {
  SDOResult r;
  std::uint8_t command;
  switch (type) {
    case TYPE_U8: command = 0x2F; break;
    case TYPE_U16: command = 0x2B; break;
    case TYPE_U32: command = 0x23; break;
    default: return {513, 0, 0, 0};
  }
  std::uint8_t request[8] = {command, std::uint8_t(index), std::uint8_t(index >> 8), subIndex,
                             0, 0, 0, 0};
  const std::uint32_t v = std::uint32_t(value);
  for (int i = 0; i < type; ++i) request[4 + i] = std::uint8_t(v >> (8 * i));

  if ((r.code = queryRefusal(node, timeoutMs))) return r;

  armQuery(node, timeoutMs);
  if (!sendRequest(node, request)) return {1, 0, 0, 0};
  waitForAnswer(Wait::TicksOnly, timeoutMs, false);

  if ((r.code = checkHeader(index, subIndex, "wrong SDO >2<"))) return r;
  const std::uint8_t* a = answer_;
  if (a[0] == 0x80) return {3, le32(a + 4), 0, 0};
  if (a[0] != 0x60) return {260, 0, 0, 0};
  if (a[4] || a[5] || a[6] || a[7]) return {type == TYPE_U8 ? 273 : type == TYPE_U16 ? 274 : 275, 0, 0, 0};
  return r;
}

QString DLLConnector::abortText(std::uint32_t abortCode) {
  for (const AbortEntry& e : abortTable)
    if (e.code == abortCode) return QLatin1String(e.text);
  return {};
}

QString DLLConnector::getErrorText(const SDOResult& result) {
  switch (result.code) {
    case 0: return QStringLiteral("no error");
    case 1: return QStringLiteral("bus dead");
    case 2: return QStringLiteral("protocol: no answer within timeout");
    case 3: {
      const QString text = abortText(std::uint32_t(result.abortCode));
      return QStringLiteral("slave reported error: ") +
             (text.isEmpty() ? QString::number(std::uint32_t(result.abortCode)) : text);
    }
    case 257: return QStringLiteral("protocol: wrong data length code from slave");
    case 258: return QStringLiteral("protocol: wrong SDO-ID in answer from slave");
    case 259: return QStringLiteral("protocol: wrong SDO-SUBID in answer from slave");
    case 260: return QStringLiteral("protocol: dont know how to handle given header from slave");
    case 273:
    case 274:
    case 275: return QStringLiteral("protocol: zero bytes are not zero");
    case 289:
    case 290:
    case 291: return QStringLiteral("protocol: wrong datatype sent by slave");
    case 513: return QStringLiteral("internal: unknown type given");
    case 514: return QStringLiteral("internal: nodeid out of range");
    case 515: return QStringLiteral("internal: timeout out of range");
    case 516: return QStringLiteral("protocol: last query not finished");
    case 517: return QStringLiteral("internal: query timer not runnning");
    default: return QStringLiteral("unknown error: ") + QString::number(result.code);
  }
}

// ---- library wrappers ----------------------------------------------------
// Each passes its arguments unchanged; a function the library lacks (or a
// library that is not loaded) reports failure.

double DLLConnector::getLevel() { return 1.0; }

bool DLLConnector::init_canW(std::uint8_t node, int kbit, int ixxatDevice, int ixxatController,
                             bool skipDialog, int vendor, void* ownerWindow) {
  if (!loader_->init_can) return false;
  const bool ok = loader_->init_can(node, kbit, ixxatDevice, ixxatController, skipDialog, vendor,
                                    ownerWindow);
  if (ok && filter_) filter_->enable();
  return ok;
}

void DLLConnector::terminate_canW() {
  if (loader_->terminate_can) loader_->terminate_can();
}

bool DLLConnector::send_sdoW(std::uint16_t index, std::uint8_t subIndex, std::uint8_t type,
                             std::int32_t value) {
  return loader_->send_SDO && loader_->send_SDO(index, subIndex, type, value);
}

bool DLLConnector::recv_sdoW(std::uint16_t index, std::uint8_t subIndex, std::uint8_t& type,
                             std::int32_t& value) {
  return loader_->recv_SDO && loader_->recv_SDO(index, subIndex, &type, &value);
}

void DLLConnector::send_nmtW(std::uint8_t command) {
  if (loader_->send_nmt) loader_->send_nmt(command);
}

int DLLConnector::flash_firmwareW(const QString& hexPath) {
  if (!loader_->flash_firmware) return -1;
  return loader_->flash_firmware(QFile::encodeName(hexPath).constData());
}

bool DLLConnector::start_BootloaderW() {
  return loader_->start_Bootloader && loader_->start_Bootloader();
}

bool DLLConnector::stop_BootloaderW() {
  return loader_->stop_Bootloader && loader_->stop_Bootloader();
}

bool DLLConnector::get_device_idW(int& deviceId, int& controller) {
  return loader_->get_device_id && loader_->get_device_id(&deviceId, &controller);
}

void DLLConnector::select_nodeW(int node) {
  if (loader_->select_node) loader_->select_node(node);
}

bool DLLConnector::send_PDOW(std::int32_t cobId, std::uint8_t* data, bool remote) {
  return loader_->send_PDO && loader_->send_PDO(cobId, data, remote);
}

void DLLConnector::setGetAllCallbackW(void (*callback)(std::uint8_t*, std::uint32_t&,
                                                       std::uint16_t&, std::uint8_t&, bool&)) {
  if (loader_->setGetAllCallback) loader_->setGetAllCallback(callback);
}

int DLLConnector::getPeakDevicesW(int* channels, int bitrateCode) {
  return loader_->getPeakDevices ? loader_->getPeakDevices(channels, bitrateCode) : -1;
}

int DLLConnector::getIXXATDevicesW() {
  return loader_->getIXXATDevices ? loader_->getIXXATDevices() : -1;
}

int DLLConnector::get_versionW() { return loader_->get_version ? loader_->get_version() : 0; }

void DLLConnector::setMessageFilter(MessageFilter* filter) { filter_ = filter; }

MessageFilter* DLLConnector::getMessageFilter() { return filter_; }

QString DLLConnector::getClassName() { return QStringLiteral("DLLConnector"); }
