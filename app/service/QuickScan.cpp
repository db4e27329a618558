#include "QuickScan.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <algorithm>
#include <cmath>

#include "DLLConnector.h"
#include "canopen/Cia301.h"
#include "canopen/Orvane.h"

namespace quickscan {

namespace co = kestrum::canopen;

namespace {
/// How long a refusing adapter gets to take a request again.
constexpr int kSendRetryMs = 200;
}  // namespace

double busTimeMs(int frames, int kbit) {
  constexpr double kBitsPerFrame = 135.0;  // 8 data bytes, 11-bit identifier, worst-case stuffing
  return kbit > 0 ? frames * kBitsPerFrame / kbit : 0.0;
}

int collectWindowMs(int first, int last, int kbit) {
  const int ids = std::max(0, last - first + 1);
  constexpr int kMarginMs = 60;
  return int(std::ceil(2.0 * busTimeMs(2 * ids, kbit))) + kMarginMs;
}

NodeCollector::NodeCollector(DLLConnector& connector, int first, int last)
    : connector_(connector), previous_(connector.getMessageFilter()), first_(first), last_(last) {
  connector_.setMessageFilter(this);
  if (previous_ && previous_->isEnabled()) enabled_ = true;
}

NodeCollector::~NodeCollector() { connector_.setMessageFilter(previous_); }

void NodeCollector::enable() {
  MessageFilter::enable();
  if (previous_) previous_->enable();
}

void NodeCollector::onFrame(const ConnectorFrame& frame) {
  if (!frame.isTx && frame.isStandardData()) {
    // An SDO answer (an abort says the node is there just as well), a boot-up
    // or a heartbeat; node guarding answers look the same as heartbeats.
    int node = 0;
    if (frame.id > co::cob::kSdoTx && frame.id <= co::cob::kSdoTx + co::kMaxNodeId)
      node = frame.id - co::cob::kSdoTx;
    else if (frame.id > co::cob::kErrorControl && frame.id <= co::cob::kErrorControl + co::kMaxNodeId && frame.dlc >= 1)
      node = frame.id - co::cob::kErrorControl;
    if (node >= first_ && node <= last_) {
      nodes_.insert(node);
      ++heard_;
    }
  }
  if (previous_ && previous_ != this) previous_->onFrame(frame);
}

Result findNodes(DLLConnector& connector, int first, int last, int kbit, const std::function<bool()>& stopped) {
  Result result;
  first = std::clamp(first, int(co::kMinNodeId), int(co::kMaxNodeId));
  last = std::clamp(last, int(co::kMinNodeId), int(co::kMaxNodeId));
  if (last < first) return result;
  NodeCollector collector(connector, first, last);
  connector.cancelQuery();
  for (int node = first; node <= last; ++node) {
    if (stopped && stopped()) return result;
    std::uint8_t request[8] = {0x40, std::uint8_t(co::od::kDeviceType & 0xFF), std::uint8_t(co::od::kDeviceType >> 8),
                               0, 0, 0, 0, 0};
    // An adapter whose transmit queue is full refuses a frame until the bus
    // has taken the earlier ones: the requests are paced by the bus, and
    // only an adapter that takes nothing for a while counts as dead.
    QElapsedTimer refused;
    while (!connector.send_PDOW(co::cob::sdoRequest(std::uint8_t(node)), request, false)) {
      if (!refused.isValid()) refused.start();
      if (refused.elapsed() > kSendRetryMs) {
        result.sent = false;
        return result;
      }
      QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
  }
  QElapsedTimer clock;
  clock.start();
  QElapsedTimer sinceAnswer;
  sinceAnswer.start();
  int heard = 0;
  const int ids = last - first + 1;
  const int window = collectWindowMs(first, last, kbit);
  while (clock.elapsed() < window && !(stopped && stopped()) && !DLLConnector::appClosing) {
    if (collector.heard() != heard) {
      heard = collector.heard();
      sinceAnswer.restart();
    }
    // The wire needs the requests' and the answers' bus time; once that has
    // passed half again and the nodes have gone quiet, nobody else answers.
    const double due = 1.5 * busTimeMs(ids + int(collector.nodes().size()), kbit);
    if (clock.elapsed() >= due && sinceAnswer.elapsed() >= kQuietMs) break;
    QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  }
  result.nodes.assign(collector.nodes().begin(), collector.nodes().end());
  return result;
}

Identity identify(DLLConnector& connector, int node, const std::function<QString(int)>& readName,
                  std::uint32_t timeoutMs) {
  const auto id = std::uint8_t(node);
  auto read = [&](std::uint8_t sub) {
    SDOResult r = connector.readObject(id, co::od::kIdentity, sub, TYPE_U32, timeoutMs);
    // A late answer to the scan's request of 0x1000 may still be on its way;
    // the node's next answer is the one asked for.
    if (r.code == sdo_result::kWrongIndex) r = connector.readObject(id, co::od::kIdentity, sub, TYPE_U32, timeoutMs);
    return r;
  };
  Identity identity;
  const SDOResult vendor = read(1);
  identity.vendorId = vendor.code == sdo_result::kOk ? std::uint32_t(vendor.value) : 0u;
  if (identity.vendorId == co::orvane::kVendorId) {
    identity.vendor = QStringLiteral("Orvane");
    identity.controller = readName(node);
  } else {
    identity.vendor = QStringLiteral("Unkown");
    const SDOResult product = read(2);
    identity.controller = QString::number(product.code == sdo_result::kOk ? std::uint32_t(product.value) : 0u);
  }
  return identity;
}

QString readControllerName(DLLConnector& connector, int node, std::uint32_t timeoutMs) {
  const auto id = std::uint8_t(node);
  const SDOResult r = connector.readObject(id, co::od::kHardwareVersion, 0, TYPE_STRING, timeoutMs);
  if (r.code == sdo_result::kOk) return DLLConnector::lastSdoString;
  if (r.code != sdo_result::kWrongType8) return {};
  const SDOResult count = connector.readObject(id, co::od::kHardwareVersion, 0, TYPE_U8, timeoutMs);
  if (count.code != sdo_result::kOk) return {};
  QString name;
  for (int i = 1; i <= (count.value & 0xFF); ++i) {
    const SDOResult c = connector.readObject(id, co::od::kHardwareVersion, std::uint8_t(i), TYPE_U8, timeoutMs);
    if (c.code != sdo_result::kOk) return {};
    name += QChar(c.value & 0xFF);
  }
  return name;
}

}  // namespace quickscan
