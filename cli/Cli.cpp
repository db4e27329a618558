#include "Cli.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>

#include <unistd.h>

#include "AdapterChannels.h"
#include "DLLConnectorEmpty.h"
#include "DLLLoader.h"
#include "QuickScan.h"
#include "SdoValues.h"
#include "Util.h"
#include "canopen/Cia301.h"
#include "canopen/Orvane.h"

namespace co = kestrum::canopen;

namespace {

QString hex4(int v) { return QStringLiteral("%1").arg(v & 0xFFFF, 4, 16, QLatin1Char('0')).toUpper(); }
QString objectText(std::uint16_t index, std::uint8_t sub) {
  return QStringLiteral("0x%1:%2").arg(hex4(index), QStringLiteral("%1").arg(sub, 2, 16, QLatin1Char('0')).toUpper());
}

}  // namespace

FrameTap::FrameTap(DLLConnector& connector, std::function<void(const ConnectorFrame&)> tap)
    : connector_(connector), previous_(connector.getMessageFilter()), tap_(std::move(tap)) {
  connector_.setMessageFilter(this);
}

FrameTap::~FrameTap() { connector_.setMessageFilter(previous_); }

void FrameTap::onFrame(const ConnectorFrame& frame) {
  tap_(frame);
  if (previous_ && previous_ != this) previous_->onFrame(frame);
}

Cli::Cli(CliArgs args) : args_(std::move(args)), appFolder_(DLLLoader::dataFolder()) {}

Cli::~Cli() = default;

// ---------------------------------------------------------------------------
// Output

void Cli::out(const QString& text, const QJsonObject& json) {
  const QByteArray line = (args_.json ? QJsonDocument(json).toJson(QJsonDocument::Compact) : text.toUtf8()) + '\n';
  if (outFd_ != STDOUT_FILENO) {
    [[maybe_unused]] const ssize_t n = ::write(outFd_, line.constData(), std::size_t(line.size()));
    return;
  }
  std::fwrite(line.constData(), 1, std::size_t(line.size()), stdout);
  std::fflush(stdout);
}

void Cli::fail(int node, std::optional<std::pair<std::uint16_t, std::uint8_t>> object, const QString& reason,
               std::uint32_t abortCode) {
  QString where = node > 0 ? QStringLiteral("node %1").arg(node) : QString();
  if (object) where += (where.isEmpty() ? QString() : QStringLiteral(", ")) + QStringLiteral("object ") +
                       objectText(object->first, object->second);
  const QString text = (where.isEmpty() ? QString() : where + QStringLiteral(": ")) + reason;
  std::fprintf(stderr, "kestrum-cli: %s\n", qPrintable(text));
  if (args_.json) {
    QJsonObject j{{"error", reason}};
    if (node > 0) j.insert(QStringLiteral("node"), node);
    if (object) {
      j.insert(QStringLiteral("index"), hex4(object->first));
      j.insert(QStringLiteral("sub"), object->second);
    }
    if (abortCode) j.insert(QStringLiteral("abortCode"), QStringLiteral("0x%1").arg(abortCode, 8, 16, QLatin1Char('0')).toUpper().replace(QLatin1String("0X"), QLatin1String("0x")));
    out({}, j);
  }
}

int Cli::usage(const QString& reason) {
  std::fprintf(stderr, "kestrum-cli: %s\n(see kestrum-cli %s--help)\n", qPrintable(reason),
               args_.command.isEmpty() ? "" : qPrintable(args_.command + QLatin1Char(' ')));
  return kExitUsage;
}

QString Cli::errorText(const SDOResult& r) { return connector_->getErrorText(r); }

bool Cli::parseNode(const QString& text, int& node) {
  bool ok = false;
  node = text.toInt(&ok, 10);
  return ok && node >= co::kMinNodeId && node <= co::kMaxNodeId;
}

// ---------------------------------------------------------------------------
// Adapter, node and dictionary

