#include "RoutingMessageFilter.h"

#include <QElapsedTimer>

#include "Logging.h"
#include "Util.h"
#include "canopen/Cia301.h"

namespace {

constexpr std::uint16_t kEmergencyStopPolling = 0x3100;

QString hex4(std::int32_t value) {
  return QStringLiteral("%1").arg(value & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper();
}

}  // namespace

RoutingMessageFilter::RoutingMessageFilter() {
  dispatchTimer_.setInterval(1);
  dispatchTimer_.setTimerType(Qt::PreciseTimer);
  connect(&dispatchTimer_, &QTimer::timeout, this, &RoutingMessageFilter::dispatchOne);
}

RoutingMessageFilter::~RoutingMessageFilter() {
  if (MessageFilter::instance() == this) MessageFilter::install(nullptr);
}

RoutingMessageFilter& RoutingMessageFilter::routing() {
  // Lives until the process ends, like the connector's reference to it.
  static RoutingMessageFilter* filter = [] {
    auto* f = new RoutingMessageFilter;
    MessageFilter::install(f);
    return f;
  }();
  return *filter;
}

void RoutingMessageFilter::reset() {
  dispatchTimer_.stop();
  pdoQueue_.clear();
  tpdoByCobId_.clear();
  sdoSource_ = nullptr;
  pdoView_ = nullptr;
  canLog_ = nullptr;
  hooks_ = {};
  emcyCobId_ = 0;
  emcyNotify_ = false;
  enabled_ = false;
}

void RoutingMessageFilter::enable() {
  // A re-initialisation keeps PDO decoding in step with the list: when it was
  // read completely, the table follows its current values.
  if (enabled_) rebuildTpdoTable();
  enabled_ = true;
}

int RoutingMessageFilter::tpdoOf(std::int32_t cobId) const {
  const auto it = tpdoByCobId_.find(cobId);
  return it == tpdoByCobId_.end() ? -1 : it->second;
}

void RoutingMessageFilter::onFrame(const ConnectorFrame& frame) {
  if (!enabled_) return;
  // Extended and remote frames carry none of the node's CANopen traffic;
  // the log shows them as they are.
  if (!frame.isStandardData()) {
    if (canLog_ && canLog_->isLogging()) canLog_->takeFrame(frame);
    return;
  }
  const std::int32_t tpdo = tpdoByCobId_.emplace(frame.id, 0).first->second;

  // Until the node's emergency COB-ID is known nothing is an emergency; 0 is
  // the NMT identifier and never one.
  if (emcyCobId_ > 0 && frame.id == emcyCobId_) {
    const auto errorCode = std::uint16_t(frame.data[0] | (frame.data[1] << 8));
    if (emcyNotify_) {
      const QString description = canLog_ ? canLog_->emergencyDescription(errorCode)
                                           : QStringLiteral("0x") + hex4(errorCode);
      Logging::instance().emergency(QStringLiteral("EMERGENCY: ") + description, frame);
    }
    if (errorCode == kEmergencyStopPolling && hooks_.stopPolling) hooks_.stopPolling();
    return;
  }

  const int node = hooks_.nodeId ? hooks_.nodeId() : 1;
  // An error-control message is one byte holding a defined state; anything
  // else on that identifier (a foreign frame, a request) must not move the
  // state shown, which Save All would otherwise restore with an NMT command.
  if (frame.id == kestrum::canopen::cob::errorControl(std::uint8_t(node)) && !frame.isTx && frame.dlc == 1 &&
      kestrum::canopen::nmt::decodeErrorControl(frame.data[0]).known) {
    if (hooks_.showNmtState) hooks_.showNmtState(frame.data[0]);
    if (hooks_.clearPollingSuspended) hooks_.clearPollingSuspended();
  }
  if (canLog_ && canLog_->isLogging()) canLog_->takeFrame(frame);
  if (tpdo != 0) {
    pdoQueue_.push_back(frame);
    // The timer only runs while frames wait, so an idle filter costs nothing.
    if (!dispatchTimer_.isActive()) dispatchTimer_.start();
  }
}

void RoutingMessageFilter::dispatchOne() {
  // A node sends its PDOs every millisecond or faster: one frame per tick
  // would fall further behind each second. Each tick hands over what waits,
  // within a few milliseconds so that the window stays responsive.
  constexpr qint64 kBudgetNs = 4'000'000;
  QElapsedTimer spent;
  spent.start();
  while (!pdoQueue_.empty() && spent.nsecsElapsed() < kBudgetNs) {
    if (!sdoSource_ || sdoSource_->isClosing()) break;
    const ConnectorFrame frame = pdoQueue_.front();
    pdoQueue_.pop_front();
    const auto it = tpdoByCobId_.find(frame.id);
    if (pdoView_ && it != tpdoByCobId_.end() && it->second != 0) pdoView_->updateFromPdo(it->second, frame);
  }
  if (pdoQueue_.empty() || !sdoSource_ || sdoSource_->isClosing()) dispatchTimer_.stop();
}

void RoutingMessageFilter::setSdoSource(SdoValueSource* source) {
  // A new list belongs to a new connection or another dictionary: what was
  // derived from the old one no longer holds until the new one is read.
  sdoSource_ = source;
  tpdoByCobId_.clear();
  pdoQueue_.clear();
  dispatchTimer_.stop();
}

void RoutingMessageFilter::setEmergencyNotify(bool on) {
  emcyNotify_ = on;
  if (!on || !sdoSource_) return;
  const QString text = sdoSource_->getValue(QStringLiteral("1014"), 0, false);
  try {
    emcyCobId_ = Util::ToInt(text);
  } catch (const ConversionError& e) {
    // A value loaded from a list file may be anything; keep the COB-ID in use.
    Logging::instance().log(QStringLiteral("Emergency COB-ID: ") + e.text());
  }
}

void RoutingMessageFilter::rebuildTpdoTable() {
  if (!sdoSource_ || !sdoSource_->isAllRead()) return;
  tpdoByCobId_.clear();
  buildTpdoTable();
}

void RoutingMessageFilter::buildTpdoTable() {
  if (!enabled_ || !sdoSource_ || !sdoSource_->isAllRead()) return;
  if (pdoView_) pdoView_->clearMapping();
  for (int n = 1; n <= 4; ++n) {
    namespace cob = kestrum::canopen::cob;
    const QString comm = hex4(kestrum::canopen::pdo::tpdoCommunication(n));
    std::uint32_t cobIdValue = cob::kInvalid;
    try {
      cobIdValue = Util::ToUInt32(sdoSource_->getValue(comm, 1, false));
    } catch (const ConversionError&) {
      // a garbled COB-ID leaves the PDO invalid
    }
    const bool valid = (cobIdValue & cob::kInvalid) == 0;
    const std::int32_t cobId = std::int32_t(cobIdValue & cob::kId11Mask);
    const QString mapping = hex4(kestrum::canopen::pdo::tpdoMapping(n));
    int handedOver = 0;
    // Every slot is looked at: a mapping count below the entries in use still
    // shows what the node would send once the count is raised.
    for (int i = 1; i <= 8; ++i) {
      std::uint32_t entry = 0;
      try {
        entry = std::uint32_t(Util::ToInt(sdoSource_->getValue(mapping, i, false)));
      } catch (const ConversionError&) {
        continue;  // a garbled value maps nothing
      }
      const std::uint32_t index = entry >> 16;
      const std::int32_t subIndex = std::int32_t((entry >> 8) & 0xFF);
      if (index == 0 || !valid) continue;
      if (pdoView_) pdoView_->addMappedObject(n, i, sdoSource_->findEntry(hex4(std::int32_t(index)), subIndex));
      ++handedOver;
    }
    if (valid && handedOver > 0) tpdoByCobId_[cobId] = n;
  }
  if (pdoView_) pdoView_->buildRows();
}
