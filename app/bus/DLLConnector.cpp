#include "DLLConnector.h"

#include <QCoreApplication>
#include <QFile>
#include <QLoggingCategory>
#include <QSocketNotifier>
#include <QTimer>

#include <sys/eventfd.h>
#include <unistd.h>

#include <thread>
#include <utility>

#include "DLLLoader.h"
#include "canopen/Cia301.h"
#include "canopen/SdoAbort.h"
#include "canopen/SdoClient.h"
#include "Logging.h"
#include "MessageFilter.h"

// Debug lines are off unless QT_LOGGING_RULES turns them on ("kestrum.*.debug=true").
Q_LOGGING_CATEGORY(lcBus, "kestrum.bus", QtInfoMsg)

bool DLLConnector::appClosing = false;
QString DLLConnector::lastSdoString;

namespace co = kestrum::canopen;
using namespace co::sdo_result;

namespace {

constexpr int countdownIntervalMs = 5;
constexpr int drainIntervalMs = 10;
constexpr std::uint32_t maxTimeoutMs = 10000;

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
    std::this_thread::sleep_for(shutdownPause_);
    terminate_canW();
    std::this_thread::sleep_for(shutdownPause_);
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
                               std::uint16_t id, std::uint8_t dlc, bool transmitted,
                               std::uint8_t kind, std::uint32_t wholeId) {
  auto* c = static_cast<DLLConnector*>(self);
  c->ring_.push(data, time, id, dlc, transmitted, kind, wholeId);
  // The expected answer wakes the user-interface thread at once; at most one
  // wake-up is outstanding.
  if (!transmitted && kind == 0 && c->queryPending_.load() && id == c->expectedId_.load() && c->wakeFd_ >= 0 &&
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
  // An extended or remote frame whose identifier ends like the answer's is
  // not the answer.
  if (queryPending_.load() && !frame.isTx && frame.isStandardData() && frame.id == expectedId_.load()) {
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
  if (node < co::kMinNodeId || node > co::kMaxNodeId) return kNodeRange;
  if (timeoutMs > maxTimeoutMs) return kTimeoutRange;
  if (queryPending_.load()) return kBusy;
  if (!timeoutTimer_->isActive()) return kTimerStopped;
  return kOk;
}

void DLLConnector::armQuery(std::uint8_t node, std::uint32_t timeoutMs) {
  ticksLeft_ = int(timeoutMs / countdownIntervalMs);
  queryDone_ = false;
  expectedId_.store(co::cob::sdoAnswer(node));
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

bool DLLConnector::sendRequest(std::uint8_t node, const std::array<std::uint8_t, 8>& request) {
  std::array<std::uint8_t, 8> data = request;
  if (send_PDOW(co::cob::sdoRequest(node), data.data(), false)) return true;
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

std::optional<co::SdoClient::Result> DLLConnector::exchange(co::SdoClient& client,
                                                           co::SdoClient::Step step,
                                                           std::uint8_t node,
                                                           std::uint32_t timeoutMs, Wait mode,
                                                           bool honourAppClosing) {
  while (step.kind == co::SdoClient::Step::Send) {
    armQuery(node, timeoutMs);
    if (!sendRequest(node, step.request)) {
      step = client.onSendFailed();
      break;
    }
    if (!waitForAnswer(mode, timeoutMs, honourAppClosing)) return std::nullopt;
    step = ticksLeft_ < 0 ? client.onTimeout() : client.onAnswer(answer_, answerLength_);
  }
  return std::move(step.result);
}

SDOResult DLLConnector::readObject(std::uint8_t node, std::uint16_t index, std::uint8_t subIndex,
                                   std::uint8_t type, std::uint32_t timeoutMs) {
  // A read cut short by closing is a failure: a value of 0 with code 0 would
  // pass for what the node holds.
  const SDOResult closing{kClosing, 0, 0, 0};
  if (appClosing) return closing;
  co::SdoClient client;
  const co::SdoClient::Step step = client.upload(index, subIndex, type);
  if (step.kind == co::SdoClient::Step::Done) return {step.result.code, 0, 0, 0};
  if (const std::int32_t refusal = queryRefusal(node, timeoutMs)) return {refusal, 0, 0, 0};

  // The controller name (0x1009) is exempt from the wall-clock limit and
  // times out by the countdown alone.
  const Wait mode = index == co::od::kHardwareVersion ? Wait::TicksOnly : Wait::WallClock;
  const auto r = exchange(client, step, node, timeoutMs, mode, true);
  if (!r) return closing;
  if (r->code == kWrongIndex) qCDebug(lcBus) << "wrong SDO >1<";
  if (r->code == kOk && type == TYPE_STRING)
    lastSdoString = QString::fromLatin1(r->data.data(), int(r->data.size()));
  return {r->code, std::int32_t(r->abortCode), r->size, r->value};
}

SDOResult DLLConnector::writeObject(std::uint8_t node, std::uint16_t index, std::uint8_t subIndex,
                                    std::uint8_t type, std::uint32_t timeoutMs,
                                    std::int32_t value) {
  co::SdoClient client;
  const co::SdoClient::Step step = client.download(index, subIndex, type, value);
  if (step.kind == co::SdoClient::Step::Done) return {step.result.code, 0, 0, 0};
  if (const std::int32_t refusal = queryRefusal(node, timeoutMs)) return {refusal, 0, 0, 0};
  // A write waits for the countdown alone and runs to its end even while the
  // application closes, so a value sent is always acknowledged or timed out.
  const auto r = exchange(client, step, node, timeoutMs, Wait::TicksOnly, false);
  if (r->code == kWrongIndex) qCDebug(lcBus) << "wrong SDO >2<";
  return {r->code, std::int32_t(r->abortCode), r->size, r->value};
}

QString DLLConnector::abortText(std::uint32_t abortCode) {
  // The application's table predates the two codes CiA 301 4.2 added; they
  // are reported by number, as before.
  const char* text = co::sdo_abort::meaning(abortCode, false);
  return text ? QLatin1String(text) : QString();
}

QString DLLConnector::getErrorText(const SDOResult& result) {
  switch (result.code) {
    case kOk: return QStringLiteral("no error");
    case kBusDead: return QStringLiteral("bus dead");
    case kNoAnswer: return QStringLiteral("protocol: no answer within timeout");
    case kAborted: {
      const QString text = abortText(std::uint32_t(result.abortCode));
      return QStringLiteral("slave reported error: ") +
             (text.isEmpty() ? QString::number(std::uint32_t(result.abortCode)) : text);
    }
    case kWrongLength: return QStringLiteral("protocol: wrong data length code from slave");
    case kWrongIndex: return QStringLiteral("protocol: wrong SDO-ID in answer from slave");
    case kWrongSubIndex: return QStringLiteral("protocol: wrong SDO-SUBID in answer from slave");
    case kUnknownHeader: return QStringLiteral("protocol: dont know how to handle given header from slave");
    case kNonZero8:
    case kNonZero16:
    case kNonZero32: return QStringLiteral("protocol: zero bytes are not zero");
    case kWrongType8:
    case kWrongType16:
    case kWrongType32: return QStringLiteral("protocol: wrong datatype sent by slave");
    case kUnknownType: return QStringLiteral("internal: unknown type given");
    case kNodeRange: return QStringLiteral("internal: nodeid out of range");
    case kTimeoutRange: return QStringLiteral("internal: timeout out of range");
    case kBusy: return QStringLiteral("protocol: last query not finished");
    case kTimerStopped: return QStringLiteral("internal: query timer not runnning");
    case kClosing: return QStringLiteral("internal: application closing");
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

void DLLConnector::flash_cancelW() {
  if (loader_->flash_cancel) loader_->flash_cancel();
}

bool DLLConnector::busLostW() const { return loader_->bus_state && loader_->bus_state() == 2; }

int DLLConnector::flash_progressW() const {
  return loader_->flash_progress ? int(loader_->flash_progress()) : -1;
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