QStringList Cli::adapterList() {
  // The main window's list: the IXXAT entry when the vendor reports devices,
  // one entry per PEAK channel, and "offline" last.
  DLLConnector probe;
  QStringList list;
  if (probe.isOnline()) {
    if (probe.getIXXATDevicesW() > 0) list << QStringLiteral("IXXAT");
    int channels[64] = {};
    const int peak = probe.getPeakDevicesW(channels, pcanBaudCode(args_.bitrate()));
    for (int i = 0; i < peak && i < 64; ++i) list << entryForChannelHandle(channels[i]);
  }
  list << QStringLiteral("offline");
  return list;
}

int Cli::open(int node, int kbit) {
  if (!connector_) {
    QString adapter = args_.adapter;
    if (adapter.compare(QLatin1String("offline"), Qt::CaseInsensitive) == 0) {
      auto offline = std::make_unique<DLLConnectorEmpty>();
      offline->bindDatabase(&database_);
      connector_ = std::move(offline);
      return kExitOk;
    }
    connector_ = std::make_unique<DLLConnector>();
    if (!connector_->isOnline()) {
      fail(0, std::nullopt, QStringLiteral("%1 could not be loaded from %2").arg(QLatin1String(DLLLoader::fileName), DLLLoader::libraryFolder()));
      return kExitBus;
    }
    QStringList list;
    if (connector_->getIXXATDevicesW() > 0) list << QStringLiteral("IXXAT");
    int channels[64] = {};
    const int peak = connector_->getPeakDevicesW(channels, pcanBaudCode(kbit));
    for (int i = 0; i < peak && i < 64; ++i) list << entryForChannelHandle(channels[i]);
    if (adapter.isEmpty()) {
      if (list.isEmpty()) {
        fail(0, std::nullopt, QStringLiteral("no CAN adapter found (KESTRUM_BUS names simulated buses)"));
        return kExitBus;
      }
      adapter = list.first();
    } else if (!list.contains(adapter)) {
      return usage(QStringLiteral("adapter '%1' is not in the adapter list (%2)")
                       .arg(adapter, (list + QStringList{QStringLiteral("offline")}).join(QStringLiteral(", "))));
    }
    args_.adapter = adapter;
  }
  if (connector_->getClassName() == QLatin1String("DLLConnectorEmpty")) return kExitOk;
  if (!connector_->init_canW(std::uint8_t(node), kbit, -1, -1, true, channelCodeForEntry(args_.adapter), nullptr)) {
    fail(node, std::nullopt, QStringLiteral("the adapter %1 could not be initialised at %2 kbit/s").arg(args_.adapter).arg(kbit));
    return kExitBus;
  }
  return kExitOk;
}

QString Cli::readString(int node, std::uint16_t index, SDOResult* result) {
  const SDOResult r = connector_->readObject(std::uint8_t(node), index, 0, TYPE_STRING, std::uint32_t(args_.timeoutMs));
  if (result) *result = r;
  return r.code == sdo_result::kOk ? DLLConnector::lastSdoString : QString();
}

int Cli::loadDictionary(int node) {
  controller_ = node > 0 && connector_->getClassName() == QLatin1String("DLLConnector")
                    ? quickscan::readControllerName(*connector_, node, std::uint32_t(args_.timeoutMs))
                    : QString();
  // The file named after the controller, matched without regard to case as
  // the main window's controller choice does; otherwise the default file.
  QString choice;
  for (const QString& item : EDSDatabase::controllerItems(appFolder_))
    if (!controller_.isEmpty() && item.compare(controller_, Qt::CaseInsensitive) == 0) choice = item;
  try {
    if (EDSDatabase::choiceUsesDefault(choice))
      database_.loadDefault(appFolder_);
    else
      database_.loadForController(appFolder_, choice);
  } catch (const EdsLoadError& e) {
    fail(node, std::nullopt, e.message());
    return kExitUsage;
  } catch (const ConversionError& e) {
    fail(node, std::nullopt, e.text());
    return kExitUsage;
  }
  buildRows();
  return kExitOk;
}

void Cli::buildRows() {
  // The rows of the SDO list, in its order.
  rows_.clear();
  const edsFile* file = database_.file();
  if (!file) return;
  for (const auto& item : file->list.entries) {
    sdoDataDefinition* def = database_.find(item.first);
    if (!def) continue;
    bool ok = false;
    const auto index = std::uint16_t(def->id.toUInt(&ok, 16));
    if (!ok) continue;
    if (def->subNumber <= 0) {
      rows_.push_back({def, index, 0});
      continue;
    }
    for (auto& sub : def->subObjects) {
      sub.second->id = def->id;
      rows_.push_back({sub.second.get(), index, std::uint8_t(sub.first)});
    }
  }
}

Cli::Row* Cli::findRow(std::uint16_t index, std::uint8_t sub) {
  for (Row& r : rows_)
    if (r.index == index && r.sub == sub) return &r;
  return nullptr;
}

std::vector<Cli::Row*> Cli::rowsOf(std::uint16_t index) {
  std::vector<Row*> out;
  for (Row& r : rows_)
    if (r.index == index) out.push_back(&r);
  return out;
}

std::optional<std::uint8_t> Cli::guardNode(int node, int timeoutMs) {
  std::optional<std::uint8_t> state;
  const std::uint16_t id = co::cob::errorControl(std::uint8_t(node));
  FrameTap tap(*connector_, [&](const ConnectorFrame& f) {
    if (!f.isTx && f.id == id && f.dlc >= 1 && !(f.kind & kFrameRemote)) state = f.data[0] & co::nmt::kStateMask;
  });
  std::uint8_t none[8] = {};
  if (!connector_->send_PDOW(id, none, true)) return std::nullopt;
  // Each wait returns at the latest with the connector's 5 ms countdown tick.
  QElapsedTimer clock;
  clock.start();
  while (!state && clock.elapsed() < timeoutMs) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  return state;
}

Cli::ReadValue Cli::readValue(int node, std::uint16_t index, std::uint8_t sub, const Row* row) {
  ReadValue v;
  const auto id = std::uint8_t(node);
  const auto timeout = std::uint32_t(args_.timeoutMs);
  v.type = row ? row->type() : QString();
  if (v.type == QLatin1String("string")) {
    v.result = connector_->readObject(id, index, sub, TYPE_STRING, timeout);
    if (v.result.code == sdo_result::kOk) v.value = DLLConnector::lastSdoString;
    return v;
  }
  const std::uint8_t size = sdovalues::transferSize(v.type);
  if (size) {
    v.result = connector_->readObject(id, index, sub, size, timeout);
    if (v.result.code == sdo_result::kOk) v.value = sdovalues::formatRead(v.type, v.result.value);
    return v;
  }
  // Not in the dictionary (or no numeric type): the node's answer tells the
  // size, and the value is shown unsigned.
  v.result = connector_->readObject(id, index, sub, TYPE_U32, timeout);
  if (v.result.code == sdo_result::kWrongType8 || v.result.code == sdo_result::kWrongType16) {
    const auto told = std::uint8_t(v.result.size == 6 ? int(TYPE_STRING) : v.result.size);
    v.result = connector_->readObject(id, index, sub, told, timeout);
  }
  if (v.result.code != sdo_result::kOk) return v;
  switch (v.result.size) {
    case 1: v.type = QStringLiteral("u8"); break;
    case 2: v.type = QStringLiteral("u16"); break;
    case 6: v.type = QStringLiteral("string"); break;
    default: v.type = QStringLiteral("u32"); break;
  }
  v.value = v.result.size == 6 ? DLLConnector::lastSdoString : sdovalues::formatRead(v.type, v.result.value);
  return v;
}
